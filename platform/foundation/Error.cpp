#include "platform/foundation/Error.h"

#include <nlohmann/json.hpp>

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

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

ErrorUserInfo::ErrorUserInfo() noexcept = default;

ErrorUserInfo::ErrorUserInfo(nlohmann::json object) : object_(std::make_unique<nlohmann::json>(std::move(object))) {}

ErrorUserInfo::ErrorUserInfo(const ErrorUserInfo& other)
    : object_(other.object_ ? std::make_unique<nlohmann::json>(*other.object_) : nullptr) {}

ErrorUserInfo::ErrorUserInfo(ErrorUserInfo&& other) noexcept = default;

ErrorUserInfo& ErrorUserInfo::operator=(const ErrorUserInfo& other) {
  if (this != &other) {
    object_ = other.object_ ? std::make_unique<nlohmann::json>(*other.object_) : nullptr;
  }
  return *this;
}

ErrorUserInfo& ErrorUserInfo::operator=(ErrorUserInfo&& other) noexcept = default;

ErrorUserInfo& ErrorUserInfo::operator=(nlohmann::json object) {
  object_ = std::make_unique<nlohmann::json>(std::move(object));
  return *this;
}

ErrorUserInfo::~ErrorUserInfo() = default;

const nlohmann::json& ErrorUserInfo::json() const { return object_ ? *object_ : emptyObject(); }

nlohmann::json& ErrorUserInfo::json() {
  if (!object_) object_ = std::make_unique<nlohmann::json>(nlohmann::json::object());
  return *object_;
}

nlohmann::json& ErrorUserInfo::operator[](std::string_view key) { return json()[std::string(key)]; }

const nlohmann::json& ErrorUserInfo::operator[](std::string_view key) const {
  // A missing key reads as null instead of failing the JSON library's assertion.
  const nlohmann::json& object = json();
  if (!object.is_object()) return nullValue();
  const auto found = object.find(std::string(key));
  return found != object.end() ? *found : nullValue();
}

bool ErrorUserInfo::contains(std::string_view key) const { return object_ && object_->contains(std::string(key)); }

Error::Error(std::string domain, std::int64_t code, std::string description, nlohmann::json userInfo)
    : domain(std::move(domain)), code(code), description(std::move(description)), userInfo(std::move(userInfo)) {}

std::string Error::toString() const {
  std::ostringstream out;
  out << "Error Domain=" << domain << " Code=" << code;
  if (!description.empty()) out << " \"" << description << "\"";
  return out.str();
}

std::ostream& operator<<(std::ostream& os, const Error& error) { return os << error.toString(); }

void fatalError(const std::string& message, const char* file, int line) {
  std::fprintf(stderr, "Fatal error: %s: file %s, line %d\n", message.c_str(), file, line);
  std::fflush(stderr);
  syslog(LOG_CRIT, "Fatal error: %s: file %s, line %d", message.c_str(), file, line);
  std::abort();
}

}  // namespace vx
