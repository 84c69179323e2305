#include "reporting/crash-recorder/Recording/PloverCrashC.h"

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_AppState.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_Deadlock.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_User.h"
#include "reporting/crash-recorder/Recording/PloverCrashReport.h"
#include "reporting/crash-recorder/Recording/PloverCrashReportFixer.h"
#include "reporting/crash-recorder/Recording/PloverCrashReportStore.h"
#include "reporting/crash-recorder/Recording/PloverCrashCachedData.h"
#include "reporting/crash-recorder/Recording/PloverCrashFileUtils.h"
#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<bool> g_installed{false};
std::atomic<PloverCrashMonitorType> g_monitoring{PloverCrashMonitorTypeProductionSafe};
char g_consoleLogPath[500];
std::atomic<bool> g_shouldPrintPreviousLog{false};
std::atomic<bool> g_shouldAddConsoleLogToReport{false};
char g_lastCrashReportFilePath[500];

void printPreviousLog(const char* filePath) {
  char* data = nullptr;
  int length = 0;
  if (plovercrashfu_readEntireFile(filePath, &data, &length, 0)) {
    std::printf("\nvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvv Previous Log vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvv\n\n");
    std::printf("%s\n", data);
    std::printf("^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^\n\n");
    std::fflush(stdout);
    std::free(data);
  }
}

// Crash-time safe: called by the monitor registry with every event.
void onCrash(PloverCrash_MonitorContext* monitorContext) {
  if (!monitorContext->currentSnapshotUserReported) plovercrashstate_notifyAppCrash();
  monitorContext->consoleLogPath = g_shouldAddConsoleLogToReport.load() ? g_consoleLogPath : nullptr;
  if (monitorContext->crashedDuringCrashHandling) {
    plovercrashreport_writeRecrashReport(monitorContext, g_lastCrashReportFilePath);
    return;
  }
  char crashReportFilePath[500];
  plovercrashcrs_getNextCrashReportPath(crashReportFilePath);
  plovercrashformat_format(g_lastCrashReportFilePath, sizeof g_lastCrashReportFilePath, "%s", crashReportFilePath);
  plovercrashreport_writeStandardReport(monitorContext, crashReportFilePath);
}

}  // namespace

PloverCrashMonitorType plovercrash_install(const char* appName, const char* installPath) {
  if (g_installed.exchange(true)) return g_monitoring.load();
  char path[500];
  plovercrashformat_format(path, sizeof path, "%s/Reports", installPath);
  plovercrashfu_makePath(path);
  plovercrashcrs_initialize(appName, path);

  plovercrashformat_format(path, sizeof path, "%s/Data", installPath);
  plovercrashfu_makePath(path);
  plovercrashformat_format(path, sizeof path, "%s/Data/CrashState.json", installPath);
  plovercrashstate_initialize(path);

  plovercrashformat_format(g_consoleLogPath, sizeof g_consoleLogPath, "%s/Data/ConsoleLog.txt", installPath);
  if (g_shouldPrintPreviousLog.load()) printPreviousLog(g_consoleLogPath);
  plovercrashlog_setLogFilename(g_consoleLogPath, true);

  plovercrashccd_init(60);
  plovercrashcm_setEventCallback(onCrash);
  return plovercrash_setMonitoring(g_monitoring.load());
}

PloverCrashMonitorType plovercrash_setMonitoring(PloverCrashMonitorType monitors) {
  g_monitoring.store(monitors);
  if (g_installed.load()) return plovercrashcm_setActiveMonitors(monitors);
  return monitors;
}

void plovercrash_setUserInfoJSON(const char* userInfoJSON) { plovercrashreport_setUserInfoJSON(userInfoJSON); }

void plovercrash_setDeadlockWatchdogInterval(double deadlockWatchdogInterval) {
  plovercrashcm_setDeadlockHandlerWatchdogInterval(deadlockWatchdogInterval);
}

void plovercrash_setIntrospectMemory(bool introspectMemory) { plovercrashreport_setIntrospectMemory(introspectMemory); }

void plovercrash_setDoNotIntrospectClasses(const char** doNotIntrospectClasses, int length) {
  plovercrashreport_setDoNotIntrospectClasses(doNotIntrospectClasses, length);
}

void plovercrash_setCrashNotifyCallback(PloverCrashReportWriteCallback onCrashNotify) {
  plovercrashreport_setUserSectionWriteCallback(onCrashNotify);
}

void plovercrash_setAddConsoleLogToReport(bool shouldAddConsoleLogToReport) {
  g_shouldAddConsoleLogToReport.store(shouldAddConsoleLogToReport);
}

void plovercrash_setPrintPreviousLog(bool shouldPrintPreviousLog) {
  g_shouldPrintPreviousLog.store(shouldPrintPreviousLog);
}

void plovercrash_setMaxReportCount(int maxReportCount) { plovercrashcrs_setMaxReportCount(maxReportCount); }

void plovercrash_reportUserException(const char* name, const char* reason, const char* language, const char* lineOfCode,
                                     const char* stackTrace, bool logAllThreads, bool terminateProgram) {
  plovercrashcm_reportUserException(name, reason, language, lineOfCode, stackTrace, logAllThreads, terminateProgram);
  if (g_shouldAddConsoleLogToReport.load()) plovercrashlog_clearLogFile();
}

void plovercrash_notifyAppActive(bool isActive) { plovercrashstate_notifyAppActive(isActive); }

void plovercrash_notifyAppInForeground(bool isInForeground) { plovercrashstate_notifyAppInForeground(isInForeground); }

void plovercrash_notifyAppTerminate() { plovercrashstate_notifyAppTerminate(); }

void plovercrash_notifyAppCrash() { plovercrashstate_notifyAppCrash(); }

int plovercrash_getReportCount() { return plovercrashcrs_getReportCount(); }

int plovercrash_getReportIDs(std::int64_t* reportIDs, int count) {
  return plovercrashcrs_getReportIDs(reportIDs, count);
}

char* plovercrash_readReport(std::int64_t reportID) {
  if (reportID <= 0) {
    PLOVERCRASHLOG_ERROR("Report ID was %llx", static_cast<long long>(reportID));
    return nullptr;
  }
  char* rawReport = plovercrashcrs_readReport(reportID);
  if (rawReport == nullptr) {
    PLOVERCRASHLOG_ERROR("Failed to load report ID %llx", static_cast<long long>(reportID));
    return nullptr;
  }
  char* fixedReport = plovercrashcrf_fixupCrashReport(rawReport);
  std::free(rawReport);
  if (fixedReport == nullptr) {
    PLOVERCRASHLOG_ERROR("Failed to fixup report ID %llx", static_cast<long long>(reportID));
  }
  return fixedReport;
}

std::int64_t plovercrash_addUserReport(const char* report, int reportLength) {
  return plovercrashcrs_addUserReport(report, reportLength);
}

void plovercrash_deleteAllReports() { plovercrashcrs_deleteAllReports(); }

void plovercrash_deleteReportWithID(std::int64_t reportID) { plovercrashcrs_deleteReportWithID(reportID); }
