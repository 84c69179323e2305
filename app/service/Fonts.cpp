#include "app/service/Fonts.h"

#include <cstdlib>
#include <map>
#include <mutex>

#if VX_HAVE_FONTCONFIG
#include <fontconfig/fontconfig.h>
#endif

namespace Vexelworks {

namespace {

constexpr const char* kLastResortFamily = "sans-serif";

// fontconfig's configuration is loaded once; calls into it are serialised because matching
// may rescan the configuration.
std::mutex& fontconfigMutex() {
  static std::mutex mutex;
  return mutex;
}

#if VX_HAVE_FONTCONFIG
// A configuration of our own, loaded on first use and released when the process ends (so leak
// checkers see it freed); the default configuration belongs to the toolkit, which may be using
// it at the same time and is left alone. Called with fontconfigMutex() held; nullptr when it
// cannot be loaded or has been released.
FcConfig*& configSlot() {
  static FcConfig* slot = nullptr;
  return slot;
}

FcConfig* config() {
  static const bool loaded = [] {
    configSlot() = FcInitLoadConfigAndFonts();
    std::atexit([] {
      std::lock_guard lock(fontconfigMutex());
      if (configSlot() != nullptr) FcConfigDestroy(configSlot());
      configSlot() = nullptr;
    });
    return true;
  }();
  (void)loaded;
  return configSlot();
}

std::string matchFamily(std::string_view family) {
  FcConfig* fc = config();
  if (fc == nullptr) return {};
  FcPattern* pattern = FcPatternCreate();
  if (pattern == nullptr) return {};
  const std::string name(family);
  FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(name.c_str()));
  FcConfigSubstitute(fc, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(fc, pattern, &result);
  std::string matched;
  if (match != nullptr) {
    FcChar8* text = nullptr;
    if (FcPatternGetString(match, FC_FAMILY, 0, &text) == FcResultMatch && text != nullptr) {
      matched = reinterpret_cast<const char*>(text);
    }
    FcPatternDestroy(match);
  }
  FcPatternDestroy(pattern);
  return matched;
}

bool installed(std::string_view family) {
  FcConfig* fc = config();
  if (fc == nullptr || family.empty()) return false;
  const std::string name(family);
  FcPattern* pattern = FcPatternCreate();
  if (pattern == nullptr) return false;
  FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(name.c_str()));
  FcObjectSet* objects = FcObjectSetBuild(FC_FAMILY, nullptr);
  FcFontSet* fonts = objects != nullptr ? FcFontList(fc, pattern, objects) : nullptr;
  const bool found = fonts != nullptr && fonts->nfont > 0;
  if (fonts != nullptr) FcFontSetDestroy(fonts);
  if (objects != nullptr) FcObjectSetDestroy(objects);
  FcPatternDestroy(pattern);
  return found;
}
#else
std::string matchFamily(std::string_view) { return {}; }
bool installed(std::string_view) { return false; }
#endif

}  // namespace

bool isFontFamilyInstalled(std::string_view family) {
  std::lock_guard lock(fontconfigMutex());
  return installed(family);
}

std::string resolveFontFamily(std::string_view family) {
  std::lock_guard lock(fontconfigMutex());
  if (installed(family)) return std::string(family);
  std::string matched = matchFamily(family.empty() ? std::string_view(kLastResortFamily) : family);
  return matched.empty() ? std::string(kLastResortFamily) : matched;
}

std::string FontDescription::resolvedFamily() const {
  static std::mutex mutex;
  static std::map<std::string, std::string> cache;
  {
    std::lock_guard lock(mutex);
    if (auto it = cache.find(family); it != cache.end()) return it->second;
  }
  std::string resolved = resolveFontFamily(family.empty() ? kLastResortFamily : family);
  std::lock_guard lock(mutex);
  return cache.emplace(family, std::move(resolved)).first->second;
}

namespace Fonts {

const FontDescription& titleFont() {
  static const FontDescription font{"Helvetica Neue", "", 400, 18};
  return font;
}

const FontDescription& buttonFont() {
  static const FontDescription font{"Helvetica Neue", "Medium", 500, 14};
  return font;
}

const FontDescription& popupFont() {
  static const FontDescription font{"", "", 400, 12};
  return font;
}

}  // namespace Fonts

}  // namespace Vexelworks
