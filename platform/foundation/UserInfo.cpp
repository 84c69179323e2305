#include "platform/foundation/UserInfo.h"

#include <nlohmann/json.hpp>

namespace vx {

namespace {

const nlohmann::json& emptyObject() {
  static const nlohmann::json object = nlohmann::json::object();
  return object;
}

const nlohmann::json& nullValue() {
  static const nlohmann::json value;
  return value;
}

}  // namespace

UserInfo::UserInfo() noexcept = default;

UserInfo::UserInfo(nlohmann::json object) : object_(std::make_unique<nlohmann::json>(std::move(object))) {}

UserInfo::UserInfo(const UserInfo& other)
    : object_(other.object_ ? std::make_unique<nlohmann::json>(*other.object_) : nullptr) {}

UserInfo::UserInfo(UserInfo&& other) noexcept = default;

UserInfo& UserInfo::operator=(const UserInfo& other) {
  if (this != &other) {
    object_ = other.object_ ? std::make_unique<nlohmann::json>(*other.object_) : nullptr;
  }
  return *this;
}

UserInfo& UserInfo::operator=(UserInfo&& other) noexcept = default;

UserInfo& UserInfo::operator=(nlohmann::json object) {
  object_ = std::make_unique<nlohmann::json>(std::move(object));
  return *this;
}

UserInfo::~UserInfo() = default;

const nlohmann::json& UserInfo::json() const { return object_ ? *object_ : emptyObject(); }

nlohmann::json& UserInfo::json() {
  if (!object_) object_ = std::make_unique<nlohmann::json>(nlohmann::json::object());
  return *object_;
}

nlohmann::json& UserInfo::operator[](std::string_view key) { return json()[std::string(key)]; }

const nlohmann::json& UserInfo::operator[](std::string_view key) const {
  // A missing key reads as null instead of failing the JSON library's assertion.
  const nlohmann::json& object = json();
  if (!object.is_object()) return nullValue();
  const auto found = object.find(std::string(key));
  return found != object.end() ? *found : nullValue();
}

bool UserInfo::contains(std::string_view key) const { return object_ && object_->contains(std::string(key)); }

}  // namespace vx
