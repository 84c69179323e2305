// Nothing lost, nothing sent twice: a child enqueues and sends logs in a loop and is killed with
// SIGKILL at random points, 50 times, each run recovering what the last one left. Afterwards
// every log whose enqueue had returned is in the store or reached the local service, and a log
// reached it twice only when its batch was on the wire at a kill (the service had it, the
// killed child never heard the 200: no client can know that batch arrived).
#include "telemetry/channel/ChannelTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>
#include <set>

extern char** environ;

namespace {

constexpr int kKills = 50;
constexpr std::size_t kPendingBatchesLimit = 3;  // as the child's unit is configured

struct ChildRun {
  pid_t pid = -1;
  int readFd = -1;
};

ChildRun spawnChild(const std::string& database, const std::string& baseURL, long first) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  const std::string firstText = std::to_string(first);
  const std::string fdText = std::to_string(fds[1]);
  const char* argv[] = {VX_CHANNEL_KILL_CHILD, database.c_str(), baseURL.c_str(), firstText.c_str(), fdText.c_str(),
                        nullptr};
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
  // Per kill: the service's container count when it came, and when the next run began.
  std::vector<std::pair<std::size_t, std::size_t>> onTheWire;
  for (int run = 0; run < kKills; ++run) {
    const std::size_t containersAtStart = service.requests("/logs").size();
    if (!onTheWire.empty()) onTheWire.back().second = containersAtStart;
    const auto child = spawnChild(database, service.baseURL(), run * 1000000L);
    ASSERT_GT(child.pid, 0) << "could not start " << VX_CHANNEL_KILL_CHILD;
    const int target = reportsBeforeKill(random);  // 0: killed while it starts and recovers
    long n = 0;
    for (int reported = 0; reported < target && readNumber(child.readFd, n); ++reported) returned.insert(n);
    const std::size_t containersAtKill = service.requests("/logs").size();
    ::kill(child.pid, SIGKILL);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "run " << run << " status " << status;
    while (readNumber(child.readFd, n)) returned.insert(n);  // reported before it died
    ::close(child.readFd);
    onTheWire.push_back({containersAtKill, containersAtKill});
  }
  onTheWire.back().second = service.requests("/logs").size();

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

  // Which container each receipt came in.
  std::map<std::string, std::vector<std::size_t>> receipts;
  const auto requests = service.requests("/logs");
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const auto body = nlohmann::json::parse(requests[i].body, nullptr, false);
    ASSERT_FALSE(body.is_discarded());
    for (const auto& log : body["logs"]) receipts[log.value("sid", "")].push_back(i);
  }
  const auto onTheWireAtAKill = [&](std::size_t container) {
    for (const auto& [atKill, nextStart] : onTheWire) {
      if (container + kPendingBatchesLimit >= atKill && container < nextStart) return true;
    }
    return false;
  };

  std::size_t lost = 0, resent = 0, unexplained = 0;
  for (long n : returned) {
    const std::string sid = "n-" + std::to_string(n);
    const auto found = receipts.find(sid);
    const std::size_t received = found == receipts.end() ? 0 : found->second.size();
    EXPECT_LE(stored.count(sid), 1u) << sid << " stored twice";
    if (received == 0 && stored.count(sid) == 0) {
      ++lost;
      ADD_FAILURE() << sid << " was enqueued but is neither stored nor received";
    }
    for (std::size_t i = 0; i + 1 < received; ++i) {
      ++resent;
      if (!onTheWireAtAKill(found->second[i])) {
        ++unexplained;
        ADD_FAILURE() << sid << " received again after container " << found->second[i]
                      << ", which was not on the wire at a kill";
      }
    }
  }
  for (const auto& sid : stored) {
    const auto found = receipts.find(sid);
    // Left in the store although received: only a batch on the wire at the last kill.
    if (found != receipts.end() && !found->second.empty()) {
      EXPECT_TRUE(onTheWireAtAKill(found->second.back())) << sid << " is stored after its batch was delivered";
    }
  }
  EXPECT_EQ(lost, 0u);
  EXPECT_EQ(unexplained, 0u);
  std::cout << returned.size() << " logs enqueued over " << kKills << " killed runs; " << receipts.size()
            << " received, " << stored.size() << " still stored, " << resent
            << " received again after a kill caught their batch on the wire\n";
  EXPECT_GT(receipts.size(), 0u) << "the runs sent something";
}

}  // namespace
