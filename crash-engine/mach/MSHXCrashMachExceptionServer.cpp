#include "crash-engine/mach/MSHXCrashMachExceptionServer.h"

#include "crash-engine/async/HXCrashAsync.h"
#include "crash-engine/HXCrashErrors.h"
#include "crash-engine/thread/MSHXCrashThreadState.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::int32_t kTerminationMessageId = static_cast<std::int32_t>(0xdeadbeef);
constexpr std::int32_t kX86ThreadStateFlavor = 7;
constexpr std::uint32_t kRequestHeadSize = MShxcrash_mach_exception_request_size(0);

void logLine(const char* format, int value) {
  std::fprintf(stderr, format, value);
  std::fputc('\n', stderr);
}

void* exception_server_thread(void* arg) {
  auto* context = static_cast<hxcrash_exception_server_context*>(arg);
  pthread_mutex_lock(&context->lock);
  context->server_thread = static_cast<vx::thread_t>(syscall(SYS_gettid));
  pthread_cond_broadcast(&context->server_cond);
  pthread_mutex_unlock(&context->lock);

  // The smallest whole number of pages that holds a two-code request.
  std::uint64_t size = (vx::vm_page_size + 83) & ~vx::vm_page_mask;
  vx::mach_vm_address_t buffer = 0;
  if (vx::mach_vm_allocate(vx::mach_task_self(), &buffer, size, vx::VM_FLAGS_ANYWHERE) != vx::KERN_SUCCESS) {
    std::fprintf(stderr, "Unexpected error in vm_allocate(): %x\n", 0);
    return nullptr;
  }
  for (;;) {
    auto* request = reinterpret_cast<hxcrash_mach_msg_header*>(buffer);
    hxcrash_mach_port_t from = MSHXCRASH_MACH_PORT_NULL;
    vx::kern_return_t kr =
        MShxcrash_mach_msg_receive(context->port_set, request, static_cast<std::uint32_t>(size), -1, &from);
    if (kr == MSHXCRASH_MACH_RCV_TOO_LARGE) {
      // The message stays queued: grow to its size in whole pages and receive again.
      const std::uint64_t needed = (request->size + vx::vm_page_mask) & ~vx::vm_page_mask;
      vx::mach_vm_deallocate(vx::mach_task_self(), buffer, size);
      size = needed;
      kr = vx::mach_vm_allocate(vx::mach_task_self(), &buffer, size, vx::VM_FLAGS_ANYWHERE);
      if (kr != vx::KERN_SUCCESS) {
        std::fprintf(stderr, "Unexpected error in vm_allocate(): 0x%x\n", kr);
        return nullptr;
      }
      continue;
    }
    if (kr != vx::KERN_SUCCESS) {
      MSHXCF_DEBUG("Unexpected error in mach_msg(): 0x%x", kr);
      continue;
    }
    if (from == context->notify_port) {
      if (request->id == MSHXCRASH_MACH_NOTIFY_NO_SENDERS) continue;
      if (request->id == kTerminationMessageId &&
          __atomic_load_n(&context->server_should_stop, __ATOMIC_SEQ_CST) != 0) {
        pthread_mutex_lock(&context->lock);
        context->server_stopped = true;
        pthread_cond_broadcast(&context->server_cond);
        pthread_mutex_unlock(&context->lock);
        vx::mach_vm_deallocate(vx::mach_task_self(), buffer, size);
        return nullptr;
      }
    }
    vx::kern_return_t result;
    if (request->size > 83) {
      const auto* exception = reinterpret_cast<const hxcrash_mach_exception_request*>(request);
      std::int64_t codes[2];
      const std::uint32_t count = exception->code_count > 2 ? 2 : exception->code_count;
      std::memcpy(codes, reinterpret_cast<const std::uint8_t*>(request) + kRequestHeadSize,
                  sizeof(std::int64_t) * count);
      result = context->callback(exception->task_name, exception->thread_name, exception->exception, codes, count,
                                 context->callback_context);
    } else {
      MSHXCF_DEBUG("Unexpected message size of %llu", static_cast<unsigned long long>(request->size));
      result = vx::KERN_FAILURE;
    }
    hxcrash_mach_exception_reply reply{};
    reply.header.bits = request->bits;
    reply.header.size = sizeof reply;
    reply.header.remote_port = request->local_port;
    reply.header.id = request->id + 100;
    reply.return_code = result;
    kr = MShxcrash_mach_msg_send(reinterpret_cast<hxcrash_mach_msg_header*>(&reply));
    if (kr != vx::KERN_SUCCESS) {
      MSHXCF_DEBUG("Unexpected failure replying to Mach exception message: 0x%x", kr);
    }
  }
}

