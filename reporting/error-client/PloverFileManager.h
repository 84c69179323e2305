// The on-disk store: every event is written here before it is sent, and breadcrumbs live only
// here until an event carries them. One JSON file per record, in "events" and "breadcrumbs"
// folders under <caches>/<service label>/<DSN hash>; each folder is trimmed to a maximum count by
// removing the oldest files.
#pragma once

#include "reporting/error-client/PloverDsn.h"
#include "reporting/error-client/PloverEvent.h"

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A stored record as handed back: its full path and its bytes.
struct PloverStoredEntry {
  std::string path;
  std::vector<std::uint8_t> data;
};

class PloverFileManager {
 public:
  // The folder under the caches folder that holds one folder per DSN.
  static constexpr const char* kServiceFolderLabel = "io.plover";

  // Builds the paths and creates the missing folders (base, breadcrumbs, events). nullptr with
  // the file system's error in the slot when a folder cannot be created.
  static std::shared_ptr<PloverFileManager> make(const PloverDsn& dsn, vx::Error* error = nullptr);

  void deleteAllFolders();
  // "<seconds since 1970 with six decimals>-<counter>-<UUID>.json"; oldest sorts first.
  std::string uniqueAcendingJsonName();

  std::vector<PloverStoredEntry> getAllStoredEvents();
  std::vector<PloverStoredEntry> getAllStoredBreadcrumbs();
  std::vector<PloverStoredEntry> allFilesContentInFolder(const std::string& path);
  void deleteAllStoredEvents();
  void deleteAllStoredBreadcrumbs();
  // File names of the folder, oldest first; empty (logged) when the folder cannot be listed.
  std::vector<std::string> allFilesInFolder(const std::string& path);
  // False (logged) when the file cannot be removed.
  bool removeFileAtPath(const std::string& path);

  // Serialises and writes the event, then trims the events folder. Gives the file's path.
  std::string storeEvent(PloverEvent& event);
  std::string storeEvent(PloverEvent& event, std::size_t maxCount);
  std::string storeBreadcrumb(const PloverBreadcrumb& breadcrumb);
  std::string storeBreadcrumb(const PloverBreadcrumb& breadcrumb, std::size_t maxCount);
  // Writes the map as compact JSON atomically when it is a valid JSON object; gives the path in
  // both cases (a path that names no file when nothing was written).
  std::string storeDictionary(const vx::ValueMap& dictionary, const std::string& folder);
  void handleFileManagerLimit(const std::string& folder, std::size_t maxCount);

  static bool createDirectoryAtPath(const std::string& path, vx::Error* error);

  std::size_t maxEvents() const { return maxEvents_; }
  void setMaxEvents(std::size_t value) { maxEvents_ = value; }
  std::size_t maxBreadcrumbs() const { return maxBreadcrumbs_; }
  void setMaxBreadcrumbs(std::size_t value) { maxBreadcrumbs_ = value; }
  const std::string& ploverPath() const { return ploverPath_; }
  const std::string& breadcrumbsPath() const { return breadcrumbsPath_; }
  const std::string& eventsPath() const { return eventsPath_; }
  std::size_t currentFileCounter() const { return currentFileCounter_; }

 private:
  PloverFileManager() = default;

  std::recursive_mutex lock_;
  std::atomic<std::size_t> maxEvents_{10};
  std::atomic<std::size_t> maxBreadcrumbs_{200};
  std::string ploverPath_;
  std::string breadcrumbsPath_;
  std::string eventsPath_;
  std::atomic<std::size_t> currentFileCounter_{0};
};

// The client's breadcrumb list, kept on disk by the file manager.
class PloverBreadcrumbStore {
 public:
  explicit PloverBreadcrumbStore(std::shared_ptr<PloverFileManager> fileManager)
      : fileManager_(std::move(fileManager)) {}

  void addBreadcrumb(const PloverBreadcrumb& breadcrumb);
  // Number of readable breadcrumb files.
  std::size_t count();
  void clear();
  // {"breadcrumbs": [...]} oldest first, skipping files that do not parse; empty when none.
  vx::ValueMap serialize();

  std::size_t maxBreadcrumbs() const { return maxBreadcrumbs_; }
  void setMaxBreadcrumbs(std::size_t value) { maxBreadcrumbs_ = value; }
  const std::shared_ptr<PloverFileManager>& fileManager() const { return fileManager_; }

 private:
  std::atomic<std::size_t> maxBreadcrumbs_{50};
  std::shared_ptr<PloverFileManager> fileManager_;
};
