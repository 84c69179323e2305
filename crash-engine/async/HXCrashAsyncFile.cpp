#include "crash-engine/async/HXCrashAsyncFile.h"

#include "crash-engine/async/HXCrashAsync.h"

#include <unistd.h>

#include <cerrno>

void MShxcrash_async_file_init(MShxcrash_async_file* file, int fd, std::int64_t limit) {
  file->fd = fd;
  file->limit = limit;
  file->total_bytes = 0;
  file->buflen = 0;
}

bool MShxcrash_async_file_write(MShxcrash_async_file* file, const void* data, std::size_t length) {
  if (file->limit != 0) {
    if (length > static_cast<std::uint64_t>(INT64_MAX) ||
        file->total_bytes + static_cast<std::int64_t>(length) > file->limit) {
      return false;
    }
    file->total_bytes += static_cast<std::int64_t>(length);
  }
  if (file->buflen + length > sizeof file->buffer) {
    if (MShxcrash_async_writen(file->fd, file->buffer, file->buflen) < 0) {
      MSHXCF_DEBUG("Error occured writing to crash log: %s", MShxcrash_async_errno_text(errno));
      return false;
    }
    file->buflen = 0;
  }
  if (file->buflen + length <= sizeof file->buffer) {
    MShxcrash_async_memcpy(file->buffer + file->buflen, data, length);
    file->buflen += length;
    return true;
  }
  if (MShxcrash_async_writen(file->fd, data, length) < 0) {
    MSHXCF_DEBUG("Error occured writing to crash log: %s", MShxcrash_async_errno_text(errno));
    return false;
  }
  return true;
}

bool MShxcrash_async_file_flush(MShxcrash_async_file* file) {
  if (file->buflen == 0) return true;
  if (MShxcrash_async_writen(file->fd, file->buffer, file->buflen) < 0) {
    MSHXCF_DEBUG("Error occured writing to crash log: %s", MShxcrash_async_errno_text(errno));
    return false;
  }
  file->buflen = 0;
  return true;
}

bool MShxcrash_async_file_close(MShxcrash_async_file* file) {
  if (!MShxcrash_async_file_flush(file)) return false;
  if (close(file->fd) != 0) {
    MSHXCF_DEBUG("Error closing file: %s", MShxcrash_async_errno_text(errno));
    return false;
  }
  return true;
}
