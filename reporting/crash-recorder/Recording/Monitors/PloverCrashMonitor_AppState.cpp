#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_AppState.h"

#include "reporting/crash-recorder/Recording/PloverCrashFileUtils.h"
#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"
#include "reporting/crash-recorder/Recording/PloverCrashJSONCodec.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kFormatVersion = 1;
constexpr int kMaxStateFileSize = 50000;

char g_stateFilePath[1024];
PloverCrash_AppState g_state;
std::atomic<bool> g_isEnabled{false};

double getCurrentTime() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1000000.0;
}

double timeSince(double timeInSeconds) { return getCurrentTime() - timeInSeconds; }

bool named(const char* name, const char* key) { return name != nullptr && std::strcmp(name, key) == 0; }

int onBooleanElement(const char* name, bool value, void* userData) {
  auto* state = static_cast<PloverCrash_AppState*>(userData);
  if (named(name, "crashedLastLaunch")) state->crashedLastLaunch = value;
  return PloverCrashJSON_OK;
}

int onFloatingPointElement(const char* name, double value, void* userData) {
  auto* state = static_cast<PloverCrash_AppState*>(userData);
  if (named(name, "activeDurationSinceLastCrash")) state->activeDurationSinceLastCrash = value;
  if (named(name, "backgroundDurationSinceLastCrash")) {
    state->backgroundDurationSinceLastCrash = value;
  }
  return PloverCrashJSON_OK;
}

// Counts that do not fit an int are cut to its range rather than wrapped.
int clampToInt(std::int64_t value) {
  if (value > 0x7FFFFFFF) return 0x7FFFFFFF;
  if (value < -0x7FFFFFFF - 1) return -0x7FFFFFFF - 1;
  return static_cast<int>(value);
}

int onIntegerElement(const char* name, std::int64_t value, void* userData) {
  auto* state = static_cast<PloverCrash_AppState*>(userData);
  if (named(name, "version")) {
    if (value != kFormatVersion) {
      PLOVERCRASHLOG_ERROR("Expected version 1 but got %lld", static_cast<long long>(value));
      return PloverCrashJSON_ERROR_INVALID_DATA;
    }
  } else if (named(name, "launchesSinceLastCrash")) {
    state->launchesSinceLastCrash = clampToInt(value);
  } else if (named(name, "sessionsSinceLastCrash")) {
    state->sessionsSinceLastCrash = clampToInt(value);
  } else {
    // A duration written as an integer is still a duration.
    return onFloatingPointElement(name, static_cast<double>(value), userData);
  }
  return PloverCrashJSON_OK;
}

int addJSONData(const char* data, int length, void* userData) {
  const int fd = *static_cast<int*>(userData);
  return plovercrashfu_writeBytesToFD(fd, data, length) ? PloverCrashJSON_OK : PloverCrashJSON_ERROR_CANNOT_ADD_DATA;
}

bool loadState(const char* path) {
  // A file that cannot be opened means this is the first launch.
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  close(fd);

  char* data = nullptr;
  int length = 0;
  if (!plovercrashfu_readEntireFile(path, &data, &length, kMaxStateFileSize)) {
    PLOVERCRASHLOG_ERROR("%s: Could not load file", path);
    return false;
  }
  PloverCrashJSONDecodeCallbacks callbacks{};
  callbacks.onBooleanElement = onBooleanElement;
  callbacks.onFloatingPointElement = onFloatingPointElement;
  callbacks.onIntegerElement = onIntegerElement;
  char stringBuffer[1000];
  int errorOffset = 0;
  const int result =
      plovercrashjson_decode(data, length, stringBuffer, sizeof stringBuffer, &callbacks, &g_state, &errorOffset);
  std::free(data);
  if (result != PloverCrashJSON_OK) {
    PLOVERCRASHLOG_ERROR("%s, offset %d: %s", path, errorOffset, plovercrashjson_stringForError(result));
    return false;
  }
  return true;
}

// Crash-time safe: raw file calls and the streaming encoder only.
bool saveState(const char* path) {
  int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    PLOVERCRASHLOG_ERROR("Could not open file %s for writing: %s", path, plovercrashformat_errorText(errno));
    return false;
  }
  PloverCrashJSONEncodeContext context;
  plovercrashjson_beginEncode(&context, true, addJSONData, &fd);
  int result = plovercrashjson_beginObject(&context, nullptr);
  if (result == PloverCrashJSON_OK) {
    result = plovercrashjson_addIntegerElement(&context, "version", kFormatVersion);
  }
  if (result == PloverCrashJSON_OK) {
    result = plovercrashjson_addBooleanElement(&context, "crashedLastLaunch", g_state.crashedThisLaunch);
  }
  if (result == PloverCrashJSON_OK) {
    result = plovercrashjson_addFloatingPointElement(&context, "activeDurationSinceLastCrash",
                                                     g_state.activeDurationSinceLastCrash);
  }
  if (result == PloverCrashJSON_OK) {
    result = plovercrashjson_addFloatingPointElement(&context, "backgroundDurationSinceLastCrash",
                                                     g_state.backgroundDurationSinceLastCrash);
  }
  if (result == PloverCrashJSON_OK) {
    result = plovercrashjson_addIntegerElement(&context, "launchesSinceLastCrash", g_state.launchesSinceLastCrash);
  }
  if (result == PloverCrashJSON_OK) {
    result = plovercrashjson_addIntegerElement(&context, "sessionsSinceLastCrash", g_state.sessionsSinceLastCrash);
  }
  if (result == PloverCrashJSON_OK) result = plovercrashjson_endEncode(&context);
  close(fd);
  if (result != PloverCrashJSON_OK) {
    PLOVERCRASHLOG_ERROR("%s: %s", path, plovercrashjson_stringForError(result));
    return false;
  }
  return true;
}

