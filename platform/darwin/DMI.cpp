#include "platform/darwin/DMI.h"

#include "platform/darwin/AsyncFile.h"
#include "platform/darwin/AsyncFormat.h"

#include <cerrno>

namespace vx {

ssize_t dmi_read(const char* field, char* buffer, std::size_t size, const char* root) {
  if (field == nullptr || *field == '\0' || buffer == nullptr || size == 0) {
    errno = EINVAL;
    return -1;
  }
  for (const char* p = field; *p != '\0'; ++p) {
    if (*p == '/') {
      errno = EINVAL;  // a field never leaves its folder
      return -1;
    }
  }
  char path[1024];
  const std::size_t length = async_format(path, sizeof path, "%s/%s", root != nullptr ? root : kDMIRoot, field);
  if (length >= sizeof path - 1) {
    errno = ENAMETOOLONG;
    return -1;
  }
  return async_read_text(path, buffer, size);
}

}  // namespace vx
