// The report writer and reporter: the field encoder, and real crashes in forked children whose
// report files are read back with our decoder and with protoc.
#include "crash-engine/report/MSHXCrashLogWriter.h"
#include "crash-engine/report/MSHXCrashReport.h"
#include "crash-engine/MSHXCrashReporter.h"
#include "crash-engine/report/MSHXCrashReportTextFormatter.h"
#include "platform/darwin/Sysctl.h"
#include "platform/foundation/DispatchQueue.h"
#include "crash-engine/support/ReportSupport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::uint8_t> readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Encodes one field into a temporary file and returns what was written.
std::vector<std::uint8_t> packToFile(std::uint32_t field, MShxcrash_writer_field_type type, const void* value,
                                     std::size_t* returned) {
  cetest::ReportFile file(0);
  *returned = MShxcrash_writer_pack(file.file(), field, type, value);
  return file.close();
}

// The first 16 bytes of the running executable's GNU build id.
std::vector<std::uint8_t> executableBuildId() {
  std::vector<std::uint8_t> id;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        auto* out = static_cast<std::vector<std::uint8_t>*>(data);
        if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0') return 0;  // the executable
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const auto& ph = info->dlpi_phdr[i];
          if (ph.p_type != PT_NOTE) continue;
          auto* p = reinterpret_cast<const std::uint8_t*>(info->dlpi_addr + ph.p_vaddr);
          const auto* end = p + ph.p_memsz;
          while (p + sizeof(ElfW(Nhdr)) <= end) {
            const auto* note = reinterpret_cast<const ElfW(Nhdr)*>(p);
            const auto* name = p + sizeof(ElfW(Nhdr));
            const auto* desc = name + ((note->n_namesz + 3) & ~3u);
            if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0) {
              out->assign(desc, desc + std::min<std::size_t>(16, note->n_descsz));
              return 1;
            }
            p = desc + ((note->n_descsz + 3) & ~3u);
          }
        }
        return 1;
      },
      &id);
  return id;
}

std::string runCommand(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return output;
  }
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  *status = pclose(pipe);
  return output;
}

// ---- crashes -------------------------------------------------------------------------------

volatile std::uintptr_t g_zero = 0;

__attribute__((noinline, no_sanitize("address", "undefined"))) void crashNullDereference() {
  *reinterpret_cast<volatile int*>(g_zero) = 42;
}

__attribute__((noinline)) void crashAbort() { abort(); }

__attribute__((noinline)) void crashTrap() { __builtin_trap(); }

__attribute__((noinline, no_sanitize("undefined"))) void crashDivideByZero() {
  volatile int divisor = static_cast<int>(g_zero);
  volatile int result = 7 / divisor;
  (void)result;
}

__attribute__((noinline, no_sanitize("address", "undefined"))) void crashTruncatedMapping() {
  char path[] = "/tmp/ce3busXXXXXX";
  const int fd = mkstemp(path);
  unlink(path);
  void* page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);  // the file is empty
  volatile char c = *static_cast<volatile char*>(page);
  (void)c;
}

struct CrashCase {
  const char* name;
  void (*crash)();
  int signo;
  const char* signame;
  const char* code;
};

const CrashCase kCrashCases[] = {
    {"NullDereference", crashNullDereference, SIGSEGV, "SIGSEGV", "SEGV_MAPERR"},
    {"Abort", crashAbort, SIGABRT, "SIGABRT", "SI_TKILL"},
    {"Trap", crashTrap, SIGILL, "SIGILL", "ILL_ILLOPN"},
    {"DivideByZero", crashDivideByZero, SIGFPE, "SIGFPE", "FPE_INTDIV"},
    {"TruncatedMapping", crashTruncatedMapping, SIGBUS, "SIGBUS", "BUS_ADRERR"},
};

std::shared_ptr<MSHXCrashReporter> makeReporter(const std::string& name) {
  return std::make_shared<MSHXCrashReporter>("com.vexelworks.crashtest/" + name, "7", "1.0",
                                             MSHXCrashReporterConfig::defaultConfiguration());
}

// What a child that crashed with a reporter left: how it ended and its report file.
struct ChildCrash {
  int status = -1;  // as waitpid gives it; -1 when the child could not be started or waited for
  std::string path;
  std::vector<std::uint8_t> report;
};

