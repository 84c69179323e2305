// The crash service from crash to ingestion: a launch of the application crashes (fault, abort,
// uncaught C++ exception), the next launch takes the report in, builds the error log with the
// session and user of the crash time and sends it; the local service receives it. Each launch is
// its own process (the engine is enabled once per process).
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "tools/devservice/DevService.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace std::chrono_literals;

namespace {

pid_t spawnLaunch(const std::string& baseURL, const std::string& mode) {
  const char* argv[] = {VX_CRASHES_LAUNCH_CHILD, baseURL.c_str(), mode.c_str(), nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, VX_CRASHES_LAUNCH_CHILD, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return -1;
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

// A launch that crashes; the status it ended with.
int crashingLaunch(const std::string& baseURL, const std::string& mode) { return waitFor(spawnLaunch(baseURL, mode)); }

std::vector<nlohmann::json> receivedLogs(const vx::devservice::DevService& service, const std::string& type) {
  std::vector<nlohmann::json> logs;
  for (const auto& request : service.requests("/logs")) {
    const auto body = nlohmann::json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.contains("logs")) continue;
    for (const auto& log : body["logs"]) {
      if (log.value("type", "") == type) logs.push_back(log);
    }
  }
  return logs;
}

// Waits until `count` logs of the type have arrived (or a generous safety limit passed).
std::vector<nlohmann::json> waitForLogs(vx::devservice::DevService& service, const std::string& type,
                                        std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  auto logs = receivedLogs(service, type);
  while (logs.size() < count && std::chrono::steady_clock::now() < deadline) {
    service.waitForRequests(service.requests("/logs").size() + 1, 200ms);
    logs = receivedLogs(service, type);
  }
  return logs;
}

// The logs of the type once the service has heard nothing more for a few seconds, so a copy sent
// late would be counted too.
std::vector<nlohmann::json> quietLogs(vx::devservice::DevService& service, const std::string& type) {
  for (;;) {
    const auto seen = service.requestLog().size();
    if (!service.waitForRequests(seen + 1, 3s)) return receivedLogs(service, type);
  }
}

std::vector<std::filesystem::path> storedReports() {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(MSUtility::zerEvuzevDirectoryURL() / "crashes", ec)) {
    if (entry.is_regular_file() && entry.file_size() > 0 && entry.path().extension() != ".analyzer") {
      files.push_back(entry.path());
    }
  }
  return files;
}

class MSCrashesEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The store and its units' journals: a journal left by an earlier test would bring its logs back.
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(MSUtility::zerEvuzevDirectoryURL(), ec)) {
      if (entry.path().filename().string().rfind("Logs.sqlite", 0) == 0) std::filesystem::remove_all(entry.path(), ec);
    }
    MSUtility::deleteItemForPathComponent("crashes");
    MSUtility::deleteItemForPathComponent("crasheslogbuffer");
    ASSERT_TRUE(service_.start().ok());
    baseURL_ = service_.baseURL();
    const int status = waitFor(spawnLaunch(baseURL_, "reset"));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  void TearDown() override {
    for (pid_t pid : running_) {
      ::kill(pid, SIGKILL);
      waitFor(pid);
    }
  }
  // A launch that keeps running until the test ends.
  void launch(const std::string& mode) {
    const pid_t pid = spawnLaunch(baseURL_, mode);
    ASSERT_GT(pid, 0);
    running_.push_back(pid);
  }
  void stopLaunches() {
    TearDown();
    running_.clear();
  }

  vx::devservice::DevService service_;
  std::string baseURL_;
  std::vector<pid_t> running_;
};

struct CrashCase {
  const char* mode;
  int signal;
  const char* osExceptionType;
  const char* exceptionType;
  const char* kind;
};

class CrashKindTest : public MSCrashesEndToEndTest, public ::testing::WithParamInterface<CrashCase> {};

