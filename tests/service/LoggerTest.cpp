#include "app/service/Logger.h"

#include <gtest/gtest.h>

#include <mutex>
#include <syslog.h>
#include <thread>
#include <vector>

namespace Vexelworks {
namespace {

// Collects every line for the lifetime of a test, then puts the system-log sink back.
class CapturedLog {
 public:
  CapturedLog() {
    setLogSink([this](std::string_view level, std::string_view line) {
      std::lock_guard lock(mutex_);
      entries_.emplace_back(std::string(level), std::string(line));
    });
  }
  ~CapturedLog() { setLogSink(nullptr); }
  std::vector<std::pair<std::string, std::string>> entries() {
    std::lock_guard lock(mutex_);
    return entries_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> entries_;
};

TEST(LoggerTest, LineFormatTable) {
  struct Case {
    std::string message, level, function, file;
    int line;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"Session task failed (none)", "WARN", "dataTask(_:handler:)", "/src/app/APIClient.swift", 77,
       "[WARN] APIClient.dataTask(_:handler:)[77] Session task failed (none)"},
      {"m", "DEBUG", "load", "app/service/IconList/IconList.cpp", 1, "[DEBUG] IconList.load[1] m"},
      {"", "ERROR", "f", "x.cpp", 0, "[ERROR] x.f[0] "},
      {"no file", "INFO", "f", "", 12, "[INFO] .f[12] no file"},
      {"custom", "TRACE", "f", "a/b", -3, "[TRACE] b.f[-3] custom"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(formatLogLine(c.message, c.level, c.function, c.file, c.line), c.expected);
  }
}

TEST(LoggerTest, FileNameTable) {
  struct Case {
    std::string path, name;
  };
  const std::vector<Case> cases = {
      {"app/service/APIClient.cpp", "APIClient"},
      {"/abs/path/AuthStore.swift", "AuthStore"},
      {"APIClient", "APIClient"},
      {"archive.tar.gz", "archive.tar"},
      {"dir/.hidden", ".hidden"},
      {"dir/", "dir"},
      {"", ""},
      {"/", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(logFileName(c.path), c.name) << c.path;
}

TEST(LoggerTest, MessagesAreNeverFormats) {
  CapturedLog captured;
  log("100% %@ %d %s %n %%", "INFO", "f", "File.cpp", 3);
  auto entries = captured.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].second, "[INFO] File.f[3] 100% %@ %d %s %n %%");
  EXPECT_EQ(entries[0].first, "INFO");
}

TEST(LoggerTest, MacroFillsInTheCallSite) {
  CapturedLog captured;
  const int line = __LINE__ + 1;
  VX_LOG("DEBUG", "hello");
  auto entries = captured.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].second, "[DEBUG] LoggerTest.TestBody[" + std::to_string(line) + "] hello");
}

TEST(LoggerTest, LongMessagesAreCutAtACharacterBoundary) {
  constexpr std::size_t kMaxLogMessageBytes = 4096;
  const std::string prefix = "[INFO] F.f[1] ";
  EXPECT_EQ(formatLogLine(std::string(kMaxLogMessageBytes, 'a'), "INFO", "f", "F", 1),
            prefix + std::string(kMaxLogMessageBytes, 'a'));
  // A rejected reply quoted whole: the line keeps the first bytes and says how much went.
  const std::string huge(1'000'000, 'x');
  EXPECT_EQ(formatLogLine(huge, "INFO", "f", "F", 1), prefix + std::string(kMaxLogMessageBytes, 'x') + "... (" +
                                                          std::to_string(huge.size() - kMaxLogMessageBytes) +
                                                          " more bytes)");
  // A two-byte character across the limit is left out whole.
  const std::string accents = std::string(kMaxLogMessageBytes - 1, 'a') + "\xC3\xA9" + "tail";
  const auto line = formatLogLine(accents, "INFO", "f", "F", 1);
  EXPECT_EQ(line, prefix + std::string(kMaxLogMessageBytes - 1, 'a') + "... (6 more bytes)");
}

TEST(LoggerTest, LinesFromLambdasNameTheEnclosingFunction) {
  CapturedLog captured;
  const int line = __LINE__ + 1;
  const auto report = [] { VX_LOG("WARN", "from a lambda"); };
  report();
  [] { [] { VX_LOG("INFO", "nested"); }(); }();
  auto entries = captured.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].second, "[WARN] LoggerTest.TestBody[" + std::to_string(line) + "] from a lambda");
  EXPECT_EQ(entries[1].second.rfind("[INFO] LoggerTest.TestBody[", 0), 0u) << entries[1].second;
  EXPECT_EQ(entries[1].second.find("operator()"), std::string::npos);
}

