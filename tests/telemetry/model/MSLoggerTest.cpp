#include "telemetry/ZerEvuzev/Util/MSLogger.h"

#include "platform/foundation/LogText.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

class MSLoggerTest : public testing::Test {
 protected:
  void SetUp() override { MSLogger::resetForTesting(); }
  void TearDown() override { MSLogger::resetForTesting(); }

  // What the default handler prints for one line at `level`.
  static std::string printedBy(MSLogLevel level, int* providerCalls = nullptr) {
    testing::internal::CaptureStderr();
    MSLogger::logMessage(
        [providerCalls] {
          if (providerCalls != nullptr) ++*providerCalls;
          return std::string("the message");
        },
        level, "ZerEvuzev", "file.cpp", "doWork", 42);
    return testing::internal::GetCapturedStderr();
  }
};

TEST_F(MSLoggerTest, StartsAtAssertWithTheDefaultHandlerAndNoUserChoice) {
  EXPECT_EQ(MSLogger::currentLogLevel(), MSLogLevel::Assert);
  EXPECT_FALSE(MSLogger::isUserDefinedLogLevel());
  EXPECT_EQ(printedBy(MSLogLevel::Error), "");
  EXPECT_EQ(printedBy(MSLogLevel::Assert), "[ZerEvuzev] ASSERT: doWork/42 the message\n");
}

TEST_F(MSLoggerTest, PrintsEveryLevelAtOrAboveTheCurrentOneWithItsName) {
  MSLogger::setCurrentLogLevel(MSLogLevel::Verbose);
  EXPECT_TRUE(MSLogger::isUserDefinedLogLevel());
  const std::vector<std::pair<MSLogLevel, std::string>> table = {
      {MSLogLevel::Verbose, "VERBOSE"}, {MSLogLevel::Debug, "DEBUG"}, {MSLogLevel::Info, "INFO"},
      {MSLogLevel::Warning, "WARNING"}, {MSLogLevel::Error, "ERROR"}, {MSLogLevel::Assert, "ASSERT"},
  };
  for (const auto& [level, name] : table) {
    EXPECT_EQ(printedBy(level), "[ZerEvuzev] " + name + ": doWork/42 the message\n") << name;
  }
  EXPECT_EQ(printedBy(MSLogLevel::None), "");
  // A value outside the named levels prints without a level name.
  EXPECT_EQ(printedBy(static_cast<MSLogLevel>(8)), "[ZerEvuzev] : doWork/42 the message\n");
}

TEST_F(MSLoggerTest, MessageProviderRunsOnlyForPrintedLines) {
  MSLogger::setCurrentLogLevel(MSLogLevel::Warning);
  int calls = 0;
  EXPECT_EQ(printedBy(MSLogLevel::Debug, &calls), "");
  EXPECT_EQ(calls, 0);
  EXPECT_NE(printedBy(MSLogLevel::Error, &calls), "");
  EXPECT_EQ(calls, 1);
}

TEST_F(MSLoggerTest, MacrosFormatLazilyAndPassThePlaceOfTheCall) {
  struct Call {
    MSLogLevel level;
    std::string tag, function, message;
    unsigned line;
  };
  std::vector<Call> calls;
  MSLogger::setLogHandler([&calls](const MSLogMessageProvider& message, MSLogLevel level, const std::string& tag,
                                   const char*, const char* function, unsigned line) {
    calls.push_back({level, tag, function, message(), line});
  });
  EXPECT_TRUE(MSLogger::isUserDefinedLogLevel());
  const unsigned expectedLine = __LINE__ + 1;
  MSLogWarning("Tag", "%d item(s) in %s.", 3, "the store");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].level, MSLogLevel::Warning);
  EXPECT_EQ(calls[0].tag, "Tag");
  EXPECT_EQ(calls[0].function, "TestBody");
  EXPECT_EQ(calls[0].line, expectedLine);
  EXPECT_EQ(calls[0].message, "3 item(s) in the store.");

  // Inside a lambda the line still names the function it is written in.
  [] { MSLogError("Tag", "from a lambda"); }();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].function, "TestBody");
}

