#include "reporting/crash-recorder/PloverCrash.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/StandardPaths.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitorContext.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_AppState.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_System.h"
#include "reporting/crash-recorder/Recording/PloverCrashC.h"
#include "reporting/crash-recorder/Recording/PloverCrashDoctor.h"
#include "reporting/crash-recorder/Recording/PloverCrashJSONCodecObjC.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"

#include <cstdlib>
#include <string>

namespace {

void logError(const std::string& message) {
  i_plovercrashlog_logObjC("ERROR", __FILE__, __LINE__, __func__, message.c_str());
}

std::string bundleNameOfMainBundle() {
  const vx::Value name = vx::Bundle::main().objectForInfoDictionaryKey("CFBundleName");
  const std::string* text = name.stringValue();
  return text != nullptr && !text->empty() ? *text : "Unknown";
}

std::optional<std::filesystem::path> defaultBasePath(const std::string& bundleName) {
  const std::filesystem::path caches = vx::StandardPaths::cachesPath();
  if (caches.empty()) {
    logError("Could not locate cache directory path.");
    return std::nullopt;
  }
  return caches / "PloverCrash" / bundleName;
}

std::string errorText(const vx::Error& error) { return error.description; }

}  // namespace

PloverCrash& PloverCrash::sharedInstance() {
  static PloverCrash* instance = new PloverCrash(defaultBasePath(bundleNameOfMainBundle()));
  return *instance;
}

PloverCrash::PloverCrash(std::optional<std::filesystem::path> basePath)
    : bundleName_(bundleNameOfMainBundle()), basePath_(std::move(basePath)) {
  if (!basePath_) {
    logError("Failed to initialize crash handler. Crash reporting disabled.");
    return;
  }
  setDeleteBehaviorAfterSendAll(PloverCrashDeleteBehaviorAlways);
  setIntrospectMemory(true);
  setCatchZombies(false);
  setMaxReportCount(5);
  setMonitoring(PloverCrashMonitorTypeProductionSafe);
}

vx::ValueMap PloverCrash::systemInfo() const {
  // The system monitor is enabled only at install; until then the block stays zeroed.
  PloverCrash_MonitorContext context{};
  plovercrashcm_system_getAPI()->addContextualInfoToEvent(&context);
  return systemInfoFromContext(context);
}

bool PloverCrash::install() {
  if (!basePath_) return false;
  const std::string base = basePath_->string();
  monitoring_ = plovercrash_install(bundleName_.c_str(), base.c_str());
  if (uncaughtExceptionHandler_ == nullptr) {
    uncaughtExceptionHandler_ = plovercrashcm_nsexception_uncaughtExceptionHandler();
  }
  if (currentSnapshotUserReportedExceptionHandler_ == nullptr) {
    currentSnapshotUserReportedExceptionHandler_ = plovercrashcm_nsexception_snapshotExceptionHandler();
  }
  return monitoring_ != PloverCrashMonitorTypeNone;
}

void PloverCrash::setUserInfo(std::optional<nlohmann::ordered_json> userInfo) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::optional<std::string> json;
  if (userInfo) {
    vx::Error error;
    auto encoded = PloverCrashJSONCodec::encode(*userInfo, PloverCrashJSONEncodeOptionSorted, &error);
    if (!encoded) {
      logError("Could not serialize user info: " + errorText(error));
      return;
    }
    json = std::string(encoded->begin(), encoded->end());
  }
  userInfo_ = std::move(userInfo);
  plovercrash_setUserInfoJSON(json ? json->c_str() : nullptr);
}

void PloverCrash::setMonitoring(PloverCrashMonitorType monitoring) {
  monitoring_ = plovercrash_setMonitoring(monitoring);
}

void PloverCrash::setDeadlockWatchdogInterval(double seconds) {
  deadlockWatchdogInterval_ = seconds;
  plovercrash_setDeadlockWatchdogInterval(seconds);
}

void PloverCrash::setOnCrash(PloverCrashReportWriteCallback onCrash) {
  onCrash_ = onCrash;
  plovercrash_setCrashNotifyCallback(onCrash);
}

void PloverCrash::setIntrospectMemory(bool introspectMemory) {
  introspectMemory_ = introspectMemory;
  plovercrash_setIntrospectMemory(introspectMemory);
}

void PloverCrash::setCatchZombies(bool catchZombies) {
  catchZombies_ = catchZombies;
  const std::uint32_t mask = catchZombies ? (monitoring_ | PloverCrashMonitorTypeZombie)
                                          : (monitoring_ & ~std::uint32_t{PloverCrashMonitorTypeZombie});
  setMonitoring(static_cast<PloverCrashMonitorType>(mask));
}

