// The recorder's C entry: installs the recorder once (its folders, the application state file,
// the console log, the thread cache, the crash-event callback and the monitors) and forwards
// the settings and report calls of the facade to the monitors, the report writer and the store.
#pragma once

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitorType.h"
#include "reporting/crash-recorder/Recording/PloverCrashReportWriter.h"

#include <cstdint>

// Not for crash time. The first call sets up "<installPath>/Reports" and "<installPath>/Data"
// and enables the requested monitors; it returns the active mask. Later calls return the
// requested mask and do nothing else.
PloverCrashMonitorType plovercrash_install(const char* appName, const char* installPath);

// Stores the requested mask; once installed, applies it and returns the active mask, else
// returns the mask given.
PloverCrashMonitorType plovercrash_setMonitoring(PloverCrashMonitorType monitors);

void plovercrash_setUserInfoJSON(const char* userInfoJSON);
void plovercrash_setDeadlockWatchdogInterval(double deadlockWatchdogInterval);
void plovercrash_setIntrospectMemory(bool introspectMemory);
void plovercrash_setDoNotIntrospectClasses(const char** doNotIntrospectClasses, int length);
void plovercrash_setCrashNotifyCallback(PloverCrashReportWriteCallback onCrashNotify);
void plovercrash_setAddConsoleLogToReport(bool shouldAddConsoleLogToReport);
void plovercrash_setPrintPreviousLog(bool shouldPrintPreviousLog);
void plovercrash_setMaxReportCount(int maxReportCount);

// The user-report monitor records the exception; afterwards, when console logs go into
// reports, the console log is cleared.
void plovercrash_reportUserException(const char* name, const char* reason, const char* language, const char* lineOfCode,
                                     const char* stackTrace, bool logAllThreads, bool terminateProgram);

void plovercrash_notifyAppActive(bool isActive);
void plovercrash_notifyAppInForeground(bool isInForeground);
void plovercrash_notifyAppTerminate();
void plovercrash_notifyAppCrash();

int plovercrash_getReportCount();
int plovercrash_getReportIDs(std::int64_t* reportIDs, int count);
// The fixed-up report (caller frees with free()), or null (logged).
char* plovercrash_readReport(std::int64_t reportID);
// The new report's id, or 0 when it could not be stored.
std::int64_t plovercrash_addUserReport(const char* report, int reportLength);
void plovercrash_deleteAllReports();
void plovercrash_deleteReportWithID(std::int64_t reportID);
