#include "telemetry/ZerEvuzevCrashes/MSWrapperExceptionManager.h"

#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/ZerEvuzevCrashes/MSCrashesUtil.h"

#include <map>
#include <mutex>

namespace {

constexpr const char* kLogTag = "ZerEvuzevCrashes";

// Incident identifier to wrapper exception. Guarded, although it is written only while reports
// are loaded or processed, so a lookup from another thread never races a change.
std::mutex g_mutex;
std::map<std::string, std::shared_ptr<MSWrapperException>>& entries() {
  static auto* map = new std::map<std::string, std::shared_ptr<MSWrapperException>>();
  return *map;
}

std::string pathFor(const std::string& name) { return MSCrashesUtil::wrapperExceptionsDir() + "/" + name; }

}  // namespace

void MSWrapperExceptionManager::saveWrapperException(const MSWrapperException& wrapperException) {
  saveWrapperException(wrapperException, kLastWrapperExceptionFileName);
}

std::shared_ptr<MSWrapperException> MSWrapperExceptionManager::loadWrapperExceptionWithUUIDString(
    const std::string& uuidString) {
  {
    std::lock_guard lock(g_mutex);
    const auto found = entries().find(uuidString);
    if (found != entries().end()) return found->second;
  }
  return loadWrapperExceptionWithBaseFilename(uuidString);
}

void MSWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(const std::string& uuidString) {
  {
    // A deleted incident must not come back from memory after its file is gone.
    std::lock_guard lock(g_mutex);
    entries().erase(uuidString);
  }
  deleteWrapperExceptionWithBaseFilename(uuidString);
}

void MSWrapperExceptionManager::deleteAllWrapperExceptions() {
  {
    std::lock_guard lock(g_mutex);
    entries().clear();
  }
  MSUtility::deleteItemForPathComponent(MSCrashesUtil::wrapperExceptionsDir());
  // The folder is gone: the next save must create it again.
  MSCrashesUtil::resetDirectory();
}

void MSWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
    const std::vector<std::shared_ptr<MSErrorReport>>& reports) {
  auto last = loadWrapperExceptionWithBaseFilename(kLastWrapperExceptionFileName);
  if (!last) return;
  deleteWrapperExceptionWithBaseFilename(kLastWrapperExceptionFileName);
  for (const auto& report : reports) {
    if (!report || !report->incidentIdentifier()) continue;
    if (report->appProcessIdentifier() == static_cast<std::uint64_t>(last->processId.value_or(0))) {
      {
        std::lock_guard lock(g_mutex);
        entries()[*report->incidentIdentifier()] = last;
      }
      saveWrapperException(*last, *report->incidentIdentifier());
      return;
    }
  }
}

void MSWrapperExceptionManager::saveWrapperException(const MSWrapperException& wrapperException,
                                                     const std::string& baseFilename) {
  auto data = MSArchivedData(wrapperException);
  if (!data) {
    MSLogError(kLogTag, "Could not archive the wrapper exception: %s", data.error().description.c_str());
    return;
  }
  MSUtility::createFileAtPathComponent(pathFor(baseFilename), data.value(), true, true);
}

std::shared_ptr<MSWrapperException> MSWrapperExceptionManager::loadWrapperExceptionWithBaseFilename(
    const std::string& baseFilename) {
  const std::string path = pathFor(baseFilename);
  const auto data = MSUtility::loadDataForPathComponent(path);
  if (!data) return nullptr;
  MSRegisterCrashesArchivableClasses();
  auto object = vx::KeyedUnarchiver::unarchiveObjectOfClass<MSWrapperException>(*data);
  if (!object) {
    MSLogError(kLogTag, "Could not read exception data stored on disk with file name %s", baseFilename.c_str());
    MSUtility::deleteItemForPathComponent(path);
    return nullptr;
  }
  return object.value();
}

void MSWrapperExceptionManager::deleteWrapperExceptionWithBaseFilename(const std::string& baseFilename) {
  MSUtility::deleteItemForPathComponent(pathFor(baseFilename));
}

void MSWrapperExceptionManager::resetForTesting() {
  std::lock_guard lock(g_mutex);
  entries().clear();
}