TEST_P(CrashKindTest, TheNextLaunchSendsTheCrashWithItsSessionAndUser) {
  const CrashCase& c = GetParam();
  const int status = crashingLaunch(baseURL_, c.mode);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << "status " << status;
  // A report keeps whole seconds (the log's time is the end of that second): the next launch,
  // whose own history entries must come after it, starts in a later second, as a real one would.
  const auto second = [] {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
  };
  const auto crashed = second();
  while (second() == crashed) std::this_thread::yield();

  launch("send");
  const auto logs = waitForLogs(service_, "appleError", 1);
  ASSERT_EQ(logs.size(), 1u);
  const auto& log = logs.front();
  EXPECT_EQ(log["osExceptionType"], c.osExceptionType);
  if (c.exceptionType != nullptr) {
    EXPECT_EQ(log["exceptionType"], c.exceptionType);
    EXPECT_EQ(log["exceptionReason"], "the icon cache is gone");
  } else {
    EXPECT_FALSE(log.contains("exceptionType"));
  }
  EXPECT_EQ(log.value("sid", ""), std::string("session-") + c.kind);
  EXPECT_EQ(log.value("userId", ""), std::string("user-") + c.kind);
  EXPECT_EQ(log["fatal"], true);
  EXPECT_EQ(log["primaryArchitectureId"], 0x1000007);
  EXPECT_FALSE(log["threads"].empty());
  EXPECT_FALSE(log["binaries"].empty());
  EXPECT_TRUE(log.contains("device"));
  // Once the log is in the channel's store its report file is gone.
  stopLaunches();
  EXPECT_TRUE(storedReports().empty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, CrashKindTest,
                         ::testing::Values(CrashCase{"crash-segv", SIGSEGV, "SIGSEGV", nullptr, "segv"},
                                           CrashCase{"crash-abort", SIGABRT, "SIGABRT", nullptr, "abort"},
                                           CrashCase{"crash-cxx", SIGABRT, "SIGABRT", "std::runtime_error", "cxx"}),
                         [](const auto& info) { return std::string(info.param.kind); });

// Logs the crashing launch had prepared but not stored come back exactly once: from the channel's
// journal, or, when the journal cannot be kept, from the crash-time log buffer.
class InFlightLogsTest : public MSCrashesEndToEndTest, public ::testing::WithParamInterface<bool> {};

TEST_P(InFlightLogsTest, LogsInFlightAtTheCrashAreSentOnceAtTheNextLaunch) {
  const bool journalKept = GetParam();
  const auto folder = MSUtility::zerEvuzevDirectoryURL() / "crasheslogbuffer";
  std::filesystem::create_directories(folder);
  // A token file an earlier crash left for slot 0; the log that slot holds now has no token.
  { std::ofstream(folder / "0.targettoken") << "c3RhbGU="; }
  // A folder where the crash service's journal would go keeps the unit from opening one.
  if (!journalKept) std::filesystem::create_directories(MSUtility::zerEvuzevDirectoryURL() / "Logs.sqlite.Crashes.journal");

  const int status = crashingLaunch(baseURL_, "crash-buffered");
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
  EXPECT_FALSE(std::filesystem::exists(folder / "0.targettoken"));
  std::size_t nonEmpty = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".mscrasheslogbuffer" && entry.file_size() > 0) ++nonEmpty;
  }
  EXPECT_EQ(nonEmpty, journalKept ? 0u : 3u);

  launch("send");
  ASSERT_EQ(waitForLogs(service_, "inFlight", 3).size(), 3u);
  EXPECT_EQ(waitForLogs(service_, "appleError", 1).size(), 1u);
  const auto logs = quietLogs(service_, "inFlight");
  ASSERT_EQ(logs.size(), 3u);
  std::set<std::string> numbers;
  for (const auto& log : logs) numbers.insert(log["properties"]["n"].get<std::string>());
  EXPECT_EQ(numbers, (std::set<std::string>{"0", "1", "2"}));
  stopLaunches();
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".mscrasheslogbuffer") {
      EXPECT_EQ(entry.file_size(), 0u) << entry.path();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Journal, InFlightLogsTest, ::testing::Values(true, false),
                         [](const auto& info) { return std::string(info.param ? "Kept" : "Unavailable"); });

TEST_F(MSCrashesEndToEndTest, AskedAndAnsweredSendIsSent) {
  crashingLaunch(baseURL_, "crash-abort");
  launch("ask-send");
  EXPECT_EQ(waitForLogs(service_, "appleError", 1).size(), 1u);
}

TEST_F(MSCrashesEndToEndTest, AnsweredDontSendSendsNothingAndDeletesTheReport) {
  crashingLaunch(baseURL_, "crash-abort");
  launch("ask-dontsend");
  // The marker is enqueued after the answer was handled.
  ASSERT_EQ(waitForLogs(service_, "afterAnswer", 1).size(), 1u);
  EXPECT_TRUE(receivedLogs(service_, "appleError").empty());
  stopLaunches();
  EXPECT_TRUE(storedReports().empty());
}

TEST_F(MSCrashesEndToEndTest, AlwaysSendIsRememberedForLaterLaunches) {
  crashingLaunch(baseURL_, "crash-segv");
  launch("ask-always");
  ASSERT_EQ(waitForLogs(service_, "appleError", 1).size(), 1u);
  stopLaunches();
  // A handler that never answers is no longer asked.
  crashingLaunch(baseURL_, "crash-abort");
  launch("ask-never");
  EXPECT_EQ(waitForLogs(service_, "appleError", 2).size(), 2u);
}

TEST_F(MSCrashesEndToEndTest, ACrashWhileProcessingLosesNeitherReport) {
  crashingLaunch(baseURL_, "crash-segv");
  // This launch crashes while it processes the first report.
  const pid_t processing = spawnLaunch(baseURL_, "crash-in-processing");
  const int status = waitFor(processing);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
  EXPECT_TRUE(receivedLogs(service_, "appleError").empty());

  launch("send");
  const auto logs = waitForLogs(service_, "appleError", 2);
  ASSERT_EQ(logs.size(), 2u);
  std::set<std::string> ids;
  for (const auto& log : logs) ids.insert(log["id"].get<std::string>());
  EXPECT_EQ(ids.size(), 2u);
  stopLaunches();
  // Nothing is left to be sent a second time.
  EXPECT_TRUE(storedReports().empty());
}

TEST_F(MSCrashesEndToEndTest, UnprocessedReportsDoNotWaitWhenTheServiceStartsDisabled) {
  crashingLaunch(baseURL_, "crash-abort");
  const pid_t pid = spawnLaunch(baseURL_, "disabled");
  const int status = waitFor(pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(MSCrashesEndToEndTest, AStoredReportThatNeverDecodesIsDeleted) {
  std::filesystem::create_directories(MSUtility::zerEvuzevDirectoryURL() / "crashes");
  const auto garbage = MSUtility::zerEvuzevDirectoryURL() / "crashes" / "700000000";
  {
    std::ofstream out(garbage, std::ios::binary);
    out << "hxcrash\x01 not really";
  }
  crashingLaunch(baseURL_, "crash-segv");
  launch("send");
  // The real report goes out; the garbage is gone by then (processed in the same run, before).
  ASSERT_EQ(waitForLogs(service_, "appleError", 1).size(), 1u);
  stopLaunches();
  EXPECT_FALSE(std::filesystem::exists(garbage));
}

}  // namespace
