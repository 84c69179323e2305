#include "crash-engine/HXCrashErrors.h"

#include <nlohmann/json.hpp>

const char* const MSHXCrashReporterErrorDomain = "HXCrashReporterErrorDomain";
const char* const MSHXCrashReporterException = "HXCrashReporterException";
const char* const MSHXCrashLocalizedDescriptionKey = "NSLocalizedDescription";
const char* const MSHXCrashUnderlyingErrorKey = "NSUnderlyingError";
const char* const MSHXCrashMachErrorDomain = "NSMachErrorDomain";
const char* const MSHXCrashPOSIXErrorDomain = "NSPOSIXErrorDomain";

void MShxcrash_populate_error(vx::Error* error, int code, const char* description,
                              const std::optional<vx::Error>& underlying) {
  if (error == nullptr) return;
  nlohmann::json userInfo = nlohmann::json::object();
  userInfo[MSHXCrashLocalizedDescriptionKey] = description != nullptr ? description : "";
  if (underlying) {
    userInfo[MSHXCrashUnderlyingErrorKey] = {{"domain", underlying->domain}, {"code", underlying->code}};
  }
  *error =
      vx::Error(MSHXCrashReporterErrorDomain, code, description != nullptr ? description : "", std::move(userInfo));
}

void MShxcrash_populate_mach_error(vx::Error* error, int kr, const char* description) {
  MShxcrash_populate_error(error, 1, description, vx::Error(MSHXCrashMachErrorDomain, kr));
}

void MShxcrash_populate_posix_error(vx::Error* error, int errnoValue, const char* description) {
  MShxcrash_populate_error(error, 1, description, vx::Error(MSHXCrashPOSIXErrorDomain, errnoValue));
}
