// Small GETs per second over loopback with keep-alive: through URLSession, and the same number
// of requests made by one curl process with --parallel, both against the local service with the
// same connection count. Prints both rates and their ratio at the end.
#include "platform/net/URLSession.h"
#include "tools/devservice/DevService.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>

extern char** environ;

namespace {

constexpr int kRequests = 1000;
constexpr int kConnections = 8;

vx::devservice::DevService& service() {
  static auto* s = [] {
    vx::devservice::DevService::Options options;
    options.threads = 2 * kConnections;
    auto* created = new vx::devservice::DevService(options);
    if (!created->start().ok()) std::abort();
    return created;
  }();
  return *s;
}

// Requests per second over all timed iterations.
double sessionRate = 0;
double curlRate = 0;

void BM_URLSessionSmallGets(benchmark::State& state) {
  vx::URLSessionConfiguration config;
  config.httpMaximumConnectionsPerHost = kConnections;
  auto session = vx::URLSession::make(config, vx::DispatchQueue::makeConcurrent("bench.completions"));
  const std::string url = service().url("/bytes/64");
  std::atomic<int> failures{0};
  auto runBatch = [&](int count) {
    vx::DispatchGroup group;
    std::vector<std::shared_ptr<vx::URLSessionDataTask>> tasks;
    tasks.reserve(count);
    for (int i = 0; i < count; ++i) {
      group.enter();
      tasks.push_back(session->dataTask(url, [&](auto, auto response, auto error) {
        if (error || vx::statusCodeOf(response) != 200) ++failures;
        group.leave();
      }));
    }
    for (auto& task : tasks) task->resume();
    group.wait();
  };
  runBatch(kConnections);  // open the connections before timing
  double total = 0;
  int done = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    runBatch(kRequests);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(elapsed.count());
    total += elapsed.count();
    sessionRate = static_cast<double>(++done) * kRequests / total;
  }
  if (failures.load() > 0) state.SkipWithError("requests failed");
  state.SetItemsProcessed(state.iterations() * kRequests);
}

void BM_CurlParallelSmallGets(benchmark::State& state) {
  char path[] = "/tmp/vx-curl-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    state.SkipWithError("mkstemp failed");
    return;
  }
  close(fd);
  {
    std::ofstream config(path);
    const std::string url = service().url("/bytes/64");
    for (int i = 0; i < kRequests; ++i) config << "url = \"" << url << "\"\noutput = \"/dev/null\"\n";
  }
  const std::string maxText = std::to_string(kConnections);
  const char* argv[] = {"curl",
                        "--silent",
                        "--no-progress-meter",
                        "--fail",
                        "--parallel",
                        "--parallel-max",
                        maxText.c_str(),
                        "--noproxy",
                        "*",
                        "-K",
                        path,
                        nullptr};
  double total = 0;
  int done = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const int spawned = posix_spawnp(&pid, "curl", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      state.SkipWithError("curl could not be started");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("curl failed");
      break;
    }
    state.SetIterationTime(elapsed.count());
    total += elapsed.count();
    curlRate = static_cast<double>(++done) * kRequests / total;
  }
  unlink(path);
  state.SetItemsProcessed(state.iterations() * kRequests);
}

BENCHMARK(BM_URLSessionSmallGets)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_CurlParallelSmallGets)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\n%d small GETs over loopback, %d keep-alive connections:\n", kRequests, kConnections);
  std::printf("  URLSession:          %10.0f requests/s\n", sessionRate);
  std::printf("  curl --parallel:     %10.0f requests/s\n", curlRate);
  if (curlRate > 0) std::printf("  ratio session/curl: %10.2f\n", sessionRate / curlRate);
  service().stop();
  return 0;
}
