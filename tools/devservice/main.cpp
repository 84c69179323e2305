// devservice: the local stand-in service as a program.
//   devservice [--port N] [--data DIR] [--host ADDRESS]
// Serves until SIGINT or SIGTERM, logging one line per request on standard output.
#include "tools/devservice/DevService.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace {

void usage() { std::fprintf(stderr, "usage: devservice [--port N] [--data DIR] [--host ADDRESS]\n"); }

}  // namespace

int main(int argc, char** argv) {
  vx::devservice::DevService::Options options;
  options.logRequests = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) {
        usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--port") {
      char* end = nullptr;
      const long port = std::strtol(next(), &end, 10);
      if (end == nullptr || *end != '\0' || port < 0 || port > 65535) {
        std::fprintf(stderr, "devservice: bad port\n");
        return 2;
      }
      options.port = static_cast<int>(port);
    } else if (arg == "--data") {
      options.dataDirectory = next();
    } else if (arg == "--host") {
      options.host = next();
    } else if (arg == "--help" || arg == "-h") {
      usage();
      return 0;
    } else {
      usage();
      return 2;
    }
  }

  if (!options.dataDirectory.empty() && !std::filesystem::is_directory(options.dataDirectory)) {
    std::fprintf(stderr, "devservice: data directory %s does not exist\n", options.dataDirectory.c_str());
    return 2;
  }

  // Signals are taken synchronously so stopping runs on the main thread, outside a handler.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  vx::devservice::DevService service(options);
  auto port = service.start();
  if (!port) {
    std::fprintf(stderr, "devservice: %s\n", port.error().description.c_str());
    return 1;
  }
  std::printf("devservice listening on %s (data: %s)\n", service.baseURL().c_str(), service.dataDirectory().c_str());
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);
  std::printf("devservice stopping (signal %d)\n", received);
  std::fflush(stdout);
  service.stop();
  return 0;
}
