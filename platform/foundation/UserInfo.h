// A JSON object held behind a pointer, for widely included value types.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace vx {

// Free-form details (of an Error, a Notification): a JSON object. It lives behind a pointer so
// that headers nearly every source includes do not pull in the whole JSON library; code that
// reads or writes the details includes <nlohmann/json.hpp> itself. Empty details allocate
// nothing; reading an absent key gives null, as on a missing object.
class UserInfo {
 public:
  UserInfo() noexcept;
  UserInfo(nlohmann::json object);  // NOLINT: converts, as the JSON member it stands for
  UserInfo(const UserInfo& other);
  UserInfo(UserInfo&& other) noexcept;
  UserInfo& operator=(const UserInfo& other);
  UserInfo& operator=(UserInfo&& other) noexcept;
  UserInfo& operator=(nlohmann::json object);
  ~UserInfo();

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

}  // namespace vx
