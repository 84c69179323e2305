// StandardPaths: where the application keeps its files on Linux, following the XDG base
// directories and named after the bundle identifier:
//   caches              $XDG_CACHE_HOME/<bundle id>   (fallback ~/.cache/<bundle id>)
//   application support $XDG_DATA_HOME/<bundle id>    (fallback ~/.local/share/<bundle id>)
//   configuration       $XDG_CONFIG_HOME/<bundle id>  (fallback ~/.config/<bundle id>)
// The environment is read on every call; an XDG variable that is empty or not an absolute path
// is ignored, as the XDG rules say. The home folder is $HOME, else the password database.
#pragma once

#include "platform/foundation/Error.h"

#include <filesystem>

namespace vx {

class StandardPaths {
 public:
  StandardPaths() = delete;

  // The folder, created (with its parents, mode 0700 for new ones) when missing. Error (domain
  // "vx.StandardPaths") when no home folder is known or the folder cannot be created.
  static Result<std::filesystem::path> cachesDirectory();
  static Result<std::filesystem::path> applicationSupportDirectory();
  static Result<std::filesystem::path> configDirectory();

  // The same paths without touching the file system; empty when no home folder is known.
  static std::filesystem::path cachesPath();
  static std::filesystem::path applicationSupportPath();
  static std::filesystem::path configPath();
};

}  // namespace vx
