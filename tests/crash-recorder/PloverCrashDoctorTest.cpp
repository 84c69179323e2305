// The crash doctor on decoded reports: a table of reports and the diagnosis each gets, the
// last-call reconstruction, and a report written by a forked child that really crashed.
#include "reporting/crash-recorder/Recording/PloverCrashC.h"
#include "reporting/crash-recorder/Recording/PloverCrashDoctor.h"
#include "reporting/crash-recorder/Recording/PloverCrashReportStore.h"

#include "crash-recorder/ForkedChild.h"
#include "crash-recorder/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

using Json = PloverCrashReportJSON;

Json baseReport() {
  return Json::parse(R"({
    "report": {"process_name": "Vexel"},
    "system": {"cpu_arch": "x86_64"},
    "crash": {
      "error": {"mach": {"exception": 0, "code": 0, "subcode": 0},
                "signal": {"signal": 11, "name": "SIGSEGV"}, "address": 0, "type": "signal"},
      "threads": [
        {"index": 0, "crashed": false, "backtrace": {"contents": []}},
        {"index": 1, "crashed": true,
         "backtrace": {"contents": [
            {"object_name": "libc.so.6", "symbol_name": "memcpy", "instruction_addr": 1},
            {"object_name": "Vexel", "symbol_name": "loadIcons", "instruction_addr": 2}]},
         "registers": {"basic": {"rdi": 4096, "rsi": 8192, "rdx": 0, "rcx": 16}},
         "stack": {"overflow": false}}
      ]
    }
  })");
}

Json& crashed(Json& report) { return report["crash"]["threads"][1]; }

TEST(PloverCrashDoctorTest, DiagnosesByTheFirstRuleThatApplies) {
  struct Case {
    const char* label;
    void (*edit)(Json&);
    std::optional<std::string> diagnosis;
  };
  const Case cases[] = {
      {"null pointer", [](Json&) {}, "Attempted to dereference null pointer."},
      {"garbage pointer", [](Json& r) { r["crash"]["error"]["address"] = 0xdead; },
       "Attempted to dereference garbage pointer 0xdead."},
      {"Mach bad access",
       [](Json& r) {
         r["crash"]["error"]["mach"]["exception_name"] = "EXC_BAD_ACCESS";
         r["crash"]["error"]["signal"]["name"] = "SIGBUS";
       },
       "Attempted to dereference null pointer."},
      {"math", [](Json& r) { r["crash"]["error"]["signal"]["name"] = "SIGFPE"; },
       "Math error (usually caused from division by 0)."},
      {"deadlock", [](Json& r) { r["crash"]["error"]["type"] = "deadlock"; }, "Main thread deadlocked in loadIcons"},
      {"deadlock outside the program",
       [](Json& r) {
         r["crash"]["error"]["type"] = "deadlock";
         r["report"]["process_name"] = "Other";
       },
       "Main thread deadlocked in (null)"},
      {"stack overflow", [](Json& r) { crashed(r)["stack"]["overflow"] = true; }, "Stack overflow in loadIcons"},
      {"exception beats corruption",
       [](Json& r) {
         r["crash"]["error"]["type"] = "nsexception";
         r["crash"]["error"]["nsexception"] = {{"name", "NSRangeException"}};
         r["crash"]["error"]["reason"] = "index 3 beyond bounds";
         crashed(r)["backtrace"]["contents"][0]["symbol_name"] = "szone_malloc_should_clear";
       },
       "Application threw exception NSRangeException: index 3 beyond bounds"},
      {"corrupted heap",
       [](Json& r) {
         crashed(r)["notable_addresses"]["rdi"] = {{"type", "string"},
                                                   {"value", "incorrect checksum for freed object 0x1"}};
       },
       "Rogue memory write has corrupted memory."},
      {"no finding", [](Json& r) { r["crash"]["error"]["signal"]["name"] = "SIGABRT"; }, std::nullopt},
      {"recrash report",
       [](Json& r) {
         Json thread = crashed(r);
         thread["stack"]["overflow"] = true;
         r["crash"].erase("threads");
         r["crash"]["crashed_thread"] = thread;
       },
       "Stack overflow in loadIcons"},
      {"empty report", [](Json& r) { r = Json::object(); }, std::nullopt},
  };
  const PloverCrashDoctor doctor = PloverCrashDoctor::doctor();
  for (const Case& c : cases) {
    Json report = baseReport();
    c.edit(report);
    EXPECT_EQ(doctor.diagnoseCrash(report), c.diagnosis) << c.label;
  }
}

