#include "telemetry/ZerEvuzevCrashes/MSErrorLogFormatter.h"

#include "platform/foundation/UUID.h"
#include "telemetry/ZerEvuzev/Context/MSDeviceTracker.h"
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzevCrashes/MSWrapperExceptionManager.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <regex>

namespace {

constexpr const char* kLogTag = "ZerEvuzevCrashes";
constexpr const char* kUnknown = "???";

std::string lowercased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::optional<std::string> processPathOf(const MSHXCrashReport& report) {
  if (!report.hasProcessInfo()) return std::nullopt;
  return report.processInfo()->processPath();
}

double secondsSince1970(const std::optional<vx::Date>& date) {
  if (!date) return 0;
  return std::chrono::duration<double>(date->time_since_epoch()).count();
}

vx::Date dateFromSeconds(double seconds) {
  return vx::Date(std::chrono::duration_cast<vx::Date::duration>(std::chrono::duration<double>(seconds)));
}

// Replaces every match of `pattern` by `replacement`; "" with an error line when the expression
// cannot be built.
std::string replaceUserFolder(const std::string& path, const char* pattern, const char* replacement) {
  try {
    const std::regex expression(pattern);
    return std::regex_replace(path, expression, replacement);
  } catch (const std::regex_error& error) {
    MSLogError(kLogTag, "Couldn't create regular expression with pattern\"%s\": %s", pattern, error.what());
    return "";
  }
}

}  // namespace

std::shared_ptr<MSAppleErrorLog> MSErrorLogFormatter::errorLogFromCrashReportData(
    const std::vector<std::uint8_t>& data) {
  vx::Error error("", 0);
  auto report = MSHXCrashReport::makeWithData(data, &error);
  if (!report) {
    MSLogWarning(kLogTag, "Crash report found but couldn't parse it, discard the crash report: %s",
                 error.description.c_str());
    return nullptr;
  }
  return errorLogFromCrashReport(*report);
}

std::shared_ptr<MSAppleErrorLog> MSErrorLogFormatter::errorLogFromCrashReport(const MSHXCrashReport& report) {
  auto log = std::make_shared<MSAppleErrorLog>();
  const auto codeType = extractCodeTypeFromReport(report);
  const bool is64bit = isCodeType64bit(codeType);

  log->errorId = errorIdForCrashReport(report);
  addProcessInfoAndApplicationPathTo(*log, report);

  const auto crashedThread = findCrashedThreadInReport(report);
  log->errorThreadId = crashedThread ? crashedThread->threadNumber() : 0;
  log->fatal = true;
  log->appLaunchTimestamp = getAppLaunchTimeFromReport(report);

  // The service ranks crashes by time; a time without fraction gets 0.999 s added, as the
  // crash happened somewhere within that second.
  log->timestamp = getCrashTimeFromReport(report);
  const double seconds = secondsSince1970(log->timestamp);
  if (seconds - std::trunc(seconds) == 0) log->timestamp = dateFromSeconds(seconds + 0.999);

  for (const auto& image : report.images()) {
    if (image && image->codeType() && image->codeType()->typeEncoding() == MSHXCrashReportProcessorTypeEncodingMach) {
      log->primaryArchitectureId = image->codeType()->type();
      log->architectureVariantId = image->codeType()->subtype();
    }
  }

  if (const auto& signal = report.signalInfo()) {
    log->osExceptionType = signal->name();
    log->osExceptionCode = signal->code();
    log->osExceptionAddress = MSFormat("0x%llx", static_cast<unsigned long long>(signal->address()));
  }
  log->exceptionReason = extractExceptionReasonFromReport(report);
  if (report.hasExceptionInfo()) log->exceptionType = report.exceptionInfo()->exceptionName();

  log->selectorRegisterValue = selectorRegisterValueFromReport(report, crashedThread, is64bit);
  log->threads = extractThreadsFromReport(report, crashedThread, is64bit);
  log->registers = extractRegistersFromCrashedThread(crashedThread, is64bit);
  log->binaries = extractBinaryImagesFromReport(report, codeType, is64bit);
  log->device = MSDeviceTracker().deviceForTimestamp(log->timestamp);

  if (const auto uuid = uuidRefToString(report.uuidRef())) {
    if (auto wrapper = MSWrapperExceptionManager::loadWrapperExceptionWithUUIDString(*uuid)) {
      log->exception = wrapper->modelException;
    }
  }
  return log;
}

std::shared_ptr<MSErrorReport> MSErrorLogFormatter::errorReportFromCrashReport(
    const std::shared_ptr<MSHXCrashReport>& report) {
  if (!report) return nullptr;
  return errorReportFromLog(*errorLogFromCrashReport(*report));
}

