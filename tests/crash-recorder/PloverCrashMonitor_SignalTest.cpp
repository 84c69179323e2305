// The signal monitor in forked children that crash for real: the event it records, the signal
// it leaves for the previous handler, a crash path that allocates nothing, an ignored SIGPIPE
// that is no crash, and an installation that fails part way.
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_Signal.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"
#include "reporting/crash-recorder/Recording/PloverCrashSignalInfo.h"

#include "crash-recorder/MonitorEventReport.h"
#include "crash-recorder/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <climits>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*, std::size_t),
                                                         void (*freeHook)(const volatile void*));
#define PLOVERCRASH_HAVE_ALLOCATION_HOOKS 1
#endif

namespace {

std::atomic<bool> g_counting{false};
std::atomic<int> g_allocations{0};

[[maybe_unused]] void onMalloc(const volatile void*, std::size_t) {
  if (g_counting.load()) g_allocations.fetch_add(1);
}
[[maybe_unused]] void onFree(const volatile void*) {}

void reportAndCountAllocations(PloverCrash_MonitorContext* context) {
  g_counting.store(false);
  childReport("allocations", "%d", g_allocations.load());
  childReport("activeDuringEvent", "%u", static_cast<unsigned>(plovercrashcm_getActiveMonitors()));
  reportMonitorEvent(context);
}

std::string executablePath() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

__attribute__((noinline)) void writeTo(volatile char* address) { *address = 1; }

char* g_guardPage = nullptr;

TEST(PloverCrashSignalMonitorTest, SegmentationFaultIsRecordedWithoutAllocating) {
  g_guardPage = static_cast<char*>(mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(g_guardPage, MAP_FAILED);
  ChildResult result = runInChild([] {
    resetFatalSignalsToDefault();
    std::atomic<bool> stop{false};
    std::thread other([&stop] {
      while (!stop.load()) std::this_thread::yield();
    });
    plovercrashcm_setEventCallback(reportAndCountAllocations);
    childReport("active", "%u", static_cast<unsigned>(plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeSignal)));
#if defined(PLOVERCRASH_HAVE_ALLOCATION_HOOKS)
    __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
    // The hook does see allocations.
    g_counting.store(true);
    delete new int(5);
    g_counting.store(false);
    childReport("hooks", "%d", g_allocations.exchange(0));
#endif
    g_counting.store(true);
    writeTo(g_guardPage + 8);
    return 99;
  });
  ASSERT_TRUE(result.killedBy(SIGSEGV)) << result.output;
  EXPECT_EQ(result["active"], "2");
  EXPECT_EQ(result["events"], "1");
  EXPECT_EQ(result["type"], "2");
  EXPECT_EQ(result["signal"], std::to_string(SIGSEGV));
  EXPECT_EQ(result["sigcode"], std::to_string(SEGV_ACCERR));
  EXPECT_STREQ(plovercrashsignal_signalCodeName(SIGSEGV, std::stoi(result["sigcode"])), "SEGV_ACCERR");
  char fault[32];
  std::snprintf(fault, sizeof fault, "%llx",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(g_guardPage + 8)));
  EXPECT_EQ(result["fault"], fault);
  EXPECT_EQ(result["registersValid"], "1");
  EXPECT_EQ(result["signalContext"], "1");
  EXPECT_EQ(result["threadCount"], "2");
  EXPECT_EQ(result["eventID"].size(), 36u);
  // The first frame is the faulting instruction, inside writeTo of this program.
  const auto start = reinterpret_cast<std::uintptr_t>(&writeTo);
  const std::uintptr_t frame0 = std::stoull(result["frame0"], nullptr, 16);
  EXPECT_GE(frame0, start);
  EXPECT_LT(frame0, start + 256);
  EXPECT_EQ(result["frame0image"], executablePath());
  EXPECT_GE(std::stoi(result["frames"]), 3);
  // While the event is written the monitors are still on; afterwards they are all off.
  EXPECT_EQ(result["activeDuringEvent"], "2");
  if (result.has("hooks")) {
    EXPECT_EQ(result["hooks"], "1");
    EXPECT_EQ(result["allocations"], "0");
  }
  munmap(g_guardPage, 4096);
}

