// The file store: used where no Secret Service answers (headless machines, containers) or
// where VX_KEYCHAIN_BACKEND=file asks for it. The secrets are only as safe as the user's account:
// the file is readable by its owner alone, but not encrypted.
#include "platform/security/Keychain.h"
#include "platform/security/KeychainInternal.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx {
namespace {

using keychain_internal::makeError;

constexpr int kFormatVersion = 1;

struct Item {
  std::string service;
  std::string account;
  Bytes data;
};

Error ioError(const std::string& what, const std::filesystem::path& path, int error) {
  return makeError(kKeychainErrorIO, what + " " + path.string() + ": " + std::strerror(error),
                   {{"path", path.string()}, {"errno", error}});
}

Error decodeError(const std::filesystem::path& path, const std::string& reason) {
  return makeError(kKeychainErrorDecode, "keychain file " + path.string() + " is damaged: " + reason,
                   {{"path", path.string()}});
}

bool matches(const Item& item, const KeychainQuery& query) {
  return item.service == query.service && (!query.account || item.account == *query.account);
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

bool writeAll(int fd, const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

class FileKeychainBackend final : public KeychainBackend {
 public:
  explicit FileKeychainBackend(std::filesystem::path file) : file_(std::move(file)) {}

  std::string name() const override { return "file"; }

  Result<Bytes> read(const KeychainQuery& query) override {
    std::lock_guard lock(mutex_);
    auto items = load();
    if (!items.ok()) return items.error();
    for (const Item& item : items.value()) {
      if (matches(item, query)) return item.data;
    }
    return notFound(query);
  }

  Result<void> add(const std::string& service, const std::string& account, ByteView data) override {
    return modify([&](std::vector<Item>& items) -> Result<void> {
      for (const Item& item : items) {
        if (item.service == service && item.account == account) {
          return makeError(kKeychainErrorDuplicateItem, "keychain item already exists",
                           {{"service", service}, {"account", account}});
        }
      }
      items.push_back(Item{service, account, Bytes(data.begin(), data.end())});
      return Result<void>::success();
    });
  }

  Result<void> update(const KeychainQuery& query, ByteView data) override {
    return modify([&](std::vector<Item>& items) -> Result<void> {
      bool found = false;
      for (Item& item : items) {
        if (matches(item, query)) {
          item.data.assign(data.begin(), data.end());
          found = true;
        }
      }
      if (!found) return notFound(query);
      return Result<void>::success();
    });
  }

  Result<void> remove(const KeychainQuery& query) override {
    return modify([&](std::vector<Item>& items) -> Result<void> {
      const auto removed = std::erase_if(items, [&](const Item& item) { return matches(item, query); });
      if (removed == 0) return notFound(query);
      return Result<void>::success();
    });
  }

 private:
  static Error notFound(const KeychainQuery& query) {
    nlohmann::json info = {{"service", query.service}};
    if (query.account) info["account"] = *query.account;
    return makeError(kKeychainErrorItemNotFound, "keychain item not found", std::move(info));
  }

  // Read-modify-write under the in-process mutex and an advisory lock shared with other
  // processes, so two writers never lose each other's items.
  template <class Change>
  Result<void> modify(Change change) {
    std::lock_guard lock(mutex_);
    if (auto folder = ensureFolder(); !folder.ok()) return folder.error();
    const std::filesystem::path lockPath = file_.string() + ".lock";
    FileDescriptor lockFile(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (lockFile.get() < 0) return ioError("cannot open lock file", lockPath, errno);
    while (::flock(lockFile.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return ioError("cannot lock", lockPath, errno);
    }
    auto items = load();
    if (!items.ok()) return items.error();  // a damaged file is left as it is, never overwritten
    if (auto changed = change(items.value()); !changed.ok()) return changed;
    return save(items.value());
  }

  Result<void> ensureFolder() const {
    const std::filesystem::path folder = file_.parent_path();
    std::error_code error;
    if (std::filesystem::is_directory(folder, error)) return Result<void>::success();
    // Each missing level is created private (as the XDG rules ask); folders that exist keep
    // their mode, since others share them.
    std::filesystem::path partial;
    for (const auto& part : folder) {
      partial /= part;
      if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
        return ioError("cannot create folder", partial, errno);
      }
    }
    return Result<void>::success();
  }

  Result<std::vector<Item>> load() const {
    FileDescriptor fd(::open(file_.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
      if (errno == ENOENT) return std::vector<Item>{};
      return ioError("cannot open", file_, errno);
    }
    std::string text;
    char buffer[16384];
    while (true) {
      const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
      if (n < 0) {
        if (errno == EINTR) continue;
        return ioError("cannot read", file_, errno);
      }
      if (n == 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    const nlohmann::json root = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (root.is_discarded()) return decodeError(file_, "not JSON");
    if (!root.is_object()) return decodeError(file_, "not a JSON object");
    const auto version = root.find("version");
    if (version == root.end() || !version->is_number_integer() || *version != kFormatVersion) {
      return decodeError(file_, "unknown format version");
    }
    const auto list = root.find("items");
    if (list == root.end() || !list->is_array()) return decodeError(file_, "no item list");
    std::vector<Item> items;
    items.reserve(list->size());
    for (const nlohmann::json& entry : *list) {
      if (!entry.is_object()) return decodeError(file_, "an item is not an object");
      const auto service = entry.find("service");
      const auto account = entry.find("account");
      const auto data = entry.find("data");
      if (service == entry.end() || !service->is_string() || account == entry.end() || !account->is_string() ||
          data == entry.end() || !data->is_string()) {
        return decodeError(file_, "an item lacks service, account or data");
      }
      auto bytes = base64Decode(data->get_ref<const std::string&>());
      if (!bytes.ok()) return decodeError(file_, "an item's data is not Base64");
      items.push_back(Item{service->get<std::string>(), account->get<std::string>(), std::move(bytes).value()});
    }
    return items;
  }

  // Writes a complete new file beside the old one and renames it into place, so a crash or a
  // full disk leaves either the old file or the new one, never a mix.
  Result<void> save(const std::vector<Item>& items) const {
    nlohmann::json list = nlohmann::json::array();
    for (const Item& item : items) {
      list.push_back({{"service", item.service}, {"account", item.account}, {"data", base64Encode(item.data)}});
    }
    const nlohmann::json root = {{"version", kFormatVersion}, {"items", std::move(list)}};
    const std::string text = root.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";

    const std::filesystem::path folder = file_.parent_path();
    std::string temporary = (folder / ("." + file_.filename().string() + ".XXXXXX")).string();
    FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));  // mode 0600
    if (fd.get() < 0) return ioError("cannot create temporary file in", folder, errno);
    auto fail = [&](const char* what) {
      const int error = errno;
      ::unlink(temporary.c_str());
      return ioError(what, temporary, error);
    };
    if (::fchmod(fd.get(), 0600) != 0) return fail("cannot set mode of");
    if (!writeAll(fd.get(), text)) return fail("cannot write");
    if (::fsync(fd.get()) != 0) return fail("cannot flush");
    if (::close(fd.release()) != 0) return fail("cannot close");
    if (::rename(temporary.c_str(), file_.c_str()) != 0) return fail("cannot rename into place");
    // Make the rename itself durable.
    FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0) ::fsync(directory.get());
    return Result<void>::success();
  }

  const std::filesystem::path file_;
  std::mutex mutex_;
};

}  // namespace

std::shared_ptr<KeychainBackend> makeFileKeychainBackend(std::filesystem::path file) {
  return std::make_shared<FileKeychainBackend>(std::move(file));
}

}  // namespace vx
