// A stand-in for the application's main(): hands its URL arguments to the first instance or
// becomes the first instance itself. Used by SingleInstanceTest as the second real process.
//
//   platform_desktop_handoff_helper <name> <runtime folder or "-"> [url...]
//
// Prints "handed-off" and exits 0 after a hand-over; prints "primary", then "url <text>" for
// each URL it receives (its own first), and exits 0 once it receives "vxtest:quit" (or after
// 30 seconds). Prints "error <text>" and exits 2 on failure.
#include "platform/desktop/GetURLEvents.h"
#include "platform/desktop/SingleInstance.h"
#include "platform/foundation/DispatchQueue.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s NAME FOLDER|- [URL...]\n", argv[0]);
    return 2;
  }
  vx::SingleInstance::Options options;
  options.name = argv[1];
  if (std::string(argv[2]) != "-") options.runtimeDirectory = argv[2];
  const auto urls = vx::urlArguments(argc - 2, argv + 2, {"vxtest"});
  auto handOff = vx::handOffURLsOrListen(options, urls);
  if (!handOff.ok()) {
    std::printf("error %s\n", handOff.error().description.c_str());
    return 2;
  }
  if (handOff->outcome == vx::URLHandOff::Outcome::handedOff) {
    std::printf("handed-off\n");
    return 0;
  }
  std::printf("primary\n");
  std::fflush(stdout);
  bool quit = false;
  vx::GetURLEventManager::shared().setEventHandler([&quit](const std::string& url) {
    std::printf("url %s\n", url.c_str());
    std::fflush(stdout);
    if (url == "vxtest:quit") quit = true;
  });
  vx::RunLoop::runUntil([&quit] { return quit; }, std::chrono::seconds(30));
  return 0;
}
