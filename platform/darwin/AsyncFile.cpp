#include "platform/darwin/AsyncFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace vx {

namespace {

bool isTrailingSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

ssize_t readSome(int fd, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = read(fd, buffer, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

}  // namespace

ssize_t async_read_text(const char* path, char* buffer, std::size_t size) {
  if (path == nullptr || buffer == nullptr || size == 0) {
    errno = EINVAL;
    return -1;
  }
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  std::size_t total = 0;
  for (;;) {
    if (total == size - 1) {
      // Full: the text fits only when nothing but trailing white space follows.
      char extra[64];
      const ssize_t got = readSome(fd, extra, sizeof extra);
      bool onlySpace = got >= 0;
      for (ssize_t i = 0; i < got; ++i) onlySpace = onlySpace && isTrailingSpace(extra[i]);
      if (!onlySpace) {
        const int error = got < 0 ? errno : EOVERFLOW;
        close(fd);
        errno = error;
        return -1;
      }
      if (got == 0) break;
      continue;
    }
    const ssize_t got = readSome(fd, buffer + total, size - 1 - total);
    if (got < 0) {
      const int error = errno;
      close(fd);
      errno = error;
      return -1;
    }
    if (got == 0) break;
    total += static_cast<std::size_t>(got);
  }
  close(fd);
  while (total > 0 && isTrailingSpace(buffer[total - 1])) --total;
  buffer[total] = '\0';
  return static_cast<ssize_t>(total);
}

bool async_line_reader_open(async_line_reader* reader, const char* path, char* buffer, std::size_t size) {
  if (reader == nullptr || path == nullptr || buffer == nullptr || size < 2) {
    errno = EINVAL;
    return false;
  }
  *reader = async_line_reader{};
  reader->fd = open(path, O_RDONLY | O_CLOEXEC);
  if (reader->fd < 0) return false;
  reader->buffer = buffer;
  reader->size = size;
  return true;
}

const char* async_line_reader_next(async_line_reader* reader, std::size_t* length) {
  if (reader == nullptr || reader->fd < 0) return nullptr;
  for (;;) {
    std::size_t newline = reader->start;
    while (newline < reader->end && reader->buffer[newline] != '\n') ++newline;
    if (newline < reader->end) {
      const std::size_t begin = reader->start;
      reader->start = newline + 1;
      if (reader->skipping) {
        reader->skipping = false;
        continue;
      }
      reader->buffer[newline] = '\0';
      if (length != nullptr) *length = newline - begin;
      return reader->buffer + begin;
    }
    if (reader->skipping) {
      reader->start = reader->end = 0;  // still inside the cut line: drop what was read
    } else if (reader->start > 0) {
      std::size_t to = 0;
      for (std::size_t from = reader->start; from < reader->end; ++from) {
        reader->buffer[to++] = reader->buffer[from];
      }
      reader->end = to;
      reader->start = 0;
    }
    if (reader->end == reader->size - 1) {
      // A line longer than the buffer: hand out what fits, skip the rest.
      reader->buffer[reader->end] = '\0';
      if (length != nullptr) *length = reader->end;
      reader->start = reader->end = 0;
      reader->skipping = true;
      return reader->buffer;
    }
    if (reader->ended) {
      if (reader->end == 0 || reader->skipping) return nullptr;
      reader->buffer[reader->end] = '\0';
      if (length != nullptr) *length = reader->end;
      reader->start = reader->end = 0;
      return reader->buffer;
    }
    const ssize_t got = readSome(reader->fd, reader->buffer + reader->end, reader->size - 1 - reader->end);
    if (got < 0) return nullptr;
    if (got == 0) reader->ended = true;
    reader->end += static_cast<std::size_t>(got);
  }
}

void async_line_reader_close(async_line_reader* reader) {
  if (reader == nullptr || reader->fd < 0) return;
  close(reader->fd);
  reader->fd = -1;
}

}  // namespace vx