TEST_F(MSLoggerTest, NoHandlerMeansNoOutputAndWrapperLoggerUsesTheHandler) {
  MSLogger::setLogHandler(nullptr);
  EXPECT_EQ(printedBy(MSLogLevel::Assert), "");

  std::vector<std::string> seen;
  MSLogger::setLogHandler([&seen](const MSLogMessageProvider& message, MSLogLevel, const std::string& tag,
                                  const char* file, const char* function, unsigned line) {
    seen.push_back(tag + "|" + file + "|" + function + "|" + std::to_string(line) + "|" + message());
  });
  MSWrapperLogger::MSWrapperLog([] { return std::string("from the wrapper"); }, "Wrapper", MSLogLevel::Info);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], "Wrapper|MSWrapperLogger|MSWrapperLog|10|from the wrapper");
}

TEST_F(MSLoggerTest, LevelChangesFromManyThreadsAreSafe) {
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([i] {
      for (int k = 0; k < 500; ++k) {
        MSLogger::setCurrentLogLevel(i % 2 == 0 ? MSLogLevel::Error : MSLogLevel::Assert);
        MSLogDebug(kMSLogTag, "line %d", k);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const MSLogLevel level = MSLogger::currentLogLevel();
  EXPECT_TRUE(level == MSLogLevel::Error || level == MSLogLevel::Assert);
}

// Lines quote outside input (replies, stored logs): every handler gets the message cut to the
// system's bound, at a character boundary, with a marker of what went.
TEST_F(MSLoggerTest, LongMessagesReachEveryHandlerCut) {
  const std::size_t megabyte = 1 << 20;
  const std::string e = "\xC3\xA9";
  struct Case {
    const char* name;
    std::string message;
    std::string kept;
  } cases[] = {
      {"a megabyte of text", std::string(megabyte, 'x'), std::string(vx::kMaxLogMessageBytes, 'x')},
      {"character across the cut", std::string(vx::kMaxLogMessageBytes - 1, 'a') + e + std::string(megabyte, 'b'),
       std::string(vx::kMaxLogMessageBytes - 1, 'a')},
      {"bytes that are not UTF-8 at the cut",
       std::string(vx::kMaxLogMessageBytes - 1, 'a') + "\xFF\x80\x80" + std::string(megabyte, 'b'),
       std::string(vx::kMaxLogMessageBytes - 1, 'a') + "\xFF"},
      {"stray continuation bytes throughout", std::string(megabyte, '\x80'),
       std::string(vx::kMaxLogMessageBytes, '\x80')},
  };
  std::vector<std::string> seen;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string expected = c.kept + "... (" + std::to_string(c.message.size() - c.kept.size()) + " more bytes)";
    // The default handler's printed line.
    MSLogger::setCurrentLogLevel(MSLogLevel::Verbose);
    MSLogger::setLogHandler(MSLogger::defaultLogHandler());
    testing::internal::CaptureStderr();
    MSLogVerbose(kMSLogTag, "%s", c.message.c_str());
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_LT(printed.size(), vx::kMaxLogMessageBytes + 200);
    EXPECT_EQ(printed.substr(printed.size() - expected.size() - 1), expected + "\n");
    // An application's own handler.
    MSLogger::setLogHandler([&seen](const MSLogMessageProvider& message, MSLogLevel, const std::string&, const char*,
                                    const char*, unsigned) { seen.push_back(message()); });
    MSLogWarning(kMSLogTag, "%s", c.message.c_str());
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), expected);
  }
  // A short message is untouched.
  MSLogError(kMSLogTag, "short %s", e.c_str());
  EXPECT_EQ(seen.back(), "short " + e);
}

TEST(MSFormatTest, FormatsShortAndLongTexts) {
  EXPECT_EQ(MSFormat("%s-%d", "a", 7), "a-7");
  const std::string longText(1000, 'x');
  EXPECT_EQ(MSFormat("<%s>", longText.c_str()), "<" + longText + ">");
}

}  // namespace
