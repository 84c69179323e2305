// The application-state monitor: launch, session and active/background durations, kept across
// runs in the state file ("CrashState.json") so a report can say how long the application ran
// since its last crash.
#pragma once

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitorContext.h"

struct PloverCrash_AppState {
  double activeDurationSinceLastCrash;
  double backgroundDurationSinceLastCrash;
  int launchesSinceLastCrash;
  int sessionsSinceLastCrash;
  double activeDurationSinceLaunch;
  double backgroundDurationSinceLaunch;
  int sessionsSinceLaunch;
  bool crashedLastLaunch;
  bool crashedThisLaunch;
  double appStateTransitionTime;  // seconds since 1970, with microseconds
  bool applicationIsActive;
  bool applicationIsInForeground;
};

// Not for crash time. Keeps a copy of stateFilePath, clears the record and loads the file (a
// missing file is a first launch; a bad one is logged and what was read before the fault stays).
void plovercrashstate_initialize(const char* stateFilePath);

// Starts a launch: counts it (or starts the counts afresh after a crash) and saves the file.
// Called when the monitor is enabled.
bool plovercrashstate_reset();

// Lifecycle notifications; each does nothing while the monitor is disabled.
void plovercrashstate_notifyAppActive(bool isActive);
void plovercrashstate_notifyAppInForeground(bool isInForeground);
void plovercrashstate_notifyAppTerminate();
// Crash-time safe: adds the running duration, marks the crash and saves the file.
void plovercrashstate_notifyAppCrash();

const PloverCrash_AppState* plovercrashstate_currentState();

PloverCrashMonitorOps* plovercrashcm_appstate_getAPI();
