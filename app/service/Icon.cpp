#include "app/service/Icon.h"

#include "app/service/Helpers.h"
#include "app/service/ServiceConfig.h"

#include <clocale>
#include <cwctype>
#include <locale.h>
#include <optional>

namespace Vexelworks {

namespace {

const nlohmann::json* objectMember(const nlohmann::json& json, const char* key) {
  if (!json.is_object()) return nullptr;
  auto it = json.find(key);
  if (it == json.end() || !it->is_object()) return nullptr;
  return &*it;
}

// Case mapping beyond ASCII needs a UTF-8 character-type locale; C.UTF-8 is always present on
// the systems we run on. Without it, ASCII letters are still mapped.
locale_t utf8Locale() {
  static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return locale;
}

// Decodes one UTF-8 sequence at `i`; std::nullopt for a malformed one.
std::optional<char32_t> decodeUTF8(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char first = byte(i);
  std::size_t length = 0;
  char32_t cp = 0;
  if (first < 0x80) {
    ++i;
    return first;
  } else if ((first & 0xE0) == 0xC0) {
    length = 2;
    cp = first & 0x1F;
  } else if ((first & 0xF0) == 0xE0) {
    length = 3;
    cp = first & 0x0F;
  } else if ((first & 0xF8) == 0xF0) {
    length = 4;
    cp = first & 0x07;
  } else {
    return std::nullopt;
  }
  if (i + length > text.size()) return std::nullopt;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return std::nullopt;
  }
  i += length;
  return cp;
}

void appendUTF8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

char32_t mapCase(char32_t cp, bool upper) {
  if (cp < 0x80) {
    if (upper && cp >= 'a' && cp <= 'z') return cp - 'a' + 'A';
    if (!upper && cp >= 'A' && cp <= 'Z') return cp - 'A' + 'a';
    return cp;
  }
  locale_t locale = utf8Locale();
  if (locale == static_cast<locale_t>(0)) return cp;
  const auto wide = static_cast<wint_t>(cp);
  return static_cast<char32_t>(upper ? towupper_l(wide, locale) : towlower_l(wide, locale));
}

bool isWordCharacter(char32_t cp) {
  if (cp == '\'' || cp == U'\u2019') return true;  // "don't" is one word
  if (cp < 0x80) {
    return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') || (cp >= '0' && cp <= '9');
  }
  locale_t locale = utf8Locale();
  if (locale == static_cast<locale_t>(0)) return true;
  return iswalnum_l(static_cast<wint_t>(cp), locale) != 0;
}

}  // namespace

std::string capitalized(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool atWordStart = true;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t start = i;
    auto cp = decodeUTF8(text, i);
    if (!cp) {
      // Malformed bytes pass through unchanged and end the word.
      out += text[start];
      i = start + 1;
      atWordStart = true;
      continue;
    }
    if (isWordCharacter(*cp)) {
      appendUTF8(out, mapCase(*cp, atWordStart));
      atWordStart = false;
    } else {
      appendUTF8(out, *cp);
      atWordStart = true;
    }
  }
  return out;
}

std::shared_ptr<const Creator> Creator::make(std::string id, const nlohmann::json& json) {
  auto name = textMember(json, "name");
  auto username = textMember(json, "username");
  auto location = textMember(json, "location");
  auto permalink = textMember(json, "permalink");
  if (!name || !username || !location || !permalink) return nullptr;
  return std::make_shared<const Creator>(
      Creator{std::move(id), std::move(*name), std::move(*username), std::move(*location), std::move(*permalink)});
}

std::shared_ptr<const Creator> Creator::defaultCreator() {
  return std::make_shared<const Creator>(Creator{std::string(kDefaultId), std::string(kDefaultName),
                                                 std::string(kDefaultUsername), std::string(),
                                                 "/" + std::string(kDefaultUsername)});
}

std::shared_ptr<const Collection> Collection::make(const nlohmann::json& json) {
  auto id = textMember(json, "id");
  auto name = textMember(json, "name");
  if (!id || !name) return nullptr;
  return std::make_shared<const Collection>(Collection{std::move(*id), std::move(*name)});
}

std::shared_ptr<const Icon> Icon::make(const nlohmann::json& json) { return make(json, webBaseURL()); }

std::shared_ptr<const Icon> Icon::make(const nlohmann::json& json, const vx::URL& webBase) {
  auto id = textMember(json, "id");
  auto termSlug = textMember(json, "term_slug");
  auto term = textMember(json, "term");
  if (!id || !termSlug || !term) return nullptr;

  auto iconURLText = textMember(json, "icon_url");
  if (!iconURLText) return nullptr;
  auto svgURL = vx::URL::parse(*iconURLText);
  if (!svgURL) return nullptr;

  auto permalink = textMember(json, "permalink");
  if (!permalink) return nullptr;
  auto pageURL = vx::URL::parse(vx::URL::percentEncode(*permalink, vx::PercentEncoding::Path), webBase);
  if (!pageURL) return nullptr;

  auto uploaderId = textMember(json, "uploader_id");
  const nlohmann::json* uploader = objectMember(json, "uploader");
  if (!uploaderId || uploader == nullptr) return nullptr;
  auto creator = Creator::make(*uploaderId, *uploader);
  if (!creator) creator = Creator::defaultCreator();

  std::shared_ptr<const Collection> collection;
  if (auto it = json.find("collection"); it != json.end() && it->is_array() && !it->empty()) {
    collection = Collection::make(it->front());
  }

  return std::make_shared<const Icon>(Icon{std::move(*id), std::move(*termSlug), capitalized(*term), std::move(*svgURL),
                                           std::move(*pageURL), std::move(creator), std::move(collection)});
}

std::string Icon::title() const {
  if (!creator || creator->name.empty()) return name;
  return name + " by " + creator->name;
}

}  // namespace Vexelworks
