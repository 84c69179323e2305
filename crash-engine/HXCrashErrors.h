// Errors of the engine's set-up code (never at crash time: they allocate), as vx::Error values
// in the engine's own domain.
#pragma once

#include "platform/foundation/Error.h"

#include <optional>

// Domain of the engine's errors; codes: 0 a live report could not be written or read back (or a
// report object could not be made), 1 an operating-system call failed, 2 a stored crash report
// is invalid, 3 a reporter is already enabled in this process.
extern const char* const MSHXCrashReporterErrorDomain;  // "HXCrashReporterErrorDomain"
// Name of the exception that misuse after enabling stands for.
extern const char* const MSHXCrashReporterException;  // "HXCrashReporterException"

// Keys of the user info, as the reports' readers expect them.
extern const char* const MSHXCrashLocalizedDescriptionKey;  // "NSLocalizedDescription"
extern const char* const MSHXCrashUnderlyingErrorKey;       // "NSUnderlyingError"
extern const char* const MSHXCrashMachErrorDomain;          // "NSMachErrorDomain"
extern const char* const MSHXCrashPOSIXErrorDomain;         // "NSPOSIXErrorDomain"

// Stores a new error of the engine's domain in *error (nothing when error is null): the code,
// the description under the description key and, when given, the underlying error (domain and
// code) under the underlying-error key.
void MShxcrash_populate_error(vx::Error* error, int code, const char* description,
                              const std::optional<vx::Error>& underlying = std::nullopt);

// Code 1 with an underlying error of the Mach or POSIX domain whose code is the value.
void MShxcrash_populate_mach_error(vx::Error* error, int kr, const char* description);
void MShxcrash_populate_posix_error(vx::Error* error, int errnoValue, const char* description);
