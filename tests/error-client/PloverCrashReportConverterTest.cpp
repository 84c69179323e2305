// The converter on a real crash report written by the recorder in a forked child, on reports cut
// at many points and holding text that is not UTF-8, and on small reports for the edge rules.
#include "reporting/error-client/PloverCrashReportConverter.h"

#include "crash-recorder/ForkedChild.h"
#include "support/TemporaryFolder.h"
#include "reporting/crash-recorder/PloverCrash.h"
#include "reporting/error-client/PloverError.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using J = PloverReport;

__attribute__((noinline)) void writeToNull() { asm volatile("movb $1, (%0)" : : "r"(0L) : "memory"); }

// One real report for the whole suite: a child installs the recorder and writes to null.
class RealReport : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new vx::test::TemporaryFolder("plovercrash-test");
    const auto base = folder_->path() / "PloverCrash" / "Vexel";
    ChildResult crashed = runInChild([&base] {
      resetFatalSignalsToDefault();
      PloverCrash facade(base);
      facade.setMonitoring(
          static_cast<PloverCrashMonitorType>(PloverCrashMonitorTypeSignal | PloverCrashMonitorTypeSystem));
      facade.setIntrospectMemory(false);  // no notable strings to replace the exception's value
      facade.install();
      writeToNull();
      return 99;
    });
    ASSERT_TRUE(crashed.killedBy(SIGSEGV)) << crashed.output;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(base)) {
      if (entry.path().extension() == ".json" && entry.path().parent_path().filename() == "Reports") {
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        *text_ = all.str();
      }
    }
  }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }
  void SetUp() override { ASSERT_FALSE(text_->empty()) << "the child wrote no report"; }

  static vx::test::TemporaryFolder* folder_;
  static std::string* text_;
};
vx::test::TemporaryFolder* RealReport::folder_ = nullptr;
std::string* RealReport::text_ = new std::string;

TEST_F(RealReport, ConvertsToAFatalEventWithStackExceptionImagesAndContext) {
  auto converter = PloverCrashReportConverter::fromJSONText(*text_);
  ASSERT_TRUE(converter);
  auto event = converter->convertReportToEvent();
  EXPECT_EQ(event->level, PloverSeverity::fatal);
  ASSERT_TRUE(event->timestamp);
  ASSERT_EQ(event->exceptions.size(), 1u);
  const auto& exception = *event->exceptions[0];
  EXPECT_EQ(exception.type, "SIGSEGV");
  EXPECT_EQ(exception.value->rfind("Signal 11, Code ", 0), 0u) << *exception.value;
  // The raw file has no diagnosis yet: the facade's doctor adds it when it loads the report.
  EXPECT_EQ(exception.value->find(" >\n"), std::string::npos) << *exception.value;
  ASSERT_TRUE(exception.mechanism);
  EXPECT_EQ(exception.mechanism->type, "signal");
  ASSERT_TRUE(exception.thread && exception.thread->stacktrace);
  EXPECT_TRUE(exception.thread->crashed.value_or(false));
  const auto& frames = exception.thread->stacktrace->frames;
  ASSERT_GE(frames.size(), 2u);
  // The crashing frame is last, inside this test program, and named.
  EXPECT_NE(frames.back().function->find("writeToNull"), std::string::npos) << *frames.back().function;
  EXPECT_TRUE(frames.back().package.has_value());
  EXPECT_NE(frames.back().imageAddress, "0x0000000000000000");
  EXPECT_FALSE(exception.thread->stacktrace->registers.empty());
  ASSERT_FALSE(event->debugMeta.empty());
  EXPECT_EQ(event->debugMeta[0]->type, "apple");
  for (const auto& thread : event->threads) {
    if (thread->crashed.value_or(false)) {
      EXPECT_EQ(thread->stacktrace, nullptr);
    }
  }
  ASSERT_TRUE(event->context && event->context->osContext);
  EXPECT_TRUE(event->context->osContext->contains("name"));
  EXPECT_TRUE(event->context->deviceContext->contains("arch"));
  // The event serialises to the store protocol's JSON.
  const vx::ValueMap body = event->serialize();
  EXPECT_TRUE(PloverIsValidJSONObject(vx::Value(body)));
  EXPECT_EQ(body.find("level")->toJson(), "fatal");
}

