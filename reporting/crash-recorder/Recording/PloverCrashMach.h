// Names of Mach exceptions and kernel return codes, and the mapping between Mach exceptions and
// signals. Reports name exceptions the way the other platform's tools do, and the kernel return
// codes name failures of the recorder's own Mach-style calls. Every function is crash-time safe.
#pragma once

#include <cstdint>

// Mach exception types and the codes the signal mapping looks at.
enum : int {
  PLOVERCRASH_EXC_BAD_ACCESS = 1,
  PLOVERCRASH_EXC_BAD_INSTRUCTION = 2,
  PLOVERCRASH_EXC_ARITHMETIC = 3,
  PLOVERCRASH_EXC_EMULATION = 4,
  PLOVERCRASH_EXC_SOFTWARE = 5,
  PLOVERCRASH_EXC_BREAKPOINT = 6,
  PLOVERCRASH_EXC_CRASH = 10,
  PLOVERCRASH_EXC_UNIX_BAD_SYSCALL = 0x10000,
  PLOVERCRASH_EXC_UNIX_BAD_PIPE = 0x10001,
  PLOVERCRASH_EXC_UNIX_ABORT = 0x10002,
  PLOVERCRASH_EXC_SOFT_SIGNAL = 0x10003,
};

// "EXC_BAD_ACCESS" ... "EXC_CRASH" for types 1 to 10; null for any other.
const char* plovercrashmach_exceptionName(std::int64_t exceptionType);

// "KERN_SUCCESS" ... for the kernel return codes 0 to 50; null above.
const char* plovercrashmach_kernelReturnCodeName(std::int64_t returnCode);

// The Mach exception type that stands for a signal; 0 when none does.
int plovercrashmach_machExceptionForSignal(int signal);

// The signal a Mach exception (type and code) arrives as; 0 when none. This system has no
// SIGEMT, so an emulation exception has no signal either.
int plovercrashmach_signalForMachException(int exception, std::int64_t code);
