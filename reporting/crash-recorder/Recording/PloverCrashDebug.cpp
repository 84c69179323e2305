#include "reporting/crash-recorder/Recording/PloverCrashDebug.h"

#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"
#include "reporting/crash-recorder/Recording/PloverCrashSysCtl.h"

#include <cerrno>
#include <unistd.h>

bool plovercrashdebug_isBeingTraced() {
  PloverCrashProcessInfo info = {};
  if (!plovercrashsysctl_getProcessInfo(getpid(), &info)) {
    PLOVERCRASHLOG_ERROR("sysctl: %s", plovercrashformat_errorText(errno));
    return false;
  }
  return (info.flags & PLOVERCRASH_P_TRACED) != 0;
}
