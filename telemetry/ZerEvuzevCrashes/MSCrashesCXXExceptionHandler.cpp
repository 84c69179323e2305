// The C++ ABI header comes first: it declares the throw entry this file defines, before the
// compiler's own implicit declaration could.
#include <cxxabi.h>

#include "telemetry/ZerEvuzevCrashes/MSCrashesCXXExceptionHandler.h"

#include "crash-engine/MSHXCrashReporter.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <typeinfo>

namespace {

constexpr int kMaxFrames = 128;

// What the throw hook keeps per thread: allocated zero-filled at the thread's first captured
// throw, freed by the thread key's destructor.
struct MSCrashesThrowBacktrace {
  void* thrownObject;
  void* returnAddresses[kMaxFrames];
  std::uint32_t count;
};

using ThrowFunction = void (*)(void*, std::type_info*, void (*)(void*));

// The spin lock guarding the handler list, the capture flag and the previous terminate handler.
std::atomic_flag g_lock = ATOMIC_FLAG_INIT;
std::atomic<bool> g_capturing{false};
std::terminate_handler g_previousTerminateHandler = nullptr;
pthread_key_t g_backtraceKey;
std::once_flag g_backtraceKeyOnce;
std::atomic<bool> g_backtraceKeyMade{false};

std::vector<MSCrashesUncaughtCXXExceptionHandler>& handlerList() {
  // Never destroyed, so a terminate during exit still finds a valid list.
  static auto* list = new std::vector<MSCrashesUncaughtCXXExceptionHandler>();
  return *list;
}

class SpinLock {
 public:
  SpinLock() {
    while (g_lock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~SpinLock() { g_lock.clear(std::memory_order_release); }
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;
};

ThrowFunction g_realThrow = nullptr;
const void* g_objcEhtypeVtable = nullptr;
std::once_flag g_lookupOnce;

void lookUpThrowFunctions() {
  std::call_once(g_lookupOnce, [] {
    g_realThrow = reinterpret_cast<ThrowFunction>(dlsym(RTLD_NEXT, "__cxa_throw"));
    g_objcEhtypeVtable = dlsym(RTLD_DEFAULT, "objc_ehtype_vtable");
  });
}

bool isObjCException(std::type_info* tinfo) {
  if (tinfo == nullptr || g_objcEhtypeVtable == nullptr) return false;
  const void* vtable = *reinterpret_cast<void* const*>(tinfo);
  return vtable == static_cast<const char*>(g_objcEhtypeVtable) + 16;
}

// The exception object behind an exception_ptr: the C++ library keeps exactly that pointer in it
// (the same pointer the throw entry receives).
const void* thrownObjectOf(const std::exception_ptr& pointer) {
  static_assert(sizeof(std::exception_ptr) == sizeof(void*));
  const void* object = nullptr;
  // NOLINTNEXTLINE(bugprone-undefined-memory-manipulation): reads the pointer it holds, no copy
  std::memcpy(&object, &pointer, sizeof object);
  return object;
}

void callPreviousOrAbort() {
  std::terminate_handler previous;
  {
    SpinLock lock;
    previous = g_previousTerminateHandler;
  }
  if (previous != nullptr && previous != ms_cxx_terminate_handler) previous();
  std::abort();
}

// A backtrace whose element 0 is the calling function's own frame and element 1 its caller's
// (`callerReturn`), even when a sanitizer's interceptor of backtrace adds frames in front.
int backtraceFromHere(void** frames, int capacity, void* callerReturn) {
  int count = backtrace(frames, capacity);
  for (int i = 2; i < count; ++i) {
    if (frames[i] == callerReturn) {
      const int drop = i - 1;
      std::memmove(frames, frames + drop, static_cast<std::size_t>(count - drop) * sizeof(void*));
      count -= drop;
      break;
    }
  }
  return count;
}

}  // namespace

extern "C" void __cxxabiv1::__cxa_throw(void* thrownException, std::type_info* tinfo, void (*destructor)(void*)) {
  lookUpThrowFunctions();
  if (!isObjCException(tinfo) && g_capturing.load(std::memory_order_acquire) &&
      g_backtraceKeyMade.load(std::memory_order_acquire)) {
    auto* record = static_cast<MSCrashesThrowBacktrace*>(pthread_getspecific(g_backtraceKey));
    if (record == nullptr) {
      record = static_cast<MSCrashesThrowBacktrace*>(std::calloc(1, sizeof(MSCrashesThrowBacktrace)));
      if (record != nullptr && pthread_setspecific(g_backtraceKey, record) != 0) {
        std::free(record);
        record = nullptr;
      }
    }
    if (record != nullptr) {
      record->thrownObject = thrownException;
      const int count = backtraceFromHere(record->returnAddresses, kMaxFrames, __builtin_return_address(0));
      record->count = count > 0 ? static_cast<std::uint32_t>(count) : 0;
    }
  }
  if (g_realThrow == nullptr) std::abort();
  g_realThrow(thrownException, tinfo, destructor);
  // The runtime's throw never returns; this keeps the noreturn promise if it ever did.
  std::abort();
}

void MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(MSCrashesUncaughtCXXExceptionHandler handler) {
  std::call_once(g_backtraceKeyOnce, [] {
    if (pthread_key_create(&g_backtraceKey, std::free) == 0) g_backtraceKeyMade.store(true);
  });
  // The list grows outside the spin lock's busy wait as little as possible, but it must change
  // under it.
  SpinLock lock;
  if (!g_capturing.load()) {
    g_previousTerminateHandler = std::set_terminate(ms_cxx_terminate_handler);
    g_capturing.store(true, std::memory_order_release);
  }
  handlerList().push_back(handler);
}

void MSCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(
    MSCrashesUncaughtCXXExceptionHandler handler) {
  SpinLock lock;
  auto& list = handlerList();
  const auto found = std::find(list.begin(), list.end(), handler);
  if (found != list.end()) list.erase(found);
  if (g_capturing.load() && list.empty()) {
    const std::terminate_handler replaced = std::set_terminate(g_previousTerminateHandler);
    if (replaced == ms_cxx_terminate_handler) {
      g_capturing.store(false, std::memory_order_release);
      g_previousTerminateHandler = nullptr;
    } else {
      // Someone installed their own handler on top of ours: theirs stays.
      std::set_terminate(replaced);
    }
  }
}

std::size_t MSCrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler() {
  SpinLock lock;
  return handlerList().size();
}

bool MSCrashesUncaughtCXXExceptionHandlerManager::isCapturing() { return g_capturing.load(); }

void ms_cxx_terminate_handler() {
  const std::exception_ptr current = std::current_exception();
  if (!current) callPreviousOrAbort();

  // Stack storage only until the handlers run.
  std::uint64_t addresses[kMaxFrames];
  MSCrashesCXXExceptionRecord record{};
  record.thrownObject = thrownObjectOf(current);
  const std::type_info* type = abi::__cxa_current_exception_type();
  record.typeName = type != nullptr ? type->name() : nullptr;
  record.exceptionText = nullptr;

  const MSCrashesThrowBacktrace* captured =
      g_backtraceKeyMade.load() ? static_cast<const MSCrashesThrowBacktrace*>(pthread_getspecific(g_backtraceKey))
                                : nullptr;
  // The thread's record only describes this exception when it holds the same object: an
  // exception thrown past the hook (a library throw, rethrow_exception, a throw before capture
  // began) would otherwise be reported with an older, unrelated stack.
  if (captured != nullptr && captured->count > 0 && captured->thrownObject == record.thrownObject) {
    record.frameCount = captured->count - 1;
    for (std::uint32_t i = 0; i < record.frameCount; ++i) {
      addresses[i] = reinterpret_cast<std::uintptr_t>(captured->returnAddresses[i + 1]);
    }
  } else {
    void* fresh[kMaxFrames] = {};
    const int count = backtraceFromHere(fresh, kMaxFrames, __builtin_return_address(0));
    record.frameCount = count > 0 ? static_cast<std::uint32_t>(count - 1) : 0;
    for (std::uint32_t i = 0; i < record.frameCount; ++i) {
      addresses[i] = reinterpret_cast<std::uintptr_t>(fresh[i + 1]);
    }
  }
  record.returnAddresses = addresses;

  std::terminate_handler previous = nullptr;
  {
    SpinLock lock;
    previous = g_previousTerminateHandler;
    const auto callHandlers = [&record](const char* text) {
      record.exceptionText = text;
      for (const auto handler : handlerList()) handler(&record);
    };
    try {
      std::rethrow_exception(current);
    } catch (const std::exception& e) {
      callHandlers(e.what());
      // NOLINTNEXTLINE(misc-throw-by-value-catch-by-reference): other code may throw pointers
    } catch (const std::exception* e) {
      callHandlers(e != nullptr ? e->what() : nullptr);
    } catch (const std::string& s) {
      callHandlers(s.c_str());
      // NOLINTNEXTLINE(misc-throw-by-value-catch-by-reference): as above
    } catch (const std::string* s) {
      callHandlers(s != nullptr ? s->c_str() : nullptr);
    } catch (const char* s) {
      callHandlers(s);
    } catch (...) {
      callHandlers(nullptr);
    }
  }
  if (previous != nullptr && previous != ms_cxx_terminate_handler) previous();
  std::abort();
}

MSCrashesCXXExceptionWrapperException::MSCrashesCXXExceptionWrapperException(const MSCrashesCXXExceptionRecord* info)
    : info_(info) {
  const char* mangled = info != nullptr && info->typeName != nullptr ? info->typeName : "";
  int status = -1;
  char* demangled = *mangled != '\0' ? abi::__cxa_demangle(mangled, nullptr, nullptr, &status) : nullptr;
  name_ = status == 0 && demangled != nullptr ? demangled : mangled;
  std::free(demangled);
  reason_ = info != nullptr && info->exceptionText != nullptr ? info->exceptionText : "";
}

std::vector<std::uint64_t> MSCrashesCXXExceptionWrapperException::callStackReturnAddresses() const {
  if (info_ == nullptr || info_->returnAddresses == nullptr) return {};
  return std::vector<std::uint64_t>(info_->returnAddresses, info_->returnAddresses + info_->frameCount);
}

void ms_cxx_exception_handler(const MSCrashesCXXExceptionRecord* info) {
  const MSCrashesCXXExceptionWrapperException exception(info);
  const auto addresses = exception.callStackReturnAddresses();
  hxcrash_uncaught_exception_hook(exception.name().c_str(), exception.reason().c_str(), addresses.data(),
                                  addresses.size());
  std::abort();
}
