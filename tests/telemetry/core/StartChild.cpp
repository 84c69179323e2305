// The first launch of the start-up test: starts the SDK against the local service, enqueues
// numbered logs into the core unit and returns from main at once, before the flush interval
// has passed, so the logs are left for the next launch.
//
//   telemetry_core_start_child <service base URL> <count>
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"

#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: " << argv[0] << " <service base URL> <count>\n";
    return 2;
  }
  const long count = std::strtol(argv[2], nullptr, 10);
  MSZerEvuzev::sharedInstance()->setLogUrl(argv[1]);
  MSZerEvuzev::start(std::string("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"), {});
  auto unit = MSZerEvuzev::sharedInstance()->channelUnit();
  if (!unit) return 3;
  for (long n = 0; n < count; ++n) {
    auto log = std::make_shared<MSLogWithProperties>();
    log->type = "childEvent";
    log->sid = "child-" + std::to_string(n);
    unit->enqueueItem(log, 1);  // stamped with the time and this machine's device
  }
  return 0;
}
