// The crash-time tools must not touch the heap: a crash can strike while the allocator holds its
// lock or its structures are corrupt. This runs them with the sanitizer's allocation hooks
// counting every allocation made on this thread.
#include "reporting/crash-recorder/Recording/PloverCrashDate.h"
#include "reporting/crash-recorder/Recording/PloverCrashDebug.h"
#include "reporting/crash-recorder/Recording/PloverCrashFileUtils.h"
#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"
#include "reporting/crash-recorder/Recording/PloverCrashID.h"
#include "reporting/crash-recorder/Recording/PloverCrashJSONCodec.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"
#include "reporting/crash-recorder/Recording/PloverCrashString.h"
#include "reporting/crash-recorder/Recording/PloverCrashSysCtl.h"

#include "crash-recorder/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*, std::size_t),
                                                         void (*freeHook)(const volatile void*));
#define PLOVERCRASH_HAVE_ALLOCATION_HOOKS 1
#endif

namespace {

thread_local bool t_counting = false;
thread_local int t_allocations = 0;

[[maybe_unused]] void onMalloc(const volatile void*, std::size_t) {
  if (t_counting) {
    ++t_allocations;
  }
}
[[maybe_unused]] void onFree(const volatile void*) {}

struct StaticSink {
  char bytes[8192];
  int length = 0;
  static int add(const char* data, int count, void* user) {
    auto* sink = static_cast<StaticSink*>(user);
    if (sink->length + count > static_cast<int>(sizeof sink->bytes)) {
      return PloverCrashJSON_ERROR_CANNOT_ADD_DATA;
    }
    std::memcpy(sink->bytes + sink->length, data, static_cast<std::size_t>(count));
    sink->length += count;
    return PloverCrashJSON_OK;
  }
};

[[maybe_unused]] int ignoreString(const char*, const char*, void*) { return 0; }

TEST(PloverCrashNoAllocationTest, CrashPathToolsDoNotAllocate) {
#if !defined(PLOVERCRASH_HAVE_ALLOCATION_HOOKS)
  GTEST_SKIP() << "needs the AddressSanitizer build";
#else
  TemporaryFolder folder;
  const std::string reportPath = folder.file("report.json");
  const std::string inputPath = folder.file("input.json");
  const std::string logPath = folder.file("console.log");
  TemporaryFolder::write(inputPath, R"({"user":{"name":"x","ids":[1,2.5,true,null]}})");
  ASSERT_TRUE(plovercrashlog_setLogFilename(logPath.c_str(), true));
  static StaticSink sink;
  sink.length = 0;
  ASSERT_EQ(__sanitizer_install_malloc_and_free_hooks(onMalloc, onFree), 1);

  // The hook sees allocations.
  t_counting = true;
  delete new int(5);
  t_counting = false;
  ASSERT_EQ(t_allocations, 1);
  t_allocations = 0;

  t_counting = true;
  {
    PloverCrashJSONEncodeContext context;
    plovercrashjson_beginEncode(&context, true, StaticSink::add, &sink);
    plovercrashjson_beginObject(&context, nullptr);
    plovercrashjson_addStringElement(&context, "text", "with \"escapes\"\n", -1);
    plovercrashjson_addFloatingPointElement(&context, "float", 0.1);
    plovercrashjson_addIntegerElement(&context, "int", -7);
    plovercrashjson_addDataElement(&context, "data", "\x01\x02", 2);
    const char inline_json[] = R"({"a":[1,"b",{"c":null}]})";
    plovercrashjson_addJSONElement(&context, "inline", inline_json, sizeof inline_json - 1, true);
    plovercrashjson_addJSONFromFile(&context, "file", inputPath.c_str(), true);
    plovercrashjson_endEncode(&context);

    char scratch[512];
    PloverCrashJSONDecodeCallbacks callbacks = {};
    callbacks.onStringElement = ignoreString;
    plovercrashjson_decode(sink.bytes, sink.length, scratch, sizeof scratch, &callbacks, nullptr, nullptr);

    char buffer[256];
    plovercrashdate_utcStringFromTimestamp(1796852741, buffer);
    plovercrashid_generate(buffer);
    plovercrashformat_format(buffer, sizeof buffer, "%s %d %g %p", "x", 1, 2.5, buffer);
    PLOVERCRASHLOG_ERROR("logging at crash time: %d", 42);

    char writeBuffer[64];
    PloverCrashBufferedWriter writer;
    plovercrashfu_openBufferedWriter(&writer, reportPath.c_str(), writeBuffer, sizeof writeBuffer);
    plovercrashfu_writeBufferedWriter(&writer, sink.bytes, sink.length);
    plovercrashfu_closeBufferedWriter(&writer);
    char readBuffer[64];
    PloverCrashBufferedReader reader;
    plovercrashfu_openBufferedReader(&reader, reportPath.c_str(), readBuffer, sizeof readBuffer);
    int length = sizeof buffer;
    plovercrashfu_readBufferedReaderUntilChar(&reader, '\n', buffer, &length);
    plovercrashfu_closeBufferedReader(&reader);

    plovercrashsysctl_stringForName("kern.osrelease", buffer, sizeof buffer);
    plovercrashsysctl_uint64ForName("hw.memsize");
    plovercrashsysctl_timevalForName("kern.boottime");
    plovercrashdebug_isBeingTraced();
    plovercrashstring_isNullTerminatedUTF8String("abc", 1, 10);
  }
  t_counting = false;
  __sanitizer_install_malloc_and_free_hooks(nullptr, nullptr);
  plovercrashlog_setLogFilename(nullptr, false);
  EXPECT_EQ(t_allocations, 0);
  EXPECT_GT(sink.length, 100);
  EXPECT_NE(TemporaryFolder::read(reportPath).find("\"file\": {"), std::string::npos);
#endif
}

}  // namespace