TEST(LoggerTest, EveryLevelIsWrittenAndSinkSwapReturnsThePrevious) {
  CapturedLog captured;
  for (const char* level : {"DEBUG", "INFO", "WARN", "ERROR"}) log("x", level, "f", "F", 1);
  EXPECT_EQ(captured.entries().size(), 4u);

  std::vector<std::string> second;
  LogSink previous = setLogSink([&](std::string_view, std::string_view line) { second.emplace_back(line); });
  ASSERT_TRUE(previous);
  log("y", "INFO", "f", "F", 1);
  setLogSink(previous);
  log("z", "INFO", "f", "F", 1);
  EXPECT_EQ(second, std::vector<std::string>{"[INFO] F.f[1] y"});
  EXPECT_EQ(captured.entries().size(), 5u);
}

TEST(LoggerTest, LinesFromManyThreadsStayWhole) {
  CapturedLog captured;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        log("thread " + std::to_string(t) + " line " + std::to_string(i), "INFO", "run", "T.cpp", t);
      }
    });
  }
  // Swapping the sink while others log must be safe too.
  for (int i = 0; i < 50; ++i) {
    auto sink = setLogSink(nullptr);
    setLogSink(sink);
  }
  for (auto& thread : threads) thread.join();
  const auto entries = captured.entries();
  for (const auto& [level, line] : entries) {
    EXPECT_EQ(line.rfind("[INFO] T.run[", 0), 0u) << line;
    EXPECT_NE(line.find("] thread "), std::string::npos) << line;
  }
}

// The real system log: syslog(3) with LOG_PERROR copies each entry to standard error, which the
// death-test machinery hands back. The child also shows that a "%n" message does not crash it
// and that the level picks the priority (the mask lets INFO through but not DEBUG).
TEST(LoggerSystemLogDeathTest, WritesVerbatimLinesToSyslogAtTheLevelsPriority) {
  EXPECT_EXIT(
      {
        setLogSink(nullptr);
        openlog("vxlogtest", LOG_PERROR, LOG_USER);
        setlogmask(LOG_UPTO(LOG_INFO));
        log("hidden debug line", "DEBUG", "f", "Hidden.cpp", 1);
        log("100%% done %s %n", "INFO", "send", "/x/Shown.cpp", 42);
        log("careful", "WARN", "w", "Warn.cpp", 2);
        closelog();
        std::fprintf(stderr, "END\n");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0),
      "vxlogtest.*\\[INFO\\] Shown\\.send\\[42\\] 100%% done %s %n\n"
      "(.|\n)*\\[WARN\\] Warn\\.w\\[2\\] careful\n(.|\n)*END");
}

TEST(LoggerSystemLogDeathTest, DebugLinesAreFilteredOnlyByTheSystemMask) {
  // With the mask opened to DEBUG, the DEBUG line shows: the logger itself filters nothing.
  EXPECT_EXIT(
      {
        setLogSink(nullptr);
        openlog("vxlogtest", LOG_PERROR, LOG_USER);
        setlogmask(LOG_UPTO(LOG_DEBUG));
        log("debug line", "DEBUG", "f", "D.cpp", 5);
        closelog();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "\\[DEBUG\\] D\\.f\\[5\\] debug line");
}

}  // namespace
}  // namespace Vexelworks
