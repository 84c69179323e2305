// The JSON crash report: written by a forked child's signal handler after a real crash (and
// again after a crash inside the writer), and written in this process from hand-made events to
// look at each section. Reports are read back with nlohmann-json and Python's json module.
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_System.h"
#include "reporting/crash-recorder/Recording/PloverCrashReport.h"
#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"
#include "reporting/crash-recorder/Recording/PloverCrashMachineContext.h"

#include "crash-recorder/FakeObjCRuntime.h"
#include "crash-recorder/ForkedChild.h"
#include "crash-recorder/TemporaryFolder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <pthread.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <regex>
#include <string>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*, std::size_t),
                                                         void (*freeHook)(const volatile void*));
#define PLOVERCRASH_HAVE_ALLOCATION_HOOKS 1
#endif

using nlohmann::json;

namespace {

std::atomic<bool> g_counting{false};
std::atomic<int> g_allocations{0};

[[maybe_unused]] void onMalloc(const volatile void*, std::size_t) {
  if (g_counting.load()) g_allocations.fetch_add(1);
}
[[maybe_unused]] void onFree(const volatile void*) {}

char g_reportPath[500];
char* g_guardPage = nullptr;

void writeReportForEvent(PloverCrash_MonitorContext* context) {
  if (context->crashedDuringCrashHandling) {
    plovercrashreport_writeRecrashReport(context, g_reportPath);
  } else {
    plovercrashreport_writeStandardReport(context, g_reportPath);
    g_counting.store(false);
    childReport("allocations", "%d", g_allocations.load());
  }
}

__attribute__((noinline)) void writeTo(volatile char* address) { *address = 1; }

void addToUserSection(const PloverCrashReportWriter* writer) {
  writer->addStringElement(writer, "extra", "from callback");
  writer->addUIntegerElement(writer, "big", 18446744073709551615ull);
}

void crashInUserSection(const PloverCrashReportWriter* writer) {
  writer->addStringElement(writer, "before", "the second crash");
  writeTo(g_guardPage);
}

bool pythonParses(const std::string& path) {
  const std::string command = "python3 -c 'import json,sys; json.load(open(sys.argv[1]))' '" + path + "' 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_guardPage = static_cast<char*>(mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    plovercrashformat_format(g_reportPath, sizeof g_reportPath, "%s", folder.file("report.json").c_str());
  }
  void TearDown() override { munmap(g_guardPage, 4096); }

  json report() const { return json::parse(TemporaryFolder::read(g_reportPath)); }

  // A child that enables the signal and system monitors, sets up the writer and crashes.
  ChildResult crashWith(PloverCrashReportWriteCallback userSection) {
    return runInChild([userSection] {
      resetFatalSignalsToDefault();
      std::atomic<bool> stop{false};
      std::thread other([&stop] {
        pthread_setname_np(pthread_self(), "bystander");
        while (!stop.load()) std::this_thread::yield();
      });
      plovercrashreport_setUserInfoJSON(R"({"user":"alice","ids":[1,2]})");
      plovercrashreport_setUserSectionWriteCallback(userSection);
      plovercrashreport_setIntrospectMemory(true);
      plovercrashcm_setEventCallback(writeReportForEvent);
      plovercrashcm_setActiveMonitors(
          static_cast<PloverCrashMonitorType>(PloverCrashMonitorTypeSignal | PloverCrashMonitorTypeSystem));
#if defined(PLOVERCRASH_HAVE_ALLOCATION_HOOKS)
      __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
      childReport("hooks", "1");
#endif
      g_counting.store(true);
      writeTo(g_guardPage + 16);
      return 99;
    });
  }

  TemporaryFolder folder;
};

