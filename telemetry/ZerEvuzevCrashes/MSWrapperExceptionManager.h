// Wrapper exceptions: what a wrapper SDK saves about its own crash just before its process dies
// ("last_saved_wrapper_exception" in the wrapper-exceptions folder), re-filed at the next start
// under the incident identifier of the crash report of the same process, and kept in memory for
// this process too.
#pragma once

#include "telemetry/ZerEvuzevCrashes/Model/MSErrorReport.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSWrapperException.h"

#include <memory>
#include <string>
#include <vector>

class MSWrapperExceptionManager {
 public:
  MSWrapperExceptionManager() = delete;
  static constexpr const char* kLastWrapperExceptionFileName = "last_saved_wrapper_exception";

  // Saves under "last_saved_wrapper_exception".
  static void saveWrapperException(const MSWrapperException& wrapperException);
  // The wrapper exception of that incident (kept in memory, else its file), or nullptr.
  static std::shared_ptr<MSWrapperException> loadWrapperExceptionWithUUIDString(const std::string& uuidString);
  // Deletes that incident's file and drops its entry in memory.
  static void deleteWrapperExceptionWithUUIDString(const std::string& uuidString);
  // Deletes the whole folder (and forgets every entry in memory).
  static void deleteAllWrapperExceptions();
  // Re-files the last saved wrapper exception under the first report of the same process; it is
  // dropped when no report matches.
  static void correlateLastSavedWrapperExceptionToReport(const std::vector<std::shared_ptr<MSErrorReport>>& reports);

  // The file operations under a given file name. Loading an unreadable file logs an error,
  // deletes the file and gives nullptr.
  static void saveWrapperException(const MSWrapperException& wrapperException, const std::string& baseFilename);
  static std::shared_ptr<MSWrapperException> loadWrapperExceptionWithBaseFilename(const std::string& baseFilename);
  static void deleteWrapperExceptionWithBaseFilename(const std::string& baseFilename);

  // Forgets every entry in memory (tests).
  static void resetForTesting();
};