std::uint32_t exception_to_mask(std::int32_t type) {
  const bool known = (type >= 1 && type <= 10) || type == 12;
  if (!known) {
    MSHXCF_DEBUG("Unhandled exception type %d; exception_to_mask() should be updated", type);
  }
  return 1u << (static_cast<std::uint32_t>(type) & 31);
}

// The thread's registers in a flavor (x86_THREAD_STATE or x86_THREAD_STATE64), as words.
vx::kern_return_t threadStateWords(vx::thread_t thread, std::int32_t flavor, std::uint32_t* words,
                                   std::uint32_t* count) {
  if (flavor != kX86ThreadStateFlavor && flavor != MShxcrash_x86_THREAD_STATE64) {
    return vx::KERN_INVALID_ARGUMENT;
  }
  hxcrash_async_thread_state state;
  if (MShxcrash_async_thread_state_mach_thread_init(&state, thread) != hxcrash_error_none) {
    return vx::KERN_FAILURE;
  }
  if (flavor == kX86ThreadStateFlavor) {
    std::memcpy(words, &state.x86_state, sizeof state.x86_state);
    *count = sizeof state.x86_state / 4;
  } else {
    std::memcpy(words, &state.x86_state.uts.ts64, sizeof state.x86_state.uts.ts64);
    *count = sizeof state.x86_state.uts.ts64 / 4;
  }
  return vx::KERN_SUCCESS;
}

}  // namespace

// ---- port registrations ----------------------------------------------------------------------

MSHXCrashMachExceptionPort::MSHXCrashMachExceptionPort(hxcrash_mach_port_t port, std::uint32_t mask,
                                                       std::int32_t behavior, std::int32_t flavor)
    : _mask(mask), _port(port), _behavior(behavior), _flavor(flavor) {
  if (_port != MSHXCRASH_MACH_PORT_NULL && _port != MSHXCRASH_MACH_PORT_DEAD) {
    const vx::kern_return_t kr = MShxcrash_mach_port_mod_refs(_port, MSHXCRASH_MACH_PORT_RIGHT_SEND, 1);
    if (kr != vx::KERN_SUCCESS) logLine("Unexpected error incrementing mach port reference: %d", kr);
  }
}

MSHXCrashMachExceptionPort::~MSHXCrashMachExceptionPort() {
  if (_port != MSHXCRASH_MACH_PORT_NULL && _port != MSHXCRASH_MACH_PORT_DEAD) {
    const vx::kern_return_t kr = MShxcrash_mach_port_mod_refs(_port, MSHXCRASH_MACH_PORT_RIGHT_SEND, -1);
    if (kr != vx::KERN_SUCCESS) logLine("Unexpected error decrementing mach port reference: %d", kr);
  }
}

bool MSHXCrashMachExceptionPort::registerForTask(vx::task_t task,
                                                 std::shared_ptr<MSHXCrashMachExceptionPortSet>* previous,
                                                 vx::Error* error) {
  hxcrash_mach_exception_port_set prev{};
  prev.count = MSHXCRASH_EXC_TYPES_COUNT;
  const vx::kern_return_t kr = MShxcrash_task_swap_exception_ports(
      task, _mask, _port, _behavior, _flavor, prev.masks, &prev.count, prev.ports, prev.behaviors, prev.flavors);
  if (kr != vx::KERN_SUCCESS) {
    MShxcrash_populate_mach_error(error, kr, "Failed to swap mach exception ports");
    return false;
  }
  auto set = MSHXCrashMachExceptionPortSet::makeWithAsyncSafeRepresentation(prev, error);
  if (previous != nullptr) *previous = set;
  return true;
}

