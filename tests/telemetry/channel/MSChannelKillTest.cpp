// Nothing lost, nothing sent twice: a child enqueues and sends logs in a loop and is killed with
// SIGKILL at random points, 50 times, each run recovering what the last one left. Afterwards
// every log whose enqueue had returned is in the store or reached the local service; no run sent
// a log twice; and a log reached the service again in a later run only when its batch was still
// unacknowledged at a kill (the service had it, the killed child never heard the 200: no client
// can know that batch arrived). A run can have at most its pending-batch limit unacknowledged.
//
// Each run sends its own install id, so every container is put to the run that sent it even when
// the service records a killed run's last request after the next run has begun.
#include "telemetry/channel/ChannelTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <tuple>

extern char** environ;

namespace {

constexpr int kKills = 50;
constexpr std::size_t kPendingBatchesLimit = 3;  // as the child's unit is configured

struct ChildRun {
  pid_t pid = -1;
  int readFd = -1;
};

ChildRun spawnChild(const std::string& database, const std::string& baseURL, long first, const std::string& installId) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  const std::string firstText = std::to_string(first);
  const std::string fdText = std::to_string(fds[1]);
  const char* argv[] = {VX_CHANNEL_KILL_CHILD, database.c_str(),  baseURL.c_str(), firstText.c_str(),
                        fdText.c_str(),        installId.c_str(), nullptr};
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, VX_CHANNEL_KILL_CHILD, nullptr, nullptr, const_cast<char**>(argv), environ);
  ::close(fds[1]);
  if (spawned != 0) {
    ::close(fds[0]);
    return {};
  }
  return {pid, fds[0]};
}

bool readNumber(int fd, long& n) {
  std::size_t got = 0;
  auto* bytes = reinterpret_cast<char*>(&n);
  while (got < sizeof n) {
    const ssize_t r = ::read(fd, bytes + got, sizeof n - got);
    if (r == 0) return false;
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<std::size_t>(r);
  }
  return true;
}

TEST(MSChannelKillTest, KilledRunsLoseNoLogAndResendOnlyWhatWasOnTheWire) {
  vx::devservice::DevService service;
  ASSERT_TRUE(service.start().ok());
  const std::string database = "kill.sqlite";
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> reportsBeforeKill(0, 40);

  std::set<long> returned;  // logs whose enqueue returned before the kill
  std::map<std::string, int> runOfInstallId;
  for (int run = 0; run < kKills; ++run) {
    const std::string installId = vx::UUID::make().uuidString();
    runOfInstallId[installId] = run;
    const auto child = spawnChild(database, service.baseURL(), run * 1000000L, installId);
    ASSERT_GT(child.pid, 0) << "could not start " << VX_CHANNEL_KILL_CHILD;
    const int target = reportsBeforeKill(random);  // 0: killed while it starts and recovers
    long n = 0;
    for (int reported = 0; reported < target && readNumber(child.readFd, n); ++reported) returned.insert(n);
    ::kill(child.pid, SIGKILL);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "run " << run << " status " << status;
    while (readNumber(child.readFd, n)) returned.insert(n);  // reported before it died
    ::close(child.readFd);
  }

  // The next start: recover into the store without sending (no application secret yet).
  auto storage = std::make_shared<MSLogDBStorage>(database);
  auto ingestion = MSHttpIngestion::make<MSZerEvuzevIngestion>(service.baseURL(), vx::UUID::make().uuidString());
  auto queue = vx::DispatchQueue::makeSerial("kill-test");
  auto unit = MSChannelUnitDefault::make(ingestion, storage,
                                         std::make_shared<MSChannelUnitConfiguration>("kill", 1, 3, 10, 3), queue);
  std::multiset<std::string> stored;
  queue->sync([&] {
    storage->loadLogsWithGroupId("kill", 1u << 30, std::nullopt, std::nullopt, std::nullopt,
                                 [&](const std::vector<MSLogPtr>& logs, const std::optional<std::string>&) {
                                   for (const auto& log : logs) stored.insert(log->sid.value_or(""));
                                 });
  });

  // Each receipt: the run that sent it and the container (request index) it came in.
  struct Receipt {
    int run;
    std::size_t container;
    bool operator<(const Receipt& o) const { return std::tie(run, container) < std::tie(o.run, o.container); }
  };
  std::map<std::string, std::vector<Receipt>> receipts;
  const auto requests = service.requests("/logs");
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const auto installId = requests[i].header("Install-ID").value_or("");
    const auto run = runOfInstallId.find(installId);
    ASSERT_NE(run, runOfInstallId.end()) << "container " << i << " came from no run: \"" << installId << "\"";
    const auto body = nlohmann::json::parse(requests[i].body, nullptr, false);
    ASSERT_FALSE(body.is_discarded());
    for (const auto& log : body["logs"]) receipts[log.value("sid", "")].push_back({run->second, i});
  }
  for (auto& [sid, list] : receipts) std::sort(list.begin(), list.end());

  // Per run, the containers it never heard acknowledged: those whose logs came again from a later
  // run or are still in the store.
  std::map<int, std::set<std::size_t>> unacknowledged;
  std::size_t lost = 0, resent = 0;
  for (long n : returned) {
    const std::string sid = "n-" + std::to_string(n);
    EXPECT_LE(stored.count(sid), 1u) << sid << " stored twice";
    const auto found = receipts.find(sid);
    if (found == receipts.end() && stored.count(sid) == 0) {
      ++lost;
      ADD_FAILURE() << sid << " was enqueued but is neither stored nor received";
    }
  }
  for (const auto& [sid, list] : receipts) {
    for (std::size_t i = 0; i + 1 < list.size(); ++i) {
      ++resent;
      if (list[i].run == list[i + 1].run) {
        ADD_FAILURE() << sid << " sent twice by run " << list[i].run << " (containers " << list[i].container << " and "
                      << list[i + 1].container << ")";
      }
      unacknowledged[list[i].run].insert(list[i].container);
    }
    if (stored.count(sid) != 0) unacknowledged[list.back().run].insert(list.back().container);
  }
  std::size_t overLimit = 0;
  for (const auto& [run, containers] : unacknowledged) {
    if (containers.size() > kPendingBatchesLimit) {
      ++overLimit;
      ADD_FAILURE() << "run " << run << " left " << containers.size()
                    << " delivered batches unacknowledged (resent or kept), more than it can have on the wire";
    }
  }
  EXPECT_EQ(lost, 0u);
  EXPECT_EQ(overLimit, 0u);
  std::cout << returned.size() << " logs enqueued over " << kKills << " killed runs; " << receipts.size()
            << " received, " << stored.size() << " still stored, " << resent
            << " received again after a kill caught their batch on the wire\n";
  EXPECT_GT(receipts.size(), 0u) << "the runs sent something";
}

}  // namespace