std::shared_ptr<MSErrorReport> MSErrorLogFormatter::errorReportFromLog(const MSAppleErrorLog& log) {
  const std::string reporterKey = MSZerEvuzev::installId().uuidString();
  return std::make_shared<MSErrorReport>(log.errorId, reporterKey, log.osExceptionType, log.exceptionType,
                                         log.exceptionReason, log.appLaunchTimestamp, log.timestamp,
                                         MSDeviceTracker::sharedInstance()->deviceForTimestamp(log.timestamp),
                                         static_cast<std::uint64_t>(log.processId.value_or(0)));
}

std::string MSErrorLogFormatter::errorIdForCrashReport(const MSHXCrashReport& report) {
  if (auto text = report.uuidString()) return *text;
  return vx::UUID::make().uuidString();
}

MSAppleErrorLog& MSErrorLogFormatter::addProcessInfoAndApplicationPathTo(MSAppleErrorLog& log,
                                                                         const MSHXCrashReport& report) {
  log.processId = 0;
  log.processName = kUnknown;
  log.parentProcessName = kUnknown;
  log.parentProcessId = std::nullopt;
  log.applicationPath = kUnknown;
  if (report.hasProcessInfo()) {
    const auto& info = *report.processInfo();
    log.processId = static_cast<std::int64_t>(info.processID());
    if (info.processName()) log.processName = *info.processName();
    if (info.processPath()) log.applicationPath = anonymizedPathFromPath(*info.processPath());
    if (info.parentProcessName()) log.parentProcessName = *info.parentProcessName();
    log.parentProcessId = static_cast<std::int64_t>(info.parentProcessID());
  }
  return log;
}

std::optional<vx::Date> MSErrorLogFormatter::getAppLaunchTimeFromReport(const MSHXCrashReport& report) {
  if (report.hasProcessInfo()) return report.processInfo()->processStartTime();
  return getCrashTimeFromReport(report);
}

std::optional<vx::Date> MSErrorLogFormatter::getCrashTimeFromReport(const MSHXCrashReport& report) {
  if (!report.systemInfo()) return std::nullopt;
  return report.systemInfo()->timestamp();
}

std::optional<std::uint64_t> MSErrorLogFormatter::extractCodeTypeFromReport(const MSHXCrashReport& report) {
  for (const auto& image : report.images()) {
    if (image && image->codeType() && image->codeType()->typeEncoding() == MSHXCrashReportProcessorTypeEncodingMach) {
      return image->codeType()->type();
    }
    if (!report.systemInfo()) continue;
    switch (report.systemInfo()->architecture()) {
      case MSHXCrashReportArchitectureX86_32:
        return kCodeTypeX86;
      case MSHXCrashReportArchitectureX86_64:
        return kCodeTypeX86_64;
      case MSHXCrashReportArchitectureARMv6:
        return kCodeTypeARM;
      case MSHXCrashReportArchitecturePPC:
        return kCodeTypePPC;
      case MSHXCrashReportArchitectureARMv7:
        return kCodeTypeARM;
      default:
        break;
    }
  }
  return std::nullopt;
}

bool MSErrorLogFormatter::isCodeType64bit(const std::optional<std::uint64_t>& codeType) {
  return codeType && (*codeType == kCodeTypeARM64 || *codeType == kCodeTypeX86_64);
}

std::shared_ptr<MSHXCrashReportThreadInfo> MSErrorLogFormatter::findCrashedThreadInReport(
    const MSHXCrashReport& report) {
  for (const auto& thread : report.threads()) {
    if (thread && thread->crashed()) return thread;
  }
  return nullptr;
}

std::vector<std::shared_ptr<MSThread>> MSErrorLogFormatter::extractThreadsFromReport(
    const MSHXCrashReport& report, const std::shared_ptr<MSHXCrashReportThreadInfo>& crashedThread, bool is64bit) {
  std::shared_ptr<MSException> exception;
  if (report.hasExceptionInfo()) {
    const auto& info = *report.exceptionInfo();
    if (info.stackFrames() && !info.stackFrames()->empty()) {
      exception = std::make_shared<MSException>();
      exception->frames = std::vector<std::shared_ptr<MSStackFrame>>{};
      for (const auto& frameInfo : *info.stackFrames()) {
        if (!frameInfo) continue;
        auto frame = std::make_shared<MSStackFrame>();
        frame->address = formatAddress(frameInfo->instructionPointer(), is64bit);
        exception->frames->push_back(std::move(frame));
      }
      exception->message = info.exceptionReason();
      // The report always carries a name; an empty one counts as missing.
      if (!info.exceptionName().empty()) {
        exception->type = info.exceptionName();
      } else if (report.signalInfo()) {
        exception->type = report.signalInfo()->name();
      }
    }
  }

  std::vector<std::shared_ptr<MSThread>> threads;
  for (const auto& threadInfo : report.threads()) {
    if (!threadInfo) continue;
    auto thread = std::make_shared<MSThread>();
    thread->threadId = threadInfo->threadNumber();
    if (crashedThread && exception && threadInfo->threadNumber() == crashedThread->threadNumber()) {
      thread->exception = exception;
    }
    for (const auto& frameInfo : threadInfo->stackFrames()) {
      if (!frameInfo) continue;
      auto frame = std::make_shared<MSStackFrame>();
      frame->address = formatAddress(frameInfo->instructionPointer(), is64bit);
      frame->code = formatStackFrame(*frameInfo, report);
      thread->frames->push_back(std::move(frame));
    }
    threads.push_back(std::move(thread));
  }
  return threads;
}

