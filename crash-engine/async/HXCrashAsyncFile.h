// A buffered output file with an optional byte limit, kept by its owner (the crash path keeps
// it on its stack) so a report made of many small fields costs few system calls.
// Every function here is safe at crash time.
#pragma once

#include <cstddef>
#include <cstdint>

struct MShxcrash_async_file {
  std::int32_t fd;           // opened and owned by the caller until MShxcrash_async_file_close
  std::int64_t limit;        // 0: no limit
  std::int64_t total_bytes;  // bytes accepted so far; counted only while a limit is set
  std::uint64_t buflen;      // bytes waiting in buffer (0-256)
  char buffer[256];
};

// Sets the descriptor and the limit; nothing accepted, nothing buffered.
void MShxcrash_async_file_init(MShxcrash_async_file* file, int fd, std::int64_t limit);

// Buffers or writes length bytes. False, with nothing written or buffered, when the limit would
// be passed; false with a diagnostic line when writing to the descriptor fails.
bool MShxcrash_async_file_write(MShxcrash_async_file* file, const void* data, std::size_t length);

// Writes out the buffered bytes. False with a diagnostic line (the bytes stay buffered) when
// the write fails.
bool MShxcrash_async_file_flush(MShxcrash_async_file* file);

// Flushes, then closes the descriptor. A failing flush returns false and leaves it open; a
// failing close writes a diagnostic line and returns false.
bool MShxcrash_async_file_close(MShxcrash_async_file* file);
