// Where the device record's facts come from. The tracker asks a provider, so tests can hand in
// any machine; the default provider reads the running Linux system: hardware model and vendor
// from DMI (/sys/class/dmi/id), OS name and version from os-release, the kernel release from
// uname, the locale from the environment and the UTC offset of the local time zone.
#pragma once

#include <optional>
#include <string>
#include <vector>

class MSPlatformInfoProvider {
 public:
  virtual ~MSPlatformInfoProvider() = default;

  virtual std::optional<std::string> deviceModel() const = 0;
  virtual std::optional<std::string> oemName() const = 0;
  virtual std::optional<std::string> osName() const = 0;
  virtual std::optional<std::string> osVersion() const = 0;
  virtual std::optional<std::string> osBuild() const = 0;
  // The user's preferred languages, most wanted first (may be empty).
  virtual std::vector<std::string> preferredLanguages() const = 0;
  // The locale the process runs in, as named in the environment ("de_AT.UTF-8", "C", "").
  virtual std::string currentLocale() const = 0;
  // Seconds east of UTC of the local time zone, now.
  virtual long timeZoneOffsetSeconds() const = 0;
  virtual std::optional<std::string> appVersion() const = 0;
  virtual std::optional<std::string> appBuild() const = 0;
  virtual std::optional<std::string> appNamespace() const = 0;
};

class MSLinuxPlatformInfo : public MSPlatformInfoProvider {
 public:
  std::optional<std::string> deviceModel() const override;  // DMI product name
  std::optional<std::string> oemName() const override;      // DMI system vendor
  std::optional<std::string> osName() const override;       // os-release NAME ("Linux" without one)
  // os-release VERSION_ID; the kernel release when the distribution names no version (rolling
  // releases), so the record always has a version.
  std::optional<std::string> osVersion() const override;
  std::optional<std::string> osBuild() const override;  // uname release
  // LANGUAGE (colon-separated), else nothing.
  std::vector<std::string> preferredLanguages() const override;
  // LC_ALL, else LC_MESSAGES, else LANG (the first that is set and not empty).
  std::string currentLocale() const override;
  long timeZoneOffsetSeconds() const override;
  std::optional<std::string> appVersion() const override;    // main bundle's short version
  std::optional<std::string> appBuild() const override;      // main bundle's build number
  std::optional<std::string> appNamespace() const override;  // main bundle identifier
};

// One locale name taken apart: "sr_RS.UTF-8@latin" -> sr, Latn, RS; "zh-Hans-CN" -> zh, Hans, CN.
struct MSLocaleParts {
  std::string language;
  std::string script;
  std::string country;
};
// std::nullopt for the C/POSIX locale, an empty name or one without a usable language.
std::optional<MSLocaleParts> MSParseLocale(const std::string& name);