std::string MSErrorLogFormatter::formatStackFrame(const MSHXCrashReportStackFrameInfo& frame,
                                                  const MSHXCrashReport& report) {
  const std::uint64_t pc = normalizeAddress(frame.instructionPointer(), true);
  const auto image = report.imageForAddress(pc);
  const std::uint64_t base = image ? image->imageBaseAddress() : 0;
  const std::int64_t offset = image ? static_cast<std::int64_t>(pc - base) : 0;
  const MSImageKind kind = imageTypeForImagePath(image ? std::optional<std::string>(image->imageName()) : std::nullopt,
                                                 processPathOf(report));

  if (kind == MSImageKindOther && frame.symbolInfo()) {
    std::string name = frame.symbolInfo()->symbolName();
    if (name.size() >= 2 && name[0] == '_') {
      if (report.systemInfo() &&
          report.systemInfo()->operatingSystem() == MSHXCrashReportOperatingSystemiPhoneSimulator) {
        name.erase(0, 1);
      } else {
        MSLogWarning(kLogTag, "Symbol prefix rules are unknown for this OS!");
      }
    }
    const auto symbolOffset = static_cast<long long>(pc - frame.symbolInfo()->startAddress());
    return MSFormat("%s + %lld", name.c_str(), symbolOffset);
  }
  return MSFormat("0x%llx + %lld", static_cast<unsigned long long>(base), static_cast<long long>(offset));
}

std::map<std::string, std::string> MSErrorLogFormatter::extractRegistersFromCrashedThread(
    const std::shared_ptr<MSHXCrashReportThreadInfo>& thread, bool is64bit) {
  std::map<std::string, std::string> registers;
  if (!thread) return registers;
  for (const auto& info : thread->registers()) {
    if (info) registers[info->registerName()] = formatAddress(info->registerValue(), is64bit);
  }
  return registers;
}

std::optional<std::string> MSErrorLogFormatter::extractExceptionReasonFromReport(const MSHXCrashReport& report) {
  if (!report.hasExceptionInfo()) return std::nullopt;
  return report.exceptionInfo()->exceptionReason();
}

std::optional<std::string> MSErrorLogFormatter::selectorRegisterValueFromReport(
    const MSHXCrashReport& report, const std::shared_ptr<MSHXCrashReportThreadInfo>& crashedThread, bool is64bit) {
  if (!crashedThread) return std::nullopt;
  if (is64bit) return selectorForRegisterWithName("x1", *crashedThread, report);
  if (auto value = selectorForRegisterWithName("r1", *crashedThread, report)) return value;
  return selectorForRegisterWithName("r2", *crashedThread, report);
}

std::optional<std::string> MSErrorLogFormatter::selectorForRegisterWithName(const std::string& name,
                                                                            const MSHXCrashReportThreadInfo& thread,
                                                                            const MSHXCrashReport& report) {
  const auto found = std::find_if(thread.registers().begin(), thread.registers().end(),
                                  [&name](const auto& info) { return info && info->registerName() == name; });
  if (found == thread.registers().end()) return std::nullopt;
  const std::uint64_t value = (*found)->registerValue();
  if (value == 0) return std::nullopt;
  if (!report.imageForAddress(value)) return std::nullopt;
  // Selector names live in a Mach-O image's "__objc_methname" section; the images loaded into
  // this process are ELF and have none.
  return std::nullopt;
}

