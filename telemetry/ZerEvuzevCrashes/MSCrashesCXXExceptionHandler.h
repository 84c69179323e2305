// C++ exception capture. An uncaught C++ exception ends the process through the terminate
// handler, far from its throw and without a stack of its own. So the program defines the C++
// runtime's throw entry itself (`__cxa_throw`, in MSCrashesCXXExceptionHandler.cpp): while capture
// is on, each throw remembers, per thread, the thrown object and the return addresses at the
// throw, then hands the throw on to the runtime unchanged. The terminate hook installed by the
// manager gives every registered handler the exception's type name, its message and the
// throw-time stack.
//
// Linking: the throw entry replaces the runtime's for every throw compiled into the executable
// that links this library. Throws made inside shared libraries (the C++ library's own
// std::__throw_* helpers included) reach it only when the executable exports the symbol: link
// with -rdynamic or -Wl,--export-dynamic-symbol=__cxa_throw. Other throws end up at the terminate
// hook without a captured stack, and the hook then takes its own backtrace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The captured exception handed to each handler. It lives in the terminate hook's stack frame
// and is valid only while the handlers run.
struct MSCrashesCXXExceptionRecord {
  // The C++ runtime's current exception object.
  const void* thrownObject;
  // The runtime's (mangled) type name.
  const char* typeName;
  // what() of a standard exception, the characters of a thrown string or C string; else null.
  const char* exceptionText;
  // Return addresses, the capturing hook's own frame excluded.
  std::uint32_t frameCount;
  const std::uint64_t* returnAddresses;
};

// A handler runs inside the terminate hook while the manager's lock is held: it must not add or
// remove handlers.
typedef void (*MSCrashesUncaughtCXXExceptionHandler)(const MSCrashesCXXExceptionRecord* info);

class MSCrashesUncaughtCXXExceptionHandlerManager {
 public:
  MSCrashesUncaughtCXXExceptionHandlerManager() = delete;

  // Appends the handler (duplicates allowed); the first call installs the terminate hook and
  // turns capture on.
  static void addCXXExceptionHandler(MSCrashesUncaughtCXXExceptionHandler handler);
  // Removes the first equal entry. When the list becomes empty the previous terminate handler is
  // put back and capture turned off, unless another component installed its own terminate
  // handler on top meanwhile (that one then stays).
  static void removeCXXExceptionHandler(MSCrashesUncaughtCXXExceptionHandler handler);
  static std::size_t countCXXExceptionHandler();
  // Whether the terminate hook is installed and throws are captured.
  static bool isCapturing();
};

// The terminate hook the manager installs.
void ms_cxx_terminate_handler();

// A captured C++ exception presented as an uncaught exception: the demangled type name, the
// message and the throw-time stack. Keeps (does not own) the record.
class MSCrashesCXXExceptionWrapperException {
 public:
  explicit MSCrashesCXXExceptionWrapperException(const MSCrashesCXXExceptionRecord* info);

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const MSCrashesCXXExceptionRecord* info() const { return info_; }
  std::vector<std::uint64_t> callStackReturnAddresses() const;

 private:
  std::string name_;
  std::string reason_;
  const MSCrashesCXXExceptionRecord* info_;
};

// The crash service's handler: hands the exception (name, reason, throw-time stack) to the crash
// engine's uncaught-exception hook, which records it and aborts, so the report carries it.
// Aborts in any case.
void ms_cxx_exception_handler(const MSCrashesCXXExceptionRecord* info);
