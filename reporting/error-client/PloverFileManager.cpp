#include "reporting/error-client/PloverFileManager.h"

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/StandardPaths.h"
#include "platform/foundation/UTF8.h"
#include "platform/foundation/UUID.h"
#include "reporting/error-client/PloverError.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

bool PloverFileManager::createDirectoryAtPath(const std::string& path, vx::Error* error) {
  std::error_code code;
  fs::create_directories(path, code);
  if (code) {
    if (error != nullptr) {
      *error = vx::Error("NSCocoaErrorDomain", code.value(), "Couldn't create folder " + path + ": " + code.message(),
                         nlohmann::json{{"NSFilePath", path}});
    }
    return false;
  }
  return true;
}

std::shared_ptr<PloverFileManager> PloverFileManager::make(const PloverDsn& dsn, vx::Error* error) {
  auto caches = vx::StandardPaths::cachesDirectory();
  if (!caches.ok()) {
    if (error != nullptr) *error = caches.error();
    return nullptr;
  }
  std::shared_ptr<PloverFileManager> manager(new PloverFileManager());
  manager->ploverPath_ = (caches.value() / kServiceFolderLabel / dsn.getHash()).string();
  manager->breadcrumbsPath_ = (fs::path(manager->ploverPath_) / "breadcrumbs").string();
  manager->eventsPath_ = (fs::path(manager->ploverPath_) / "events").string();
  for (const auto* path : {&manager->ploverPath_, &manager->breadcrumbsPath_, &manager->eventsPath_}) {
    if (!createDirectoryAtPath(*path, error)) return nullptr;
  }
  return manager;
}

void PloverFileManager::deleteAllFolders() {
  std::error_code ignored;
  fs::remove_all(breadcrumbsPath_, ignored);
  fs::remove_all(eventsPath_, ignored);
  fs::remove_all(ploverPath_, ignored);
}

std::string PloverFileManager::uniqueAcendingJsonName() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const double seconds = std::chrono::duration<double>(now).count();
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%f", seconds);
  const std::size_t counter = currentFileCounter_++;
  return std::string(stamp) + "-" + std::to_string(counter) + "-" + vx::UUID::make().uuidString() + ".json";
}

std::vector<PloverStoredEntry> PloverFileManager::getAllStoredEvents() { return allFilesContentInFolder(eventsPath_); }

std::vector<PloverStoredEntry> PloverFileManager::getAllStoredBreadcrumbs() {
  return allFilesContentInFolder(breadcrumbsPath_);
}

std::vector<PloverStoredEntry> PloverFileManager::allFilesContentInFolder(const std::string& path) {
  std::lock_guard lock(lock_);
  std::vector<PloverStoredEntry> entries;
  for (const auto& name : allFilesInFolder(path)) {
    const std::string full = (fs::path(path) / name).string();
    std::ifstream in(full, std::ios::binary);
    if (!in) continue;
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) continue;
    entries.push_back({full, std::move(data)});
  }
  return entries;
}

void PloverFileManager::deleteAllStoredEvents() {
  for (const auto& name : allFilesInFolder(eventsPath_)) {
    removeFileAtPath((fs::path(eventsPath_) / name).string());
  }
}

void PloverFileManager::deleteAllStoredBreadcrumbs() {
  for (const auto& name : allFilesInFolder(breadcrumbsPath_)) {
    removeFileAtPath((fs::path(breadcrumbsPath_) / name).string());
  }
}

std::vector<std::string> PloverFileManager::allFilesInFolder(const std::string& path) {
  std::vector<std::string> names;
  std::error_code code;
  for (fs::directory_iterator it(path, code), end; !code && it != end; it.increment(code)) {
    const auto name = it->path().filename().string();
    // Temporaries of a write in progress ("<name>.tmp-XXXXXX") are not records.
    if (name.find(".tmp-") != std::string::npos) continue;
    names.push_back(name);
  }
  if (code) {
    PloverLog::logWithMessage("Couldn't load files in folder " + path + ": " + code.message(), kPloverLogLevelError);
    return {};
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return lowercase(a) < lowercase(b); });
  return names;
}