TEST(PloverCrashDoctorTest, ZombieCallsAreDescribedFromTheArgumentRegisters) {
  Json report = baseReport();
  crashed(report)["backtrace"]["contents"][0]["symbol_name"] = "objc_msgSend";
  Json& notable = crashed(report)["notable_addresses"];
  notable["rdi"] = {{"type", "objc_object"}, {"class", "IconCell"}, {"last_deallocated_obj", "IconView"}};
  notable["rsi"] = {{"type", "string"}, {"value", "setImage:animated:"}};
  notable["rdx"] = {{"type", "string"}, {"value", "star.svg"}};
  const PloverCrashDoctor doctor = PloverCrashDoctor::doctor();
  const PloverCrashDoctorFunctionCall call = doctor.lastFunctionCall(report);
  ASSERT_EQ(call.params.size(), 4u);
  EXPECT_EQ(call.params[0].address, 4096u);
  EXPECT_EQ(call.params[3].value, "0x10");  // no notable entry: the address itself
  EXPECT_EQ(doctor.diagnoseCrash(report), "Possible zombie in call: -[IconView setImage:\"star.svg\" :0x10]");

  // A selector without a colon: receiver and selector with a blank between them.
  notable["rsi"]["value"] = "reload";
  EXPECT_EQ(doctor.lastFunctionCall(report).descriptionForObjCCall(), "-[IconView reload]");

  // objc_retain describes one parameter.
  crashed(report)["backtrace"]["contents"][0]["symbol_name"] = "objc_retain";
  EXPECT_EQ(doctor.zombieCall(doctor.lastFunctionCall(report)),
            "Function: objc_retain\nParam 1:  IconCell (instance) (was IconView)");

  // An unknown architecture has no argument registers, so no zombie call.
  report["system"]["cpu_arch"] = "riscv64";
  EXPECT_TRUE(doctor.lastFunctionCall(report).params.empty());
  EXPECT_EQ(doctor.diagnoseCrash(report), "Attempted to dereference null pointer.");
}

TEST(PloverCrashDoctorTest, SelectorsWithMoreArgumentsThanRegistersAreBoundsChecked) {
  PloverCrashDoctorFunctionCall call;
  call.name = "objc_msgSend";
  call.params.resize(2);
  call.params[0].className = "Store";
  call.params[1].type = "string";
  call.params[1].value = "put:into:with:and:";
  // Only the first piece of the selector is written; the others stand as their colons.
  EXPECT_EQ(call.descriptionForObjCCall(), "-[Store put:? :? :? :?]");
}

TEST(PloverCrashDoctorTest, CPUFamiliesAndArgumentRegisters) {
  const PloverCrashDoctor doctor = PloverCrashDoctor::doctor();
  struct Case {
    const char* arch;
    PloverCrashDoctorCPUFamily family;
  };
  for (const Case& c :
       {Case{"x86_64", PloverCrashDoctorCPUFamily::x86_64}, Case{"X86_64h", PloverCrashDoctorCPUFamily::x86_64},
        Case{"i386", PloverCrashDoctorCPUFamily::x86}, Case{"armv7", PloverCrashDoctorCPUFamily::arm},
        Case{"aarch64", PloverCrashDoctorCPUFamily::unknown}}) {
    Json report = {{"system", {{"cpu_arch", c.arch}}}};
    EXPECT_EQ(doctor.cpuFamily(report), c.family) << c.arch;
  }
  EXPECT_EQ(doctor.registerNameForFamily(PloverCrashDoctorCPUFamily::x86_64, 3), "rcx");
  EXPECT_EQ(doctor.registerNameForFamily(PloverCrashDoctorCPUFamily::x86, 0), "edi");
  EXPECT_EQ(doctor.registerNameForFamily(PloverCrashDoctorCPUFamily::x86_64, 4), std::nullopt);
  EXPECT_EQ(doctor.registerNameForFamily(PloverCrashDoctorCPUFamily::unknown, 0), std::nullopt);
}

// A store to address 0 that the undefined-behaviour checker does not stop first.
__attribute__((noinline)) void writeToNull() { asm volatile("movb $1, (%0)" : : "r"(0L) : "memory"); }

TEST(PloverCrashDoctorTest, ARealNullPointerCrashIsDiagnosed) {
  TemporaryFolder folder;
  const std::string base = folder.path().string();
  ChildResult result = runInChild([&base] {
    resetFatalSignalsToDefault();
    plovercrash_setMonitoring(
        static_cast<PloverCrashMonitorType>(PloverCrashMonitorTypeSignal | PloverCrashMonitorTypeSystem));
    plovercrash_install("Vexel", base.c_str());
    writeToNull();
    return 99;
  });
  ASSERT_TRUE(result.killedBy(SIGSEGV)) << result.output;
  plovercrashcrs_initialize("Vexel", (base + "/Reports").c_str());
  std::int64_t id = 0;
  ASSERT_EQ(plovercrashcrs_getReportIDs(&id, 1), 1);
  char* fixed = plovercrash_readReport(id);
  ASSERT_NE(fixed, nullptr);
  const Json report = Json::parse(fixed);
  std::free(fixed);
  EXPECT_EQ(PloverCrashDoctor::doctor().diagnoseCrash(report), "Attempted to dereference null pointer.");
}

}  // namespace
