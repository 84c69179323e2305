// Turns a decoded crash report into the error log the crash service sends, and such a log into
// the summary the application's delegate sees. It decides what of a report leaves the device:
// identifiers, anonymised paths, threads, frames, registers and binary images, in their text
// forms. Stateless; every operation may run on any thread.
#pragma once

#include "crash-engine/report/MSHXCrashReport.h"
#include "platform/foundation/Error.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSErrorLogs.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSErrorReport.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

enum MSImageKind : int {
  MSImageKindProcessExecutable = 0,
  MSImageKindInsideAppBundle = 1,
  MSImageKindOther = 2,
};

class MSErrorLogFormatter {
 public:
  MSErrorLogFormatter() = delete;

  // Mach CPU types the formatter knows.
  static constexpr std::uint64_t kCodeTypeX86 = 7;
  static constexpr std::uint64_t kCodeTypeX86_64 = 0x1000007;
  static constexpr std::uint64_t kCodeTypeARM = 12;
  static constexpr std::uint64_t kCodeTypeARM64 = 0x100000C;
  static constexpr std::uint64_t kCodeTypePPC = 18;

  // Decodes a report file's bytes and converts it. nullptr, with a warning logged, for bytes that
  // are empty, cut short or no report at all.
  static std::shared_ptr<MSAppleErrorLog> errorLogFromCrashReportData(const std::vector<std::uint8_t>& data);

  // Never nullptr for a report.
  static std::shared_ptr<MSAppleErrorLog> errorLogFromCrashReport(const MSHXCrashReport& report);
  static std::shared_ptr<MSErrorReport> errorReportFromCrashReport(const std::shared_ptr<MSHXCrashReport>& report);
  static std::shared_ptr<MSErrorReport> errorReportFromLog(const MSAppleErrorLog& log);

  static std::string errorIdForCrashReport(const MSHXCrashReport& report);
  static MSAppleErrorLog& addProcessInfoAndApplicationPathTo(MSAppleErrorLog& log, const MSHXCrashReport& report);
  static std::optional<vx::Date> getAppLaunchTimeFromReport(const MSHXCrashReport& report);
  static std::optional<vx::Date> getCrashTimeFromReport(const MSHXCrashReport& report);
  static std::optional<std::uint64_t> extractCodeTypeFromReport(const MSHXCrashReport& report);
  static bool isCodeType64bit(const std::optional<std::uint64_t>& codeType);
  static std::shared_ptr<MSHXCrashReportThreadInfo> findCrashedThreadInReport(const MSHXCrashReport& report);
  static std::vector<std::shared_ptr<MSThread>> extractThreadsFromReport(
      const MSHXCrashReport& report, const std::shared_ptr<MSHXCrashReportThreadInfo>& crashedThread, bool is64bit);
  static std::string formatStackFrame(const MSHXCrashReportStackFrameInfo& frame, const MSHXCrashReport& report);
  static std::map<std::string, std::string> extractRegistersFromCrashedThread(
      const std::shared_ptr<MSHXCrashReportThreadInfo>& thread, bool is64bit);
  static std::optional<std::string> extractExceptionReasonFromReport(const MSHXCrashReport& report);
  static std::optional<std::string> selectorRegisterValueFromReport(
      const MSHXCrashReport& report, const std::shared_ptr<MSHXCrashReportThreadInfo>& crashedThread, bool is64bit);
  // The selector name is read from the same Mach-O image loaded again in this process. No Mach-O
  // image is ever loaded by the system here, so after finding the register and its image this
  // answers std::nullopt.
  static std::optional<std::string> selectorForRegisterWithName(const std::string& name,
                                                                const MSHXCrashReportThreadInfo& thread,
                                                                const MSHXCrashReport& report);
  static std::vector<std::shared_ptr<MSBinary>> extractBinaryImagesFromReport(
      const MSHXCrashReport& report, const std::optional<std::uint64_t>& codeType, bool is64bit);
  static std::vector<std::uint64_t> addressesFromReport(const MSHXCrashReport& report, bool is64bit);
  static bool isBinaryWithStart(std::uint64_t start, std::uint64_t end, const std::vector<std::uint64_t>& addresses);
  static MSImageKind imageTypeForImagePath(const std::optional<std::string>& imagePath,
                                           const std::optional<std::string>& processPath);
  // "/Users/<name>/" and "/home/<name>/" at the start become "/Users/USER/" and "/home/USER/";
  // a path naming a user folder anywhere else becomes ""; other paths are unchanged.
  static std::string anonymizedPathFromPath(const std::string& path);
  static std::optional<std::string> uuidRefToString(const std::optional<std::array<std::uint8_t, 16>>& uuid);
  static std::uint64_t normalizeAddress(std::uint64_t address, bool is64bit);
  // "0x%0*llx": 16 digits for a 64-bit report, 8 otherwise.
  static std::string formatAddress(std::uint64_t address, bool is64bit);
};