bool PloverFileManager::removeFileAtPath(const std::string& path) {
  std::lock_guard lock(lock_);
  std::error_code code;
  if (!fs::remove(path, code)) {
    if (!code) code = std::make_error_code(std::errc::no_such_file_or_directory);
    PloverLog::logWithMessage("Couldn't delete file " + path + ": " + code.message(), kPloverLogLevelError);
    return false;
  }
  return true;
}

std::string PloverFileManager::storeEvent(PloverEvent& event) { return storeEvent(event, maxEvents_); }

std::string PloverFileManager::storeEvent(PloverEvent& event, std::size_t maxCount) {
  std::lock_guard lock(lock_);
  const std::string path = storeDictionary(event.serialize(), eventsPath_);
  handleFileManagerLimit(eventsPath_, maxCount);
  return path;
}

std::string PloverFileManager::storeBreadcrumb(const PloverBreadcrumb& breadcrumb) {
  return storeBreadcrumb(breadcrumb, maxBreadcrumbs_);
}

std::string PloverFileManager::storeBreadcrumb(const PloverBreadcrumb& breadcrumb, std::size_t maxCount) {
  std::lock_guard lock(lock_);
  // A breadcrumb often quotes outside text (a file name is bytes on Linux): repaired rather than
  // refused, so it neither goes missing nor stops the events that carry it.
  const std::string path = storeDictionary(vx::utf8::sanitizedMap(breadcrumb.serialize()), breadcrumbsPath_);
  handleFileManagerLimit(breadcrumbsPath_, std::min<std::size_t>(maxCount, maxBreadcrumbs_));
  return path;
}

std::string PloverFileManager::storeDictionary(const vx::ValueMap& dictionary, const std::string& folder) {
  std::lock_guard lock(lock_);
  const std::string path = (fs::path(folder) / uniqueAcendingJsonName()).string();
  PloverLog::logWithMessage("Writing to file: " + path, kPloverLogLevelDebug);
  const vx::Value value(dictionary);
  if (PloverIsValidJSONObject(value)) {
    // A reader, or the next launch after a crash, never sees half a record. No disk flush: it
    // would cost milliseconds per event on the caller's thread.
    (void)vx::writeFileAtomically(path, value.toOrderedJson().dump(), 0600, vx::WriteDurability::unsynced);
  } else {
    PloverLog::logWithMessage("Invalid JSON, failed to write file " + path, kPloverLogLevelError);
  }
  return path;
}

void PloverFileManager::handleFileManagerLimit(const std::string& folder, std::size_t maxCount) {
  std::lock_guard lock(lock_);
  const auto names = allFilesInFolder(folder);
  if (names.size() <= maxCount) return;
  const std::size_t excess = names.size() - maxCount;
  for (std::size_t i = 0; i < excess; ++i) removeFileAtPath((fs::path(folder) / names[i]).string());
  PloverLog::logWithMessage(
      "Removed " + std::to_string(excess) + " file(s) from <" + fs::path(folder).filename().string() + ">",
      kPloverLogLevelDebug);
}

// --- breadcrumbs ---

void PloverBreadcrumbStore::addBreadcrumb(const PloverBreadcrumb& breadcrumb) {
  PloverLog::logWithMessage("Add breadcrumb: " + breadcrumb.description(), kPloverLogLevelDebug);
  fileManager_->storeBreadcrumb(breadcrumb, maxBreadcrumbs_);
}

std::size_t PloverBreadcrumbStore::count() { return fileManager_->getAllStoredBreadcrumbs().size(); }

void PloverBreadcrumbStore::clear() { fileManager_->deleteAllStoredBreadcrumbs(); }

vx::ValueMap PloverBreadcrumbStore::serialize() {
  vx::ValueArray crumbs;
  for (const auto& entry : fileManager_->getAllStoredBreadcrumbs()) {
    auto json = nlohmann::ordered_json::parse(entry.data.begin(), entry.data.end(), nullptr, false);
    if (json.is_discarded()) continue;
    crumbs.push_back(vx::Value::fromJson(json));
  }
  if (crumbs.empty()) return {};
  return vx::ValueMap{{"breadcrumbs", std::move(crumbs)}};
}
