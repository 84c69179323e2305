#include "app/service/Settings.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <mutex>

namespace Vexelworks {

namespace {

vx::UserDefaults& defaults() { return vx::UserDefaults::standard(); }

// Read-modify-write of the recent colours: two threads saving at once must not lose a colour.
std::mutex& recentColorsMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

std::string settingString(std::string_view key, std::string_view fallback) {
  auto value = defaults().objectForKey(key);
  if (value && value->isString()) return *value->stringValue();
  return std::string(fallback);
}

std::int64_t settingInt(std::string_view key, std::int64_t fallback) {
  auto value = defaults().objectForKey(key);
  if (!value) return fallback;
  if (auto integer = value->integerValue()) return *integer;
  if (value->isDouble()) {
    const double number = *value->doubleValue();
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    if (std::isfinite(number) && number == std::trunc(number) && number >= -9223372036854775808.0 &&
        number < 9223372036854775808.0) {
      return static_cast<std::int64_t>(number);
    }
  }
  return fallback;
}

bool settingBool(std::string_view key, bool fallback) {
  auto value = defaults().objectForKey(key);
  if (value) {
    if (auto flag = value->boolValue()) return *flag;
  }
  return fallback;
}

double settingDouble(std::string_view key, double fallback) {
  auto value = defaults().objectForKey(key);
  if (value) {
    if (auto number = value->doubleValue()) return *number;
  }
  return fallback;
}

std::vector<std::string> settingStrings(std::string_view key,
                                        const std::vector<std::string>& fallback) {
  auto value = defaults().objectForKey(key);
  if (!value || !value->isArray()) return fallback;
  std::vector<std::string> strings;
  for (const auto& element : *value->arrayValue()) {
    if (!element.isString()) return fallback;
    strings.push_back(*element.stringValue());
  }
  return strings;
}

void setSettingString(std::string_view key, std::string value) {
  defaults().setString(std::move(value), key);
}

void setSettingInt(std::string_view key, std::int64_t value) { defaults().setInteger(value, key); }

void setSettingBool(std::string_view key, bool value) { defaults().setBool(value, key); }

void setSettingDouble(std::string_view key, double value) { defaults().setDouble(value, key); }

void setSettingStrings(std::string_view key, const std::vector<std::string>& value) {
  vx::ValueArray array;
  array.reserve(value.size());
  for (const auto& text : value) array.emplace_back(text);
  defaults().setArray(std::move(array), key);
}

PasteboardType iconPasteboardType() {
  const auto raw = settingString(SettingKeys::iconPasteboardType,
                                 SettingFallbacks::iconPasteboardType);
  return pasteboardTypeFromRawValue(raw).value_or(PasteboardType::auto_);
}

void saveIconPasteboardType(PasteboardType type) {
  setSettingString(SettingKeys::iconPasteboardType, std::string(rawValue(type)));
}

void saveIconColors(const Color& color) {
  const std::string text = color.preferredHexString();
  if (text == "000000" || text == "FFFFFF") return;
  std::lock_guard lock(recentColorsMutex());
  auto colors = settingStrings(SettingKeys::iconColors, {});
  for (const auto& existing : colors) {
    if (existing == text) return;
  }
  // Keep room for the new one, however long a stored list has become.
  if (colors.size() >= kMaxRecentIconColors) colors.resize(kMaxRecentIconColors - 1);
  colors.insert(colors.begin(), text);
  setSettingStrings(SettingKeys::iconColors, colors);
}

std::vector<Color> recentIconColors() {
  std::vector<Color> colors;
  for (const auto& text : settingStrings(SettingKeys::iconColors, {})) {
    colors.push_back(Color::fromHex(text));
  }
  return colors;
}

void setStatusItemEnabled(bool enabled) {
  setSettingBool(SettingKeys::statusItemEnabled, enabled);
  vx::NotificationCenter::defaultCenter().post(kStatusItemEnabledDidChangeNotification);
}

std::int64_t buildNumber() {
  const vx::Value value = vx::Bundle::main().objectForInfoDictionaryKey("CFBundleVersion");
  const std::string* text = value.stringValue();
  if (text == nullptr) vx::fatalError("CFBundleVersion is missing or not text");
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), number, 10);
  if (text->empty() || error != std::errc() || end != text->data() + text->size() || number < 0) {
    vx::fatalError("CFBundleVersion is not a decimal number: " + *text);
  }
  return number;
}

}  // namespace Vexelworks
