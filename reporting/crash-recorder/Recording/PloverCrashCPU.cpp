#include "reporting/crash-recorder/Recording/PloverCrashCPU.h"

#include "crash-engine/thread/MSHXCrashThreadCapture.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"
#include "reporting/crash-recorder/Recording/PloverCrashMach.h"
#include "reporting/crash-recorder/Recording/PloverCrashMemory.h"

#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>

namespace {

constexpr const char* kRegisterNames[] = {
    "rax", "rbx", "rcx", "rdx", "rdi", "rsi", "rbp",    "rsp", "r8", "r9", "r10",
    "r11", "r12", "r13", "r14", "r15", "rip", "rflags", "cs",  "fs", "gs",
};
constexpr int kRegisterCount = sizeof kRegisterNames / sizeof *kRegisterNames;
static_assert(kRegisterCount * sizeof(std::uint64_t) == sizeof(MShxcrash_x86_thread_state64));

constexpr const char* kExceptionRegisterNames[] = {"trapno", "err", "faultvaddr"};
constexpr int kExceptionRegisterCount = 3;

struct utsname g_uname;
std::atomic<int> g_unameState{0};  // 0 unread, 1 reading, 2 read, 3 failed

}  // namespace

// Fills the context's machine state from a signal-style machine context (shared with the
// machine context's signal path).
void plovercrashcpu_i_fillFromMContext(PloverCrashMachineContext* context, const mcontext_t* mcontext) {
  hxcrash_async_thread_state state;
  MShxcrash_async_thread_state_mcontext_init(&state, mcontext);
  context->machineContext.__ss = state.x86_state.uts.ts64;
  context->machineContext.__es = state.x86_exception.ues.es64;
  if (mcontext->fpregs == nullptr ||
      !plovercrashmem_copySafely(mcontext->fpregs, context->machineContext.__fs, sizeof context->machineContext.__fs)) {
    for (auto& byte : context->machineContext.__fs) byte = 0;
  }
}

const char* plovercrashcpu_currentArch() {
  int expected = 0;
  if (g_unameState.compare_exchange_strong(expected, 1)) {
    const bool ok = syscall(SYS_uname, &g_uname) == 0;
    g_unameState.store(ok ? 2 : 3);
  }
  if (g_unameState.load() != 2 || g_uname.machine[0] == '\0') return nullptr;
  return g_uname.machine;
}

void plovercrashcpu_getState(PloverCrashMachineContext* context) {
  mcontext_t mcontext;
  const int result = MShxcrash_async_thread_capture_get_context(context->thisThread, &mcontext);
  if (result != 0) {
    const char* name = plovercrashmach_kernelReturnCodeName(result);
    PLOVERCRASHLOG_ERROR("thread_get_state: %s", name != nullptr ? name : "unknown error");
    return;
  }
  plovercrashcpu_i_fillFromMContext(context, &mcontext);
}

std::uintptr_t plovercrashcpu_framePointer(const PloverCrashMachineContext* context) {
  return context->machineContext.__ss.rbp;
}

std::uintptr_t plovercrashcpu_stackPointer(const PloverCrashMachineContext* context) {
  return context->machineContext.__ss.rsp;
}

std::uintptr_t plovercrashcpu_instructionAddress(const PloverCrashMachineContext* context) {
  return context->machineContext.__ss.rip;
}

std::uintptr_t plovercrashcpu_linkRegister(const PloverCrashMachineContext*) { return 0; }

int plovercrashcpu_numRegisters() { return kRegisterCount; }

const char* plovercrashcpu_registerName(int regNumber) {
  if (regNumber < 0 || regNumber >= kRegisterCount) return nullptr;
  return kRegisterNames[regNumber];
}

std::uint64_t plovercrashcpu_registerValue(const PloverCrashMachineContext* context, int regNumber) {
  if (regNumber < 0 || regNumber >= kRegisterCount) {
    PLOVERCRASHLOG_ERROR("Invalid register number: %d", regNumber);
    return 0;
  }
  const auto& ss = context->machineContext.__ss;
  const std::uint64_t values[] = {ss.rax, ss.rbx, ss.rcx, ss.rdx,    ss.rdi, ss.rsi, ss.rbp,
                                  ss.rsp, ss.r8,  ss.r9,  ss.r10,    ss.r11, ss.r12, ss.r13,
                                  ss.r14, ss.r15, ss.rip, ss.rflags, ss.cs,  ss.fs,  ss.gs};
  return values[regNumber];
}

int plovercrashcpu_numExceptionRegisters() { return kExceptionRegisterCount; }

const char* plovercrashcpu_exceptionRegisterName(int regNumber) {
  if (regNumber < 0 || regNumber >= kExceptionRegisterCount) return nullptr;
  return kExceptionRegisterNames[regNumber];
}

std::uint64_t plovercrashcpu_exceptionRegisterValue(const PloverCrashMachineContext* context, int regNumber) {
  const auto& es = context->machineContext.__es;
  switch (regNumber) {
    case 0:
      return es.trapno;
    case 1:
      return es.err;
    case 2:
      return es.faultvaddr;
    default:
      PLOVERCRASHLOG_ERROR("Invalid register number: %d", regNumber);
      return 0;
  }
}

std::uintptr_t plovercrashcpu_faultAddress(const PloverCrashMachineContext* context) {
  return context->machineContext.__es.faultvaddr;
}

int plovercrashcpu_stackGrowDirection() { return -1; }

std::uintptr_t plovercrashcpu_normaliseInstructionPointer(std::uintptr_t ip) { return ip; }
