// The engine's POSIX signal handling. For every signal a client registers, one handler runs on
// an alternate stack and calls a chain of callbacks: the clients' callbacks (the most recent
// first), then entries that pass the signal to the action installed before. Each entry decides
// whether the entries after it run. Registration is set-up code; the handler, the chain and
// MSHXCrashSignalHandlerForward run at crash time.
#pragma once

#include "crash-engine/async/HXCrashAsyncLinkedList.h"
#include "platform/foundation/Error.h"

#include <signal.h>
#include <ucontext.h>

struct hxcrash_signal_next_handle;

// A callback of the chain. next is null for the last entry; pass it to
// MSHXCrashSignalHandlerForward to run the rest of the chain. Returns true when the signal is
// handled. Runs at crash time: no allocation, no locks, no library string functions.
typedef bool (*MShxcrash_signal_callback)(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                                          hxcrash_signal_next_handle* next);

struct hxcrash_signal_callback_entry {
  MShxcrash_signal_callback callback;
  void* context;
};

struct hxcrash_saved_action_entry {
  int signo;
  struct sigaction action;
};

// Built on the stack of the step that runs an entry: how to run the entries after it.
struct hxcrash_signal_next_handle {
  bool (*step)(int signo, siginfo_t* info, ucontext_t* uap,
               HXCrashAsyncLinkedList<hxcrash_signal_callback_entry>::node* after);
  HXCrashAsyncLinkedList<hxcrash_signal_callback_entry>::node* entry;
};

// Crash time. Runs the entries after the handle's entry; false for a null handle.
bool MSHXCrashSignalHandlerForward(hxcrash_signal_next_handle* next, int signo, siginfo_t* info, ucontext_t* uap);

// Crash time. The sa_sigaction installed for every registered signal. When the chain does not
// handle the signal, the signal's default action is restored and the signal raised again.
void MShxcrash_signal_handler(int signo, siginfo_t* info, void* uap);

class MSHXCrashSignalHandler {
 public:
  // The shared handler, made on first use; null when its alternate stack cannot be allocated.
  static MSHXCrashSignalHandler* sharedHandler();

  // Installs the alternate stack for the calling thread and, once per signal, the engine's
  // handler (keeping the action that was there before); adds one forwarding entry to the chain
  // on every call. False with an error of MSHXCrashReporterErrorDomain (code 1, the POSIX error
  // underneath) when sigaltstack or sigaction fails.
  bool registerHandlerWithSignal(int signo, vx::Error* error);

  // registerHandlerWithSignal, then puts (callback, context) at the head of the chain.
  bool registerHandlerForSignal(int signo, MShxcrash_signal_callback callback, void* context, vx::Error* error);

  // Removes every saved action and every callback entry; the installed signal actions stay.
  static void resetHandlers();

  // The alternate stack (64 KiB) installed by registration.
  const stack_t& alternateStack() const { return _sigstk; }

 private:
  MSHXCrashSignalHandler() = default;
  stack_t _sigstk{};
};

// The two process-wide lists, for tests and the reporter's diagnostics.
HXCrashAsyncLinkedList<hxcrash_signal_callback_entry>& hxcrash_signal_callback_list();
HXCrashAsyncLinkedList<hxcrash_saved_action_entry>& hxcrash_signal_saved_action_list();