// Runs `crash` in a plain forked child whose reporter `name` is enabled (exit 3 when enabling
// fails, 4 when `crash` returns), after removing an earlier report of that name.
template <class Crash>
ChildCrash crashInChild(const std::string& name, Crash crash) {
  ChildCrash result;
  result.path = makeReporter(name)->crashReportPath().string();
  std::filesystem::remove(result.path);
  const pid_t child = fork();
  if (child == 0) {
    auto reporter = makeReporter(name);
    if (!reporter->enableCrashReporter()) _exit(3);
    crash();
    _exit(4);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) {
    ADD_FAILURE() << "the crashing child could not be run";
    return result;
  }
  result.status = status;
  result.report = readAll(result.path);
  return result;
}

[[noreturn]] void crashWithReporter(const CrashCase& c) {
  auto reporter = makeReporter(c.name);
  vx::Error error;
  if (!reporter->enableCrashReporterAndReturnError(&error)) {
    fprintf(stderr, "enable failed: %s\n", error.description.c_str());
    _exit(3);
  }
  c.crash();
  _exit(4);
}

class CrashReportWriterCrashTest : public ::testing::TestWithParam<CrashCase> {};

}  // namespace

TEST(CrashReportWriterTest, EncodesFieldsAsTheWireFormatSays) {
  std::size_t returned = 0;
  auto bytes = packToFile(2, MSHXCRASH_FIELD_STRING, "abc", &returned);
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0x12, 0x03, 0x61, 0x62, 0x63}));
  EXPECT_EQ(returned, 5u);
  EXPECT_EQ(MShxcrash_writer_pack(nullptr, 2, MSHXCRASH_FIELD_STRING, "abc"), 5u);

  const std::int32_t minusOne = -1;
  bytes = packToFile(1, MSHXCRASH_FIELD_INT32, &minusOne, &returned);
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
  EXPECT_EQ(returned, 11u);

  struct Case {
    std::uint32_t field;
    MShxcrash_writer_field_type type;
    std::uint64_t value;
    std::vector<std::uint8_t> expected;
  };
  const Case cases[] = {
      {1, MSHXCRASH_FIELD_UINT64, 300, {0x08, 0xAC, 0x02}},
      {3, MSHXCRASH_FIELD_BOOL, 1, {0x18, 0x01}},
      {1, MSHXCRASH_FIELD_SINT32, static_cast<std::uint32_t>(-2), {0x08, 0x03}},
      {2, MSHXCRASH_FIELD_FIXED32, 0x01020304, {0x15, 0x04, 0x03, 0x02, 0x01}},
      {2, MSHXCRASH_FIELD_FIXED64, 0x0102030405060708, {0x11, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}},
      {16, MSHXCRASH_FIELD_UINT32, 1, {0x80, 0x01, 0x01}},
      {4, MSHXCRASH_FIELD_MESSAGE, 200, {0x22, 0xC8, 0x01}},  // only key and length
  };
  for (const auto& c : cases) {
    bytes = packToFile(c.field, c.type, &c.value, &returned);
    EXPECT_EQ(bytes, c.expected) << "field " << c.field << " type " << c.type;
    EXPECT_EQ(returned, c.expected.size());
  }
  const std::uint8_t raw[] = {0xAA, 0xBB};
  MShxcrash_writer_binary_data data{2, raw};
  bytes = packToFile(4, MSHXCRASH_FIELD_BYTES, &data, &returned);
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0x22, 0x02, 0xAA, 0xBB}));
}

