#include "platform/foundation/StandardPaths.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/BundleConstants.h"
#include "platform/foundation/FoundationInternal.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace vx {

namespace {

constexpr const char* kDomain = "vx.StandardPaths";

std::filesystem::path homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return {};
}

std::filesystem::path baseFolder(const char* variable, const char* fallbackUnderHome) {
  // The XDG rules ignore relative paths.
  if (const char* value = std::getenv(variable); value != nullptr && value[0] == '/') return value;
  const auto home = homeFolder();
  if (home.empty()) return {};
  return home / fallbackUnderHome;
}

std::filesystem::path withBundle(const std::filesystem::path& base) {
  if (base.empty()) return {};
  // An identifier overridden into something that is no folder name falls back to the built one.
  auto identifier = Bundle::main().bundleIdentifier();
  if (identifier.empty() || identifier == "." || identifier == ".." || identifier.find('/') != std::string::npos) {
    identifier = VX_BUNDLE_IDENTIFIER;
  }
  return base / identifier;
}

Result<std::filesystem::path> created(const std::filesystem::path& path) {
  if (path.empty()) return Error(kDomain, 1, "No home folder is known.");
  if (auto made = detail::createPrivateFolders(path, kDomain); !made) return made.error();
  return path;
}

}  // namespace

std::filesystem::path StandardPaths::cachesPath() { return withBundle(baseFolder("XDG_CACHE_HOME", ".cache")); }
std::filesystem::path StandardPaths::applicationSupportPath() {
  return withBundle(baseFolder("XDG_DATA_HOME", ".local/share"));
}
std::filesystem::path StandardPaths::configPath() { return withBundle(baseFolder("XDG_CONFIG_HOME", ".config")); }

Result<std::filesystem::path> StandardPaths::cachesDirectory() { return created(cachesPath()); }
Result<std::filesystem::path> StandardPaths::applicationSupportDirectory() { return created(applicationSupportPath()); }
Result<std::filesystem::path> StandardPaths::configDirectory() { return created(configPath()); }

}  // namespace vx
