// Helpers the whole telemetry SDK shares: ISO 8601 dates and time, the SDK's name and version,
// environment probes, the SDK's private folder and its file operations, the application state,
// property validation and string operations (credentials parsing, hashing, JSON pretty printing,
// masking of secrets in log text). Every operation is safe from any thread.
#pragma once

#include "platform/foundation/Value.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using MSStringDictionary = std::map<std::string, std::string>;

// What the SDK assumes of the environment it runs in; always Other on this platform.
enum class MSAppEnvironment : int { AppStore = 0, TestFlight = 1, Other = 99 };

// 0 active, 2 hidden or in the background, 3 running as an application extension.
enum class MSApplicationState : int { Active = 0, Inactive = 1, Background = 2, Extension = 3 };

class MSUtility {
 public:
  MSUtility() = delete;

  // ---- Date ----
  // Milliseconds since 1970 of the current (injectable) wall clock.
  static double nowInMilliseconds();
  // "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC.
  static std::string dateToISO8601(vx::Date date);
  // The date of such a text; std::nullopt when it does not parse.
  static std::optional<vx::Date> dateFromISO8601(std::string_view text);

  // ---- SDK name and version, from the version record kept in the "__ms_ios" data section ----
  static std::string sdkName();
  static std::string sdkVersion();

  // ---- Environment ----
  static MSAppEnvironment currentAppEnvironment();
  // Whether the application folder holds an "embedded.mobileprovision" resource.
  static bool hasEmbeddedMobileProvision();
  // Store receipts do not exist on this platform: always false.
  static bool isAppStoreReceiptSandbox();

  // ---- Files, relative to the SDK folder ----
  // A path component is relative: absolute paths and ".." elements are refused (the operation
  // then fails as for a missing component), so no caller can reach outside the SDK folder.
  //
  // <application support>/<SDK folder name>, made (once per process) on first use.
  static std::filesystem::path zerEvuzevDirectoryURL();
  static constexpr const char* kSdkFolderName = "com.revererav.zerevuzev";
  // The file's path, or std::nullopt (with an error line) when it could not be written. Without
  // `forceOverwrite` an existing file is left as it is and its path returned.
  static std::optional<std::filesystem::path> createFileAtPathComponent(std::string_view component,
                                                                        const std::optional<vx::Bytes>& data,
                                                                        bool atomically, bool forceOverwrite);
  // Removes a file or a folder with its content; false (debug line) on failure.
  static bool deleteItemForPathComponent(std::string_view component);
  static bool deleteFileAtURL(const std::filesystem::path& url);
  static std::optional<std::filesystem::path> createDirectoryForPathComponent(std::string_view component);
  static std::optional<vx::Bytes> loadDataForPathComponent(std::string_view component);
  // The entries of a folder (full paths, sorted); std::nullopt for an empty component or when
  // the folder cannot be listed (debug line).
  static std::optional<std::vector<std::filesystem::path>> contentsOfDirectory(std::string_view component);
  static bool fileExistsForPathComponent(std::string_view component);
  static std::optional<std::filesystem::path> fullURLForPathComponent(std::string_view component);
  // Creates the folder and its parents; false (error line) on failure or for an empty path.
  static bool createDirectoryAtURL(const std::filesystem::path& url);
  // Linux keeps no per-folder backup flag; answers whether the folder exists (an error line
  // when it does not).
  static bool disableBackupForDirectoryURL(const std::filesystem::path& url);

  // ---- Application ----
  // Extension when the executable's path contains ".appex/", otherwise Active (a process of
  // this platform has no hidden state of its own to report).
  static MSApplicationState applicationState();

  // ---- Property validation ----
  // A new dictionary of at most 20 string entries, taken in the given map's order: non-string
  // keys or values are skipped, empty keys skipped with a warning, keys and values longer than
  // 125 characters cut to 125 with a warning.
  static MSStringDictionary validateProperties(const vx::ValueMap& properties, const std::string& logName,
                                               const std::string& type);

  // ---- String formatting ----
  // 64 lower-case hex digits of the SHA-256 of the text's bytes.
  static std::string sha256(std::string_view text);
  // From "appsecret=...;target=..." credentials: the application secret / the target token.
  static std::optional<std::string> appSecretFrom(std::string_view credentials);
  static std::optional<std::string> transmissionTargetTokenFrom(std::string_view credentials);
  // The token's text before its first "-" (std::nullopt when empty) and "o:" followed by it.
  static std::optional<std::string> targetKeyFromTargetToken(std::string_view token);
  static std::optional<std::string> iKeyFromTargetToken(std::string_view token);
  // JSON bytes pretty-printed ("key" : value, two-space indent); bytes that are not JSON come
  // back as their text; std::nullopt for missing bytes or bytes that are not UTF-8 text. JSON
  // nested deeper than vx::kMaxJSONNesting comes back as its text too, with a warning line.
  static std::optional<std::string> prettyPrintJson(const std::optional<vx::Bytes>& data);
  static std::optional<std::string> prettyPrintJson(std::string_view text);
  // Every match of `pattern` (POSIX extended regular expression, case-insensitive) replaced by
  // `replacement`, in which $0..$9 stand for the capture groups and "\$" for a dollar sign.
  // std::nullopt for a missing text, or when the pattern does not compile (error line).
  static std::optional<std::string> obfuscateString(const std::optional<std::string>& text, const std::string& pattern,
                                                    const std::string& replacement);

  // Characters are counted by their first byte (every byte that is not a continuation byte
  // 10xxxxxx starts one), so these never fail: bytes that are not UTF-8 count and cut as the
  // sequences they look like. Callers that need well-formed text repair it first.
  // The number of characters in UTF-8 text.
  static std::size_t utf8Length(std::string_view text);
  // The first `characters` characters of UTF-8 text, never cutting a character in two.
  static std::string utf8Prefix(const std::string& text, std::size_t characters);
};