void PloverCrash::setDoNotIntrospectClasses(std::vector<std::string> classes) {
  doNotIntrospectClasses_ = std::move(classes);
  std::vector<const char*> names;
  for (const std::string& name : doNotIntrospectClasses_) names.push_back(name.c_str());
  plovercrash_setDoNotIntrospectClasses(names.empty() ? nullptr : names.data(), static_cast<int>(names.size()));
}

void PloverCrash::setMaxReportCount(int maxReportCount) {
  maxReportCount_ = maxReportCount;
  plovercrash_setMaxReportCount(maxReportCount);
}

void PloverCrash::setAddConsoleLogToReport(bool value) {
  addConsoleLogToReport_ = value;
  plovercrash_setAddConsoleLogToReport(value);
}

void PloverCrash::setPrintPreviousLog(bool value) {
  printPreviousLog_ = value;
  plovercrash_setPrintPreviousLog(value);
}

void PloverCrash::sendAllReportsWithCompletion(Completion onCompletion) {
  sendReports(allReports(), [this, onCompletion](std::vector<Report> filteredReports, bool completed,
                                                 std::optional<vx::Error> error) {
    if (error) logError("Failed to send reports: " + errorText(*error));
    if ((deleteBehaviorAfterSendAll_ == PloverCrashDeleteBehaviorOnSuccess && completed) ||
        deleteBehaviorAfterSendAll_ == PloverCrashDeleteBehaviorAlways) {
      deleteAllReports();
    }
    if (onCompletion) onCompletion(std::move(filteredReports), completed, std::move(error));
  });
}

void PloverCrash::sendReports(std::vector<Report> reports, Completion onCompletion) {
  if (reports.empty()) {
    if (onCompletion) onCompletion(std::move(reports), true, std::nullopt);
    return;
  }
  if (sink_ == nullptr) {
    if (onCompletion) {
      onCompletion(std::move(reports), false, vx::Error("PloverCrash", 0, "No sink set. Crash reports not sent."));
    }
    return;
  }
  sink_->filterReports(std::move(reports), std::move(onCompletion));
}

void PloverCrash::deleteAllReports() { plovercrash_deleteAllReports(); }

void PloverCrash::deleteReportWithID(std::int64_t reportID) { plovercrash_deleteReportWithID(reportID); }

void PloverCrash::reportUserException(const std::string& name, const std::string& reason, const std::string& language,
                                      const std::string& lineOfCode, const nlohmann::ordered_json& stackTrace,
                                      bool logAllThreads, bool terminateProgram) {
  vx::Error error;
  std::string json;
  if (auto encoded = PloverCrashJSONCodec::encode(stackTrace, PloverCrashJSONEncodeOptionNone, &error)) {
    json.assign(encoded->begin(), encoded->end());
  } else {
    logError("Error encoding stack trace to JSON: " + errorText(error));
  }
  plovercrash_reportUserException(name.c_str(), reason.c_str(), language.c_str(), lineOfCode.c_str(),
                                  json.empty() ? nullptr : json.c_str(), logAllThreads, terminateProgram);
}

double PloverCrash::activeDurationSinceLastCrash() const {
  return plovercrashstate_currentState()->activeDurationSinceLastCrash;
}
double PloverCrash::backgroundDurationSinceLastCrash() const {
  return plovercrashstate_currentState()->backgroundDurationSinceLastCrash;
}
int PloverCrash::launchesSinceLastCrash() const { return plovercrashstate_currentState()->launchesSinceLastCrash; }
int PloverCrash::sessionsSinceLastCrash() const { return plovercrashstate_currentState()->sessionsSinceLastCrash; }
double PloverCrash::activeDurationSinceLaunch() const {
  return plovercrashstate_currentState()->activeDurationSinceLaunch;
}
double PloverCrash::backgroundDurationSinceLaunch() const {
  return plovercrashstate_currentState()->backgroundDurationSinceLaunch;
}
int PloverCrash::sessionsSinceLaunch() const { return plovercrashstate_currentState()->sessionsSinceLaunch; }
bool PloverCrash::crashedLastLaunch() const { return plovercrashstate_currentState()->crashedLastLaunch; }
int PloverCrash::reportCount() const { return plovercrash_getReportCount(); }

std::optional<std::string> PloverCrash::loadCrashReportJSONWithID(std::int64_t reportID) const {
  char* report = plovercrash_readReport(reportID);
  if (report == nullptr) return std::nullopt;
  std::string text(report);
  std::free(report);
  return text;
}

