#include "telemetry/ZerEvuzevCrashes/MSCrashesUtil.h"

#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <atomic>
#include <mutex>

namespace {

struct Folder {
  explicit Folder(const char* folderName) : name(folderName) {}
  const char* name;
  std::mutex mutex;
  bool created = false;
};

Folder g_crashes{"crashes"};
Folder g_logBuffer{"crasheslogbuffer"};
Folder g_wrapperExceptions{"crasheswrapperexceptions"};

std::string ensure(Folder& folder) {
  std::lock_guard lock(folder.mutex);
  if (!folder.created) {
    MSUtility::createDirectoryForPathComponent(folder.name);
    folder.created = true;
  }
  return folder.name;
}

void reset(Folder& folder) {
  std::lock_guard lock(folder.mutex);
  folder.created = false;
}

}  // namespace

std::string MSCrashesUtil::crashesDir() { return ensure(g_crashes); }
std::string MSCrashesUtil::logBufferDir() { return ensure(g_logBuffer); }
std::string MSCrashesUtil::wrapperExceptionsDir() { return ensure(g_wrapperExceptions); }

void MSCrashesUtil::resetDirectory() {
  reset(g_crashes);
  reset(g_logBuffer);
  reset(g_wrapperExceptions);
}
