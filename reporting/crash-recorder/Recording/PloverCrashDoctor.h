// The crash doctor: reads one decoded crash report (the writer's format) and gives a one-line
// diagnosis of its likely cause in plain English, or nothing. It runs on decoded reports in
// normal process state, never in the crash handler.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using PloverCrashReportJSON = nlohmann::ordered_json;

// One argument of the reconstructed last call.
struct PloverCrashDoctorParam {
  std::optional<std::string> className;
  std::optional<std::string> previousClassName;  // the class of an object freed at the address
  bool isInstance = false;
  std::uint64_t address = 0;
  std::optional<std::string> value;
  std::optional<std::string> type;  // the memory object's "type" in the report
};

// The function that was executing on the crashed thread.
class PloverCrashDoctorFunctionCall {
 public:
  // "-[Receiver selector:arg]" for an "objc_msgSend" call whose selector is known; else none.
  std::optional<std::string> descriptionForObjCCall() const;
  // The message description when there is one, else the function and its first paramCount
  // parameters.
  std::string descriptionWithParamCount(int paramCount) const;

  std::optional<std::string> name;
  std::vector<PloverCrashDoctorParam> params;
};

enum class PloverCrashDoctorCPUFamily { unknown = 0, arm = 1, x86 = 2, x86_64 = 3 };

class PloverCrashDoctor {
 public:
  static PloverCrashDoctor doctor() { return PloverCrashDoctor(); }

  // The diagnosis, or none when no rule applies.
  std::optional<std::string> diagnoseCrash(const PloverCrashReportJSON& report) const;

  // Section and thread accessors; a missing section gives a null value.
  const PloverCrashReportJSON& recrashReport(const PloverCrashReportJSON& report) const;
  const PloverCrashReportJSON& systemReport(const PloverCrashReportJSON& report) const;
  const PloverCrashReportJSON& crashReport(const PloverCrashReportJSON& report) const;
  const PloverCrashReportJSON& infoReport(const PloverCrashReportJSON& report) const;
  const PloverCrashReportJSON& errorReport(const PloverCrashReportJSON& report) const;
  PloverCrashDoctorCPUFamily cpuFamily(const PloverCrashReportJSON& report) const;
  std::optional<std::string> registerNameForFamily(PloverCrashDoctorCPUFamily family, int paramIndex) const;
  std::optional<std::string> mainExecutableNameForReport(const PloverCrashReportJSON& report) const;
  const PloverCrashReportJSON& crashedThreadReport(const PloverCrashReportJSON& report) const;
  const PloverCrashReportJSON& backtraceFromThreadReport(const PloverCrashReportJSON& thread) const;
  const PloverCrashReportJSON& basicRegistersFromThreadReport(const PloverCrashReportJSON& thread) const;
  // The first frame of the main executable in the crashed thread's backtrace.
  const PloverCrashReportJSON& appBacktraceEntry(const PloverCrashReportJSON& report) const;
  const PloverCrashReportJSON& lastStackEntry(const PloverCrashReportJSON& report) const;
  bool isInvalidAddress(const PloverCrashReportJSON& errorReport) const;
  bool isMathError(const PloverCrashReportJSON& errorReport) const;
  bool isMemoryCorruption(const PloverCrashReportJSON& report) const;
  PloverCrashDoctorFunctionCall lastFunctionCall(const PloverCrashReportJSON& report) const;
  std::optional<std::string> zombieCall(const PloverCrashDoctorFunctionCall& functionCall) const;
  bool isStackOverflow(const PloverCrashReportJSON& crashedThread) const;
  bool isDeadlock(const PloverCrashReportJSON& report) const;
};
