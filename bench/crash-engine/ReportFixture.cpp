// Writes the report of a fixed crash (32 threads, each parked at a known depth) to the file
// named by the first argument, so the reports of two builds can be compared. Run it with
// address-space randomisation off (setarch -R) to keep stacks and libraries in place.
#include "crash-engine/MSHXCrashReporter.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 32;
std::atomic<int> g_ready{0};
volatile std::uintptr_t g_zero = 0;

__attribute__((noinline)) int park(int depth) {
  if (depth > 0) return park(depth - 1) + 1;
  g_ready.fetch_add(1);
  for (;;) pause();
}

__attribute__((noinline, no_sanitize("address", "undefined"))) int fault(int depth) {
  if (depth > 0) return fault(depth - 1) + 1;
  *reinterpret_cast<volatile int*>(g_zero) = 1;
  return 0;
}

[[noreturn]] void child() {
  // Threads first: the reporter's set-up must not move their stacks.
  std::vector<std::thread> others;
  for (int i = 1; i < kThreads; ++i) others.emplace_back([i] { park(i % 8); });
  while (g_ready.load() < kThreads - 1) std::this_thread::yield();
  MSHXCrashReporter reporter("com.vexelworks.fixture", "1", std::nullopt,
                             MSHXCrashReporterConfig::defaultConfiguration());
  if (!reporter.enableCrashReporter()) _exit(2);
  fault(3);
  _exit(3);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <report copy>\n", argv[0]);
    return 2;
  }
  char folder[] = "/tmp/ce3fixtureXXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  setenv("XDG_CACHE_HOME", folder, 1);
  const pid_t pid = fork();
  if (pid == 0) child();
  int status = 0;
  waitpid(pid, &status, 0);
  const std::filesystem::path report =
      std::filesystem::path(folder) / "com.vexelworks.crash-engine" / "com.vexelworks.fixture" / "live_report.hxcrash";
  std::error_code error;
  std::filesystem::copy_file(report, argv[1], std::filesystem::copy_options::overwrite_existing, error);
  std::filesystem::remove_all(folder, error);
  if (!std::filesystem::exists(argv[1])) {
    std::fprintf(stderr, "no report was written\n");
    return 1;
  }
  return 0;
}
