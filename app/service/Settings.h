// The application's user settings: typed readers with fallbacks and the few writers, over the
// standard user defaults. SettingTable below is the one list of the application's own keys, each
// with its type, default and the check a stored value must pass:
//
//   key                   type              default    check / meaning
//   "IconPasteboardType"  text              "auto"     a PasteboardType raw value or "auto";
//                                                      export file type
//   "IconExportSize"      integer (pixels)  300        above zero; export size
//   "IconColors"          list of text      []         recent colours: at most 5 hex texts
//                                                      (6 or 8 upper-case digits), newest
//                                                      first, no repeats, never black or white
//   "StatusItemEnabled"   bool              false      status-item switch
//   "DebugEnabled"        bool              false      Debug menu
//   "FirstLogin"          bool              true       first sign-in still ahead
//   "TimeOffset"          double            0          finite; the signer's clock offset
//   "ClientId"            text              made once  installation identifier (Helpers.h)
//
// setting(row) reads a row: a stored value of another type, or one its check refuses, reads as
// the default after a warning in the log. The key readers (settingInt(key, fallback) ...) read
// any key with the caller's fallback and stay silent. Every function may be called from any
// thread.
#pragma once

#include "app/service/Color.h"
#include "app/service/ExportSettings.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace Vexelworks {

// The constant form of a default: text as a C string, a list of text as a span of them.
template <class T>
struct SettingDefault {
  using Type = T;
};
template <>
struct SettingDefault<std::string> {
  using Type = const char*;
};
template <>
struct SettingDefault<std::vector<std::string>> {
  using Type = std::span<const char* const>;
};

// One row of the settings table. T is std::string, std::int64_t, bool, double or
// std::vector<std::string>; `check` is nullptr when any value of the type will do.
template <class T>
struct Setting {
  const char* key;
  typename SettingDefault<T>::Type fallback;
  bool (*check)(const T& value) = nullptr;

  T defaultValue() const {
    if constexpr (std::is_same_v<T, std::vector<std::string>>) {
      return T(fallback.begin(), fallback.end());
    } else {
      return T(fallback);
    }
  }
};

// The checks of the table's rows.
bool isStoredPasteboardType(const std::string& text);
bool isExportSizeInPixels(const std::int64_t& pixels);
bool isFiniteNumber(const double& number);

namespace SettingTable {
inline constexpr Setting<std::string> iconPasteboardType{"IconPasteboardType", "auto", &isStoredPasteboardType};
inline constexpr Setting<std::int64_t> iconExportSize{"IconExportSize", 300, &isExportSizeInPixels};
inline constexpr Setting<std::vector<std::string>> iconColors{"IconColors", {}};
inline constexpr Setting<bool> statusItemEnabled{"StatusItemEnabled", false};
inline constexpr Setting<bool> debugEnabled{"DebugEnabled", false};
inline constexpr Setting<bool> firstLogin{"FirstLogin", true};
inline constexpr Setting<double> timeOffset{"TimeOffset", 0, &isFiniteNumber};
}  // namespace SettingTable

// The keys and defaults of the table under the names callers use with the key readers.
namespace SettingKeys {
inline constexpr const char* iconPasteboardType = SettingTable::iconPasteboardType.key;
inline constexpr const char* iconExportSize = SettingTable::iconExportSize.key;
inline constexpr const char* iconColors = SettingTable::iconColors.key;
inline constexpr const char* statusItemEnabled = SettingTable::statusItemEnabled.key;
inline constexpr const char* debugEnabled = SettingTable::debugEnabled.key;
inline constexpr const char* firstLogin = SettingTable::firstLogin.key;
inline constexpr const char* timeOffset = SettingTable::timeOffset.key;
}  // namespace SettingKeys

namespace SettingFallbacks {
inline constexpr const char* iconPasteboardType = SettingTable::iconPasteboardType.fallback;
inline constexpr std::int64_t iconExportSize = SettingTable::iconExportSize.fallback;
inline constexpr bool statusItemEnabled = SettingTable::statusItemEnabled.fallback;
inline constexpr bool debugEnabled = SettingTable::debugEnabled.fallback;
inline constexpr bool firstLogin = SettingTable::firstLogin.fallback;
inline constexpr double timeOffset = SettingTable::timeOffset.fallback;
}  // namespace SettingFallbacks

// The row's stored value when it has the row's type and passes its check; otherwise the default,
// with a "WARN" line naming the key when something unusable was stored.
template <class T>
T setting(const Setting<T>& row);
// Stores the value under the row's key (written to disk before it returns).
template <class T>
void setSetting(const Setting<T>& row, const T& value);

// Posted on the default notification centre, with no object, after "StatusItemEnabled" changed.
inline constexpr const char* kStatusItemEnabledDidChangeNotification = "StatusItemEnabledDidChange";

// The most recent colours kept.
inline constexpr std::size_t kMaxRecentIconColors = 5;

// Readers: the stored value when it exists and has the wanted type, else the fallback.
// An integer reader also takes a double that holds a whole number in range; a double reader
// also takes an integer; booleans and numbers never stand in for each other; a list reader
// wants every element to be text.
std::string settingString(std::string_view key, std::string_view fallback);
std::int64_t settingInt(std::string_view key, std::int64_t fallback);
bool settingBool(std::string_view key, bool fallback);
double settingDouble(std::string_view key, double fallback);
std::vector<std::string> settingStrings(std::string_view key, const std::vector<std::string>& fallback);

// Writers of the same kinds (written to disk before they return).
void setSettingString(std::string_view key, std::string value);
void setSettingInt(std::string_view key, std::int64_t value);
void setSettingBool(std::string_view key, bool value);
void setSettingDouble(std::string_view key, double value);
void setSettingStrings(std::string_view key, const std::vector<std::string>& value);

// The stored export file type ("IconPasteboardType"); auto for anything unknown.
PasteboardType iconPasteboardType();
// Writes "Auto", "SVG", "PDF" or "PNG".
void saveIconPasteboardType(PasteboardType type);

// Puts the colour's hex text (six digits when opaque, eight with alpha first otherwise) at the
// front of "IconColors". A text already in the list changes nothing; black and white are never
// kept; beyond five entries the oldest go.
void saveIconColors(const Color& color);
// The recent colours, newest first, each opaque (an eight-digit text gives its red, green and
// blue at alpha 1).
std::vector<Color> recentIconColors();

// Writes "StatusItemEnabled", then posts "StatusItemEnabledDidChange".
void setStatusItemEnabled(bool enabled);

// The running application's build number ("CFBundleVersion") as a decimal integer. A missing
// or non-decimal value is a broken build: it stops the program.
std::int64_t buildNumber();

}  // namespace Vexelworks
