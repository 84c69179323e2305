#include "app/service/Settings.h"

#include "app/service/Logger.h"
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

// A stored value as T, or std::nullopt when it has another type. An integer also comes from a
// double that holds a whole number in range; a double also from an integer; booleans and numbers
// never stand in for each other; a list wants every element to be text.
template <class T>
std::optional<T> storedAs(const vx::Value& value);

template <>
std::optional<std::string> storedAs(const vx::Value& value) {
  if (const std::string* text = value.stringValue()) return *text;
  return std::nullopt;
}

template <>
std::optional<std::int64_t> storedAs(const vx::Value& value) {
  if (auto integer = value.integerValue()) return *integer;
  if (value.isDouble()) {
    const double number = *value.doubleValue();
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    if (std::isfinite(number) && number == std::trunc(number) && number >= -9223372036854775808.0 &&
        number < 9223372036854775808.0) {
      return static_cast<std::int64_t>(number);
    }
  }
  return std::nullopt;
}

template <>
std::optional<bool> storedAs(const vx::Value& value) {
  return value.boolValue();
}

template <>
std::optional<double> storedAs(const vx::Value& value) {
  return value.doubleValue();
}

template <>
std::optional<std::vector<std::string>> storedAs(const vx::Value& value) {
  const vx::ValueArray* array = value.arrayValue();
  if (array == nullptr) return std::nullopt;
  std::vector<std::string> strings;
  strings.reserve(array->size());
  for (const auto& element : *array) {
    const std::string* text = element.stringValue();
    if (text == nullptr) return std::nullopt;
    strings.push_back(*text);
  }
  return strings;
}

// The stored value of the key as T, or std::nullopt when nothing usable is stored.
template <class T>
std::optional<T> stored(std::string_view key) {
  auto value = defaults().objectForKey(key);
  if (!value) return std::nullopt;
  return storedAs<T>(*value);
}

void store(std::string_view key, const std::string& value) { defaults().setString(value, key); }
void store(std::string_view key, std::int64_t value) { defaults().setInteger(value, key); }
void store(std::string_view key, bool value) { defaults().setBool(value, key); }
void store(std::string_view key, double value) { defaults().setDouble(value, key); }
void store(std::string_view key, const std::vector<std::string>& value) {
  vx::ValueArray array;
  array.reserve(value.size());
  for (const auto& text : value) array.emplace_back(text);
  defaults().setArray(std::move(array), key);
}

}  // namespace

bool isStoredPasteboardType(const std::string& text) {
  return text == SettingTable::iconPasteboardType.fallback || pasteboardTypeFromRawValue(text).has_value();
}

bool isExportSizeInPixels(const std::int64_t& pixels) { return pixels > 0; }

bool isFiniteNumber(const double& number) { return std::isfinite(number); }

template <class T>
T setting(const Setting<T>& row) {
  auto value = defaults().objectForKey(row.key);
  if (!value) return row.defaultValue();
  auto typed = storedAs<T>(*value);
  if (!typed) {
    VX_LOG("WARN", std::string("Setting \"") + row.key + "\" holds a value of another type; using its default.");
    return row.defaultValue();
  }
  if (row.check != nullptr && !row.check(*typed)) {
    VX_LOG("WARN", std::string("Setting \"") + row.key + "\" holds a value that is not allowed; using its default.");
    return row.defaultValue();
  }
  return std::move(*typed);
}

template <class T>
void setSetting(const Setting<T>& row, const T& value) {
  store(row.key, value);
}

template std::string setting(const Setting<std::string>&);
template std::int64_t setting(const Setting<std::int64_t>&);
template bool setting(const Setting<bool>&);
template double setting(const Setting<double>&);
template std::vector<std::string> setting(const Setting<std::vector<std::string>>&);
template void setSetting(const Setting<std::string>&, const std::string&);
template void setSetting(const Setting<std::int64_t>&, const std::int64_t&);
template void setSetting(const Setting<bool>&, const bool&);
template void setSetting(const Setting<double>&, const double&);
template void setSetting(const Setting<std::vector<std::string>>&, const std::vector<std::string>&);

std::string settingString(std::string_view key, std::string_view fallback) {
  return stored<std::string>(key).value_or(std::string(fallback));
}

std::int64_t settingInt(std::string_view key, std::int64_t fallback) {
  return stored<std::int64_t>(key).value_or(fallback);
}

bool settingBool(std::string_view key, bool fallback) { return stored<bool>(key).value_or(fallback); }

double settingDouble(std::string_view key, double fallback) { return stored<double>(key).value_or(fallback); }

std::vector<std::string> settingStrings(std::string_view key, const std::vector<std::string>& fallback) {
  auto strings = stored<std::vector<std::string>>(key);
  // Not a conditional expression: its const operand would make the move a copy.
  if (strings) return std::move(*strings);
  return fallback;
}

void setSettingString(std::string_view key, std::string value) { store(key, value); }

void setSettingInt(std::string_view key, std::int64_t value) { store(key, value); }

void setSettingBool(std::string_view key, bool value) { store(key, value); }

void setSettingDouble(std::string_view key, double value) { store(key, value); }

void setSettingStrings(std::string_view key, const std::vector<std::string>& value) { store(key, value); }

PasteboardType iconPasteboardType() {
  return pasteboardTypeFromRawValue(setting(SettingTable::iconPasteboardType)).value_or(PasteboardType::auto_);
}

void saveIconPasteboardType(PasteboardType type) {
  setSetting(SettingTable::iconPasteboardType, std::string(rawValue(type)));
}

void saveIconColors(const Color& color) {
  const std::string text = color.preferredHexString();
  if (text == "000000" || text == "FFFFFF") return;
  std::lock_guard lock(recentColorsMutex());
  auto colors = setting(SettingTable::iconColors);
  for (const auto& existing : colors) {
    if (existing == text) return;
  }
  // Keep room for the new one, however long a stored list has become.
  if (colors.size() >= kMaxRecentIconColors) colors.resize(kMaxRecentIconColors - 1);
  colors.insert(colors.begin(), text);
  setSetting(SettingTable::iconColors, colors);
}

std::vector<Color> recentIconColors() {
  std::vector<Color> colors;
  for (const auto& text : setting(SettingTable::iconColors)) {
    colors.push_back(Color::fromHex(text));
  }
  return colors;
}

void setStatusItemEnabled(bool enabled) {
  setSetting(SettingTable::statusItemEnabled, enabled);
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
