// File tools of the recorder: whole reads and writes on descriptors, folder creation and removal,
// and a buffered writer and reader that work in caller-given buffers so the crash handler can
// write its report without touching the heap. Failures are logged (PloverCrashLogger) and
// reported by the result; nothing throws.
#pragma once

#include <cstdarg>

// A writer over a caller-owned buffer. Owned by one caller; fd is -1 when closed.
struct PloverCrashBufferedWriter {
  char* buffer = nullptr;
  int bufferLength = 0;
  int position = 0;
  int fd = -1;
};

// A reader over a caller-owned buffer; one byte of the buffer is kept for a terminating zero.
struct PloverCrashBufferedReader {
  char* buffer = nullptr;
  int bufferLength = 0;  // capacity: the buffer's size less one
  int dataStartPos = 0;
  int dataEndPos = 0;
  int fd = -1;
};

// Crash-time safe. The part after the last "/" (the whole path without one); null for null.
const char* plovercrashfu_lastPathEntry(const char* path);

// Crash-time safe. Writes all bytes, retrying partial writes; a length of 0 or less succeeds at
// once. False (logged) on a write error.
bool plovercrashfu_writeBytesToFD(int fd, const char* bytes, int length);

// Crash-time safe. Reads exactly `length` bytes; the end of the file before that is a failure.
// False (logged for read errors) on failure.
bool plovercrashfu_readBytesFromFD(int fd, char* buffer, int length);

// Not for crash time (allocates). Reads the whole file, or only its last `maxLength` bytes when
// `maxLength` is positive and smaller than the file. On success *contents is a zero-terminated
// copy the caller frees with free(), and *length its size. On failure (logged) *contents is null
// and *length 0.
bool plovercrashfu_readEntireFile(const char* path, char** contents, int* length, int maxLength);

// Crash-time safe. Writes the text; an empty or null text fails.
bool plovercrashfu_writeStringToFD(int fd, const char* string);

// Crash-time safe. Formats (the recorder's own printf, 1024 bytes) and writes; an empty format
// fails.
bool plovercrashfu_writeFmtToFD(int fd, const char* format, ...) __attribute__((format(printf, 2, 3)));
bool plovercrashfu_writeFmtArgsToFD(int fd, const char* format, va_list args);

// Crash-time safe. Reads one line (up to size-1 bytes, without the newline) into buffer, zero
// terminated. Returns its length, or -1 (logged) on a read error.
int plovercrashfu_readLineFromFD(int fd, char* buffer, int maxLength);

// Crash-time safe. Creates every folder of the path (mode 0700); existing ones are fine. Paths of
// 500 characters or more fail.
bool plovercrashfu_makePath(const char* absolutePath);

// Crash-time safe. Removes a file; a missing file is only an error (logged) when mustExist.
bool plovercrashfu_removeFile(const char* path, bool mustExist);

// Not for crash time (allocates). Deletes everything inside the folder and keeps the folder; does
// nothing for a path whose last entry is "." or "..". An entry whose full path would not fit in
// 500 bytes is left in place and makes the result false (logged), never cut to another name.
bool plovercrashfu_deleteContentsOfPath(const char* path);

// Crash-time safe. Creates the file exclusively (it must not exist yet; mode 0644) and prepares
// the writer over `writeBuffer`. False (logged) when the file cannot be created.
bool plovercrashfu_openBufferedWriter(PloverCrashBufferedWriter* writer, const char* path, char* writeBuffer,
                                      int writeBufferLength);
// Crash-time safe. Closes after flushing; the descriptor becomes -1.
void plovercrashfu_closeBufferedWriter(PloverCrashBufferedWriter* writer);
// Crash-time safe. Buffers the bytes; flushes first when they do not fit, and writes bytes longer
// than the whole buffer straight to the file (after what is held, keeping the order).
bool plovercrashfu_writeBufferedWriter(PloverCrashBufferedWriter* writer, const char* data, int length);
// Crash-time safe. Writes what is held; on success the buffer is empty.
bool plovercrashfu_flushBufferedWriter(PloverCrashBufferedWriter* writer);

// Crash-time safe. Opens read-only and fills the buffer. False (logged) when the file cannot be
// opened or the buffer is smaller than 2 bytes.
bool plovercrashfu_openBufferedReader(PloverCrashBufferedReader* reader, const char* path, char* readBuffer,
                                      int readBufferLength);
// Crash-time safe. Closes the file; the descriptor becomes -1.
void plovercrashfu_closeBufferedReader(PloverCrashBufferedReader* reader);
// Crash-time safe. Copies up to `length` bytes into dstBuffer, refilling as needed; returns the
// count copied (less at the end of the file).
int plovercrashfu_readBufferedReader(PloverCrashBufferedReader* reader, char* dstBuffer, int length);
// Crash-time safe. Copies up to *length bytes, stopping after the first `ch` (which is copied);
// *length becomes the count copied. True when `ch` was found.
bool plovercrashfu_readBufferedReaderUntilChar(PloverCrashBufferedReader* reader, int ch, char* dstBuffer, int* length);