std::shared_ptr<MSHXCrashMachExceptionPortSet> MSHXCrashMachExceptionPort::exceptionPortsForTask(vx::task_t task,
                                                                                                 std::uint32_t mask,
                                                                                                 vx::Error* error) {
  hxcrash_mach_exception_port_set current{};
  current.count = MSHXCRASH_EXC_TYPES_COUNT;
  const vx::kern_return_t kr = MShxcrash_task_get_exception_ports(task, mask, current.masks, &current.count,
                                                                  current.ports, current.behaviors, current.flavors);
  if (kr != vx::KERN_SUCCESS) {
    MShxcrash_populate_mach_error(error, kr, "Failed to fetch mach exception ports");
    return nullptr;
  }
  return MSHXCrashMachExceptionPortSet::makeWithAsyncSafeRepresentation(current, error);
}

std::shared_ptr<MSHXCrashMachExceptionPortSet> MSHXCrashMachExceptionPortSet::makeWithSet(
    std::vector<std::shared_ptr<MSHXCrashMachExceptionPort>> set, vx::Error* error) {
  if (set.size() > MSHXCRASH_EXC_TYPES_COUNT) {
    char message[96];
    std::snprintf(message, sizeof message, "Set size of %lu exceeds EXC_TYPES_COUNT (%lu)",
                  static_cast<unsigned long>(set.size()), static_cast<unsigned long>(MSHXCRASH_EXC_TYPES_COUNT));
    MShxcrash_populate_error(error, 6, message);
    return nullptr;
  }
  std::shared_ptr<MSHXCrashMachExceptionPortSet> result(new MSHXCrashMachExceptionPortSet());
  result->_asyncSafe.count = static_cast<std::uint32_t>(set.size());
  for (std::size_t i = 0; i < set.size(); ++i) {
    result->_asyncSafe.masks[i] = set[i]->mask();
    result->_asyncSafe.ports[i] = set[i]->server_port();
    result->_asyncSafe.behaviors[i] = set[i]->behavior();
    result->_asyncSafe.flavors[i] = set[i]->flavor();
  }
  result->_set = std::move(set);
  return result;
}

std::shared_ptr<MSHXCrashMachExceptionPortSet> MSHXCrashMachExceptionPortSet::makeWithAsyncSafeRepresentation(
    const hxcrash_mach_exception_port_set& representation, vx::Error* error) {
  if (representation.count > MSHXCRASH_EXC_TYPES_COUNT) {
    char message[96];
    std::snprintf(message, sizeof message, "Count of %lu exceeds EXC_TYPES_COUNT (%lu)",
                  static_cast<unsigned long>(representation.count),
                  static_cast<unsigned long>(MSHXCRASH_EXC_TYPES_COUNT));
    MShxcrash_populate_error(error, 6, message);
    return nullptr;
  }
  std::shared_ptr<MSHXCrashMachExceptionPortSet> result(new MSHXCrashMachExceptionPortSet());
  for (std::uint32_t i = 0; i < representation.count; ++i) {
    const hxcrash_mach_port_t port = representation.ports[i];
    result->_set.push_back(std::make_shared<MSHXCrashMachExceptionPort>(
        port, representation.masks[i], representation.behaviors[i], representation.flavors[i]));
    if (port != MSHXCRASH_MACH_PORT_NULL && port != MSHXCRASH_MACH_PORT_DEAD) {
      const vx::kern_return_t kr = MShxcrash_mach_port_mod_refs(port, MSHXCRASH_MACH_PORT_RIGHT_SEND, -1);
      if (kr != vx::KERN_SUCCESS) logLine("Unexpected error decrementing mach port reference: %d", kr);
    }
  }
  result->_asyncSafe = representation;
  return result;
}

// ---- server ------------------------------------------------------------------------------