std::vector<std::shared_ptr<MSBinary>> MSErrorLogFormatter::extractBinaryImagesFromReport(
    const MSHXCrashReport& report, const std::optional<std::uint64_t>& codeType, bool is64bit) {
  const auto addresses = addressesFromReport(report, is64bit);
  std::vector<std::shared_ptr<MSHXCrashReportBinaryImageInfo>> images;
  for (const auto& image : report.images()) {
    if (image) images.push_back(image);
  }
  std::stable_sort(images.begin(), images.end(),
                   [](const auto& a, const auto& b) { return a->imageBaseAddress() < b->imageBaseAddress(); });

  const auto processPath = processPathOf(report);
  std::vector<std::shared_ptr<MSBinary>> binaries;
  for (const auto& image : images) {
    const std::uint64_t start = image->imageBaseAddress();
    const std::uint64_t end = start + std::max<std::uint64_t>(image->imageSize(), 1) - 1;
    const bool touched = isBinaryWithStart(start, end, addresses);
    const MSImageKind kind = imageTypeForImagePath(image->imageName(), processPath);
    if (!touched && kind == MSImageKindOther) continue;

    auto binary = std::make_shared<MSBinary>();
    binary->binaryId = image->hasImageUUID() && image->imageUUID() ? *image->imageUUID() : kUnknown;
    binary->startAddress = formatAddress(start, is64bit);
    binary->endAddress = formatAddress(end, is64bit);
    binary->path = anonymizedPathFromPath(image->imageName());
    const std::string lastComponent = std::filesystem::path(image->imageName()).filename().string();
    binary->name = lastComponent.empty() ? kUnknown : lastComponent;
    binary->primaryArchitectureId = codeType;
    binary->architectureVariantId = image->codeType() ? image->codeType()->subtype() : 0;
    binaries.push_back(std::move(binary));
  }
  return binaries;
}

std::vector<std::uint64_t> MSErrorLogFormatter::addressesFromReport(const MSHXCrashReport& report, bool is64bit) {
  std::vector<std::uint64_t> addresses;
  if (report.hasExceptionInfo() && report.exceptionInfo()->stackFrames()) {
    for (const auto& frame : *report.exceptionInfo()->stackFrames()) {
      if (frame) addresses.push_back(normalizeAddress(frame->instructionPointer(), is64bit));
    }
  }
  for (const auto& thread : report.threads()) {
    if (!thread) continue;
    for (const auto& frame : thread->stackFrames()) {
      if (frame) addresses.push_back(normalizeAddress(frame->instructionPointer(), is64bit));
    }
    for (const auto& info : thread->registers()) {
      if (info) addresses.push_back(normalizeAddress(info->registerValue(), is64bit));
    }
  }
  return addresses;
}

bool MSErrorLogFormatter::isBinaryWithStart(std::uint64_t start, std::uint64_t end,
                                            const std::vector<std::uint64_t>& addresses) {
  return std::any_of(addresses.begin(), addresses.end(),
                     [start, end](std::uint64_t address) { return start <= address && address <= end; });
}

MSImageKind MSErrorLogFormatter::imageTypeForImagePath(const std::optional<std::string>& imagePath,
                                                       const std::optional<std::string>& processPath) {
  if (!imagePath || !processPath) return MSImageKindOther;
  const std::string standardized = lowercased(std::filesystem::path(*imagePath).lexically_normal().string());
  const std::string image = lowercased(*imagePath);
  const std::string process = lowercased(*processPath);
  if (standardized.find(".app/") == std::string::npos) return MSImageKindOther;
  if (standardized.find("frameworks/libswift") != std::string::npos && endsWith(standardized, ".dylib")) {
    return MSImageKindOther;
  }
  if (standardized == process || startsWith(image, process)) return MSImageKindProcessExecutable;
  return MSImageKindInsideAppBundle;
}

std::string MSErrorLogFormatter::anonymizedPathFromPath(const std::string& path) {
  if (path.empty()) return "";
  if (startsWith(path, "/Users/")) return replaceUserFolder(path, "(/Users/[^/]+/)", "/Users/USER/");
  // Linux keeps user folders under /home: they name the user just the same.
  if (startsWith(path, "/home/")) return replaceUserFolder(path, "(/home/[^/]+/)", "/home/USER/");
  if (path.find("Users") != std::string::npos || path.find("/home/") != std::string::npos) return "";
  return path;
}

std::optional<std::string> MSErrorLogFormatter::uuidRefToString(
    const std::optional<std::array<std::uint8_t, 16>>& uuid) {
  if (!uuid) return std::nullopt;
  return vx::UUID(*uuid).uuidString();
}

std::uint64_t MSErrorLogFormatter::normalizeAddress(std::uint64_t address, bool) { return address; }

std::string MSErrorLogFormatter::formatAddress(std::uint64_t address, bool is64bit) {
  return MSFormat("0x%0*llx", 8 << (is64bit ? 1 : 0), static_cast<unsigned long long>(address));
}