TEST_F(ReportTest, ACrashedChildLeavesACompleteReport) {
  ChildResult result = crashWith(addToUserSection);
  ASSERT_TRUE(result.killedBy(SIGSEGV)) << result.output;
  ASSERT_TRUE(pythonParses(g_reportPath)) << TemporaryFolder::read(g_reportPath);
  // From the fault to the closed report, nothing was allocated.
  if (result.has("hooks")) {
    EXPECT_EQ(result["allocations"], "0");
  }
  json r = report();
  std::vector<std::string> keys;
  const auto ordered = nlohmann::ordered_json::parse(TemporaryFolder::read(g_reportPath));
  for (const auto& item : ordered.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"report", "binary_images", "process", "system", "crash", "user", "debug"}));
  EXPECT_EQ(r["report"]["version"], "3.2.0");
  EXPECT_EQ(r["report"]["type"], "standard");
  EXPECT_EQ(r["report"]["id"].get<std::string>().size(), 36u);
  ASSERT_FALSE(r["binary_images"].empty());
  const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
  EXPECT_TRUE(std::regex_match(r["binary_images"][0]["uuid"].get<std::string>(), uuid));
  EXPECT_EQ(r["process"], json::object());
  EXPECT_EQ(r["system"]["process_id"], r["system"]["process_id"].get<int>());
  EXPECT_TRUE(r["system"]["memory"].contains("usable"));
  EXPECT_TRUE(r["system"]["application_stats"].contains("sessions_since_launch"));

  json& error = r["crash"]["error"];
  EXPECT_EQ(error["type"], "signal");
  EXPECT_EQ(error["signal"]["name"], "SIGSEGV");
  EXPECT_EQ(error["signal"]["code_name"], "SEGV_ACCERR");
  EXPECT_EQ(error["address"].get<std::uint64_t>(), reinterpret_cast<std::uintptr_t>(g_guardPage + 16));

  json& threads = r["crash"]["threads"];
  ASSERT_EQ(threads.size(), 2u);
  int crashed = 0;
  for (json& thread : threads) {
    EXPECT_TRUE(thread["registers"]["basic"].contains("rip"));
    EXPECT_FALSE(thread["backtrace"]["contents"].empty());
    if (thread["crashed"] == true) {
      ++crashed;
      EXPECT_TRUE(thread["registers"].contains("exception"));
      EXPECT_EQ(thread["stack"]["grow_direction"], "-");
      EXPECT_EQ(thread["stack"]["contents"].get<std::string>().size(), 30u * 8 * 2);
      EXPECT_TRUE(thread.contains("notable_addresses"));
      EXPECT_EQ(thread["backtrace"]["contents"][0]["symbol_addr"].is_number(), true);
    } else {
      EXPECT_FALSE(thread.contains("stack"));
      EXPECT_FALSE(thread.contains("notable_addresses"));
    }
  }
  EXPECT_EQ(crashed, 1);
  EXPECT_EQ(r["user"]["user"], "alice");
  EXPECT_EQ(r["user"]["ids"], json::array({1, 2}));
  EXPECT_EQ(r["user"]["extra"], "from callback");
  EXPECT_EQ(r["user"]["big"].get<std::uint64_t>(), 18446744073709551615ull);
  EXPECT_EQ(r["debug"], json::object());
}

TEST_F(ReportTest, ACrashInsideTheWriterLeavesARecrashReportEmbeddingTheFirst) {
  ChildResult result = crashWith(crashInUserSection);
  ASSERT_TRUE(result.killedBy(SIGSEGV)) << result.output;
  ASSERT_TRUE(pythonParses(g_reportPath)) << TemporaryFolder::read(g_reportPath);
  json r = report();
  EXPECT_EQ(r["report"]["type"], "minimal");
  json& first = r["recrash_report"];
  EXPECT_EQ(first["report"]["type"], "standard");
  EXPECT_EQ(first["crash"]["error"]["type"], "signal");
  EXPECT_EQ(first["user"]["user"], "alice");
  // What the callback added after the last flush went down with the second crash.
  EXPECT_EQ(r["crash"]["error"]["signal"]["name"], "SIGSEGV");
  EXPECT_EQ(r["crash"]["crashed_thread"]["crashed"], true);
  EXPECT_FALSE(r["crash"]["crashed_thread"].contains("notable_addresses"));
  EXPECT_FALSE(std::filesystem::exists(folder.file("report.old")));
}

TEST_F(ReportTest, ACrashAfterManyUserInfoUpdatesCarriesTheLatest) {
  ChildResult result = runInChild([] {
    resetFatalSignalsToDefault();
    for (int i = 0; i <= 5000; ++i) {
      plovercrashreport_setUserInfoJSON((R"({"user":"u-)" + std::to_string(i) + R"("})").c_str());
    }
    childReport("copies", "%d", plovercrashreport_userInfoCopiesHeld());
    plovercrashreport_setUserSectionWriteCallback(nullptr);
    plovercrashcm_setEventCallback(writeReportForEvent);
    plovercrashcm_setActiveMonitors(
        static_cast<PloverCrashMonitorType>(PloverCrashMonitorTypeSignal | PloverCrashMonitorTypeSystem));
    writeTo(g_guardPage + 16);
    return 99;
  });
  ASSERT_TRUE(result.killedBy(SIGSEGV)) << result.output;
  EXPECT_EQ(result["copies"], "1");
  ASSERT_TRUE(pythonParses(g_reportPath)) << TemporaryFolder::read(g_reportPath);
  EXPECT_EQ(report()["user"], json({{"user", "u-5000"}}));
}

