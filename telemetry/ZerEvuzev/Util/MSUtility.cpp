#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/DateFormat.h"
#include "platform/foundation/JSONLimits.h"
#include "platform/foundation/StandardPaths.h"
#include "platform/foundation/UTF8.h"
#include "platform/security/Crypto.h"
#include "telemetry/ZerEvuzev/Util/MSJson.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"

#include <regex.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

// The SDK's name and version as a fixed record in its own data section, so that tools can read
// them from the binary without running it: one version byte, then three NUL-padded 32-byte
// texts (name, version, build).
struct MSSdkVersionRecord {
  std::uint8_t recordVersion;
  char name[32];
  char version[32];
  char build[32];
};
static_assert(sizeof(MSSdkVersionRecord) == 97);

__attribute__((section("__ms_ios"), used))
const MSSdkVersionRecord kMSSdkVersionRecord = {1, "zerevuzev.macos", "2.1.0", "1"};

namespace {

std::mutex& fileMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string fixedText(const char* field, std::size_t size) { return std::string(field, strnlen(field, size)); }

// A component that stays inside the SDK folder: relative and without "..".
std::optional<fs::path> resolve(std::string_view component) {
  if (component.empty()) return std::nullopt;
  const fs::path relative(component);
  if (relative.is_absolute() || relative.has_root_name()) return std::nullopt;
  for (const auto& element : relative) {
    if (element == "..") return std::nullopt;
  }
  return MSUtility::zerEvuzevDirectoryURL() / relative;
}

bool isValidUtf8(std::string_view text) { return vx::utf8::isValid(text); }

void replaceAll(std::string& text, std::string_view what, std::string_view with) {
  if (what.empty()) return;
  std::size_t at = 0;
  while ((at = text.find(what, at)) != std::string::npos) {
    text.replace(at, what.size(), with);
    at += with.size();
  }
}

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

}  // namespace

double MSUtility::nowInMilliseconds() {
  const auto since = vx::wallNow().time_since_epoch();
  return std::chrono::duration<double, std::milli>(since).count();
}

std::string MSUtility::dateToISO8601(vx::Date date) { return vx::DateFormat::iso8601(date, true); }

std::optional<vx::Date> MSUtility::dateFromISO8601(std::string_view text) { return vx::DateFormat::parseIso8601(text); }

std::string MSUtility::sdkName() { return fixedText(kMSSdkVersionRecord.name, sizeof kMSSdkVersionRecord.name); }

std::string MSUtility::sdkVersion() {
  return fixedText(kMSSdkVersionRecord.version, sizeof kMSSdkVersionRecord.version);
}

MSAppEnvironment MSUtility::currentAppEnvironment() { return MSAppEnvironment::Other; }

bool MSUtility::hasEmbeddedMobileProvision() {
  std::error_code error;
  return fs::exists(vx::Bundle::main().bundlePath() / "embedded.mobileprovision", error);
}

bool MSUtility::isAppStoreReceiptSandbox() { return false; }

fs::path MSUtility::zerEvuzevDirectoryURL() {
  static const fs::path directory = [] {
    // The application-support folder is made by StandardPaths (private mode for new folders).
    auto support = vx::StandardPaths::applicationSupportDirectory();
    fs::path path = (support ? support.value() : vx::StandardPaths::applicationSupportPath()) / kSdkFolderName;
    createDirectoryAtURL(path);
    return path;
  }();
  return directory;
}

std::optional<fs::path> MSUtility::createFileAtPathComponent(std::string_view component,
                                                             const std::optional<vx::Bytes>& data, bool atomically,
                                                             bool forceOverwrite) {
  const auto path = resolve(component);
  if (!path) return std::nullopt;
  std::lock_guard lock(fileMutex());
  std::error_code error;
  if (!forceOverwrite && fs::exists(*path, error)) return path;
  fs::create_directories(path->parent_path(), error);
  const vx::Bytes empty;
  const vx::Bytes& bytes = data ? *data : empty;
  const fs::path target = atomically ? fs::path(path->string() + ".tmp-" + std::to_string(getpid())) : *path;
  bool written = false;
  {
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (out) {
      out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
      out.flush();
      written = static_cast<bool>(out);
    }
  }
  if (written && atomically) {
    fs::rename(target, *path, error);
    written = !error;
  }
  if (!written) {
    if (atomically) fs::remove(target, error);
    MSLogError(kMSLogTag, "Couldn't create new file at path %s", path->c_str());
    return std::nullopt;
  }
  return path;
}

bool MSUtility::deleteItemForPathComponent(std::string_view component) {
  const auto path = resolve(component);
  if (!path) return false;
  return deleteFileAtURL(*path);
}

