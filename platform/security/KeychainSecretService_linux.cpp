// The Secret Service backend over libsecret. Every D-Bus exchange runs under a deadline that
// cancels it, so a bus or daemon that never answers costs a bounded wait, not a hung caller.
#include "platform/security/Keychain.h"
#include "platform/security/KeychainInternal.h"

#include <libsecret/secret.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>
#include <thread>

namespace vx {
namespace {

using keychain_internal::makeError;

const SecretSchema* schema() {
  static const SecretSchema instance = [] {
    SecretSchema s{};
    s.name = "com.vexelworks.GenericPassword";
    s.flags = SECRET_SCHEMA_NONE;
    s.attributes[0].name = "service";
    s.attributes[0].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
    s.attributes[1].name = "account";
    s.attributes[1].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
    return s;
  }();
  return &instance;
}

// Cancels its GCancellable when the time is up. libsecret's sync calls honour the cancellable
// at every step (bus connection, method calls, prompts).
class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds timeout)
      : timeout_(timeout), cancellable_(g_cancellable_new()), watcher_([this] { watch(); }) {}
  ~Deadline() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    condition_.notify_all();
    watcher_.join();
    g_object_unref(cancellable_);
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  GCancellable* cancellable() const { return cancellable_; }
  bool expired() const { return expired_.load(); }
  std::chrono::milliseconds timeout() const { return timeout_; }

 private:
  void watch() {
    std::unique_lock lock(mutex_);
    if (!condition_.wait_for(lock, timeout_, [this] { return done_; })) {
      expired_.store(true);
      g_cancellable_cancel(cancellable_);
    }
  }

  const std::chrono::milliseconds timeout_;
  GCancellable* const cancellable_;
  std::mutex mutex_;
  std::condition_variable condition_;
  bool done_ = false;
  std::atomic<bool> expired_{false};
  std::thread watcher_;  // last: starts once everything above exists
};

struct GErrorOwner {
  GError* error = nullptr;
  ~GErrorOwner() {
    if (error != nullptr) g_error_free(error);
  }
};

Error errorFrom(const GError* error, const std::string& what, const Deadline& deadline) {
  nlohmann::json info = nlohmann::json::object();
  std::string message = "unknown error";
  if (error != nullptr) {
    message = error->message != nullptr ? error->message : "";
    info["gerrorDomain"] = g_quark_to_string(error->domain);
    info["gerrorCode"] = error->code;
  }
  if (deadline.expired() || (error != nullptr && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))) {
    return makeError(
        kKeychainErrorNotAvailable,
        "Secret Service did not answer within " + std::to_string(deadline.timeout().count()) + " ms (" + what + ")",
        std::move(info));
  }
  if (error != nullptr && g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) {
    return makeError(kKeychainErrorInteractionNotAllowed, "Secret Service keyring is locked (" + what + "): " + message,
                     std::move(info));
  }
  return makeError(kKeychainErrorNotAvailable, "Secret Service " + what + " failed: " + message, std::move(info));
}

// Owns a GHashTable of attributes for one query.
class Attributes {
 public:
  Attributes(const std::string& service, const std::optional<std::string>& account)
      : table_(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free)) {
    g_hash_table_insert(table_, g_strdup("service"), g_strdup(service.c_str()));
    if (account) g_hash_table_insert(table_, g_strdup("account"), g_strdup(account->c_str()));
  }
  ~Attributes() { g_hash_table_unref(table_); }
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;
  GHashTable* get() const { return table_; }

 private:
  GHashTable* table_;
};

class ItemList {
 public:
  explicit ItemList(GList* items) : items_(items) {}
  ~ItemList() { g_list_free_full(items_, g_object_unref); }
  ItemList(const ItemList&) = delete;
  ItemList& operator=(const ItemList&) = delete;
  GList* get() const { return items_; }
  bool empty() const { return items_ == nullptr; }

 private:
  GList* items_;
};

class SecretValueOwner {
 public:
  explicit SecretValueOwner(SecretValue* value) : value_(value) {}
  ~SecretValueOwner() {
    if (value_ != nullptr) secret_value_unref(value_);
  }
  SecretValueOwner(const SecretValueOwner&) = delete;
  SecretValueOwner& operator=(const SecretValueOwner&) = delete;
  SecretValue* get() const { return value_; }

 private:
  SecretValue* value_;
};

SecretValue* newValue(ByteView data) {
  static const char kEmpty = 0;
  const char* bytes = data.empty() ? &kEmpty : reinterpret_cast<const char*>(data.data());
  return secret_value_new(bytes, static_cast<gssize>(data.size()), "application/octet-stream");
}

Error notFound(const KeychainQuery& query) {
  nlohmann::json info = {{"service", query.service}};
  if (query.account) info["account"] = *query.account;
  return makeError(kKeychainErrorItemNotFound, "keychain item not found", std::move(info));
}

class SecretServiceKeychainBackend final : public KeychainBackend {
 public:
  SecretServiceKeychainBackend(SecretService* service, std::chrono::milliseconds timeout)
      : service_(service), timeout_(timeout) {}
  ~SecretServiceKeychainBackend() override { g_object_unref(service_); }

  std::string name() const override { return "secret-service"; }