// Reports cut anywhere and reports holding bad UTF-8: an event or a logged refusal, never a fault.
TEST_F(RealReport, CutAndCorruptedReportsConvertOrAreRefusedWithAReason) {
  std::vector<std::string> logged;
  PloverLog::setSinkForTesting([&](const std::string& line) { logged.push_back(line); });
  const std::size_t n = text_->size();
  std::vector<std::size_t> cuts = {0, 1, 2, 17, n / 8, n / 4, n / 3, n / 2, 2 * n / 3, 3 * n / 4, n - 2, n - 1};
  for (std::size_t step = 0; step < n; step += std::max<std::size_t>(1, n / 40)) cuts.push_back(step);
  int converted = 0;
  for (std::size_t cut : cuts) {
    logged.clear();
    auto converter = PloverCrashReportConverter::fromJSONText(std::string_view(*text_).substr(0, cut));
    if (!converter) {
      ASSERT_FALSE(logged.empty()) << "refused without a reason at cut " << cut;
      EXPECT_NE(logged.back().find("Crash report refused"), std::string::npos);
      continue;
    }
    ++converted;
    auto event = converter->convertReportToEvent();
    EXPECT_EQ(event->level, PloverSeverity::fatal) << cut;
    EXPECT_TRUE(PloverIsValidJSONObject(vx::Value(event->serialize()))) << "cut " << cut;
  }
  EXPECT_GT(converted, 10) << "a cut report keeps what was read";

  std::string corrupted = *text_;
  const std::size_t signalName = corrupted.find("\"SIGSEGV\"");
  ASSERT_NE(signalName, std::string::npos);
  corrupted[signalName + 1] = '\xFF';
  auto converter = PloverCrashReportConverter::fromJSONText(corrupted);
  ASSERT_TRUE(converter);
  auto event = converter->convertReportToEvent();
  EXPECT_TRUE(PloverIsValidJSONObject(vx::Value(event->serialize())));
  EXPECT_EQ(event->exceptions[0]->type->rfind("\xEF\xBF\xBD", 0), 0u);
  PloverLog::setSinkForTesting(nullptr);
}

J threadJSON(bool crashed, const char* symbol) {
  return J{{"index", crashed ? 1 : 0},
           {"crashed", crashed},
           {"name", crashed ? "crasher" : "other"},
           {"registers", {{"basic", {{"rip", 4096}}}}},
           {"backtrace",
            {{"contents", J::array({J{{"instruction_addr", 4100}, {"symbol_addr", 4096}, {"symbol_name", symbol}},
                                    J{{"instruction_addr", 9999999}, {"symbol_addr", "0x10"}}})}}}};
}

J smallReport() {
  return J{{"report", {{"timestamp", "2024-03-05T07:08:09Z"}}},
           {"system",
            {{"system_name", "Debian GNU/Linux"},
             {"CFBundleIdentifier", "com.vexel"},
             {"CFBundleShortVersionString", "1.2"},
             {"CFBundleVersion", "77"},
             {"memory", {{"size", 8}}}}},
           {"binary_images", J::array({J{{"image_addr", 4096}, {"image_size", 100}, {"name", "/bin/app"}}})},
           {"crash",
            {{"error", {{"type", "user"}, {"reason", "Problem:   it broke "}}},
             {"threads", J::array({threadJSON(false, "idle"), threadJSON(true, "boom")})}}}};
}

