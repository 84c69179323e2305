// Error values and a small result type. Errors travel with results across every library
// edge; nothing in the project throws across one.
#pragma once

#include "platform/foundation/UserInfo.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace vx {

// An error as the system reports it: a domain, a numeric code, a description a person can read
// and free-form user info (underlying library codes, failing paths, ...).
struct Error {
  std::string domain;
  std::int64_t code = 0;
  std::string description;
  UserInfo userInfo;

  Error() = default;
  Error(std::string domain, std::int64_t code, std::string description = {})
      : domain(std::move(domain)), code(code), description(std::move(description)) {}
  Error(std::string domain, std::int64_t code, std::string description, nlohmann::json userInfo);

  bool operator==(const Error& other) const { return domain == other.domain && code == other.code; }
  std::string toString() const;
};

std::ostream& operator<<(std::ostream& os, const Error& error);

// Result<T>: either a value or an Error. Result<void> carries only success or an Error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : storage_(std::in_place_index<0>, std::move(value)) {}      // NOLINT
  Result(Error error) : storage_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return storage_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(storage_); }
  const T& value() const& { return std::get<0>(storage_); }
  T&& value() && { return std::get<0>(std::move(storage_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Error& error() const { return std::get<1>(storage_); }

  template <class U>
  T valueOr(U&& fallback) const& {
    return ok() ? value() : static_cast<T>(std::forward<U>(fallback));
  }

 private:
  std::variant<T, Error> storage_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}  // NOLINT
  static Result success() { return Result(); }

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return *error_; }

 private:
  std::optional<Error> error_;
};

// Stops the program for a programming fault that cannot be recovered from: logs the message
// (with the caller's place) to standard error and the system log, then aborts.
[[noreturn]] void fatalError(const std::string& message, const char* file = __builtin_FILE(),
                             int line = __builtin_LINE());

}  // namespace vx