// ---- User-info copies ----------------------------------------------------------------------

TEST(UserInfoCopiesTest, ManyUpdatesWithNoReaderHoldOnlyTheCurrentCopy) {
  for (int i = 0; i < 10000; ++i) {
    plovercrashreport_setUserInfoJSON((R"({"n":)" + std::to_string(i) + "}").c_str());
  }
  EXPECT_EQ(plovercrashreport_userInfoCopiesHeld(), 1);
  EXPECT_STREQ(plovercrashreport_beginUserInfoRead(), R"({"n":9999})");
  plovercrashreport_endUserInfoRead();
  plovercrashreport_setUserInfoJSON(nullptr);
  EXPECT_EQ(plovercrashreport_userInfoCopiesHeld(), 0);
  EXPECT_EQ(plovercrashreport_beginUserInfoRead(), nullptr);
  plovercrashreport_endUserInfoRead();
}

TEST(UserInfoCopiesTest, AReplacedCopyStaysReadableWhileAReaderHoldsIt) {
  plovercrashreport_setUserInfoJSON(R"({"generation":"first"})");
  std::promise<void> holding;
  std::promise<void> replaced;
  std::shared_future<void> replacedDone = replaced.get_future().share();
  std::string seen;
  std::thread reader([&] {
    const char* text = plovercrashreport_beginUserInfoRead();
    holding.set_value();
    replacedDone.wait();
    seen = text;  // the sanitizer build faults here if the copy was freed
    plovercrashreport_endUserInfoRead();
  });
  holding.get_future().wait();
  for (int i = 0; i < 1000; ++i) {
    plovercrashreport_setUserInfoJSON((R"({"generation":)" + std::to_string(i) + "}").c_str());
  }
  // The first copy and every one replaced while the reader is in are kept.
  EXPECT_EQ(plovercrashreport_userInfoCopiesHeld(), 1001);
  replaced.set_value();
  reader.join();
  EXPECT_EQ(seen, R"({"generation":"first"})");
  // The next update, with no reader left, frees them all.
  plovercrashreport_setUserInfoJSON(R"({"generation":"last"})");
  EXPECT_EQ(plovercrashreport_userInfoCopiesHeld(), 1);
  plovercrashreport_setUserInfoJSON(nullptr);
}