TEST(PloverCrashReportConverterTest, EdgeRules) {
  {
    PloverCrashReportConverter converter(smallReport());
    EXPECT_EQ(converter.crashedThreadIndex(), 1);
    auto event = converter.convertReportToEvent();
    EXPECT_EQ(event->releaseName, "com.vexel-1.2");
    EXPECT_EQ(event->dist, "77");
    EXPECT_EQ(event->exceptions[0]->type, "Problem");
    EXPECT_EQ(event->exceptions[0]->value, "it broke");
    const auto& frames = event->exceptions[0]->thread->stacktrace->frames;
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].imageAddress, "0x0000000000000000");  // outermost: in no image
    EXPECT_FALSE(frames[0].package);
    EXPECT_EQ(frames[0].symbolAddress, "0x0000000000000010");
    EXPECT_EQ(frames[1].function, "boom");
    EXPECT_EQ(frames[1].package, "/bin/app");
    EXPECT_EQ(frames[1].imageAddress, "0x0000000000001000");
    EXPECT_EQ(event->exceptions[0]->thread->stacktrace->registers.at("rip"), "0x0000000000001000");
    EXPECT_EQ(event->context->deviceContext->find("family")->toJson(), "Debian");
  }
  {
    J report = smallReport();
    report["crash"]["threads"][1]["crashed"] = false;
    report["crash"]["threads"][0]["notable_addresses"] = {{"r1", {{"type", "string"}, {"value", "zeta"}}},
                                                          {"r2", {{"type", "string"}, {"value", "Alpha/beta"}}},
                                                          {"r3", {{"type", "string"}, {"value", "/usr/lib/x"}}},
                                                          {"r4", {{"type", "string"}, {"value", "zeta"}}}};
    report["crash"]["diagnosis"] = "Alpha/beta > zeta seen";
    PloverCrashReportConverter converter(report);
    EXPECT_EQ(converter.crashedThreadIndex(), 0);
    auto exceptions = converter.convertExceptions();
    EXPECT_EQ(exceptions[0]->value, "Alpha/beta > zeta");  // diagnosis already holds it
    EXPECT_EQ(exceptions[0]->thread->name, "other");
  }
  {
    J report = smallReport();
    J signal = {{"signal", 6}, {"code", 0}, {"name", "SIGABRT"}};
    J error = {{"type", "signal"}, {"signal", signal}};
    report["recrash_report"]["crash"]["error"] = error;
    PloverCrashReportConverter converter(report);
    auto exceptions = converter.convertExceptions();
    EXPECT_EQ(exceptions[0]->type, "SIGABRT");
    EXPECT_EQ(exceptions[0]->value, "Signal 6, Code 0");
    EXPECT_EQ(converter.convertDebugMeta().size(), 1u);  // images stay the outer report's
  }
  {
    // Mistyped values everywhere: no fault, fields left out.
    J report = {
        {"crash", {{"threads", "not an array"}, {"error", 5}}}, {"binary_images", {{"a", 1}}}, {"system", J::array()}};
    PloverCrashReportConverter converter(report);
    auto event = converter.convertReportToEvent();
    EXPECT_TRUE(event->exceptions.empty());
    EXPECT_TRUE(event->threads.empty());
    EXPECT_TRUE(PloverIsValidJSONObject(vx::Value(event->serialize())));
  }
  {
    vx::ValueMap context{{"releaseName", "r9"},
                         {"tags", vx::ValueMap{{"tier", "gold"}}},
                         {"user", vx::ValueMap{{"id", "u-1"}, {"email", "u@x"}}}};
    PloverCrashReportConverter converter(smallReport());
    converter.setUserContext(context);
    auto event = converter.convertReportToEvent();
    EXPECT_EQ(event->releaseName, "r9");
    EXPECT_EQ(event->tags->at("tier"), "gold");
    ASSERT_TRUE(event->user);
    EXPECT_EQ(event->user->userId, "u-1");
  }
}

}  // namespace
