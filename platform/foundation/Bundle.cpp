#include "platform/foundation/Bundle.h"

#include "platform/foundation/BundleConstants.h"

#include <system_error>

namespace vx {

namespace {

ValueMap generatedInfo() {
  std::error_code ec;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ValueMap{
      {"CFBundleIdentifier", VX_BUNDLE_IDENTIFIER},
      {"CFBundleName", VX_BUNDLE_NAME},
      {"CFBundleDisplayName", VX_BUNDLE_NAME},
      {"CFBundleShortVersionString", VX_BUNDLE_VERSION},
      {"CFBundleVersion", VX_BUNDLE_BUILD},
      {"CFBundleExecutable", ec ? std::string() : executable.filename().string()},
  };
}

}  // namespace

Bundle& Bundle::main() {
  static Bundle bundle;
  return bundle;
}

Bundle::Bundle() : info_(generatedInfo()) {}

std::string Bundle::bundleIdentifier() const {
  const auto value = objectForInfoDictionaryKey("CFBundleIdentifier");
  return value.isString() ? *value.stringValue() : std::string();
}

std::string Bundle::displayName() const {
  auto value = objectForInfoDictionaryKey("CFBundleDisplayName");
  if (!value.isString()) value = objectForInfoDictionaryKey("CFBundleName");
  return value.isString() ? *value.stringValue() : std::string();
}

std::string Bundle::shortVersion() const {
  const auto value = objectForInfoDictionaryKey("CFBundleShortVersionString");
  return value.isString() ? *value.stringValue() : std::string();
}

std::string Bundle::buildNumber() const {
  const auto value = objectForInfoDictionaryKey("CFBundleVersion");
  return value.isString() ? *value.stringValue() : std::string();
}

std::filesystem::path Bundle::executablePath() const {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : path;
}

std::filesystem::path Bundle::bundlePath() const { return executablePath().parent_path(); }

ValueMap Bundle::infoDictionary() const {
  std::lock_guard lock(mutex_);
  return info_;
}

Value Bundle::objectForInfoDictionaryKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const auto* value = info_.find(key);
  return value != nullptr ? *value : Value();
}

bool Bundle::boolForInfoDictionaryKey(std::string_view key, bool fallback) const {
  return objectForInfoDictionaryKey(key).boolValue().value_or(fallback);
}

void Bundle::setInfoValue(std::string_view key, Value value) {
  std::lock_guard lock(mutex_);
  if (value.isNull()) {
    info_.erase(key);
  } else {
    info_.set(std::string(key), std::move(value));
  }
}

void Bundle::resetInfoDictionary() {
  auto fresh = generatedInfo();
  std::lock_guard lock(mutex_);
  info_ = std::move(fresh);
}

}  // namespace vx
