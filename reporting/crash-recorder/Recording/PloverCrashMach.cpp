#include "reporting/crash-recorder/Recording/PloverCrashMach.h"

#include <signal.h>

namespace {

constexpr const char* kExceptionNames[] = {
    "EXC_BAD_ACCESS", "EXC_BAD_INSTRUCTION", "EXC_ARITHMETIC",   "EXC_EMULATION", "EXC_SOFTWARE",
    "EXC_BREAKPOINT", "EXC_SYSCALL",         "EXC_MACH_SYSCALL", "EXC_RPC_ALERT", "EXC_CRASH",
};

constexpr const char* kReturnCodeNames[] = {
    "KERN_SUCCESS",
    "KERN_INVALID_ADDRESS",
    "KERN_PROTECTION_FAILURE",
    "KERN_NO_SPACE",
    "KERN_INVALID_ARGUMENT",
    "KERN_FAILURE",
    "KERN_RESOURCE_SHORTAGE",
    "KERN_NOT_RECEIVER",
    "KERN_NO_ACCESS",
    "KERN_MEMORY_FAILURE",
    "KERN_MEMORY_ERROR",
    "KERN_ALREADY_IN_SET",
    "KERN_NOT_IN_SET",
    "KERN_NAME_EXISTS",
    "KERN_ABORTED",
    "KERN_INVALID_NAME",
    "KERN_INVALID_TASK",
    "KERN_INVALID_RIGHT",
    "KERN_INVALID_VALUE",
    "KERN_UREFS_OVERFLOW",
    "KERN_INVALID_CAPABILITY",
    "KERN_RIGHT_EXISTS",
    "KERN_INVALID_HOST",
    "KERN_MEMORY_PRESENT",
    "KERN_MEMORY_DATA_MOVED",
    "KERN_MEMORY_RESTART_COPY",
    "KERN_INVALID_PROCESSOR_SET",
    "KERN_POLICY_LIMIT",
    "KERN_INVALID_POLICY",
    "KERN_INVALID_OBJECT",
    "KERN_ALREADY_WAITING",
    "KERN_DEFAULT_SET",
    "KERN_EXCEPTION_PROTECTED",
    "KERN_INVALID_LEDGER",
    "KERN_INVALID_MEMORY_CONTROL",
    "KERN_INVALID_SECURITY",
    "KERN_NOT_DEPRESSED",
    "KERN_TERMINATED",
    "KERN_LOCK_SET_DESTROYED",
    "KERN_LOCK_UNSTABLE",
    "KERN_LOCK_OWNED",
    "KERN_LOCK_OWNED_SELF",
    "KERN_SEMAPHORE_DESTROYED",
    "KERN_RPC_SERVER_TERMINATED",
    "KERN_RPC_TERMINATE_ORPHAN",
    "KERN_RPC_CONTINUE_ORPHAN",
    "KERN_NOT_SUPPORTED",
    "KERN_NODE_DOWN",
    "KERN_NOT_WAITING",
    "KERN_OPERATION_TIMED_OUT",
    "KERN_CODESIGN_ERROR",
};
static_assert(sizeof kReturnCodeNames / sizeof *kReturnCodeNames == 51);

constexpr int kKernInvalidAddress = 1;

}  // namespace

const char* plovercrashmach_exceptionName(std::int64_t exceptionType) {
  if (exceptionType < 1 || exceptionType > 10) return nullptr;
  return kExceptionNames[exceptionType - 1];
}

const char* plovercrashmach_kernelReturnCodeName(std::int64_t returnCode) {
  if (returnCode < 0 || returnCode > 50) return nullptr;
  return kReturnCodeNames[returnCode];
}

int plovercrashmach_machExceptionForSignal(int signal) {
  switch (signal) {
    case SIGILL:
      return PLOVERCRASH_EXC_BAD_INSTRUCTION;
    case SIGTRAP:
      return PLOVERCRASH_EXC_BREAKPOINT;
    case SIGABRT:
      return PLOVERCRASH_EXC_CRASH;
    case SIGFPE:
      return PLOVERCRASH_EXC_ARITHMETIC;
    case SIGKILL:
      return PLOVERCRASH_EXC_SOFT_SIGNAL;
    case SIGBUS:
    case SIGSEGV:
      return PLOVERCRASH_EXC_BAD_ACCESS;
    case SIGSYS:
      return PLOVERCRASH_EXC_UNIX_BAD_SYSCALL;
    case SIGPIPE:
      return PLOVERCRASH_EXC_UNIX_BAD_PIPE;
    default:
      return 0;
  }
}

int plovercrashmach_signalForMachException(int exception, std::int64_t code) {
  switch (exception) {
    case PLOVERCRASH_EXC_BAD_ACCESS:
      return code == kKernInvalidAddress ? SIGSEGV : SIGBUS;
    case PLOVERCRASH_EXC_BAD_INSTRUCTION:
      return SIGILL;
    case PLOVERCRASH_EXC_ARITHMETIC:
      return SIGFPE;
    case PLOVERCRASH_EXC_SOFTWARE:
      switch (code) {
        case PLOVERCRASH_EXC_UNIX_BAD_SYSCALL:
          return SIGSYS;
        case PLOVERCRASH_EXC_UNIX_BAD_PIPE:
          return SIGPIPE;
        case PLOVERCRASH_EXC_UNIX_ABORT:
          return SIGABRT;
        case PLOVERCRASH_EXC_SOFT_SIGNAL:
          return SIGKILL;
        default:
          return 0;
      }
    case PLOVERCRASH_EXC_BREAKPOINT:
      return SIGTRAP;
    default:
      return 0;
  }
}
