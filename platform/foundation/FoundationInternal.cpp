#include "platform/foundation/FoundationInternal.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vx::detail {

Result<void> createPrivateFolders(const std::filesystem::path& path, const char* domain) {
  std::filesystem::path partial;
  for (const auto& part : path) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      const int error = errno;
      return Error(domain, 2, "Cannot create folder " + partial.string() + ": " + std::strerror(error),
                   {{"path", partial.string()}, {"errno", error}});
    }
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(path, ec)) {
    return Error(domain, 3, path.string() + " exists and is not a folder.", {{"path", path.string()}});
  }
  return Result<void>::success();
}

}  // namespace vx::detail
