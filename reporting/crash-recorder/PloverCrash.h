// The recorder's shared facade: holds the recorder's settings and forwards each to the C entry,
// installs the recorder, reads, fixes, decodes, diagnoses, sends and deletes stored reports,
// exposes the application-state counters and builds the system information. Of it, the
// error-reporting client reaches only systemInfo, and only before the recorder is installed
// (the application never installs it).
#pragma once

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitorType.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_NSException.h"
#include "reporting/crash-recorder/Recording/PloverCrashReportWriter.h"
#include "reporting/crash-recorder/Reporting/Filters/PloverCrashReportFilter.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct PloverCrash_MonitorContext;

// What is done with the stored reports after sendAllReportsWithCompletion.
enum PloverCrashDeleteBehavior {
  PloverCrashDeleteBehaviorNever = 0,
  PloverCrashDeleteBehaviorOnSuccess = 1,
  PloverCrashDeleteBehaviorAlways = 2,
};

class PloverCrash {
 public:
  using Report = PloverCrashReportFilter::Report;
  using Completion = PloverCrashReportFilter::Completion;

  // The shared facade over the caches folder's "PloverCrash/<bundle name>"; created once.
  static PloverCrash& sharedInstance();

  // A facade over basePath. Without one it logs "Failed to initialize crash handler. Crash
  // reporting disabled." and stays uninitialised: isInitialized() is false and install refuses.
  explicit PloverCrash(std::optional<std::filesystem::path> basePath);
  bool isInitialized() const { return basePath_.has_value(); }

  // A new map of the system facts, built afresh on every call, keys in the recorder's order:
  // text keys only when present, number and flag keys always. Before install the system monitor
  // has gathered nothing, so only the number keys are there, all zero or false.
  vx::ValueMap systemInfo() const;

  // Builds the map from the system block of an event record.
  static vx::ValueMap systemInfoFromContext(const PloverCrash_MonitorContext& context);

  // Installs the recorder (the first time in the process); true when some monitor is active.
  bool install();

  // Settings; each reaches the recorder at once (the monitor mask only after install).
  const std::optional<nlohmann::ordered_json>& userInfo() const { return userInfo_; }
  // Encoded with sorted keys; a value that cannot be encoded is logged ("Could not serialize
  // user info: ...") and leaves the previous one in force.
  void setUserInfo(std::optional<nlohmann::ordered_json> userInfo);
  PloverCrashMonitorType monitoring() const { return monitoring_; }
  void setMonitoring(PloverCrashMonitorType monitoring);
  double deadlockWatchdogInterval() const { return deadlockWatchdogInterval_; }
  void setDeadlockWatchdogInterval(double seconds);
  PloverCrashReportWriteCallback onCrash() const { return onCrash_; }
  void setOnCrash(PloverCrashReportWriteCallback onCrash);
  bool introspectMemory() const { return introspectMemory_; }
  void setIntrospectMemory(bool introspectMemory);
  bool catchZombies() const { return catchZombies_; }
  void setCatchZombies(bool catchZombies);
  const std::vector<std::string>& doNotIntrospectClasses() const { return doNotIntrospectClasses_; }
  void setDoNotIntrospectClasses(std::vector<std::string> classes);
  int maxReportCount() const { return maxReportCount_; }
  void setMaxReportCount(int maxReportCount);
  bool addConsoleLogToReport() const { return addConsoleLogToReport_; }
  void setAddConsoleLogToReport(bool value);
  bool printPreviousLog() const { return printPreviousLog_; }
  void setPrintPreviousLog(bool value);
  int deleteBehaviorAfterSendAll() const { return deleteBehaviorAfterSendAll_; }
  void setDeleteBehaviorAfterSendAll(int behavior) { deleteBehaviorAfterSendAll_ = behavior; }
  int demangleLanguages() const { return demangleLanguages_; }
  void setDemangleLanguages(int value) { demangleLanguages_ = value; }
  std::shared_ptr<PloverCrashReportFilter> sink() const { return sink_; }
  void setSink(std::shared_ptr<PloverCrashReportFilter> sink) { sink_ = std::move(sink); }
  const std::string& bundleName() const { return bundleName_; }
  void setBundleName(std::string name) { bundleName_ = std::move(name); }
  const std::optional<std::filesystem::path>& basePath() const { return basePath_; }
  void setBasePath(std::optional<std::filesystem::path> path) { basePath_ = std::move(path); }
  PloverCrashUncaughtExceptionHandler uncaughtExceptionHandler() const { return uncaughtExceptionHandler_; }
  void setUncaughtExceptionHandler(PloverCrashUncaughtExceptionHandler handler) { uncaughtExceptionHandler_ = handler; }
  PloverCrashUncaughtExceptionHandler currentSnapshotUserReportedExceptionHandler() const {
    return currentSnapshotUserReportedExceptionHandler_;
  }
  void setCurrentSnapshotUserReportedExceptionHandler(PloverCrashUncaughtExceptionHandler handler) {
    currentSnapshotUserReportedExceptionHandler_ = handler;
  }

