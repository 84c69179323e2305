// The crash service from crash to ingestion: a launch of the application crashes (fault, abort,
// uncaught C++ exception), the next launch takes the report in, builds the error log with the
// session and user of the crash time and sends it; the local service receives it. Each launch is
// its own process (the engine is enabled once per process).
#include "platform/foundation/Base64.h"
#include "support/TemporaryFolder.h"
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzev/Storage/MSLogDBStorage.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSErrorLogs.h"
#include "tools/devservice/DevService.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace std::chrono_literals;

namespace {

// The trap of the service's test crash.
#if defined(__x86_64__) || defined(__i386__)
constexpr int kTrapSignal = SIGILL;
constexpr const char* kTrapSignalName = "SIGILL";
#else
constexpr int kTrapSignal = SIGTRAP;
constexpr const char* kTrapSignalName = "SIGTRAP";
#endif

// A launch; with `output`, its standard output and error go to that file.
pid_t spawnLaunch(const std::string& baseURL, const std::string& mode, const std::filesystem::path& output = {}) {
  const char* argv[] = {VX_CRASHES_LAUNCH_CHILD, baseURL.c_str(), mode.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!output.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  pid_t pid = -1;
  const int failed = ::posix_spawn(&pid, VX_CRASHES_LAUNCH_CHILD, &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  return failed != 0 ? -1 : pid;
}

std::string fileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A launch run under a tracer, as under a debugger: every signal it stops with is passed on to
// it unchanged. Its standard output and error go to `output`; the status it ended with.
int tracedLaunch(const std::string& baseURL, const std::string& mode, const std::filesystem::path& output) {
  const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    const char* argv[] = {VX_CRASHES_LAUNCH_CHILD, baseURL.c_str(), mode.c_str(), nullptr};
    ::execve(VX_CRASHES_LAUNCH_CHILD, const_cast<char**>(argv), environ);
    ::_exit(127);
  }
  ::close(fd);
  if (pid < 0) return -1;
  bool execStopSeen = false;
  int status = 0;
  while (::waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
    int signal = WSTOPSIG(status);
    if (!execStopSeen) {
      // The stop at the exec is the tracer's own; later execs are reported as events.
      execStopSeen = true;
      ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACEEXEC));
      signal = 0;
    } else if ((status >> 16) != 0) {
      signal = 0;
    }
    ::ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<std::intptr_t>(signal)));
  }
  return status;
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

// The stored rows of the log store: group, priority (the enqueue flags' persistence) and the log.
struct StoredRow {
  std::string groupId;
  std::int64_t priority = 0;
  std::shared_ptr<MSAbstractLog> log;
};

std::vector<StoredRow> storedRows() {
  MSRegisterCrashesArchivableClasses();
  std::vector<StoredRow> rows;
  const auto path = MSUtility::zerEvuzevDirectoryURL() / MSLogDBStorage::kMSDBFileName;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    ADD_FAILURE() << "cannot open " << path;
    return rows;
  }
  sqlite3_stmt* statement = nullptr;
  const std::string query = std::string("SELECT \"") + MSLogDBStorage::kMSGroupIdColumnName + "\", \"" +
                            MSLogDBStorage::kMSPriorityColumnName + "\", \"" + MSLogDBStorage::kMSLogColumnName +
                            "\" FROM \"" + MSLogDBStorage::kMSLogTableName + "\"";
  if (sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      StoredRow row;
      row.groupId = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      row.priority = sqlite3_column_int64(statement, 1);
      const auto archive = vx::base64Decode(reinterpret_cast<const char*>(sqlite3_column_text(statement, 2)));
      if (archive) {
        if (auto log = MSUnarchiveObject<MSAbstractLog>(*archive)) row.log = *log;
      }
      rows.push_back(std::move(row));
    }
  } else {
    ADD_FAILURE() << sqlite3_errmsg(db);
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
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

TEST_F(MSCrashesEndToEndTest, TheTestCrashEndsTheProcessByATrapThatTheNextLaunchSends) {
  const int status = crashingLaunch(baseURL_, "test-crash");
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == kTrapSignal) << "status " << status;
  launch("send");
  const auto logs = waitForLogs(service_, "appleError", 1);
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs.front()["osExceptionType"], kTrapSignalName);
  EXPECT_EQ(logs.front()["fatal"], true);
}

TEST_F(MSCrashesEndToEndTest, WithADebuggerAttachedTheTestCrashWarnsAndStillTraps) {
  const vx::test::TemporaryFolder folder("crashes-debugger");
  const int status = tracedLaunch(baseURL_, "test-crash", folder.file("output"));
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == kTrapSignal) << "status " << status;
  const std::string output = fileText(folder.file("output"));
  EXPECT_NE(output.find("The debugger is attached. The following crash cannot be detected by the SDK!"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("Detecting crashes is NOT enabled due to running the app with a debugger attached."),
            std::string::npos)
      << output;
  // Nothing was installed, so nothing recorded the trap.
  const int checked = waitFor(spawnLaunch(baseURL_, "has-pending", folder.file("pending")));
  ASSERT_TRUE(WIFEXITED(checked) && WEXITSTATUS(checked) == 0) << checked;
  EXPECT_EQ(fileText(folder.file("pending")), "pending no\n");
}

