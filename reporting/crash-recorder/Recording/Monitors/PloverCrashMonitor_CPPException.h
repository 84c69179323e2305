// The C++ exception monitor: a terminate handler that records an uncaught C++ exception (its
// type and a description of its value) and then calls the terminate handler that was there
// before. An exception whose type is named "NSException" is left to the NSException monitor.
#pragma once

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitorContext.h"

PloverCrashMonitorOps* plovercrashcm_cppexception_getAPI();

// Crash-time safe. The readable name of a type_info name as the C++ runtime of this system
// writes it ("i" -> "int", "St13runtime_error" -> "std::runtime_error", "N2vx5ErrorE" ->
// "vx::Error"); a name it does not know how to read is copied as it is. Returns buffer.
const char* plovercrashcm_cppexception_typeName(const char* mangled, char* buffer, int length);
