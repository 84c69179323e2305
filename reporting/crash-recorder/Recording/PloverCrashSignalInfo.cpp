#include "reporting/crash-recorder/Recording/PloverCrashSignalInfo.h"

#include "crash-engine/signals/HXCrashAsyncSignalInfo.h"

#include <signal.h>

namespace {

constexpr int kFatalSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGPIPE, SIGSEGV, SIGSYS, SIGTRAP};
constexpr int kFatalSignalCount = sizeof kFatalSignals / sizeof *kFatalSignals;

bool isFatal(int signal) {
  for (int fatal : kFatalSignals) {
    if (fatal == signal) return true;
  }
  return false;
}

bool hasCodeNames(int signal) {
  return signal == SIGBUS || signal == SIGFPE || signal == SIGILL || signal == SIGSEGV || signal == SIGTRAP;
}

}  // namespace

const char* plovercrashsignal_signalName(int signal) {
  return isFatal(signal) ? MShxcrash_async_signal_signame(signal) : nullptr;
}

const char* plovercrashsignal_signalCodeName(int signal, int code) {
  return hasCodeNames(signal) ? MShxcrash_async_signal_sigcode(signal, code) : nullptr;
}

const int* plovercrashsignal_fatalSignals() { return kFatalSignals; }

int plovercrashsignal_numFatalSignals() { return kFatalSignalCount; }