TEST(UserInfoCopiesTest, ReadersRacingUpdatesOnlyEverSeeWholeCopies) {
  constexpr int kRounds = 20000;
  std::atomic<int> malformed{0};
  std::thread reader([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (const char* text = plovercrashreport_beginUserInfoRead()) {
        const std::size_t length = std::strlen(text);
        if (std::strncmp(text, R"({"n":)", 5) != 0 || text[length - 1] != '}') malformed.fetch_add(1);
      }
      plovercrashreport_endUserInfoRead();
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    plovercrashreport_setUserInfoJSON((R"({"n":)" + std::to_string(i) + "}").c_str());
  }
  reader.join();
  EXPECT_EQ(malformed.load(), 0);
  plovercrashreport_setUserInfoJSON(R"({"n":"done"})");
  EXPECT_EQ(plovercrashreport_userInfoCopiesHeld(), 1);
  plovercrashreport_setUserInfoJSON(nullptr);
}

// ---- Reports from hand-made events --------------------------------------------------------

struct Objects {
  FakeObjCRuntime runtime;
  void* stringClass = runtime.makeClass("__NSCFString", nullptr);
  void* arrayClass = runtime.makeClass("__NSArrayI", nullptr);
  void* widgetClass =
      runtime.makeClass("Widget", nullptr, {{"_count", "i", 8, 4}, {"_title", "@", 16, 8}, {"_ok", "B", 24, 1}});
  void* makeString(const std::string& text) {
    void* object = runtime.makeObject(stringClass, 24 + text.size() + 1);
    FakeObjCRuntime::put(object, 16, static_cast<std::uint32_t>(text.size()));
    std::memcpy(static_cast<char*>(object) + 24, text.data(), text.size());
    return object;
  }
};

Objects& objects() {
  static Objects* instance = new Objects();
  return *instance;
}

class HandMadeReportTest : public ReportTest {
 protected:
  void SetUp() override {
    ReportTest::SetUp();
    plovercrashreport_setUserInfoJSON(nullptr);
    plovercrashreport_setUserSectionWriteCallback(nullptr);
    plovercrashreport_setIntrospectMemory(false);
    plovercrashreport_setDoNotIntrospectClasses(nullptr, 0);
    plovercrashmc_getContextForThread(plovercrashthread_self(), &machine, true);
    event.eventID = "00000000-0000-0000-0000-000000000001";
    event.crashType = PloverCrashMonitorTypeUserReported;
    event.offendingMachineContext = &machine;
    plovercrashsc_initWithBacktrace(&cursor, backtrace, 2, 0);
    event.stackCursor = &cursor;
    event.crashReason = "bad thing";
    event.userException.name = "ScriptError";
  }

  std::string write() {
    std::filesystem::remove(g_reportPath);
    plovercrashreport_writeStandardReport(&event, g_reportPath);
    return TemporaryFolder::read(g_reportPath);
  }

  PloverCrashMachineContext machine;
  PloverCrash_MonitorContext event{};
  std::uintptr_t backtrace[2] = {reinterpret_cast<std::uintptr_t>(&getpid) + 4, 0x10};
  PloverCrashBacktraceCursor cursor;
};

TEST_F(HandMadeReportTest, AbsentTextsAreNullAndOptionalKeysAreLeftOut) {
  json r = json::parse(write());
  for (const char* key : {"system_name", "machine", "model", "CFBundleIdentifier", "app_uuid", "time_zone",
                          "device_app_hash", "build_type"}) {
    EXPECT_TRUE(r["system"].contains(key)) << key;
    EXPECT_TRUE(r["system"][key].is_null()) << key;
  }
  json& error = r["crash"]["error"];
  EXPECT_EQ(error["type"], "user");
  EXPECT_EQ(error["reason"], "bad thing");
  EXPECT_EQ(error["user_reported"], json({{"name", "ScriptError"}}));
  EXPECT_FALSE(error["mach"].contains("exception_name"));
  EXPECT_FALSE(error["mach"].contains("code_name"));
  EXPECT_FALSE(error["signal"].contains("name"));
  EXPECT_EQ(r["report"]["process_name"], nullptr);
  // The offending thread has no registers of its own (it is the writing thread, no signal).
  json& threads = r["crash"]["threads"];
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_FALSE(threads[0].contains("registers"));
  EXPECT_EQ(threads[0]["current_thread"], true);
  json& frames = threads[0]["backtrace"]["contents"];
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0]["symbol_addr"].get<std::uint64_t>(), reinterpret_cast<std::uintptr_t>(&getpid));
  EXPECT_TRUE(frames[0]["object_name"].get<std::string>().find("libc") != std::string::npos);
  EXPECT_FALSE(frames[1].contains("object_name"));
  EXPECT_EQ(frames[1]["instruction_addr"], 0x10);
  EXPECT_EQ(threads[0]["backtrace"]["skipped"], 0);
}

TEST_F(HandMadeReportTest, ErrorBlockByMonitorType) {
  event.crashType = PloverCrashMonitorTypeCPPException;
  event.CPPException.name = "std::runtime_error";
  EXPECT_EQ(json::parse(write())["crash"]["error"]["cpp_exception"]["name"], "std::runtime_error");

  event.crashType = PloverCrashMonitorTypeNSException;
  event.NSException.name = "NSRangeException";
  event.NSException.userInfo = "{}";
  event.crashReason = "no address here";
  json nsexception = json::parse(write())["crash"]["error"]["nsexception"];
  EXPECT_EQ(nsexception["name"], "NSRangeException");
  EXPECT_FALSE(nsexception.contains("referenced_object"));
  char reason[100];
  std::snprintf(reason, sizeof reason, "object at 0x%llx went away",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(objects().makeString("gone"))));
  event.crashReason = reason;
  nsexception = json::parse(write())["crash"]["error"]["nsexception"];
  EXPECT_EQ(nsexception["referenced_object"]["class"], "__NSCFString");
  EXPECT_EQ(nsexception["referenced_object"]["value"], "gone");

  event.crashType = PloverCrashMonitorTypeMainThreadDeadlock;
  EXPECT_EQ(json::parse(write())["crash"]["error"]["type"], "deadlock");

  event.crashType = PloverCrashMonitorTypeSystem;
  json r = json::parse(write());
  EXPECT_FALSE(r["crash"]["error"].contains("type"));
}

