#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_CPPException.h"

#include "crash-engine/thread/MSHXCrashThreadCapture.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor.h"
#include "reporting/crash-recorder/Recording/PloverCrashDynamicLinker.h"
#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"
#include "reporting/crash-recorder/Recording/PloverCrashID.h"

#include <cxxabi.h>

#include <atomic>
#include <exception>
#include <typeinfo>

namespace {

constexpr int kDescriptionBufferSize = 1000;

std::atomic<bool> g_isEnabled{false};
std::terminate_handler g_originalTerminateHandler = nullptr;
char g_eventID[37];
PloverCrash_MonitorContext g_monitorContext;
PloverCrashBacktraceCursor g_stackCursor;
bool g_cursorInitialised = false;
char g_typeName[256];

struct Builtin {
  char code;
  const char* name;
};
constexpr Builtin kBuiltins[] = {
    {'v', "void"},
    {'b', "bool"},
    {'c', "char"},
    {'a', "signed char"},
    {'h', "unsigned char"},
    {'s', "short"},
    {'t', "unsigned short"},
    {'i', "int"},
    {'j', "unsigned int"},
    {'l', "long"},
    {'m', "unsigned long"},
    {'x', "long long"},
    {'y', "unsigned long long"},
    {'f', "float"},
    {'d', "double"},
    {'e', "long double"},
};

struct Out {
  char* buffer;
  int length;
  int used = 0;
  void add(const char* text, int count = -1) {
    for (int i = 0; (count < 0 ? text[i] != '\0' : i < count) && used < length - 1; ++i) {
      buffer[used++] = text[i];
    }
    buffer[used] = '\0';
  }
};

// Reads one <length><identifier> name; false when the text is not one.
bool readSourceName(const char*& p, Out& out) {
  if (*p < '0' || *p > '9') return false;
  int count = 0;
  while (*p >= '0' && *p <= '9') count = count * 10 + (*p++ - '0');
  for (int i = 0; i < count; ++i) {
    if (p[i] == '\0') return false;
  }
  out.add(p, count);
  p += count;
  return true;
}

bool demangle(const char* p, Out& out) {
  bool pointer = false, constant = false;
  if (p[0] == 'P') {
    pointer = true;
    ++p;
    if (p[0] == 'K') {
      constant = true;
      ++p;
    }
  }
  if (p[0] != '\0' && p[1] == '\0') {
    for (const Builtin& builtin : kBuiltins) {
      if (builtin.code == p[0]) {
        out.add(builtin.name);
        if (constant) out.add(" const");
        if (pointer) out.add("*");
        return true;
      }
    }
    return false;
  }
  if (p[0] == 'S' && p[1] == 't') {
    out.add("std::");
    p += 2;
    if (!readSourceName(p, out)) return false;
  } else if (p[0] == 'N') {
    ++p;
    bool first = true;
    if (p[0] == 'S' && p[1] == 't') {
      out.add("std");
      p += 2;
      first = false;
    }
    while (*p != 'E') {
      if (!first) out.add("::");
      first = false;
      if (!readSourceName(p, out)) return false;
    }
    ++p;
  } else if (!readSourceName(p, out)) {
    return false;
  }
  if (*p != '\0') return false;
  if (constant) out.add(" const");
  if (pointer) out.add("*");
  return true;
}

// "%f": six decimals.
void formatFixed(double value, char* buffer, int length) {
  if (plovercrashformat_fixed(value, 6, buffer, length) < 0) buffer[0] = '\0';
}

// Describes the current exception by rethrowing it. Null when its type has no description.
const char* describeCurrentException(char* buffer) {
  try {
    throw;
  } catch (const std::exception& exception) {
    plovercrashformat_format(buffer, kDescriptionBufferSize, "%s", exception.what());
  } catch (char value) {
    plovercrashformat_format(buffer, kDescriptionBufferSize, "%d", value);
  } catch (short value) {
    plovercrashformat_format(buffer, kDescriptionBufferSize, "%d", value);
  } catch (int value) {
    plovercrashformat_format(buffer, kDescriptionBufferSize, "%d", value);
  } catch (long value) {
    plovercrashformat_format(buffer, kDescriptionBufferSize, "%ld", value);
  } catch (long long value) {
    plovercrashformat_format(buffer, kDescriptionBufferSize, "%lld", value);
  } catch (unsigned char value) {
    plovercrashformat_format(buffer, kDescriptionBufferSize, "%u", value);
  } catch (unsigned short value) {
    plovercrashformat_format(buffer, kDescriptionBufferSize, "%u", value);
  } catch (unsigned int value) {
    plovercrashformat_format(buffer, kDescriptionBufferSize, "%u", value);
  } catch (unsigned long value) {
    plovercrashformat_format(buffer, kDescriptionBufferSize, "%lu", value);
  } catch (unsigned long long value) {
    plovercrashformat_format(buffer, kDescriptionBufferSize, "%llu", value);
  } catch (float value) {
    formatFixed(value, buffer, kDescriptionBufferSize);
  } catch (double value) {
    formatFixed(value, buffer, kDescriptionBufferSize);
  } catch (long double value) {
    formatFixed(static_cast<double>(value), buffer, kDescriptionBufferSize);
  } catch (const char* value) {
    plovercrashformat_format(buffer, kDescriptionBufferSize, "%s", value);
  } catch (...) {
    return nullptr;
  }
  return buffer;
}

void CPPExceptionTerminate() {
  plovercrashmc_suspendEnvironment();
  const std::type_info* type = abi::__cxa_current_exception_type();
  const char* name =
      type != nullptr ? plovercrashcm_cppexception_typeName(type->name(), g_typeName, sizeof g_typeName) : nullptr;
  const bool isNSException =
      name != nullptr && plovercrashformat_strlen(name) == 11 && __builtin_memcmp(name, "NSException", 11) == 0;
  if (!isNSException) {
    plovercrashcm_notifyFatalExceptionCaptured(false);
    PloverCrash_MonitorContext* crashContext = &g_monitorContext;
    plovercrashcm_clearContextAfterEventID(crashContext);

    char descriptionBuffer[kDescriptionBufferSize];
    descriptionBuffer[0] = '\0';
    // Without a current exception there is nothing to rethrow (that would only reach terminate
    // again); the event is still recorded, without a name or description.
    const char* description = type != nullptr ? describeCurrentException(descriptionBuffer) : nullptr;

    PloverCrashMachineContext machineContext;
    plovercrashmc_getContextForThread(plovercrashthread_self(), &machineContext, true);

    crashContext->crashType = PloverCrashMonitorTypeCPPException;
    crashContext->eventID = g_eventID;
    crashContext->registersAreValid = false;
    crashContext->stackCursor = &g_stackCursor;
    crashContext->CPPException.name = name;
    crashContext->exceptionName = name;
    crashContext->crashReason = description;
    crashContext->offendingMachineContext = &machineContext;

    plovercrashcm_handleException(crashContext);
  }
  plovercrashmc_resumeEnvironment();
  std::terminate_handler previous = g_originalTerminateHandler;
  if (previous != nullptr && previous != CPPExceptionTerminate) previous();
  std::abort();
}

void setEnabled(bool isEnabled) {
  if (isEnabled == g_isEnabled.load()) return;
  g_isEnabled.store(isEnabled);
  if (isEnabled) {
    if (!g_cursorInitialised) {
      plovercrashsc_initWithBacktrace(&g_stackCursor, nullptr, 0, 0);
      g_cursorInitialised = true;
    }
    MShxcrash_nasync_thread_capture_install();
    plovercrashdl_imageCount();
    plovercrashid_generate(g_eventID);
    g_originalTerminateHandler = std::set_terminate(CPPExceptionTerminate);
  } else {
    std::set_terminate(g_originalTerminateHandler);
  }
}

bool isEnabled() { return g_isEnabled.load(); }

PloverCrashMonitorOps g_api = {setEnabled, isEnabled, nullptr};

}  // namespace

const char* plovercrashcm_cppexception_typeName(const char* mangled, char* buffer, int length) {
  if (buffer == nullptr || length <= 0) return nullptr;
  buffer[0] = '\0';
  if (mangled == nullptr) return buffer;
  Out out{buffer, length};
  if (!demangle(mangled, out)) {
    Out plain{buffer, length};
    plain.add(mangled);
  }
  return buffer;
}

PloverCrashMonitorOps* plovercrashcm_cppexception_getAPI() { return &g_api; }
