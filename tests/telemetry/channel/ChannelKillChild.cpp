// The process the kill test starts over and over: it opens the channel group over the test's
// database (recovering what the last, killed run left), then enqueues numbered logs for ever,
// writing each number to a pipe once its enqueue has returned, while the unit sends to the
// local service. Its parent ends it with SIGKILL.
//
//   telemetry_channel_kill_child <database file name> <service base URL> <first number> <pipe fd>
#include "telemetry/ZerEvuzev/Channel/MSChannelGroupDefault.h"
#include "telemetry/ZerEvuzev/Ingestion/MSZerEvuzevIngestion.h"
#include "telemetry/ZerEvuzev/Storage/MSLogDBStorage.h"

#include "platform/foundation/UUID.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

MSLogPtr numberedLog(long n, const std::shared_ptr<MSDevice>& device) {
  auto log = std::make_shared<MSLogWithProperties>();
  log->type = "channelEvent";
  log->timestamp = vx::wallNow();
  log->sid = "n-" + std::to_string(n);
  log->device = device;
  log->properties = std::map<std::string, std::string>{{"n", std::to_string(n)}};
  return log;
}

std::shared_ptr<MSDevice> device() {
  auto device = std::make_shared<MSDevice>();
  device->sdkName = "zerevuzev.macos";
  device->sdkVersion = "2.1.0";
  device->osName = "Debian GNU/Linux";
  device->osVersion = "12";
  device->locale = "en_US";
  device->timeZoneOffset = 0;
  device->appVersion = "1.2.3";
  device->appBuild = "123";
  return device;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::cerr << "usage: " << argv[0] << " <database> <base URL> <first number> <pipe fd> <install id>\n";
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  const std::string database = argv[1];
  const std::string baseURL = argv[2];
  const long first = std::strtol(argv[3], nullptr, 10);
  const int fd = static_cast<int>(std::strtol(argv[4], nullptr, 10));

  auto storage = std::make_shared<MSLogDBStorage>(database);
  // The install id names this run in each request, so the test knows which run sent what.
  auto ingestion = MSHttpIngestion::make<MSZerEvuzevIngestion>(baseURL, argv[5]);
  ingestion->setAppSecret("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
  auto group = MSChannelGroupDefault::make(ingestion, storage);
  // Batches of 10 (3 in flight, 3 s), so that short runs send often.
  auto unit = group->addChannelUnitWithConfiguration(std::make_shared<MSChannelUnitConfiguration>("kill", 1, 3, 10, 3));
  const auto sharedDevice = device();
  for (long n = first;; ++n) {
    unit->enqueueItem(numberedLog(n, sharedDevice), 1);
    if (::write(fd, &n, sizeof n) != static_cast<ssize_t>(sizeof n)) return 3;
    // Keeps the queue close behind, so a kill finds a few logs in each state, not thousands.
    if (n % 10 == 0) group->logsDispatchQueue()->sync([] {});
  }
}
