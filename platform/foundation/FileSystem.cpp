#include "platform/foundation/FileSystem.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace vx {
namespace {

Error systemError(const char* domain, const char* step, const std::filesystem::path& path, int error) {
  return Error(domain, error, std::string(step) + " failed for " + path.string() + ": " + std::strerror(error),
               {{"path", path.string()}, {"errno", error}});
}

}  // namespace

Result<void> writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, unsigned mode,
                                 WriteDurability durability, const char* domain) {
  const bool synced = durability == WriteDurability::synced;
  std::string temporary = path.string() + ".tmp-XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) return systemError(domain, "Creating a temporary file", path, errno);
  auto fail = [&](const char* step) -> Result<void> {
    const int error = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    return systemError(domain, step, path, error);
  };
  if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) return fail("Setting the mode");
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("Writing");
    }
    written += static_cast<std::size_t>(n);
  }
  if (synced && ::fsync(fd) != 0) return fail("Syncing");
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return systemError(domain, "Closing", path, error);
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return systemError(domain, "Renaming", path, error);
  }
  if (!synced) return Result<void>::success();
  // Make the rename itself durable.
  const auto folder = path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
  const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return Result<void>::success();
}

}  // namespace vx