  Result<Bytes> read(const KeychainQuery& query) override {
    std::lock_guard lock(mutex_);
    Deadline deadline(timeout_);
    auto found = search(query, SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS),
                        deadline);
    if (!found.ok()) return found.error();
    ItemList& items = *found.value();
    if (items.empty()) return notFound(query);
    for (GList* node = items.get(); node != nullptr; node = node->next) {
      SecretValueOwner value(secret_item_get_secret(SECRET_ITEM(node->data)));
      if (value.get() == nullptr) continue;  // still locked
      gsize length = 0;
      const gchar* bytes = secret_value_get(value.get(), &length);
      const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
      return Bytes(begin, begin + length);
    }
    return makeError(kKeychainErrorInteractionNotAllowed, "keychain item is locked and was not unlocked");
  }

  Result<void> add(const std::string& service, const std::string& account, ByteView data) override {
    std::lock_guard lock(mutex_);
    Deadline deadline(timeout_);
    const KeychainQuery query{service, account};
    // Locked items count too: an add must not shadow an item the user has not unlocked yet.
    auto found = search(query, SECRET_SEARCH_NONE, deadline);
    if (!found.ok()) return found.error();
    if (!found.value()->empty()) {
      return makeError(kKeychainErrorDuplicateItem, "keychain item already exists",
                       {{"service", service}, {"account", account}});
    }
    Attributes attributes(service, account);
    SecretValueOwner value(newValue(data));
    const std::string label = service + " (" + account + ")";
    GErrorOwner error;
    if (!secret_service_store_sync(service_, schema(), attributes.get(), SECRET_COLLECTION_DEFAULT, label.c_str(),
                                   value.get(), deadline.cancellable(), &error.error)) {
      return errorFrom(error.error, "store", deadline);
    }
    return Result<void>::success();
  }

  Result<void> update(const KeychainQuery& query, ByteView data) override {
    std::lock_guard lock(mutex_);
    Deadline deadline(timeout_);
    auto found = search(query, SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK), deadline);
    if (!found.ok()) return found.error();
    if (found.value()->empty()) return notFound(query);
    SecretValueOwner value(newValue(data));
    for (GList* node = found.value()->get(); node != nullptr; node = node->next) {
      GErrorOwner error;
      if (!secret_item_set_secret_sync(SECRET_ITEM(node->data), value.get(), deadline.cancellable(), &error.error)) {
        return errorFrom(error.error, "update", deadline);
      }
    }
    return Result<void>::success();
  }

  Result<void> remove(const KeychainQuery& query) override {
    std::lock_guard lock(mutex_);
    Deadline deadline(timeout_);
    auto found = search(query, SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK), deadline);
    if (!found.ok()) return found.error();
    if (found.value()->empty()) return notFound(query);
    for (GList* node = found.value()->get(); node != nullptr; node = node->next) {
      GErrorOwner error;
      if (!secret_item_delete_sync(SECRET_ITEM(node->data), deadline.cancellable(), &error.error)) {
        return errorFrom(error.error, "delete", deadline);
      }
    }
    return Result<void>::success();
  }

 private:
  Result<std::unique_ptr<ItemList>> search(const KeychainQuery& query, SecretSearchFlags flags,
                                           const Deadline& deadline) {
    Attributes attributes(query.service, query.account);
    GErrorOwner error;
    GList* items =
        secret_service_search_sync(service_, schema(), attributes.get(), flags, deadline.cancellable(), &error.error);
    if (error.error != nullptr) {
      g_list_free_full(items, g_object_unref);
      return errorFrom(error.error, "search", deadline);
    }
    return std::make_unique<ItemList>(items);
  }

  SecretService* const service_;
  const std::chrono::milliseconds timeout_;
  // One conversation at a time in the whole process, so add's check-then-store cannot race
  // another backend object of this process.
  static inline std::mutex mutex_;
};

// A session bus can only be reached through an address in the environment or the per-user
// socket. Without either, GLib would try to launch a bus of its own, which must not happen
// behind a keychain call.
bool sessionBusConfigured() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address != nullptr && *address != 0) {
    return true;
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == 0) return false;
  struct stat info {};
  return ::stat((std::string(runtime) + "/bus").c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace

namespace keychain_internal {

Result<std::shared_ptr<KeychainBackend>> probeSecretService(std::chrono::milliseconds probeTimeout,
                                                            std::chrono::milliseconds operationTimeout,
                                                            bool requireDefaultCollection) {
  if (!sessionBusConfigured()) {
    return makeError(kKeychainErrorNotAvailable,
                     "no D-Bus session bus (DBUS_SESSION_BUS_ADDRESS unset, no $XDG_RUNTIME_DIR/bus)");
  }
  Deadline deadline(probeTimeout);
  GErrorOwner error;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, deadline.cancellable(), &error.error);
  if (service == nullptr) return errorFrom(error.error, "connect", deadline);
  auto backend = std::make_shared<SecretServiceKeychainBackend>(service, operationTimeout);
  if (requireDefaultCollection) {
    GErrorOwner aliasError;
    SecretCollection* collection = secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, deadline.cancellable(), &aliasError.error);
    if (collection == nullptr) {
      if (aliasError.error != nullptr) return errorFrom(aliasError.error, "read default collection", deadline);
      return makeError(kKeychainErrorNotAvailable, "Secret Service has no default collection");
    }
    g_object_unref(collection);
  }
  return std::shared_ptr<KeychainBackend>(std::move(backend));
}

}  // namespace keychain_internal
}  // namespace vx
