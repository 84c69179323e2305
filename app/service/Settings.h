// The application's user settings: typed readers with fallbacks and the few writers, over the
// standard user defaults. This table is the one list of the application's own keys:
//
//   key                   type              fallback   meaning
//   "IconPasteboardType"  text              "auto"     export file type, a PasteboardType raw
//                                                      value; any other text means auto
//   "IconExportSize"      integer (pixels)  300        export size
//   "IconColors"          list of text      []         recent colours: at most 5 hex texts
//                                                      (6 or 8 upper-case digits), newest
//                                                      first, no repeats, never black or white
//   "StatusItemEnabled"   bool              false      status-item switch
//   "DebugEnabled"        bool              false      Debug menu
//   "FirstLogin"          bool              true       first sign-in still ahead
//   "TimeOffset"          double            0          the signer's clock offset
//   "ClientId"            text              made once  installation identifier (Helpers.h)
//
// A stored value of another type than the reader wants reads as the fallback, silently.
// Every function may be called from any thread.
#pragma once

#include "app/service/Color.h"
#include "app/service/ExportSettings.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Vexelworks {

namespace SettingKeys {
inline constexpr const char* iconPasteboardType = "IconPasteboardType";
inline constexpr const char* iconExportSize = "IconExportSize";
inline constexpr const char* iconColors = "IconColors";
inline constexpr const char* statusItemEnabled = "StatusItemEnabled";
inline constexpr const char* debugEnabled = "DebugEnabled";
inline constexpr const char* firstLogin = "FirstLogin";
inline constexpr const char* timeOffset = "TimeOffset";
}  // namespace SettingKeys

namespace SettingFallbacks {
inline constexpr const char* iconPasteboardType = "auto";
inline constexpr std::int64_t iconExportSize = 300;
inline constexpr bool statusItemEnabled = false;
inline constexpr bool debugEnabled = false;
inline constexpr bool firstLogin = true;
inline constexpr double timeOffset = 0;
}  // namespace SettingFallbacks

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
std::vector<std::string> settingStrings(std::string_view key,
                                        const std::vector<std::string>& fallback);

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
