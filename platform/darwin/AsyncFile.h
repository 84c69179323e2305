// Reading small system files (/proc, /sys) at crash time: raw system calls into the caller's
// buffers, no allocation, no locks, no stdio.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace vx {

// Crash time. Reads the whole file at path into buffer, NUL-terminated, without trailing
// spaces, tabs and line ends. Returns the text's length (0 for an empty file), or -1 with errno:
// the failing open or read's, EOVERFLOW when the text does not fit in size - 1 bytes, EINVAL
// for a null argument or a zero size.
ssize_t async_read_text(const char* path, char* buffer, std::size_t size);

// Crash time. Reads a file line by line through the caller's buffer.
struct async_line_reader {
  int fd = -1;
  char* buffer = nullptr;
  std::size_t size = 0;
  std::size_t start = 0;  // the unread bytes are buffer[start, end)
  std::size_t end = 0;
  bool ended = false;     // the file has no more bytes
  bool skipping = false;  // the rest of a cut line is still to be skipped
};

// Crash time. Opens path for reading with buffer (at least 2 bytes); false with errno set when it
// cannot be opened.
bool async_line_reader_open(async_line_reader* reader, const char* path, char* buffer, std::size_t size);

// Crash time. The next line, NUL-terminated and without its line end, stored in the reader's
// buffer (valid until the next call); *length receives its length. A line longer than the
// buffer is cut to size - 1 bytes and its rest skipped. Null at the end of the file or on a read
// error.
const char* async_line_reader_next(async_line_reader* reader, std::size_t* length);

// Crash time. Closes the file; the reader may be closed twice.
void async_line_reader_close(async_line_reader* reader);

}  // namespace vx
