#include "crash-engine/signals/MSHXCrashSignalHandler.h"

#include "crash-engine/HXCrashErrors.h"

#include <pthread.h>

#include <cerrno>
#include <cstdlib>

namespace {

using CallbackList = HXCrashAsyncLinkedList<hxcrash_signal_callback_entry>;
using SavedActionList = HXCrashAsyncLinkedList<hxcrash_saved_action_entry>;

constexpr std::size_t kAlternateStackSize = 65536;

// Constant-initialised and never destroyed: a thread that crashes while the process exits
// still walks valid lists.
CallbackList gCallbacks;
SavedActionList gSavedActions;
pthread_mutex_t gRegistrationMutex = PTHREAD_MUTEX_INITIALIZER;

bool hxcrash_signal_callback_step(int signo, siginfo_t* info, ucontext_t* uap, CallbackList::node* after) {
  gCallbacks.set_reading(true);
  CallbackList::node* entry = gCallbacks.next(after);
  if (entry == nullptr) {
    gCallbacks.set_reading(false);
    return false;
  }
  hxcrash_signal_next_handle handle{hxcrash_signal_callback_step, entry};
  hxcrash_signal_next_handle* next = gCallbacks.next(entry) != nullptr ? &handle : nullptr;
  const bool handled = entry->value.callback(signo, info, uap, entry->value.context, next);
  gCallbacks.set_reading(false);
  return handled;
}

bool hxcrash_forward_to_saved_action(int signo, siginfo_t* info, ucontext_t* uap, void*,
                                     hxcrash_signal_next_handle* next) {
  if (next != nullptr && MSHXCrashSignalHandlerForward(next, signo, info, uap)) return true;
  gSavedActions.set_reading(true);
  bool found = false;
  struct sigaction action {};
  for (SavedActionList::node* item = gSavedActions.next(nullptr); item != nullptr; item = gSavedActions.next(item)) {
    if (item->value.signo == signo) {
      action = item->value.action;
      found = true;
      break;
    }
  }
  gSavedActions.set_reading(false);
  if (!found) return false;
  if ((action.sa_flags & SA_SIGINFO) != 0) {
    action.sa_sigaction(signo, info, uap);
    return true;
  }
  if (action.sa_handler == SIG_IGN) return true;
  if (action.sa_handler == SIG_DFL) return false;
  action.sa_handler(signo);
  return true;
}

}  // namespace

CallbackList& hxcrash_signal_callback_list() { return gCallbacks; }
SavedActionList& hxcrash_signal_saved_action_list() { return gSavedActions; }

bool MSHXCrashSignalHandlerForward(hxcrash_signal_next_handle* next, int signo, siginfo_t* info, ucontext_t* uap) {
  if (next == nullptr) return false;
  return next->step(signo, info, uap, next->entry);
}

void MShxcrash_signal_handler(int signo, siginfo_t* info, void* uap) {
  if (hxcrash_signal_callback_step(signo, info, static_cast<ucontext_t*>(uap), nullptr)) return;
  // Unhandled: end the way the signal would have ended without us. Raising it again while our
  // own handler is still installed would only bring it back here, so the default action is
  // restored first (the reporter's callback does the same; doing it twice is harmless).
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signo, &fallback, nullptr);
  raise(signo);
}

MSHXCrashSignalHandler* MSHXCrashSignalHandler::sharedHandler() {
  static MSHXCrashSignalHandler* const shared = []() -> MSHXCrashSignalHandler* {
    void* stack = std::malloc(kAlternateStackSize);
    if (stack == nullptr) return nullptr;
    auto* handler = new MSHXCrashSignalHandler();
    handler->_sigstk.ss_sp = stack;
    handler->_sigstk.ss_size = kAlternateStackSize;
    handler->_sigstk.ss_flags = 0;
    return handler;
  }();
  return shared;
}

bool MSHXCrashSignalHandler::registerHandlerWithSignal(int signo, vx::Error* error) {
  pthread_mutex_lock(&gRegistrationMutex);
  if (sigaltstack(&_sigstk, nullptr) != 0) {
    MShxcrash_populate_posix_error(error, errno, "Could not initialize alternative signal stack");
    pthread_mutex_unlock(&gRegistrationMutex);
    return false;
  }
  gCallbacks.nasync_append({hxcrash_forward_to_saved_action, nullptr});

  bool registered = false;
  gSavedActions.set_reading(true);
  for (SavedActionList::node* item = gSavedActions.next(nullptr); item != nullptr; item = gSavedActions.next(item)) {
    if (item->value.signo == signo) {
      registered = true;
      break;
    }
  }
  gSavedActions.set_reading(false);
  if (registered) {
    pthread_mutex_unlock(&gRegistrationMutex);
    return true;
  }

  struct sigaction action {};
  struct sigaction previous {};
  action.sa_sigaction = MShxcrash_signal_handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  if (sigaction(signo, &action, &previous) != 0) {
    MShxcrash_populate_posix_error(error, errno, "Failed to register signal handler");
    pthread_mutex_unlock(&gRegistrationMutex);
    return false;
  }
  gSavedActions.nasync_append({signo, previous});
  pthread_mutex_unlock(&gRegistrationMutex);
  return true;
}

bool MSHXCrashSignalHandler::registerHandlerForSignal(int signo, MShxcrash_signal_callback callback, void* context,
                                                      vx::Error* error) {
  if (!registerHandlerWithSignal(signo, error)) return false;
  gCallbacks.nasync_prepend({callback, context});
  return true;
}

void MSHXCrashSignalHandler::resetHandlers() {
  gSavedActions.nasync_remove_all();
  gCallbacks.nasync_remove_all();
}