// The crash's error log is kept as critical (persistence 2) where the channel keeps its logs; an
// ingestion that keeps failing leaves it there to be read.
TEST_F(MSCrashesEndToEndTest, TheCrashErrorLogIsStoredWithCriticalPersistence) {
  const int status = crashingLaunch(baseURL_, "test-crash");
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == kTrapSignal) << "status " << status;
  service_.setFault("/logs", vx::devservice::Fault::withStatus(500));
  launch("send");
  // It was read back from the store to be sent, and the send failed.
  ASSERT_EQ(waitForLogs(service_, "appleError", 1).size(), 1u);
  stopLaunches();
  std::vector<StoredRow> errorRows;
  for (auto& row : storedRows()) {
    if (std::dynamic_pointer_cast<MSAppleErrorLog>(row.log)) errorRows.push_back(row);
  }
  ASSERT_EQ(errorRows.size(), 1u);
  EXPECT_EQ(errorRows.front().groupId, "Crashes");
  EXPECT_EQ(errorRows.front().priority, 2);
}

TEST_F(MSCrashesEndToEndTest, AHandledExceptionArrivesAsAHandledErrorLog) {
  launch("track");
  const auto logs = waitForLogs(service_, "handledError", 2);
  ASSERT_EQ(logs.size(), 2u);
  const std::regex upperCaseUUID("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
  std::set<std::string> ids;
  for (const auto& log : logs) {
    ASSERT_TRUE(log.contains("id")) << log.dump();
    EXPECT_TRUE(std::regex_match(log["id"].get<std::string>(), upperCaseUUID)) << log["id"];
    ids.insert(log["id"].get<std::string>());
    EXPECT_EQ(log.value("userId", ""), "user-track");
    EXPECT_TRUE(log.contains("timestamp"));
    EXPECT_TRUE(log.contains("device"));
    const auto& exception = log["exception"];
    EXPECT_EQ(exception["type"], "IconRenderError");
    EXPECT_EQ(exception["message"], "the icon could not be drawn");
    EXPECT_EQ(exception["wrapperSdkName"], "vexel.wrapper");
    ASSERT_EQ(exception["frames"].size(), 1u);
    EXPECT_EQ(exception["frames"][0]["address"], "0x00000000004011a0");
    EXPECT_EQ(exception["frames"][0]["methodName"], "IconRenderer.draw");
    EXPECT_EQ(exception["frames"][0]["lineNumber"], 42);
  }
  EXPECT_EQ(ids.size(), 2u);
  // One was given properties: the entry without a key is left out, the long value cut.
  const auto withProperties = logs[0].contains("properties") ? logs[0] : logs[1];
  const auto& without = logs[0].contains("properties") ? logs[1] : logs[0];
  EXPECT_EQ(withProperties["properties"], (nlohmann::json{{"size", "large"}, {"name", std::string(125, 'v')}}));
  EXPECT_FALSE(without.contains("properties"));
}

TEST_F(MSCrashesEndToEndTest, AHandledExceptionBeforeStartIsNotSent) {
  launch("track-unstarted");
  // The marker was enqueued after the call, into the same unit.
  ASSERT_EQ(waitForLogs(service_, "afterTrack", 1).size(), 1u);
  EXPECT_TRUE(quietLogs(service_, "handledError").empty());
}

TEST_F(MSCrashesEndToEndTest, AHandledExceptionWhileDisabledIsNotEvenEnqueued) {
  const vx::test::TemporaryFolder folder("crashes-track");
  const pid_t pid = spawnLaunch(baseURL_, "track-disabled", folder.file("output"));
  ASSERT_GT(pid, 0);
  running_.push_back(pid);
  ASSERT_EQ(waitForLogs(service_, "afterTrack", 1).size(), 1u);
  EXPECT_TRUE(quietLogs(service_, "handledError").empty());
  stopLaunches();
  const std::string output = fileText(folder.file("output"));
  EXPECT_NE(output.find("prepared 0\n"), std::string::npos) << output;
}

// A wrapper with automatic processing off: it reads the waiting reports once processing is
// over, keeps some by incident identifier, answers for its user and adds attachments.
TEST_F(MSCrashesEndToEndTest, AWrapperSendsTheReportsItKeepsWithTheirAttachments) {
  crashingLaunch(baseURL_, "crash-abort");
  const vx::test::TemporaryFolder folder("crashes-wrapper");
  const pid_t pid = spawnLaunch(baseURL_, "wrapper-send", folder.file("output"));
  ASSERT_GT(pid, 0);
  running_.push_back(pid);
  const auto errors = waitForLogs(service_, "appleError", 1);
  ASSERT_EQ(errors.size(), 1u);
  const auto attachments = waitForLogs(service_, "errorAttachment", 1);
  ASSERT_EQ(attachments.size(), 1u);
  EXPECT_EQ(attachments.front()["errorId"], errors.front()["id"]);
  EXPECT_EQ(attachments.front()["fileName"], "cache.txt");
  stopLaunches();
  const std::string output = fileText(folder.file("output"));
  EXPECT_NE(output.find("waiting 1\n"), std::string::npos) << output;
  EXPECT_NE(output.find("always 0\n"), std::string::npos) << output;
  EXPECT_TRUE(storedReports().empty());
}

TEST_F(MSCrashesEndToEndTest, AWrapperThatKeepsNoReportSendsNothingAndDeletesThem) {
  crashingLaunch(baseURL_, "crash-abort");
  launch("wrapper-drop");
  ASSERT_EQ(waitForLogs(service_, "afterFilter", 1).size(), 1u);
  EXPECT_TRUE(quietLogs(service_, "appleError").empty());
  stopLaunches();
  EXPECT_TRUE(storedReports().empty());
}

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
  if (!journalKept)
    std::filesystem::create_directories(MSUtility::zerEvuzevDirectoryURL() / "Logs.sqlite.Crashes.journal");

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