TEST_P(CrashReportWriterCrashTest, CrashLeavesADecodableReport) {
  const CrashCase& c = GetParam();
  auto reporter = makeReporter(c.name);
  const std::string path = reporter->crashReportPath().string();
  std::filesystem::remove(path);
  EXPECT_EXIT(crashWithReporter(c), ::testing::KilledBySignal(c.signo), "");

  const auto bytes = readAll(path);
  ASSERT_GT(bytes.size(), 8u) << path;
  EXPECT_EQ(std::memcmp(bytes.data(), "hxcrash\x01", 8), 0);
  EXPECT_LT(bytes.size(), 262144u);

  vx::Error error;
  auto report = MSHXCrashReport::makeWithData(bytes, &error);
  ASSERT_TRUE(report) << error.description;
  EXPECT_EQ(report->signalInfo()->name(), c.signame);
  EXPECT_EQ(report->signalInfo()->code(), c.code);
  EXPECT_EQ(report->applicationInfo()->applicationIdentifier(), std::string("com.vexelworks.crashtest/") + c.name);
  EXPECT_EQ(report->applicationInfo()->applicationMarketingVersion(), "1.0");
  ASSERT_TRUE(report->uuidRef());
  ASSERT_TRUE(report->hasProcessInfo());

  // The test binary's image with its build id.
  const auto buildId = executableBuildId();
  ASSERT_EQ(buildId.size(), 16u);
  std::string buildIdHex;
  for (auto b : buildId) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", b);
    buildIdHex += hex;
  }
  const std::string exe = std::filesystem::canonical("/proc/self/exe").string();
  bool hasExecutable = false;
  std::uint64_t reportBase = 0;
  for (const auto& image : report->images()) {
    if (image->imageUUID() == buildIdHex) {
      hasExecutable = true;
      reportBase = image->imageBaseAddress();
      EXPECT_EQ(std::filesystem::path(image->imageName()).filename(), std::filesystem::path(exe).filename());
      ASSERT_TRUE(image->codeType());
      EXPECT_EQ(image->codeType()->type(), 0x1000007u);
      EXPECT_EQ(image->codeType()->subtype(), 3u);
      EXPECT_EQ(image->codeType()->typeEncoding(), 1);
    }
  }
  EXPECT_TRUE(hasExecutable);

  // The crashed thread: registers first, and a stack that goes back to main.
  const auto crashedThreads = cetest::crashedThreads(*report);
  ASSERT_EQ(crashedThreads.size(), 1u);
  const auto& crashed = crashedThreads[0];
  ASSERT_GE(crashed->registers().size(), 17u);
  EXPECT_EQ(crashed->registers()[0]->registerName(), "rip");
  ASSERT_FALSE(crashed->stackFrames().empty());
  EXPECT_EQ(crashed->registers()[0]->registerValue(), crashed->stackFrames()[0]->instructionPointer());
  // The child is a new process with its own load address: move its addresses to ours.
  Dl_info self{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&executableBuildId), &self), 0);
  const auto ourBase = reinterpret_cast<std::uint64_t>(self.dli_fbase);
  bool reachesMain = false;
  bool hasCrashFunction = false;
  for (const auto& frame : crashed->stackFrames()) {
    Dl_info info{};
    // Return addresses point after the call; look one byte back.
    const auto pc = frame->instructionPointer() - reportBase + ourBase;
    if (dladdr(reinterpret_cast<void*>(pc - 1), &info) != 0 && info.dli_sname != nullptr) {
      if (std::strcmp(info.dli_sname, "main") == 0) reachesMain = true;
    }
    // The crash functions are local symbols: the frame lies within the function's first bytes.
    const auto crashFunction = reinterpret_cast<std::uint64_t>(c.crash);
    if (pc >= crashFunction && pc < crashFunction + 512) hasCrashFunction = true;
  }
  EXPECT_TRUE(reachesMain) << MSHXCrashReportTextFormatter::stringValueForCrashReport(*report, 0);
  if (c.signo != SIGABRT) {
    EXPECT_TRUE(hasCrashFunction);
  }

  // The encoding is valid protobuf for protoc too, and complete by the schema's own labels.
  int status = 0;
  const std::string raw = runCommand("tail -c +9 '" + path + "' | protoc --decode_raw 2>&1", &status);
  EXPECT_EQ(status, 0) << raw;
  EXPECT_NE(raw.find(c.signame), std::string::npos);
  const std::filesystem::path proto(CE_CRASH_REPORT_PROTO);
  const std::string typed =
      runCommand("tail -c +9 '" + path + "' | protoc --proto_path='" + proto.parent_path().string() +
                     "' --decode=hxcrash.CrashReport crash_report.proto 2>&1",
                 &status);
  EXPECT_EQ(status, 0) << typed;
  EXPECT_NE(typed.find("crashed: true"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Crashes, CrashReportWriterCrashTest, ::testing::ValuesIn(kCrashCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the byte budget with an uncaught exception ----------------------------------------------

namespace {

struct CurrentWrite {
  MShxcrash_log_writer* writer;
  MShxcrash_async_file* file;
  const MShxcrash_log_signal_info* siginfo;
};

// A report of the calling thread (marked crashed) into `file`.
void writeCurrentThreadReport(MShxcrash_log_writer* writer, cetest::ReportFile* file) {
  MShxcrash_log_bsd_signal_info bsd{SIGABRT, 0, 0};
  MShxcrash_log_signal_info siginfo{&bsd, nullptr};
  CurrentWrite request{writer, file->file(), &siginfo};
  EXPECT_EQ(MShxcrash_async_thread_state_current(
                [](hxcrash_async_thread_state* state, void* context) {
                  auto* r = static_cast<CurrentWrite*>(context);
                  return MShxcrash_log_writer_write(r->writer, MSpl_mach_thread_self(), hxcrash_shared_image_list(),
                                                    r->file, r->siginfo, state);
                },
                &request),
            hxcrash_error_none);
}

}  // namespace

// Reasons of every size up to past the limit, with two-byte characters so a cut could split
// one: every report stays within the limit, decodes with our decoder and with protoc, keeps its
// images, the crashed thread and the signal, and carries the reason whole or as a prefix that
// is valid UTF-8.
TEST(CrashReportWriterBudgetTest, EveryReasonSizeLeavesADecodableReport) {
  const std::size_t sizes[] = {0,      1,      1000,   50000,  200000, 240000, 250000,
                               253000, 254001, 256000, 261000, 262144, 262145, 400000};
  std::vector<std::uint64_t> stack(1000);
  for (std::size_t i = 0; i < stack.size(); ++i) stack[i] = 0x401000 + 16 * i;
  for (std::size_t size : sizes) {
    SCOPED_TRACE("reason of " + std::to_string(size) + " bytes");
    std::string reason;
    while (reason.size() + 2 <= size) reason += "\xC3\xA9";  // é
    if (reason.size() < size) reason += "x";
    MShxcrash_log_writer writer;
    MShxcrash_log_writer_init(&writer, "com.vexelworks.reason", "1", nullptr, 0, false);
    MShxcrash_log_writer_set_exception(&writer, "std::length_error", reason.c_str(), stack.data(), stack.size());
    cetest::ReportFile file(MSHXCRASH_REPORT_MAX_SIZE);
    writeCurrentThreadReport(&writer, &file);
    MShxcrash_log_writer_free(&writer);
    const auto bytes = file.close();
    const std::string& path = file.path();
    EXPECT_LE(bytes.size(), 262144u);

    vx::Error error;
    auto report = MSHXCrashReport::makeWithData(bytes, &error);
    ASSERT_TRUE(report) << error.description;
    EXPECT_FALSE(report->images().empty());
    EXPECT_EQ(report->signalInfo()->name(), "SIGABRT");
    bool crashedWithFrames = false;
    for (const auto& t : report->threads()) {
      if (t->crashed() && !t->stackFrames().empty()) crashedWithFrames = true;
    }
    EXPECT_TRUE(crashedWithFrames);
    ASSERT_TRUE(report->exceptionInfo());
    EXPECT_EQ(report->exceptionInfo()->exceptionName(), "std::length_error");
    const std::string& kept = report->exceptionInfo()->exceptionReason();
    EXPECT_EQ(reason.compare(0, kept.size(), kept), 0);
    if (size <= 200000) {
      EXPECT_EQ(kept.size(), reason.size());
    }
    // A cut never splits a two-byte character.
    if (kept.size() < reason.size()) {
      EXPECT_EQ(kept.size() % 2, 0u);
    }

    int status = 0;
    const std::string raw = runCommand("tail -c +9 '" + path + "' | protoc --decode_raw >/dev/null 2>&1", &status);
    EXPECT_EQ(status, 0) << raw;
    const std::filesystem::path proto(CE_CRASH_REPORT_PROTO);
    const std::string typed =
        runCommand("tail -c +9 '" + path + "' | protoc --proto_path='" + proto.parent_path().string() +
                       "' --decode=hxcrash.CrashReport crash_report.proto 2>&1 >/dev/null",
                   &status);
    EXPECT_EQ(status, 0) << typed;
  }
}

// Processors are cores, logical processors hardware threads.
TEST(CrashReportWriterBudgetTest, MachineInfoCountsCoresAndHardwareThreads) {
  MShxcrash_log_writer writer;
  MShxcrash_log_writer_init(&writer, "com.vexelworks.cpus", "1", nullptr, 0, false);
  cetest::ReportFile file(MSHXCRASH_REPORT_MAX_SIZE);
  writeCurrentThreadReport(&writer, &file);
  MShxcrash_log_writer_free(&writer);
  const auto bytes = file.close();
  vx::Error error;
  auto report = MSHXCrashReport::makeWithData(bytes, &error);
  ASSERT_TRUE(report) << error.description;
  ASSERT_TRUE(report->machineInfo());
  std::int32_t cores = 0;
  std::size_t size = sizeof cores;
  ASSERT_EQ(vx::sysctlbyname("hw.physicalcpu_max", &cores, &size, nullptr, 0), 0);
  EXPECT_EQ(report->machineInfo()->processorCount(), static_cast<std::uint64_t>(cores));
  EXPECT_EQ(report->machineInfo()->logicalProcessorCount(), static_cast<std::uint64_t>(sysconf(_SC_NPROCESSORS_CONF)));
}

// ---- two threads crashing at once ------------------------------------------------------------

extern "C" {
// Each faults at its own address, once both threads are ready.
std::atomic<int> ce_two_ready{0};

__attribute__((noinline, no_sanitize("address", "undefined"))) void ce_crash_at_a() {
  ce_two_ready.fetch_add(1);
  while (ce_two_ready.load() < 2) {
  }
  *reinterpret_cast<volatile int*>(g_zero + 0x10) = 1;
}

__attribute__((noinline, no_sanitize("address", "undefined"))) void ce_crash_at_b() {
  ce_two_ready.fetch_add(1);
  while (ce_two_ready.load() < 2) {
  }
  *reinterpret_cast<volatile int*>(g_zero + 0x20) = 2;
}
}

// Both threads fault together, again and again: the first records, the other waits until the
// report is closed. Every report is whole and names one of the two as the crashed thread.
TEST(CrashReportWriterTwoCrashesTest, TwoThreadsCrashingAtOnceLeaveOneGoodReport) {
  constexpr int kRuns = 30;
  for (int run = 0; run < kRuns; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    // A plain forked child per run (a death test would run the whole loop again in the child).
    const ChildCrash child = crashInChild("TwoCrashes", [] {
      std::thread a(ce_crash_at_a);
      std::thread b(ce_crash_at_b);
      a.join();
      b.join();
    });
    const std::string& path = child.path;
    const auto& bytes = child.report;
    ASSERT_TRUE(WIFSIGNALED(child.status)) << "exit status " << WEXITSTATUS(child.status);
    EXPECT_EQ(WTERMSIG(child.status), SIGSEGV);
    ASSERT_GT(bytes.size(), 8u);
    EXPECT_LE(bytes.size(), 262144u);
    vx::Error error;
    auto report = MSHXCrashReport::makeWithData(bytes, &error);
    ASSERT_TRUE(report) << error.description;
    EXPECT_EQ(report->signalInfo()->name(), "SIGSEGV");
    const std::uint64_t address = report->signalInfo()->address();
    ASSERT_TRUE(address == 0x10 || address == 0x20) << address;
    const auto crashed = cetest::crashedThreads(*report);
    ASSERT_EQ(crashed.size(), 1u);
    ASSERT_FALSE(crashed[0]->stackFrames().empty());
    // The crashed thread is the one whose fault the signal describes. The child may be loaded
    // elsewhere: compare offsets in the test program's image.
    void* faulting = reinterpret_cast<void*>(address == 0x10 ? &ce_crash_at_a : &ce_crash_at_b);
    Dl_info self{};
    ASSERT_NE(dladdr(faulting, &self), 0);
    const std::uint64_t offset =
        reinterpret_cast<std::uint64_t>(faulting) - reinterpret_cast<std::uint64_t>(self.dli_fbase);
    const std::uint64_t pc = crashed[0]->stackFrames()[0]->instructionPointer();
    const auto image = report->imageForAddress(pc);
    ASSERT_TRUE(image);
    const std::uint64_t pcOffset = pc - image->imageBaseAddress();
    // The function holding that pc here (the child is a fork: same program, same symbols),
    // whatever size the compiler made the function.
    Dl_info at{};
    ASSERT_NE(dladdr(static_cast<char*>(self.dli_fbase) + pcOffset, &at), 0);
    EXPECT_EQ(at.dli_saddr, faulting) << std::hex << pcOffset << " " << offset;
    int status = 0;
    runCommand("tail -c +9 '" + path + "' | protoc --decode_raw >/dev/null 2>&1", &status);
    EXPECT_EQ(status, 0);
    if (HasFailure()) break;
  }
}

// ---- a stack overflow on a queue worker --------------------------------------------------------

namespace {

volatile bool g_keep_recursing = true;

__attribute__((noinline)) int overflowStack(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  if (!g_keep_recursing) return frame[0];
  return overflowStack(depth + 1) + frame[0];
}

}  // namespace

// The dispatch queue's worker threads get an alternate signal stack when they start, so a
// block that overflows its thread's stack still leaves a report.
TEST(CrashReportWriterOverflowTest, StackOverflowOnAQueueWorkerLeavesAReport) {
  const ChildCrash child = crashInChild("WorkerOverflow", [] {
    vx::DispatchQueue::global()->async([] { overflowStack(0); });
    for (;;) pause();
  });
  ASSERT_TRUE(WIFSIGNALED(child.status));
  EXPECT_EQ(WTERMSIG(child.status), SIGSEGV);
  ASSERT_GT(child.report.size(), 8u) << "no report";
  vx::Error error;
  auto report = MSHXCrashReport::makeWithData(child.report, &error);
  ASSERT_TRUE(report) << error.description;
  EXPECT_EQ(report->signalInfo()->name(), "SIGSEGV");
  const auto crashedThreads = cetest::crashedThreads(*report);
  ASSERT_EQ(crashedThreads.size(), 1u);
  const auto& crashed = crashedThreads[0];
  EXPECT_NE(crashed->threadNumber(), 0);  // a worker, not the main thread
  // The overflowing recursion fills the frame limit.
  EXPECT_EQ(crashed->stackFrames().size(), 512u);
}

// ---- a library loaded after enable -----------------------------------------------------------

// A plain dlopen after the reporter is enabled: the report still lists the library, and the
// walk goes through its three frames back into the program, up to main.
TEST(CrashReportWriterLateLibraryTest, LibraryLoadedAfterEnableIsKnownToTheReport) {
  const ChildCrash child = crashInChild("LateLibrary", [] {
    void* library = dlopen(CE_CRASHING_LIBRARY, RTLD_NOW);
    if (library == nullptr) _exit(5);
    auto entry = reinterpret_cast<void (*)(int)>(dlsym(library, "ce_lib_level1"));
    if (entry == nullptr) _exit(6);
    entry(1);
  });
  ASSERT_TRUE(WIFSIGNALED(child.status)) << "exit status " << WEXITSTATUS(child.status);
  EXPECT_EQ(WTERMSIG(child.status), SIGSEGV);

  vx::Error error;
  auto report = MSHXCrashReport::makeWithData(child.report, &error);
  ASSERT_TRUE(report) << error.description;
  const std::string library = std::filesystem::canonical(CE_CRASHING_LIBRARY).string();
  std::shared_ptr<MSHXCrashReportBinaryImageInfo> libraryImage;
  for (const auto& image : report->images()) {
    std::error_code ec;
    if (std::filesystem::equivalent(image->imageName(), library, ec)) libraryImage = image;
  }
  ASSERT_TRUE(libraryImage) << "the library is not among the report's images";
  ASSERT_TRUE(libraryImage->imageUUID());

  const auto crashedThreads = cetest::crashedThreads(*report);
  ASSERT_EQ(crashedThreads.size(), 1u);
  const auto& crashed = crashedThreads[0];
  const auto& frames = crashed->stackFrames();
  ASSERT_GT(frames.size(), 4u) << MSHXCrashReportTextFormatter::stringValueForCrashReport(*report, 0);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(report->imageForAddress(frames[i]->instructionPointer()), libraryImage) << i;
  }
  // Back in the program: its image (the one holding main) takes the fourth frame on.
  Dl_info self{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&executableBuildId), &self), 0);
  const auto programImage = report->imageForAddress(frames[3]->instructionPointer());
  ASSERT_TRUE(programImage);
  bool reachesMain = false;
  for (std::size_t i = 3; i < frames.size(); ++i) {
    if (report->imageForAddress(frames[i]->instructionPointer()) != programImage) continue;
    const auto pc = frames[i]->instructionPointer() - programImage->imageBaseAddress() +
                    reinterpret_cast<std::uint64_t>(self.dli_fbase);
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(pc - 1), &info) != 0 && info.dli_sname != nullptr &&
        std::strcmp(info.dli_sname, "main") == 0) {
      reachesMain = true;
    }
  }
  EXPECT_TRUE(reachesMain) << MSHXCrashReportTextFormatter::stringValueForCrashReport(*report, 0);
}
