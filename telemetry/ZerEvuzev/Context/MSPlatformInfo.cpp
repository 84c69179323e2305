#include "telemetry/ZerEvuzev/Context/MSPlatformInfo.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/HostInfo.h"

#include <cctype>
#include <cstdlib>
#include <ctime>

namespace {

std::optional<std::string> nonEmpty(std::string text) {
  if (text.empty()) return std::nullopt;
  return text;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

bool allOf(const std::string& text, int (*test)(int)) {
  for (unsigned char c : text) {
    if (test(c) == 0) return false;
  }
  return !text.empty();
}

// glibc names scripts by modifier ("sr_RS@latin").
std::string scriptFromModifier(const std::string& modifier) {
  if (modifier == "latin") return "Latn";
  if (modifier == "cyrillic") return "Cyrl";
  if (modifier == "devanagari") return "Deva";
  return {};
}

}  // namespace

std::optional<MSLocaleParts> MSParseLocale(const std::string& name) {
  std::string base = name;
  std::string modifier;
  if (const auto at = base.find('@'); at != std::string::npos) {
    modifier = base.substr(at + 1);
    base.erase(at);
  }
  if (const auto dot = base.find('.'); dot != std::string::npos) base.erase(dot);
  if (base.empty() || base == "C" || base == "POSIX") return std::nullopt;

  std::vector<std::string> parts;
  std::string part;
  for (char c : base) {
    if (c == '_' || c == '-') {
      parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  parts.push_back(part);

  MSLocaleParts locale;
  const std::string& language = parts[0];
  if (language.size() < 2 || language.size() > 3 || !allOf(language, isalpha)) return std::nullopt;
  for (char c : language) locale.language += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::string& piece = parts[i];
    if (piece.size() == 4 && allOf(piece, isalpha) && locale.script.empty() && locale.country.empty()) {
      locale.script = static_cast<char>(std::toupper(static_cast<unsigned char>(piece[0])));
      for (std::size_t k = 1; k < 4; ++k)
        locale.script += static_cast<char>(std::tolower(static_cast<unsigned char>(piece[k])));
    } else if (((piece.size() == 2 && allOf(piece, isalpha)) || (piece.size() == 3 && allOf(piece, isdigit))) &&
               locale.country.empty()) {
      for (char c : piece) locale.country += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  if (locale.script.empty()) locale.script = scriptFromModifier(modifier);
  return locale;
}

std::optional<std::string> MSLinuxPlatformInfo::deviceModel() const { return vx::HostInfo::model(); }

std::optional<std::string> MSLinuxPlatformInfo::oemName() const { return vx::HostInfo::vendor(); }

std::optional<std::string> MSLinuxPlatformInfo::osName() const { return nonEmpty(vx::HostInfo::osName()); }

std::optional<std::string> MSLinuxPlatformInfo::osVersion() const {
  if (auto version = nonEmpty(vx::HostInfo::osVersionText())) return version;
  return nonEmpty(vx::HostInfo::kernelRelease());
}

std::optional<std::string> MSLinuxPlatformInfo::osBuild() const { return nonEmpty(vx::HostInfo::kernelRelease()); }

std::vector<std::string> MSLinuxPlatformInfo::preferredLanguages() const {
  std::vector<std::string> languages;
  const std::string list = environment("LANGUAGE");
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = list.find(':', start);
    std::string entry = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!entry.empty()) languages.push_back(std::move(entry));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return languages;
}

std::string MSLinuxPlatformInfo::currentLocale() const {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    std::string value = environment(name);
    if (!value.empty()) return value;
  }
  return {};
}

long MSLinuxPlatformInfo::timeZoneOffsetSeconds() const {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}

std::optional<std::string> MSLinuxPlatformInfo::appVersion() const {
  return nonEmpty(vx::Bundle::main().shortVersion());
}

std::optional<std::string> MSLinuxPlatformInfo::appBuild() const { return nonEmpty(vx::Bundle::main().buildNumber()); }

std::optional<std::string> MSLinuxPlatformInfo::appNamespace() const {
  return nonEmpty(vx::Bundle::main().bundleIdentifier());
}
