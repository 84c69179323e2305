// A process killed while it saves logs leaves a database that opens and still holds every log
// whose save had returned: the child saves in a loop and reports each committed log through a
// pipe; the parent kills it with SIGKILL at some point and checks the file.
#include "telemetry/ZerEvuzev/Storage/MSLogDBStorage.h"

#include "telemetry/storage/MSLogDBStorageTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>

namespace {

namespace fs = std::filesystem;

// Saves logs numbered from `first` for ever, writing each number to `fd` once it is stored.
[[noreturn]] void saveForever(const std::string& name, int first, int fd) {
  MSLogDBStorage storage(name);
  for (int n = first;; ++n) {
    if (storage.saveLog(MSNumberedLog(n, 300), "crash", 1)) {
      if (write(fd, &n, sizeof n) != static_cast<ssize_t>(sizeof n)) _exit(3);
    }
  }
}

// Runs a saving child and kills it once it reported `killAfter` logs; the numbers it reported.
std::vector<int> saveAndKill(const std::string& name, int first, int killAfter) {
  int fds[2];
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe";
    return {};
  }
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    saveForever(name, first, fds[1]);
  }
  close(fds[1]);
  std::vector<int> committed;
  int n = 0;
  while (static_cast<int>(committed.size()) < killAfter &&
         read(fds[0], &n, sizeof n) == static_cast<ssize_t>(sizeof n)) {
    committed.push_back(n);
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
  // Whatever the child reported before it died was committed too.
  while (read(fds[0], &n, sizeof n) == static_cast<ssize_t>(sizeof n)) committed.push_back(n);
  close(fds[0]);
  return committed;
}

TEST(MSLogDBStorageCrashTest, KilledWhileSavingLosesNoCommittedLog) {
  const std::string name = MSTestDatabaseName();
  std::set<std::string> expected;
  int next = 0;
  std::size_t rounds = 0;
  // Kills after different amounts of work, so they land at different points of a save.
  for (const int killAfter : {1, 37, 90}) {
    const auto committed = saveAndKill(name, next, killAfter);
    ASSERT_GE(static_cast<int>(committed.size()), killAfter);
    for (int n : committed) expected.insert("seq-" + std::to_string(n));
    next = committed.back() + 1000;
    ++rounds;

    EXPECT_EQ(MSRawColumn(name, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
    MSLogDBStorage storage(name);
    std::set<std::string> found;
    storage.loadLogsWithGroupId("crash", std::numeric_limits<std::size_t>::max(), std::nullopt, std::nullopt,
                                std::nullopt, [&](const std::vector<MSLogPtr>& logs, const auto&) {
                                  for (const auto& log : logs) found.insert(MSLogSeq(log));
                                });
    for (const auto& seq : expected) EXPECT_TRUE(found.count(seq)) << seq << " lost after kill at " << killAfter;
    // At most the one save in flight per kill may have landed without being reported.
    EXPECT_LE(found.size(), expected.size() + rounds);
  }
  // The file was never found damaged.
  for (const auto& entry : fs::directory_iterator(MSDatabasePath(name).parent_path())) {
    EXPECT_EQ(entry.path().filename().string().find(name + ".corrupt-"), std::string::npos);
  }
}

}  // namespace
