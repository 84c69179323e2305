// Mach exception handling over the in-process port layer (HXCrashMachPorts.h; Linux has no
// exception ports): a server thread that receives exception requests and answers them with a
// callback's result, exception-port registrations that keep the previous ones, forwarding to
// the previous registration, and the mapping of an exception to the signal a report records.
#pragma once

#include "crash-engine/mach/HXCrashMachPorts.h"
#include "platform/foundation/Error.h"

#include <pthread.h>
#include <signal.h>

#include <cstdint>
#include <memory>
#include <vector>

inline constexpr std::uint32_t MSHXCRASH_EXC_TYPES_COUNT = 14;

// Exception types, masks and behaviors, numbered as Mach numbers them.
enum : std::int32_t {
  MSHXCRASH_EXC_BAD_ACCESS = 1,
  MSHXCRASH_EXC_BAD_INSTRUCTION = 2,
  MSHXCRASH_EXC_ARITHMETIC = 3,
  MSHXCRASH_EXC_EMULATION = 4,
  MSHXCRASH_EXC_SOFTWARE = 5,
  MSHXCRASH_EXC_BREAKPOINT = 6,
  MSHXCRASH_EXC_GUARD = 12,
  MSHXCRASH_EXCEPTION_DEFAULT = 1,
  MSHXCRASH_EXCEPTION_STATE = 2,
  MSHXCRASH_EXCEPTION_STATE_IDENTITY = 3,
};
inline constexpr std::uint32_t MSHXCRASH_MACH_EXCEPTION_CODES = 0x80000000u;

// Exception-port registrations in a form crash-time code can read: entry i of each array
// belongs together; only the first count entries are meaningful.
struct hxcrash_mach_exception_port_set {
  std::uint32_t count;
  std::uint32_t masks[MSHXCRASH_EXC_TYPES_COUNT];
  std::uint32_t ports[MSHXCRASH_EXC_TYPES_COUNT];
  std::int32_t behaviors[MSHXCRASH_EXC_TYPES_COUNT];
  std::int32_t flavors[MSHXCRASH_EXC_TYPES_COUNT];
};

typedef vx::kern_return_t (*hxcrash_mach_exception_callback)(vx::task_t task, vx::thread_t thread,
                                                             std::int32_t exception_type, const std::int64_t* codes,
                                                             std::uint32_t code_count, void* context);

struct hxcrash_exception_server_context {
  vx::thread_t server_thread;
  hxcrash_mach_port_t server_port;
  hxcrash_mach_port_t notify_port;
  hxcrash_mach_port_t port_set;
  hxcrash_mach_exception_callback callback;
  void* callback_context;
  pthread_mutex_t lock;
  pthread_cond_t server_cond;
  std::uint32_t server_should_stop;
  bool server_stopped;
  bool server_started;
};

class MSHXCrashMachExceptionPortSet;

// One exception-port registration; holds one send reference on its port.
class MSHXCrashMachExceptionPort {
 public:
  MSHXCrashMachExceptionPort(hxcrash_mach_port_t port, std::uint32_t mask, std::int32_t behavior, std::int32_t flavor);
  ~MSHXCrashMachExceptionPort();
  MSHXCrashMachExceptionPort(const MSHXCrashMachExceptionPort&) = delete;
  MSHXCrashMachExceptionPort& operator=(const MSHXCrashMachExceptionPort&) = delete;

  // Installs this registration for the task's exceptions in mask; the registrations it
  // replaces go to *previous (when given).
  bool registerForTask(vx::task_t task, std::shared_ptr<MSHXCrashMachExceptionPortSet>* previous, vx::Error* error);
  static std::shared_ptr<MSHXCrashMachExceptionPortSet> exceptionPortsForTask(vx::task_t task, std::uint32_t mask,
                                                                              vx::Error* error);

  hxcrash_mach_port_t server_port() const { return _port; }
  std::uint32_t mask() const { return _mask; }
  std::int32_t behavior() const { return _behavior; }
  std::int32_t flavor() const { return _flavor; }

 private:
  std::uint32_t _mask;
  hxcrash_mach_port_t _port;
  std::int32_t _behavior;
  std::int32_t _flavor;
};

class MSHXCrashMachExceptionPortSet {
 public:
  // At most 14 registrations; more are refused (null with an error).
  static std::shared_ptr<MSHXCrashMachExceptionPortSet> makeWithSet(
      std::vector<std::shared_ptr<MSHXCrashMachExceptionPort>> set, vx::Error* error);
  // The record's send references pass to the port objects. A count above 14 is refused.
  static std::shared_ptr<MSHXCrashMachExceptionPortSet> makeWithAsyncSafeRepresentation(
      const hxcrash_mach_exception_port_set& representation, vx::Error* error);

  const std::vector<std::shared_ptr<MSHXCrashMachExceptionPort>>& set() const { return _set; }
  hxcrash_mach_exception_port_set asyncSafeRepresentation() const { return _asyncSafe; }
  auto begin() const { return _set.begin(); }
  auto end() const { return _set.end(); }

 private:
  MSHXCrashMachExceptionPortSet() = default;
  std::vector<std::shared_ptr<MSHXCrashMachExceptionPort>> _set;
  hxcrash_mach_exception_port_set _asyncSafe{};
};

class MSHXCrashMachExceptionServer {
 public:
  // Allocates the ports and starts the server thread; null with an error on failure.
  static std::unique_ptr<MSHXCrashMachExceptionServer> make(hxcrash_mach_exception_callback callback, void* context,
                                                            vx::Error* error);
  // Stops the server thread (termination message and handshake) and releases the ports.
  ~MSHXCrashMachExceptionServer();

  // A new send right on the server port, which the caller releases; MSHXCRASH_MACH_PORT_NULL
  // with an error on failure.
  hxcrash_mach_port_t copySendRightForServerAndReturningError(vx::Error* error);
  // A registration for the server port: behavior EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES,
  // flavor x86_THREAD_STATE.
  std::shared_ptr<MSHXCrashMachExceptionPort> exceptionPortWithMask(std::uint32_t mask, vx::Error* error);
  vx::thread_t serverThread();

 private:
  MSHXCrashMachExceptionServer() = default;
  hxcrash_exception_server_context* _serverContext = nullptr;
};

// Passes an exception to the first saved registration that covers its type (dead and null
// ports are skipped). KERN_FAILURE when there is none.
vx::kern_return_t MSHXCrashMachExceptionForward(vx::task_t task, vx::thread_t thread, std::int32_t exception_type,
                                                const std::int64_t* codes, std::uint32_t code_count,
                                                const hxcrash_mach_exception_port_set* port_state);

// Maps an exception to si_signo, si_code and si_addr (this host's signal numbers). False for
// fewer than two codes and for types without a signal. cpu_type is not used.
bool MShxcrash_async_mach_exception_get_siginfo(std::int32_t exception_type, const std::int64_t* codes,
                                                std::uint32_t code_count, std::int32_t cpu_type, siginfo_t* siginfo);