TEST_F(HandMadeReportTest, UserInfoThatIsNoValidObjectNeverUnbalancesTheReport) {
  for (const char* userInfo : {"{\"a\": [1, 2", "not json", "5", "[1, 2]", "\"text\""}) {
    plovercrashreport_setUserInfoJSON(userInfo);
    plovercrashreport_setUserSectionWriteCallback(addToUserSection);
    const std::string text = write();
    ASSERT_TRUE(json::accept(text)) << userInfo << "\n" << text;
    json r = json::parse(text);
    EXPECT_TRUE(r.contains("debug")) << userInfo;  // the root was not closed early
    EXPECT_EQ(r["user"]["extra"], "from callback") << userInfo;
    EXPECT_EQ(r["user"]["json_data"], userInfo);
    EXPECT_EQ(r["user"]["error"].get<std::string>().rfind("Invalid JSON data: ", 0), 0u);
  }
}

TEST_F(HandMadeReportTest, ASnapshotKeepsTheUserInfoButSkipsTheCallback) {
  plovercrashreport_setUserInfoJSON(R"({"plan":"pro"})");
  plovercrashreport_setUserSectionWriteCallback(addToUserSection);
  event.currentSnapshotUserReported = true;
  json r = json::parse(write());
  EXPECT_EQ(r["user"], json({{"plan", "pro"}}));
}

TEST_F(HandMadeReportTest, CustomStackTraceAndConsoleLog) {
  event.userException.language = "lua";
  event.userException.lineOfCode = "12";
  event.userException.customStackTrace = R"([{"file":"a.lua","line":12}])";
  const std::string log = folder.file("console.log");
  TemporaryFolder::write(log, "first line\nsecond line\nlast line without newline");
  event.consoleLogPath = log.c_str();
  json r = json::parse(write());
  json& user = r["crash"]["error"]["user_reported"];
  EXPECT_EQ(user["language"], "lua");
  EXPECT_EQ(user["line_of_code"], "12");
  EXPECT_EQ(user["backtrace"][0]["file"], "a.lua");
  EXPECT_EQ(r["debug"]["console_log"], json::array({"first line", "second line", "last line without newline"}));

  event.userException.customStackTrace = "[{\"file\":";
  const std::string text = write();
  ASSERT_TRUE(json::accept(text)) << text;
  r = json::parse(text);
  EXPECT_EQ(r["crash"]["error"]["user_reported"]["backtrace"]["json_data"], "[{\"file\":");
  EXPECT_TRUE(r.contains("user"));
}