void setEnabled(bool isEnabled) {
  if (isEnabled == g_isEnabled.load()) return;
  g_isEnabled.store(isEnabled);
  if (isEnabled) plovercrashstate_reset();
}

bool isEnabled() { return g_isEnabled.load(); }

void addContextualInfo(PloverCrash_MonitorContext* eventContext) {
  if (!g_isEnabled.load()) return;
  eventContext->AppState.activeDurationSinceLastCrash = g_state.activeDurationSinceLastCrash;
  eventContext->AppState.activeDurationSinceLaunch = g_state.activeDurationSinceLaunch;
  eventContext->AppState.applicationIsActive = g_state.applicationIsActive;
  eventContext->AppState.applicationIsInForeground = g_state.applicationIsInForeground;
  eventContext->AppState.appStateTransitionTime = g_state.appStateTransitionTime;
  eventContext->AppState.backgroundDurationSinceLastCrash = g_state.backgroundDurationSinceLastCrash;
  eventContext->AppState.backgroundDurationSinceLaunch = g_state.backgroundDurationSinceLaunch;
  eventContext->AppState.crashedLastLaunch = g_state.crashedLastLaunch;
  eventContext->AppState.crashedThisLaunch = g_state.crashedThisLaunch;
  eventContext->AppState.launchesSinceLastCrash = g_state.launchesSinceLastCrash;
  eventContext->AppState.sessionsSinceLastCrash = g_state.sessionsSinceLastCrash;
  eventContext->AppState.sessionsSinceLaunch = g_state.sessionsSinceLaunch;
}

PloverCrashMonitorOps g_api = {setEnabled, isEnabled, addContextualInfo};

}  // namespace

void plovercrashstate_initialize(const char* stateFilePath) {
  plovercrashformat_format(g_stateFilePath, sizeof g_stateFilePath, "%s",
                           stateFilePath != nullptr ? stateFilePath : "");
  std::memset(&g_state, 0, sizeof g_state);
  if (g_stateFilePath[0] != '\0') loadState(g_stateFilePath);
}

bool plovercrashstate_reset() {
  if (!g_isEnabled.load()) return false;
  g_state.sessionsSinceLaunch = 1;
  g_state.activeDurationSinceLaunch = 0;
  g_state.backgroundDurationSinceLaunch = 0;
  if (g_state.crashedLastLaunch) {
    g_state.activeDurationSinceLastCrash = 0;
    g_state.backgroundDurationSinceLastCrash = 0;
    g_state.launchesSinceLastCrash = 0;
    g_state.sessionsSinceLastCrash = 0;
  }
  g_state.crashedThisLaunch = false;
  // Simulate that we have been through the foreground once.
  g_state.launchesSinceLastCrash++;
  g_state.sessionsSinceLastCrash++;
  g_state.applicationIsInForeground = true;
  return saveState(g_stateFilePath);
}

void plovercrashstate_notifyAppActive(bool isActive) {
  if (!g_isEnabled.load()) return;
  g_state.applicationIsActive = isActive;
  if (isActive) {
    g_state.appStateTransitionTime = getCurrentTime();
  } else {
    const double duration = timeSince(g_state.appStateTransitionTime);
    g_state.activeDurationSinceLastCrash += duration;
    g_state.activeDurationSinceLaunch += duration;
  }
}

void plovercrashstate_notifyAppInForeground(bool isInForeground) {
  if (!g_isEnabled.load()) return;
  g_state.applicationIsInForeground = isInForeground;
  if (isInForeground) {
    const double duration = timeSince(g_state.appStateTransitionTime);
    g_state.backgroundDurationSinceLastCrash += duration;
    g_state.backgroundDurationSinceLaunch += duration;
    g_state.sessionsSinceLastCrash++;
    g_state.sessionsSinceLaunch++;
  } else {
    g_state.appStateTransitionTime = getCurrentTime();
    saveState(g_stateFilePath);
  }
}

void plovercrashstate_notifyAppTerminate() {
  if (!g_isEnabled.load()) return;
  g_state.backgroundDurationSinceLastCrash += timeSince(g_state.appStateTransitionTime);
  saveState(g_stateFilePath);
}

void plovercrashstate_notifyAppCrash() {
  if (!g_isEnabled.load()) return;
  const double duration = timeSince(g_state.appStateTransitionTime);
  if (g_state.applicationIsActive) {
    g_state.activeDurationSinceLastCrash += duration;
    g_state.activeDurationSinceLaunch += duration;
  } else if (!g_state.applicationIsInForeground) {
    g_state.backgroundDurationSinceLastCrash += duration;
    g_state.backgroundDurationSinceLaunch += duration;
  }
  g_state.crashedThisLaunch = true;
  saveState(g_stateFilePath);
}

const PloverCrash_AppState* plovercrashstate_currentState() { return &g_state; }

PloverCrashMonitorOps* plovercrashcm_appstate_getAPI() { return &g_api; }