std::unique_ptr<MSHXCrashMachExceptionServer> MSHXCrashMachExceptionServer::make(
    hxcrash_mach_exception_callback callback, void* context, vx::Error* error) {
  std::unique_ptr<MSHXCrashMachExceptionServer> server(new MSHXCrashMachExceptionServer());
  auto* ctx = static_cast<hxcrash_exception_server_context*>(std::calloc(1, sizeof(hxcrash_exception_server_context)));
  ctx->callback = callback;
  ctx->callback_context = context;
  int err = pthread_mutex_init(&ctx->lock, nullptr);
  if (err != 0) {
    std::free(ctx);
    MShxcrash_populate_posix_error(error, err, "Mutex initialization failed");
    return nullptr;
  }
  err = pthread_cond_init(&ctx->server_cond, nullptr);
  if (err != 0) {
    pthread_mutex_destroy(&ctx->lock);
    std::free(ctx);
    MShxcrash_populate_posix_error(error, err, "Condition initialization failed");
    return nullptr;
  }
  server->_serverContext = ctx;

  vx::kern_return_t kr = MShxcrash_mach_port_allocate(MSHXCRASH_MACH_PORT_RIGHT_RECEIVE, &ctx->server_port);
  if (kr == vx::KERN_SUCCESS) {
    kr = MShxcrash_mach_port_allocate(MSHXCRASH_MACH_PORT_RIGHT_RECEIVE, &ctx->notify_port);
  }
  if (kr != vx::KERN_SUCCESS) {
    MShxcrash_populate_mach_error(error, kr, "Failed to allocate exception server's port");
    return nullptr;
  }
  kr = MShxcrash_mach_port_insert_right(ctx->notify_port, MSHXCRASH_MACH_MSG_TYPE_MAKE_SEND);
  if (kr != vx::KERN_SUCCESS) {
    MShxcrash_populate_mach_error(error, kr, "Failed to add send right to exception server's port");
    return nullptr;
  }
  kr =
      MShxcrash_mach_port_request_notification(ctx->server_port, MSHXCRASH_MACH_NOTIFY_NO_SENDERS, 1, ctx->notify_port);
  if (kr != vx::KERN_SUCCESS) {
    MShxcrash_populate_mach_error(error, kr, "Failed to request MACH_NOTIFY_NO_SENDERS on the exception server's port");
    return nullptr;
  }
  kr = MShxcrash_mach_port_allocate(MSHXCRASH_MACH_PORT_RIGHT_PORT_SET, &ctx->port_set);
  if (kr != vx::KERN_SUCCESS) {
    MShxcrash_populate_mach_error(error, kr, "Failed to allocate exception server's port set");
    return nullptr;
  }
  kr = MShxcrash_mach_port_move_member(ctx->server_port, ctx->port_set);
  if (kr != vx::KERN_SUCCESS) {
    MShxcrash_populate_mach_error(error, kr, "Failed to add exception server port to port set");
    return nullptr;
  }
  kr = MShxcrash_mach_port_move_member(ctx->notify_port, ctx->port_set);
  if (kr != vx::KERN_SUCCESS) {
    MShxcrash_populate_mach_error(error, kr, "Failed to add exception server notify port to port set");
    return nullptr;
  }

  pthread_attr_t attr;
  err = pthread_attr_init(&attr);
  if (err != 0) {
    MShxcrash_populate_posix_error(error, err, "Failed to initialize pthread_attr");
    return nullptr;
  }
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  err = pthread_create(&thread, &attr, exception_server_thread, ctx);
  pthread_attr_destroy(&attr);
  if (err != 0) {
    MShxcrash_populate_posix_error(error, err, "Failed to create exception server thread");
    return nullptr;
  }
  pthread_mutex_lock(&ctx->lock);
  ctx->server_started = true;
  while (ctx->server_thread == 0) pthread_cond_wait(&ctx->server_cond, &ctx->lock);
  pthread_mutex_unlock(&ctx->lock);
  return server;
}