TEST_F(HandMadeReportTest, NotableAddressesDescribeWhatRegistersAndStackPointTo) {
  Objects& o = objects();
  void* widget = o.runtime.makeObject(o.widgetClass);
  FakeObjCRuntime::put(widget, 8, std::int32_t{41});
  FakeObjCRuntime::put(widget, 16, o.makeString("title text"));
  FakeObjCRuntime::put(widget, 24, std::uint8_t{1});
  void* array = o.runtime.makeObject(o.arrayClass, 24);
  FakeObjCRuntime::put(array, 8, std::int64_t{1});
  FakeObjCRuntime::put(array, 16, o.makeString("element"));
  static const char plainText[] = "a plain C string";
  std::uintptr_t stack[40] = {};
  stack[22] = reinterpret_cast<std::uintptr_t>(array);

  // A crashed signal-style context whose registers and stack point at these.
  machine.isSignalContext = true;
  machine.machineContext.__ss.rax = reinterpret_cast<std::uintptr_t>(widget);
  machine.machineContext.__ss.rbx = reinterpret_cast<std::uintptr_t>(plainText);
  machine.machineContext.__ss.rcx = 0;
  machine.machineContext.__ss.rsp = reinterpret_cast<std::uintptr_t>(&stack[10]);
  plovercrashreport_setIntrospectMemory(true);
  const std::string text = write();
  json r = json::parse(text);
  json& thread = r["crash"]["threads"][0];
  json& notable = thread["notable_addresses"];
  EXPECT_EQ(notable["rax"]["type"], "objc_object");
  EXPECT_EQ(notable["rax"]["class"], "Widget");
  EXPECT_EQ(notable["rax"]["ivars"]["_count"], 41);
  EXPECT_EQ(notable["rax"]["ivars"]["_title"]["value"], "title text");
  EXPECT_EQ(notable["rax"]["ivars"]["_ok"], true);
  EXPECT_EQ(notable["rbx"]["type"], "string");
  EXPECT_EQ(notable["rbx"]["value"], plainText);
  EXPECT_FALSE(notable.contains("rcx"));
  char key[40];
  std::snprintf(key, sizeof key, "stack@%p", static_cast<void*>(&stack[22]));
  ASSERT_TRUE(notable.contains(key)) << text;
  EXPECT_EQ(notable[key]["first_object"]["value"], "element");
  EXPECT_EQ(thread["stack"]["dump_start"].get<std::uint64_t>(), reinterpret_cast<std::uintptr_t>(&stack[0]));
  EXPECT_EQ(thread["stack"]["dump_end"].get<std::uint64_t>(), reinterpret_cast<std::uintptr_t>(&stack[30]));

  // A class that must not be opened up gets a second "type".
  const char* restricted[] = {"Widget"};
  plovercrashreport_setDoNotIntrospectClasses(restricted, 1);
  const std::string restrictedText = write();
  const std::size_t rax = restrictedText.find("\"rax\": {");
  ASSERT_NE(rax, std::string::npos);
  const std::string block = restrictedText.substr(rax, restrictedText.find('}', rax) - rax);
  EXPECT_NE(block.find("\"type\": \"objc_object\""), std::string::npos) << block;
  EXPECT_NE(block.find("\"type\": \"unknown\""), std::string::npos) << block;
  EXPECT_EQ(block.find("ivars"), std::string::npos) << block;
}

TEST_F(HandMadeReportTest, StackThatCannotBeReadIsSaidSo) {
  machine.isSignalContext = true;
  machine.machineContext.__ss.rsp = reinterpret_cast<std::uintptr_t>(g_guardPage) + 40;
  json r = json::parse(write());
  EXPECT_EQ(r["crash"]["threads"][0]["stack"]["error"], "Stack contents not accessible");
}

TEST_F(HandMadeReportTest, ARecrashEmbedsTheFirstReportCutAtAnyPoint) {
  const std::string full = write();
  ASSERT_GT(full.size(), 1000u);
  for (std::size_t cut = 1; cut < full.size(); cut += full.size() / 23) {
    TemporaryFolder::write(g_reportPath, full.substr(0, cut));
    plovercrashreport_writeRecrashReport(&event, g_reportPath);
    const std::string text = TemporaryFolder::read(g_reportPath);
    ASSERT_TRUE(json::accept(text)) << "cut at " << cut << "\n" << text;
    json r = json::parse(text);
    EXPECT_EQ(r["report"]["type"], "minimal");
    EXPECT_TRUE(r.contains("recrash_report")) << cut;
    EXPECT_EQ(r["crash"]["crashed_thread"]["index"], 0);
    EXPECT_FALSE(std::filesystem::exists(folder.file("report.old")));
  }
}

TEST_F(HandMadeReportTest, RecrashPathsThatDoNotFitAreLeftAlone) {
  const std::string odd = folder.file("report.txt");
  TemporaryFolder::write(odd, "{\"first\": ");
  plovercrashreport_writeRecrashReport(&event, odd.c_str());
  EXPECT_EQ(TemporaryFolder::read(odd), "{\"first\": ");
  const std::filesystem::path longFolder = folder.path() / std::string(200, 'a') / std::string(200, 'b');
  std::filesystem::create_directories(longFolder);
  const std::string longPath = (longFolder / (std::string(100, 'c') + ".json")).string();
  TemporaryFolder::write(longPath, "{\"first\": ");
  plovercrashreport_writeRecrashReport(&event, longPath.c_str());
  EXPECT_EQ(TemporaryFolder::read(longPath), "{\"first\": ");
}

TEST_F(HandMadeReportTest, AnExistingFileIsNeverOverwritten) {
  TemporaryFolder::write(g_reportPath, "keep");
  plovercrashreport_writeStandardReport(&event, g_reportPath);
  EXPECT_EQ(TemporaryFolder::read(g_reportPath), "keep");
}

}  // namespace