bool MSUtility::deleteFileAtURL(const fs::path& url) {
  if (url.empty()) return false;
  std::lock_guard lock(fileMutex());
  std::error_code error;
  const auto removed = fs::remove_all(url, error);
  if (error || removed == 0) {
    const std::string reason = error ? error.message() : "No such file or directory";
    MSLogDebug(kMSLogTag, "Couldn't remove item at %s: %s", url.c_str(), reason.c_str());
    return false;
  }
  return true;
}

std::optional<fs::path> MSUtility::createDirectoryForPathComponent(std::string_view component) {
  const auto path = resolve(component);
  if (!path) return std::nullopt;
  std::lock_guard lock(fileMutex());
  if (!createDirectoryAtURL(*path)) return std::nullopt;
  return path;
}

std::optional<vx::Bytes> MSUtility::loadDataForPathComponent(std::string_view component) {
  const auto path = resolve(component);
  if (!path) return std::nullopt;
  std::lock_guard lock(fileMutex());
  std::ifstream in(*path, std::ios::binary);
  if (!in) return std::nullopt;
  vx::Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

std::optional<std::vector<fs::path>> MSUtility::contentsOfDirectory(std::string_view component) {
  const auto path = resolve(component);
  if (!path) return std::nullopt;
  std::lock_guard lock(fileMutex());
  std::error_code error;
  std::vector<fs::path> entries;
  fs::directory_iterator it(*path, error);
  for (; !error && it != fs::directory_iterator(); it.increment(error)) entries.push_back(it->path());
  if (error) {
    const std::string text(component);
    MSLogDebug(kMSLogTag, "Couldn't get files in the directory \"%s\": %s", text.c_str(), error.message().c_str());
    return std::nullopt;
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

bool MSUtility::fileExistsForPathComponent(std::string_view component) {
  const auto path = resolve(component);
  std::error_code error;
  return path && fs::exists(*path, error);
}

std::optional<fs::path> MSUtility::fullURLForPathComponent(std::string_view component) { return resolve(component); }

bool MSUtility::createDirectoryAtURL(const fs::path& url) {
  if (url.empty()) return false;
  std::error_code error;
  fs::create_directories(url, error);
  if (error || !fs::is_directory(url)) {
    const std::string reason = error ? error.message() : "Not a directory";
    MSLogError(kMSLogTag, "Couldn't create directory at %s: %s", url.c_str(), reason.c_str());
    return false;
  }
  return disableBackupForDirectoryURL(url);
}

bool MSUtility::disableBackupForDirectoryURL(const fs::path& url) {
  std::error_code error;
  if (url.empty() || !fs::is_directory(url, error)) {
    MSLogError(kMSLogTag, "Error excluding %s from iCloud backup %s", url.c_str(),
               error ? error.message().c_str() : "Not a directory");
    return false;
  }
  return true;
}

MSApplicationState MSUtility::applicationState() {
  if (vx::Bundle::main().executablePath().string().find(".appex/") != std::string::npos) {
    return MSApplicationState::Extension;
  }
  return MSApplicationState::Active;
}

MSStringDictionary MSUtility::validateProperties(const vx::ValueMap& properties, const std::string& logName,
                                                 const std::string& type) {
  constexpr std::size_t kMaxProperties = 20;
  constexpr std::size_t kMaxLength = 125;
  MSStringDictionary result;
  for (const auto& property : properties) {
    // Named references, not a structured binding: the log macros capture them in a lambda.
    const auto& key = property.first;
    const auto& value = property.second;
    if (result.size() >= kMaxProperties) {
      MSLogWarning(kMSLogTag, "%s '%s' : properties cannot contain more than %d items. Skipping other properties.",
                   type.c_str(), logName.c_str(), static_cast<int>(kMaxProperties));
      break;
    }
    const std::string* text = value.stringValue();
    if (text == nullptr) continue;
    if (key.empty()) {
      MSLogWarning(kMSLogTag, "%s '%s' : a property key cannot be null or empty. Property will be skipped.",
                   type.c_str(), logName.c_str());
      continue;
    }
    std::string validKey = key;
    if (MSUtility::utf8Length(key) > kMaxLength) {
      MSLogWarning(kMSLogTag,
                   "%s '%s' : property %s : property key length cannot be longer than %d characters. "
                   "Property key will be truncated.",
                   type.c_str(), logName.c_str(), key.c_str(), static_cast<int>(kMaxLength));
      validKey = MSUtility::utf8Prefix(key, kMaxLength);
    }
    std::string validValue = *text;
    if (MSUtility::utf8Length(validValue) > kMaxLength) {
      MSLogWarning(kMSLogTag,
                   "%s '%s' : property '%s' : property value cannot be longer than %d characters. "
                   "Property value will be truncated.",
                   type.c_str(), logName.c_str(), validKey.c_str(), static_cast<int>(kMaxLength));
      validValue = MSUtility::utf8Prefix(validValue, kMaxLength);
    }
    result[validKey] = std::move(validValue);
  }
  return result;
}

std::string MSUtility::sha256(std::string_view text) { return vx::sha256Hex(text); }

std::optional<std::string> MSUtility::appSecretFrom(std::string_view credentials) {
  for (std::string part : split(credentials, ';')) {
    if (part.find("target=") != std::string::npos) continue;
    replaceAll(part, "appsecret=", "");
    if (!part.empty()) return part;
  }
  return std::nullopt;
}

std::optional<std::string> MSUtility::transmissionTargetTokenFrom(std::string_view credentials) {
  for (std::string part : split(credentials, ';')) {
    if (part.find("target=") == std::string::npos) continue;
    replaceAll(part, "target=", "");
    if (!part.empty()) return part;
  }
  return std::nullopt;
}

std::optional<std::string> MSUtility::targetKeyFromTargetToken(std::string_view token) {
  const std::string_view key = token.substr(0, token.find('-'));
  if (key.empty()) return std::nullopt;
  return std::string(key);
}

std::optional<std::string> MSUtility::iKeyFromTargetToken(std::string_view token) {
  const auto key = targetKeyFromTargetToken(token);
  if (!key) return std::nullopt;
  return "o:" + *key;
}

std::optional<std::string> MSUtility::prettyPrintJson(const std::optional<vx::Bytes>& data) {
  if (!data) return std::nullopt;
  return prettyPrintJson(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
}

std::optional<std::string> MSUtility::prettyPrintJson(std::string_view text) {
  // A reply nested deeper than any real one is printed as received: parsing and writing it
  // would recurse once per level.
  if (!vx::jsonNestingWithin(text)) {
    MSLogWarning(kMSLogTag, "JSON nests deeper than %zu levels; printed as received", vx::kMaxJSONNesting);
    if (!isValidUtf8(text)) return std::nullopt;
    return std::string(text);
  }
  const MSJson json = MSJson::parse(text, nullptr, false);
  if (json.is_discarded()) {
    if (!isValidUtf8(text)) return std::nullopt;
    return std::string(text);
  }
  auto pretty = MSJsonWriter::write(json, true);
  if (pretty) return std::move(pretty.value());
  if (!isValidUtf8(text)) return std::nullopt;
  return std::string(text);
}

std::optional<std::string> MSUtility::obfuscateString(const std::optional<std::string>& text,
                                                      const std::string& pattern, const std::string& replacement) {
  if (!text) return std::nullopt;
  regex_t regex;
  const int status = regcomp(&regex, pattern.c_str(), REG_EXTENDED | REG_ICASE);
  if (status != 0) {
    char reason[256];
    regerror(status, &regex, reason, sizeof reason);
    MSLogError(kMSLogTag, "Couldn't create regular expression with pattern\"%s\": %s", pattern.c_str(), reason);
    return std::nullopt;
  }
  std::string result;
  const std::string& input = *text;
  std::size_t offset = 0;
  regmatch_t groups[10];
  while (offset <= input.size()) {
    const int flags = offset > 0 ? REG_NOTBOL : 0;
    if (regexec(&regex, input.c_str() + offset, 10, groups, flags) != 0) break;
    const auto start = static_cast<std::size_t>(groups[0].rm_so);
    const auto end = static_cast<std::size_t>(groups[0].rm_eo);
    result.append(input, offset, start);
    for (std::size_t i = 0; i < replacement.size(); ++i) {
      const char c = replacement[i];
      if (c == '\\' && i + 1 < replacement.size()) {
        result += replacement[++i];
      } else if (c == '$' && i + 1 < replacement.size() && replacement[i + 1] >= '0' && replacement[i + 1] <= '9') {
        const int group = replacement[++i] - '0';
        if (groups[group].rm_so >= 0) {
          result.append(input, offset + static_cast<std::size_t>(groups[group].rm_so),
                        static_cast<std::size_t>(groups[group].rm_eo - groups[group].rm_so));
        }
      } else {
        result += c;
      }
    }
    if (end == start) {
      // An empty match: keep the next character and move on, so the loop always advances.
      if (offset + end < input.size()) result += input[offset + end];
      offset += end + 1;
    } else {
      offset += end;
    }
  }
  if (offset < input.size()) result.append(input, offset, std::string::npos);
  regfree(&regex);
  return result;
}

std::size_t MSUtility::utf8Length(std::string_view text) {
  std::size_t count = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++count;
  }
  return count;
}

std::string MSUtility::utf8Prefix(const std::string& text, std::size_t characters) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (count == characters) return text.substr(0, i);
      ++count;
    }
  }
  return text;
}