TEST(PloverCrashSignalMonitorTest, EachFatalSignalIsRecordedAndReRaised) {
  for (int signal : {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGPIPE, SIGSYS, SIGTRAP}) {
    ChildResult result = runInChild([signal] {
      resetFatalSignalsToDefault();
      plovercrashcm_setEventCallback(reportMonitorEvent);
      plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeSignal);
      if (signal == SIGABRT) std::abort();
      raise(signal);
      return 99;
    });
    EXPECT_TRUE(result.killedBy(signal)) << signal << " " << result.output;
    EXPECT_EQ(result["type"], "2") << signal;
    EXPECT_EQ(result["signal"], std::to_string(signal));
    EXPECT_EQ(result["events"], "1");
  }
}

TEST(PloverCrashSignalMonitorTest, AnIgnoredSignalIsNoCrash) {
  ChildResult result = runInChild([] {
    resetFatalSignalsToDefault();
    std::signal(SIGPIPE, SIG_IGN);
    plovercrashcm_setEventCallback(reportMonitorEvent);
    plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeSignal);
    struct sigaction current {};
    sigaction(SIGPIPE, nullptr, &current);
    childReport("stillIgnored", "%d", current.sa_handler == SIG_IGN ? 1 : 0);
    raise(SIGPIPE);
    int fds[2];
    if (pipe(fds) != 0) return 2;
    close(fds[0]);
    const ssize_t written = write(fds[1], "x", 1);
    childReport("writeFailed", "%d", written < 0 && errno == EPIPE ? 1 : 0);
    childReport("enabled", "%d", plovercrashcm_signal_getAPI()->isEnabled() ? 1 : 0);
    return 0;
  });
  ASSERT_TRUE(result.exitedWith(0)) << result.output;
  EXPECT_EQ(result["stillIgnored"], "1");
  EXPECT_EQ(result["writeFailed"], "1");
  EXPECT_EQ(result["enabled"], "1");
  EXPECT_FALSE(result.has("events"));
}

TEST(PloverCrashSignalMonitorTest, DisablingPutsThePreviousHandlersBack) {
  ChildResult result = runInChild([] {
    resetFatalSignalsToDefault();
    plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeSignal);
    struct sigaction current {};
    sigaction(SIGSEGV, nullptr, &current);
    childReport("installed", "%d", (current.sa_flags & SA_ONSTACK) != 0 ? 1 : 0);
    stack_t stack{};
    sigaltstack(nullptr, &stack);
    childReport("altstack", "%zu", stack.ss_size);
    childReport("active", "%u", static_cast<unsigned>(plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeNone)));
    sigaction(SIGSEGV, nullptr, &current);
    childReport("restored", "%d", current.sa_handler == SIG_DFL ? 1 : 0);
    return 0;
  });
  ASSERT_TRUE(result.exitedWith(0)) << result.output;
  EXPECT_EQ(result["installed"], "1");
  EXPECT_EQ(result["altstack"], "131072");
  EXPECT_EQ(result["active"], "0");
  EXPECT_EQ(result["restored"], "1");
}

// Makes the kernel refuse to install a handler for SIGSEGV (queries still work).
bool refuseSegvHandlers() {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_rt_sigaction, 0, 5),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SIGSEGV, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[1])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof *filter), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST(PloverCrashSignalMonitorTest, AnInstallationThatFailsPartWayLeavesTheMonitorOff) {
  TemporaryFolder folder;
  const std::string log = folder.file("log.txt");
  ChildResult result = runInChild([&log] {
    resetFatalSignalsToDefault();
    plovercrashlog_setLogFilename(log.c_str(), true);
    if (!refuseSegvHandlers()) return 3;
    const auto active = plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeSignal);
    childReport("active", "%u", static_cast<unsigned>(active));
    childReport("enabled", "%d", plovercrashcm_signal_getAPI()->isEnabled() ? 1 : 0);
    // The signals done before the failure have their previous (default) action back.
    int restored = 0;
    for (int signal : {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGPIPE}) {
      struct sigaction current {};
      sigaction(signal, nullptr, &current);
      if (current.sa_handler == SIG_DFL) ++restored;
    }
    childReport("restored", "%d", restored);
    return 0;
  });
  if (result.exitedWith(3)) GTEST_SKIP() << "seccomp filters are not permitted here";
  ASSERT_TRUE(result.exitedWith(0)) << result.output;
  EXPECT_EQ(result["active"], "0");
  EXPECT_EQ(result["enabled"], "0");
  EXPECT_EQ(result["restored"], "5");
  EXPECT_NE(TemporaryFolder::read(log).find("sigaction (SIGSEGV): Operation not permitted"), std::string::npos)
      << TemporaryFolder::read(log);
}

}  // namespace