  // Sends every stored report through the sink, then deletes them as deleteBehaviorAfterSendAll
  // says, then calls onCompletion (when given) with the filtered reports.
  void sendAllReportsWithCompletion(Completion onCompletion);
  void sendReports(std::vector<Report> reports, Completion onCompletion);
  void deleteAllReports();
  void deleteReportWithID(std::int64_t reportID);

  // The stack trace is encoded to JSON for the report ("Error encoding stack trace to JSON: ..."
  // logged when it cannot be, and the report goes on without it).
  void reportUserException(const std::string& name, const std::string& reason, const std::string& language,
                           const std::string& lineOfCode, const nlohmann::ordered_json& stackTrace, bool logAllThreads,
                           bool terminateProgram);

  // The application-state counters and the stored report count.
  double activeDurationSinceLastCrash() const;
  double backgroundDurationSinceLastCrash() const;
  int launchesSinceLastCrash() const;
  int sessionsSinceLastCrash() const;
  double activeDurationSinceLaunch() const;
  double backgroundDurationSinceLaunch() const;
  int sessionsSinceLaunch() const;
  bool crashedLastLaunch() const;
  int reportCount() const;

  // The fixed JSON text of a stored report, or none.
  std::optional<std::string> loadCrashReportJSONWithID(std::int64_t reportID) const;
  // Adds the doctor's "diagnosis" to the report's "crash" (and its recrash report's "crash").
  void doctorReport(Report& report) const;
  std::vector<std::int64_t> reportIDs() const;
  // The decoded, doctored report, or none (logged).
  std::optional<Report> reportWithIntID(std::int64_t reportID) const;
  std::optional<Report> reportWithID(std::int64_t reportID) const { return reportWithIntID(reportID); }
  std::vector<Report> allReports() const;

  // Application lifecycle notices for the application-state counters.
  void applicationDidBecomeActive();
  void applicationWillResignActive();
  void applicationDidEnterBackground();
  void applicationWillEnterForeground();
  void applicationWillTerminate();

  // The facade's own lock: setUserInfo holds it, and so does the crash installation around
  // install.
  std::recursive_mutex& mutex() const { return mutex_; }

 private:
  std::optional<nlohmann::ordered_json> userInfo_;
  PloverCrashMonitorType monitoring_ = PloverCrashMonitorTypeProductionSafe;
  double deadlockWatchdogInterval_ = 0;
  PloverCrashReportWriteCallback onCrash_ = nullptr;
  bool introspectMemory_ = true;
  bool catchZombies_ = false;
  std::vector<std::string> doNotIntrospectClasses_;
  int maxReportCount_ = 5;
  bool addConsoleLogToReport_ = false;
  bool printPreviousLog_ = false;
  int deleteBehaviorAfterSendAll_ = PloverCrashDeleteBehaviorAlways;
  int demangleLanguages_ = 0;
  std::shared_ptr<PloverCrashReportFilter> sink_;
  std::string bundleName_;
  std::optional<std::filesystem::path> basePath_;
  PloverCrashUncaughtExceptionHandler uncaughtExceptionHandler_ = nullptr;
  PloverCrashUncaughtExceptionHandler currentSnapshotUserReportedExceptionHandler_ = nullptr;
  mutable std::recursive_mutex mutex_;
};