void PloverCrash::doctorReport(Report& report) const {
  const PloverCrashDoctor doctor = PloverCrashDoctor::doctor();
  auto diagnose = [&](Report& crash) {
    if (!crash.is_object()) return;
    if (auto diagnosis = doctor.diagnoseCrash(report)) crash["diagnosis"] = *diagnosis;
  };
  if (report.is_object() && report.contains("crash")) diagnose(report["crash"]);
  if (report.is_object() && report.contains("recrash_report") && report["recrash_report"].is_object() &&
      report["recrash_report"].contains("crash")) {
    diagnose(report["recrash_report"]["crash"]);
  }
}

std::vector<std::int64_t> PloverCrash::reportIDs() const {
  const int count = plovercrash_getReportCount();
  std::vector<std::int64_t> ids(static_cast<std::size_t>(count > 0 ? count : 0));
  if (ids.empty()) return ids;
  ids.resize(static_cast<std::size_t>(plovercrash_getReportIDs(ids.data(), count)));
  return ids;
}

std::optional<PloverCrash::Report> PloverCrash::reportWithIntID(std::int64_t reportID) const {
  const std::optional<std::string> json = loadCrashReportJSONWithID(reportID);
  if (!json) return std::nullopt;
  vx::Error error;
  std::optional<Report> report = PloverCrashJSONCodec::decode(*json,
                                                              PloverCrashJSONDecodeOptionIgnoreNullInArray |
                                                                  PloverCrashJSONDecodeOptionIgnoreNullInObject |
                                                                  PloverCrashJSONDecodeOptionKeepPartialObject,
                                                              &error);
  if (!error.domain.empty()) {
    char id[32];
    std::snprintf(id, sizeof id, "%llx", static_cast<unsigned long long>(reportID));
    logError(std::string("Encountered error loading crash report ") + id + ": " + errorText(error));
  }
  if (!report) {
    logError("Could not load crash report");
    return std::nullopt;
  }
  doctorReport(*report);
  return report;
}

std::vector<PloverCrash::Report> PloverCrash::allReports() const {
  std::vector<Report> reports;
  for (std::int64_t id : reportIDs()) {
    if (auto report = reportWithIntID(id)) reports.push_back(std::move(*report));
  }
  return reports;
}

void PloverCrash::applicationDidBecomeActive() { plovercrash_notifyAppActive(true); }
void PloverCrash::applicationWillResignActive() { plovercrash_notifyAppActive(false); }
void PloverCrash::applicationDidEnterBackground() { plovercrash_notifyAppInForeground(false); }
void PloverCrash::applicationWillEnterForeground() { plovercrash_notifyAppInForeground(true); }
void PloverCrash::applicationWillTerminate() { plovercrash_notifyAppTerminate(); }

vx::ValueMap PloverCrash::systemInfoFromContext(const PloverCrash_MonitorContext& context) {
  const auto& b = context.System;
  vx::ValueMap map;
  auto text = [&map](const char* key, const char* value) {
    if (value != nullptr) map.set(key, std::string(value));
  };
  text("systemName", b.systemName);
  text("systemVersion", b.systemVersion);
  text("machine", b.machine);
  text("model", b.model);
  text("kernelVersion", b.kernelVersion);
  text("osVersion", b.osVersion);
  map.set("isJailbroken", b.isJailbroken);
  text("bootTime", b.bootTime);
  text("appStartTime", b.appStartTime);
  text("executablePath", b.executablePath);
  text("executableName", b.executableName);
  text("bundleID", b.bundleID);
  text("bundleName", b.bundleName);
  text("bundleVersion", b.bundleVersion);
  text("bundleShortVersion", b.bundleShortVersion);
  text("appID", b.appID);
  text("cpuArchitecture", b.cpuArchitecture);
  map.set("cpuType", b.cpuType);
  map.set("cpuSubType", b.cpuSubType);
  map.set("binaryCPUType", b.binaryCPUType);
  map.set("binaryCPUSubType", b.binaryCPUSubType);
  text("timezone", b.timezone);
  text("processName", b.processName);
  map.set("processID", b.processID);
  map.set("parentProcessID", b.parentProcessID);
  text("deviceAppHash", b.deviceAppHash);
  text("buildType", b.buildType);
  map.set("storageSize", b.storageSize);
  map.set("memorySize", b.memorySize);
  map.set("freeMemory", b.freeMemory);
  map.set("usableMemory", b.usableMemory);
  return map;
}
