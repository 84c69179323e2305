// An in-memory keychain backend for tests of code that stores secrets (token store, telemetry
// encrypter): it keeps items like the real stores do and can be told to fail an operation with
// any keychain status, so "Status -25308"-style error paths can be driven on purpose.
// Use: Keychain keychain(fake) or Keychain::setSharedBackend(fake).
#pragma once

#include "platform/security/Keychain.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace vx::test {

class FakeKeychainBackend final : public KeychainBackend {
 public:
  enum class Operation { read, add, update, remove };

  std::string name() const override { return "fake"; }

  // Every later call of `operation` fails with `status` (nullopt: works again).
  void setFailure(Operation operation, std::optional<std::int32_t> status) {
    std::lock_guard lock(mutex_);
    failures_[operation] = status;
  }

  std::size_t itemCount() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }

  int calls(Operation operation) const {
    std::lock_guard lock(mutex_);
    auto found = calls_.find(operation);
    return found == calls_.end() ? 0 : found->second;
  }

  Result<Bytes> read(const KeychainQuery& query) override {
    std::lock_guard lock(mutex_);
    if (auto failure = failed(Operation::read)) return *failure;
    for (const auto& [key, data] : items_) {
      if (matches(key, query)) return data;
    }
    return notFound();
  }

  Result<void> add(const std::string& service, const std::string& account, ByteView data) override {
    std::lock_guard lock(mutex_);
    if (auto failure = failed(Operation::add)) return *failure;
    const bool inserted = items_.emplace(Key{service, account}, Bytes(data.begin(), data.end())).second;
    if (!inserted) return Error(kKeychainErrorDomain, kKeychainErrorDuplicateItem, "keychain item already exists");
    return Result<void>::success();
  }

  Result<void> update(const KeychainQuery& query, ByteView data) override {
    std::lock_guard lock(mutex_);
    if (auto failure = failed(Operation::update)) return *failure;
    bool found = false;
    for (auto& [key, stored] : items_) {
      if (matches(key, query)) {
        stored.assign(data.begin(), data.end());
        found = true;
      }
    }
    if (!found) return notFound();
    return Result<void>::success();
  }

  Result<void> remove(const KeychainQuery& query) override {
    std::lock_guard lock(mutex_);
    if (auto failure = failed(Operation::remove)) return *failure;
    const auto removed = std::erase_if(items_, [&](const auto& entry) { return matches(entry.first, query); });
    if (removed == 0) return notFound();
    return Result<void>::success();
  }

 private:
  using Key = std::pair<std::string, std::string>;  // service, account

  static bool matches(const Key& key, const KeychainQuery& query) {
    return key.first == query.service && (!query.account || key.second == *query.account);
  }
  static Error notFound() { return Error(kKeychainErrorDomain, kKeychainErrorItemNotFound, "keychain item not found"); }
  std::optional<Error> failed(Operation operation) {
    ++calls_[operation];
    auto found = failures_.find(operation);
    if (found == failures_.end() || !found->second) return std::nullopt;
    return Error(kKeychainErrorDomain, *found->second, "injected keychain failure");
  }

  mutable std::mutex mutex_;
  std::map<Key, Bytes> items_;
  std::map<Operation, std::optional<std::int32_t>> failures_;
  std::map<Operation, int> calls_;
};

}  // namespace vx::test
