// Error values and a small result type. Errors travel with results across every library
// edge; nothing in the project throws across one.
#pragma once

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

// The free-form details of an Error: a JSON object. It lives behind a pointer so that this
// header, which nearly every source includes, does not pull in the whole JSON library; code
// that reads or writes the details includes <nlohmann/json.hpp> itself. An Error without
// details allocates nothing; reading an absent key gives null, as on a missing object.
class ErrorUserInfo {
 public:
  ErrorUserInfo() noexcept;
  ErrorUserInfo(nlohmann::json object);  // NOLINT: converts, as the JSON member it stands for
  ErrorUserInfo(const ErrorUserInfo& other);
  ErrorUserInfo(ErrorUserInfo&& other) noexcept;
  ErrorUserInfo& operator=(const ErrorUserInfo& other);
  ErrorUserInfo& operator=(ErrorUserInfo&& other) noexcept;
  ErrorUserInfo& operator=(nlohmann::json object);
  ~ErrorUserInfo();

  // The details as JSON (an empty object when there are none).
  const nlohmann::json& json() const;
  nlohmann::json& json();
  operator const nlohmann::json&() const { return json(); }  // NOLINT
  operator nlohmann::json&() { return json(); }              // NOLINT

  nlohmann::json& operator[](std::string_view key);
  const nlohmann::json& operator[](std::string_view key) const;
  bool contains(std::string_view key) const;

  // As nlohmann::json::value: the value under key, or fallback when it is absent.
  template <class Fallback, class Json = nlohmann::json>
  auto value(std::string_view key, Fallback&& fallback) const {
    const Json& object = json();
    return object.value(std::string(key), std::forward<Fallback>(fallback));
  }

 private:
  std::unique_ptr<nlohmann::json> object_;
};

// An error as the system reports it: a domain, a numeric code, a description a person can read
// and free-form user info (underlying library codes, failing paths, ...).
struct Error {
  std::string domain;
  std::int64_t code = 0;
  std::string description;
  ErrorUserInfo userInfo;

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