MSHXCrashMachExceptionServer::~MSHXCrashMachExceptionServer() {
  hxcrash_exception_server_context* ctx = _serverContext;
  if (ctx == nullptr) return;
  if (ctx->server_started) {
    std::uint32_t expected = 0;
    __atomic_compare_exchange_n(&ctx->server_should_stop, &expected, 1, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    hxcrash_mach_msg_header message{};
    message.bits = MSHXCRASH_MACH_MSG_TYPE_COPY_SEND;
    message.size = sizeof message;
    message.remote_port = ctx->notify_port;
    message.id = kTerminationMessageId;
    const vx::kern_return_t kr = MShxcrash_mach_msg_send(&message);
    if (kr != vx::KERN_SUCCESS) {
      logLine("Unexpected error sending termination message to background thread: %d", kr);
      return;
    }
    pthread_mutex_lock(&ctx->lock);
    while (!ctx->server_stopped) pthread_cond_wait(&ctx->server_cond, &ctx->lock);
    pthread_mutex_unlock(&ctx->lock);
  }
  if (ctx->server_port != 0) {
    MShxcrash_mach_port_mod_refs(ctx->server_port, MSHXCRASH_MACH_PORT_RIGHT_RECEIVE, -1);
  }
  if (ctx->notify_port != 0) {
    MShxcrash_mach_port_mod_refs(ctx->notify_port, MSHXCRASH_MACH_PORT_RIGHT_SEND, -1);
    MShxcrash_mach_port_mod_refs(ctx->notify_port, MSHXCRASH_MACH_PORT_RIGHT_RECEIVE, -1);
  }
  if (ctx->port_set != 0) {
    MShxcrash_mach_port_mod_refs(ctx->port_set, MSHXCRASH_MACH_PORT_RIGHT_PORT_SET, -1);
  }
  pthread_cond_destroy(&ctx->server_cond);
  pthread_mutex_destroy(&ctx->lock);
  std::free(ctx);
}

hxcrash_mach_port_t MSHXCrashMachExceptionServer::copySendRightForServerAndReturningError(vx::Error* error) {
  pthread_mutex_lock(&_serverContext->lock);
  const vx::kern_return_t kr =
      MShxcrash_mach_port_insert_right(_serverContext->server_port, MSHXCRASH_MACH_MSG_TYPE_MAKE_SEND);
  const hxcrash_mach_port_t port = _serverContext->server_port;
  pthread_mutex_unlock(&_serverContext->lock);
  if (kr != vx::KERN_SUCCESS) {
    MShxcrash_populate_mach_error(error, kr, "Failed to insert Mach send right");
    return MSHXCRASH_MACH_PORT_NULL;
  }
  return port;
}

std::shared_ptr<MSHXCrashMachExceptionPort> MSHXCrashMachExceptionServer::exceptionPortWithMask(std::uint32_t mask,
                                                                                                vx::Error* error) {
  const hxcrash_mach_port_t port = copySendRightForServerAndReturningError(error);
  if (port == MSHXCRASH_MACH_PORT_NULL || port == MSHXCRASH_MACH_PORT_DEAD) return nullptr;
  auto result = std::make_shared<MSHXCrashMachExceptionPort>(
      port, mask, static_cast<std::int32_t>(MSHXCRASH_EXCEPTION_DEFAULT | MSHXCRASH_MACH_EXCEPTION_CODES),
      kX86ThreadStateFlavor);
  MShxcrash_mach_port_deallocate(port);
  return result;
}

vx::thread_t MSHXCrashMachExceptionServer::serverThread() {
  if (_serverContext == nullptr) vx::fatalError("No handler registered!");
  pthread_mutex_lock(&_serverContext->lock);
  const vx::thread_t thread = _serverContext->server_thread;
  pthread_mutex_unlock(&_serverContext->lock);
  return thread;
}

// ---- forwarding and mapping ---------------------------------------------------------------

vx::kern_return_t MSHXCrashMachExceptionForward(vx::task_t task, vx::thread_t thread, std::int32_t exception_type,
                                                const std::int64_t* codes, std::uint32_t code_count,
                                                const hxcrash_mach_exception_port_set* port_state) {
  const std::uint32_t mask = exception_to_mask(exception_type);
  std::int32_t found = -1;
  for (std::uint32_t i = 0; i < port_state->count && i < MSHXCRASH_EXC_TYPES_COUNT; ++i) {
    const hxcrash_mach_port_t port = port_state->ports[i];
    if (port == MSHXCRASH_MACH_PORT_NULL || MShxcrash_mach_port_is_dead(port)) continue;
    if ((port_state->masks[i] & mask) == 0) continue;
    found = static_cast<std::int32_t>(i);
    break;
  }
  if (found < 0) return vx::KERN_FAILURE;

  const hxcrash_mach_port_t port = port_state->ports[found];
  const auto raw_behavior = static_cast<std::uint32_t>(port_state->behaviors[found]);
  const bool codes64 = (raw_behavior & MSHXCRASH_MACH_EXCEPTION_CODES) != 0;
  const auto behavior = static_cast<std::int32_t>(raw_behavior & ~MSHXCRASH_MACH_EXCEPTION_CODES);
  const std::int32_t flavor = port_state->flavors[found];

  if (behavior == MSHXCRASH_EXCEPTION_DEFAULT) {
    return MShxcrash_mach_exception_raise(port, thread, task, exception_type, codes, code_count, codes64);
  }
  if (behavior != MSHXCRASH_EXCEPTION_STATE && behavior != MSHXCRASH_EXCEPTION_STATE_IDENTITY) {
    MSHXCF_DEBUG("Unsupported exception behavior: 0x%x (MACH_EXCEPTION_CODES=%s)", behavior,
                 codes64 ? "true" : "false");
    return vx::KERN_FAILURE;
  }
  std::uint32_t state[614];
  std::uint32_t state_count = 614;
  const vx::kern_return_t kr = threadStateWords(thread, flavor, state, &state_count);
  if (kr != vx::KERN_SUCCESS) {
    MSHXCF_DEBUG("Failed to fetch thread state for thread=0x%x, flavor=0x%x, kr=0x%x", thread, flavor, kr);
    return kr;
  }
  if (behavior == MSHXCRASH_EXCEPTION_STATE_IDENTITY) {
    return MShxcrash_mach_exception_raise_state_identity(port, thread, task, exception_type, codes, code_count, flavor,
                                                         state, state_count, codes64);
  }
  return MShxcrash_mach_exception_raise_state(port, exception_type, codes, code_count, flavor, state, state_count,
                                              codes64);
}

bool MShxcrash_async_mach_exception_get_siginfo(std::int32_t exception_type, const std::int64_t* codes,
                                                std::uint32_t code_count, std::int32_t, siginfo_t* siginfo) {
  if (code_count < 2) {
    MSHXCF_DEBUG("Unexpected Mach code count of %u; can't map to UNIX exception", code_count);
    return false;
  }
  int signo;
  int code = 0;
  switch (exception_type) {
    case MSHXCRASH_EXC_BAD_ACCESS:
      if (codes[0] == vx::KERN_INVALID_ADDRESS) {
        signo = SIGSEGV;
        code = SEGV_MAPERR;
      } else {
        signo = SIGBUS;
        code = BUS_ADRERR;
      }
      break;
    case MSHXCRASH_EXC_BAD_INSTRUCTION:
      signo = SIGILL;
      break;
    case MSHXCRASH_EXC_ARITHMETIC:
      signo = SIGFPE;
      break;
    case MSHXCRASH_EXC_EMULATION:
      // Linux has no SIGEMT; an emulation trap is an illegal instruction here.
      signo = SIGILL;
      break;
    case MSHXCRASH_EXC_SOFTWARE:
      switch (codes[0]) {
        case 0x10000:
          signo = SIGSYS;
          break;
        case 0x10001:
          signo = SIGPIPE;
          break;
        case 0x10002:
          signo = SIGABRT;
          break;
        case 0x10003:
          signo = SIGKILL;
          break;
        default:
          MSHXCF_DEBUG("Unexpected EXC_SOFTWARE code of %lld", static_cast<long long>(codes[0]));
          signo = SIGABRT;
          break;
      }
      break;
    case MSHXCRASH_EXC_BREAKPOINT:
      signo = SIGTRAP;
      code = TRAP_BRKPT;
      break;
    default:
      return false;
  }
  siginfo->si_signo = signo;
  siginfo->si_code = code;
  siginfo->si_addr = reinterpret_cast<void*>(codes[1]);
  return true;
}
