// The tools doing their real job: a forked child crashes, and its signal handler (on an
// alternate stack) writes a JSON report with the buffered writer, the encoder, the date and id
// services and the logger. The parent checks that the report is complete JSON.
#include "reporting/crash-recorder/Recording/PloverCrashDate.h"
#include "reporting/crash-recorder/Recording/PloverCrashFileUtils.h"
#include "reporting/crash-recorder/Recording/PloverCrashID.h"
#include "reporting/crash-recorder/Recording/PloverCrashJSONCodec.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"

#include "crash-recorder/TemporaryFolder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

// Everything the handler needs is prepared before the crash.
char g_reportPath[500];
char g_userJSONPath[500];
char g_writeBuffer[256];
char g_alternateStack[64 * 1024];

int addToWriter(const char* data, int length, void* userData) {
  return plovercrashfu_writeBufferedWriter(static_cast<PloverCrashBufferedWriter*>(userData), data, length)
             ? PloverCrashJSON_OK
             : PloverCrashJSON_ERROR_CANNOT_ADD_DATA;
}

void onCrash(int signalNumber, siginfo_t* info, void*) {
  PloverCrashBufferedWriter writer;
  if (!plovercrashfu_openBufferedWriter(&writer, g_reportPath, g_writeBuffer, sizeof g_writeBuffer)) {
    _exit(2);
  }
  PloverCrashJSONEncodeContext context;
  plovercrashjson_beginEncode(&context, true, addToWriter, &writer);
  plovercrashjson_beginObject(&context, nullptr);
  plovercrashjson_beginObject(&context, "report");
  char id[37];
  plovercrashid_generate(id);
  plovercrashjson_addStringElement(&context, "id", id, -1);
  char date[21];
  plovercrashdate_utcStringFromTimestamp(time(nullptr), date);
  plovercrashjson_addStringElement(&context, "timestamp", date, -1);
  plovercrashjson_endContainer(&context);
  plovercrashjson_beginObject(&context, "error");
  plovercrashjson_addIntegerElement(&context, "signal", signalNumber);
  plovercrashjson_addUIntegerElement(&context, "address", reinterpret_cast<std::uintptr_t>(info->si_addr));
  plovercrashjson_endContainer(&context);
  plovercrashjson_addJSONFromFile(&context, "user", g_userJSONPath, true);
  plovercrashjson_endEncode(&context);
  plovercrashfu_closeBufferedWriter(&writer);
  PLOVERCRASHLOG_ERROR("Crash report written for signal %d", signalNumber);
  _exit(0);
}

[[noreturn]] void crashWithReport() {
  stack_t stack = {};
  stack.ss_sp = g_alternateStack;
  stack.ss_size = sizeof g_alternateStack;
  sigaltstack(&stack, nullptr);
  struct sigaction action = {};
  action.sa_sigaction = onCrash;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, nullptr);
  volatile int* bad = reinterpret_cast<volatile int*>(16);
  *bad = 1;
  std::abort();
}

TEST(PloverCrashCrashTimeWriteTest, SignalHandlerWritesACompleteReport) {
  // The death-test child re-runs this body; the per-process test home is shared with it.
  const char* home = std::getenv("VX_TEST_HOME");
  ASSERT_NE(home, nullptr);
  const std::string report = std::string(home) + "/crash-time-report.json";
  const std::string user = std::string(home) + "/crash-time-user.json";
  std::remove(report.c_str());
  TemporaryFolder::write(user, R"({"account":"a1","tags":["x","y"]})");
  snprintf(g_reportPath, sizeof g_reportPath, "%s", report.c_str());
  snprintf(g_userJSONPath, sizeof g_userJSONPath, "%s", user.c_str());

  EXPECT_EXIT(crashWithReport(), ::testing::ExitedWithCode(0), "");
  const nlohmann::json parsed = nlohmann::json::parse(TemporaryFolder::read(report));
  EXPECT_EQ(parsed["error"]["signal"], SIGSEGV);
  EXPECT_EQ(parsed["error"]["address"], 16);
  EXPECT_EQ(parsed["report"]["id"].get<std::string>().size(), 36u);
  EXPECT_EQ(parsed["report"]["timestamp"].get<std::string>().size(), 20u);
  EXPECT_EQ(parsed["user"]["tags"], nlohmann::json::array({"x", "y"}));
}

}  // namespace
