#include "reporting/crash-recorder/Recording/PloverCrashFileUtils.h"

#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kMaxPathLength = 500;

bool copyText(const char* text, char* target, int targetSize) {
  const int length = plovercrashformat_strlen(text);
  if (length >= targetSize) {
    return false;
  }
  for (int i = 0; i <= length; ++i) {
    target[i] = text[i];
  }
  return true;
}

bool isDotEntry(const char* name) { return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')); }

bool deletePathContents(const char* path, bool deleteTopLevel) {
  struct stat statStruct = {};
  if (stat(path, &statStruct) != 0) {
    PLOVERCRASHLOG_ERROR("Could not stat %s: %s", path, plovercrashformat_errorText(errno));
    return false;
  }
  if (S_ISREG(statStruct.st_mode)) {
    plovercrashfu_removeFile(path, false);
    return true;
  }
  if (!S_ISDIR(statStruct.st_mode)) {
    PLOVERCRASHLOG_ERROR("Could not delete %s: Not a regular file.", path);
    return false;
  }

  // Count first, then list no more than were counted, so a folder that grows while we work is
  // noticed rather than chased.
  std::vector<std::string> names;
  DIR* dir = opendir(path);
  if (dir == nullptr) {
    PLOVERCRASHLOG_ERROR("Error reading directory %s: %s", path, plovercrashformat_errorText(errno));
  } else {
    std::size_t count = 0;
    while (readdir(dir) != nullptr) {
      ++count;
    }
    rewinddir(dir);
    struct dirent* entry;
    while ((entry = readdir(dir)) != nullptr) {
      if (names.size() >= count) {
        PLOVERCRASHLOG_ERROR("Contents of %s have been mutated", path);
        break;
      }
      names.emplace_back(entry->d_name);
    }
    closedir(dir);
  }

  bool success = true;
  for (const std::string& name : names) {
    if (isDotEntry(name.c_str())) {
      continue;
    }
    char entryPath[kMaxPathLength];
    const int length = plovercrashformat_format(entryPath, sizeof entryPath, "%s/%s", path, name.c_str());
    if (length != plovercrashformat_strlen(path) + 1 + static_cast<int>(name.size())) {
      // A cut name could be the name of another file: leave this one alone.
      PLOVERCRASHLOG_ERROR("Could not delete %s/%s: path too long", path, name.c_str());
      success = false;
      continue;
    }
    if (!deletePathContents(entryPath, true)) {
      success = false;
    }
  }
  if (deleteTopLevel && !plovercrashfu_removeFile(path, false)) {
    success = false;
  }
  return success;
}

}  // namespace

const char* plovercrashfu_lastPathEntry(const char* path) {
  if (path == nullptr) {
    return nullptr;
  }
  const char* last = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/') {
      last = p + 1;
    }
  }
  return last;
}

bool plovercrashfu_writeBytesToFD(int fd, const char* bytes, int length) {
  while (length > 0) {
    const ssize_t written = write(fd, bytes, static_cast<size_t>(length));
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      PLOVERCRASHLOG_ERROR("Could not write to fd %d: %s", fd, plovercrashformat_errorText(errno));
      return false;
    }
    bytes += written;
    length -= static_cast<int>(written);
  }
  return true;
}

bool plovercrashfu_readBytesFromFD(int fd, char* buffer, int length) {
  while (length > 0) {
    const ssize_t got = read(fd, buffer, static_cast<size_t>(length));
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      PLOVERCRASHLOG_ERROR("Could not read from fd %d: %s", fd, plovercrashformat_errorText(errno));
      return false;
    }
    if (got == 0) {
      return false;
    }
    buffer += got;
    length -= static_cast<int>(got);
  }
  return true;
}

bool plovercrashfu_readEntireFile(const char* path, char** contents, int* length, int maxLength) {
  *contents = nullptr;
  *length = 0;
  struct stat st = {};
  if (stat(path, &st) < 0) {
    PLOVERCRASHLOG_ERROR("Could not stat %s: %s", path, plovercrashformat_errorText(errno));
    return false;
  }
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    PLOVERCRASHLOG_ERROR("Could not open %s: %s", path, plovercrashformat_errorText(errno));
    return false;
  }
  if (st.st_size > 0x7ffffffe && (maxLength <= 0 || maxLength > 0x7ffffffe)) {
    PLOVERCRASHLOG_ERROR("Could not read %s: %s", path, "File too large");
    close(fd);
    return false;
  }
  int bytesToRead = static_cast<int>(st.st_size > 0x7ffffffe ? 0x7ffffffe : st.st_size);
  if (maxLength > 0 && maxLength < st.st_size) {
    bytesToRead = maxLength;
    if (lseek(fd, -static_cast<off_t>(maxLength), SEEK_END) < 0) {
      PLOVERCRASHLOG_ERROR("Could not seek to %d from end of %s: %s", -maxLength, path,
                           plovercrashformat_errorText(errno));
      close(fd);
      return false;
    }
  }
  char* memory = static_cast<char*>(std::malloc(static_cast<size_t>(bytesToRead) + 1));
  if (memory == nullptr) {
    PLOVERCRASHLOG_ERROR("Out of memory");
    close(fd);
    return false;
  }
  if (!plovercrashfu_readBytesFromFD(fd, memory, bytesToRead)) {
    std::free(memory);
    close(fd);
    return false;
  }
  close(fd);
  memory[bytesToRead] = '\0';
  *contents = memory;
  *length = bytesToRead;
  return true;
}

bool plovercrashfu_writeStringToFD(int fd, const char* string) {
  const int length = plovercrashformat_strlen(string);
  if (length == 0) {
    return false;
  }
  return plovercrashfu_writeBytesToFD(fd, string, length);
}

bool plovercrashfu_writeFmtToFD(int fd, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool result = plovercrashfu_writeFmtArgsToFD(fd, format, args);
  va_end(args);
  return result;
}

bool plovercrashfu_writeFmtArgsToFD(int fd, const char* format, va_list args) {
  if (format == nullptr || *format == '\0') {
    return false;
  }
  char buffer[1024];
  plovercrashformat_vformat(buffer, sizeof buffer, format, args);
  return plovercrashfu_writeStringToFD(fd, buffer);
}

int plovercrashfu_readLineFromFD(int fd, char* buffer, int maxLength) {
  if (buffer == nullptr || maxLength <= 0) {
    return -1;
  }
  char* end = buffer + maxLength - 1;
  char* ch = buffer;
  while (ch < end) {
    const ssize_t got = read(fd, ch, 1);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      PLOVERCRASHLOG_ERROR("Could not read from fd %d: %s", fd, plovercrashformat_errorText(errno));
      return -1;
    }
    if (got == 0 || *ch == '\n') {
      break;
    }
    ++ch;
  }
  *ch = '\0';
  return static_cast<int>(ch - buffer);
}

bool plovercrashfu_makePath(const char* absolutePath) {
  char pathCopy[kMaxPathLength];
  if (!copyText(absolutePath, pathCopy, sizeof pathCopy)) {
    PLOVERCRASHLOG_ERROR("Could not create directory %s: %s", absolutePath, "File name too long");
    return false;
  }
  // Each prefix ending before a "/" (and the whole path) is created in turn.
  for (char* p = pathCopy + 1;; ++p) {
    const bool atEnd = *p == '\0';
    if (*p == '/' || atEnd) {
      const char saved = *p;
      *p = '\0';
      if (mkdir(pathCopy, 0700) < 0 && errno != EEXIST) {
        PLOVERCRASHLOG_ERROR("Could not create directory %s: %s", pathCopy, plovercrashformat_errorText(errno));
        return false;
      }
      *p = saved;
      if (atEnd) {
        break;
      }
    }
  }
  return true;
}

bool plovercrashfu_removeFile(const char* path, bool mustExist) {
  if (remove(path) < 0) {
    if (mustExist || errno != ENOENT) {
      PLOVERCRASHLOG_ERROR("Could not delete %s: %s", path, plovercrashformat_errorText(errno));
    }
    return false;
  }
  return true;
}

bool plovercrashfu_deleteContentsOfPath(const char* path) {
  const char* last = plovercrashfu_lastPathEntry(path);
  if (last == nullptr || isDotEntry(last)) {
    return false;
  }
  return deletePathContents(path, false);
}

bool plovercrashfu_openBufferedWriter(PloverCrashBufferedWriter* writer, const char* path, char* writeBuffer,
                                      int writeBufferLength) {
  writer->buffer = writeBuffer;
  writer->bufferLength = writeBufferLength;
  writer->position = 0;
  writer->fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (writer->fd < 0) {
    PLOVERCRASHLOG_ERROR("Could not open crash report file %s: %s", path, plovercrashformat_errorText(errno));
    return false;
  }
  return true;
}

void plovercrashfu_closeBufferedWriter(PloverCrashBufferedWriter* writer) {
  if (writer->fd >= 0) {
    plovercrashfu_flushBufferedWriter(writer);
    close(writer->fd);
    writer->fd = -1;
  }
}

bool plovercrashfu_writeBufferedWriter(PloverCrashBufferedWriter* writer, const char* data, int length) {
  if (length <= 0) {
    return true;
  }
  if (length > writer->bufferLength - writer->position) {
    if (!plovercrashfu_flushBufferedWriter(writer)) {
      return false;
    }
  }
  if (length > writer->bufferLength) {
    return plovercrashfu_writeBytesToFD(writer->fd, data, length);
  }
  for (int i = 0; i < length; ++i) {
    writer->buffer[writer->position + i] = data[i];
  }
  writer->position += length;
  return true;
}

bool plovercrashfu_flushBufferedWriter(PloverCrashBufferedWriter* writer) {
  if (writer->fd >= 0 && writer->position > 0) {
    if (!plovercrashfu_writeBytesToFD(writer->fd, writer->buffer, writer->position)) {
      return false;
    }
    writer->position = 0;
  }
  return true;
}

namespace {

int fillReadBuffer(PloverCrashBufferedReader* reader) {
  if (reader->dataStartPos > 0) {
    const int unread = reader->dataEndPos - reader->dataStartPos;
    for (int i = 0; i < unread; ++i) {
      reader->buffer[i] = reader->buffer[reader->dataStartPos + i];
    }
    reader->dataStartPos = 0;
    reader->dataEndPos = unread;
  }
  const int space = reader->bufferLength - reader->dataEndPos;
  ssize_t got = 0;
  if (space > 0) {
    do {
      got = read(reader->fd, reader->buffer + reader->dataEndPos, static_cast<size_t>(space));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      PLOVERCRASHLOG_ERROR("Could not read: %s", plovercrashformat_errorText(errno));
      got = 0;
    }
  }
  reader->dataEndPos += static_cast<int>(got);
  reader->buffer[reader->dataEndPos] = '\0';
  return static_cast<int>(got);
}

}  // namespace

bool plovercrashfu_openBufferedReader(PloverCrashBufferedReader* reader, const char* path, char* readBuffer,
                                      int readBufferLength) {
  reader->buffer = readBuffer;
  reader->bufferLength = readBufferLength - 1;
  reader->dataStartPos = 0;
  reader->dataEndPos = 0;
  reader->fd = -1;
  if (readBuffer == nullptr || readBufferLength < 2) {
    PLOVERCRASHLOG_ERROR("Could not open file %s: %s", path, "Buffer too small");
    return false;
  }
  reader->buffer[0] = '\0';
  reader->fd = open(path, O_RDONLY | O_CLOEXEC);
  if (reader->fd < 0) {
    PLOVERCRASHLOG_ERROR("Could not open file %s: %s", path, plovercrashformat_errorText(errno));
    return false;
  }
  fillReadBuffer(reader);
  return true;
}

void plovercrashfu_closeBufferedReader(PloverCrashBufferedReader* reader) {
  if (reader->fd >= 0) {
    close(reader->fd);
    reader->fd = -1;
  }
}

int plovercrashfu_readBufferedReader(PloverCrashBufferedReader* reader, char* dstBuffer, int length) {
  int copied = 0;
  while (copied < length) {
    int available = reader->dataEndPos - reader->dataStartPos;
    if (available == 0) {
      if (reader->fd < 0 || fillReadBuffer(reader) == 0) {
        break;
      }
      available = reader->dataEndPos - reader->dataStartPos;
    }
    const int wanted = length - copied;
    const int count = available < wanted ? available : wanted;
    for (int i = 0; i < count; ++i) {
      dstBuffer[copied + i] = reader->buffer[reader->dataStartPos + i];
    }
    reader->dataStartPos += count;
    copied += count;
  }
  return copied;
}

bool plovercrashfu_readBufferedReaderUntilChar(PloverCrashBufferedReader* reader, int ch, char* dstBuffer,
                                               int* length) {
  const char target = static_cast<char>(ch);
  int copied = 0;
  const int wanted = *length;
  bool found = false;
  while (copied < wanted) {
    const int available = reader->dataEndPos - reader->dataStartPos;
    int count = 0;
    const int space = wanted - copied;
    while (count < available && count < space) {
      const char c = reader->buffer[reader->dataStartPos + count];
      ++count;
      if (c == target) {
        found = true;
        break;
      }
    }
    for (int i = 0; i < count; ++i) {
      dstBuffer[copied + i] = reader->buffer[reader->dataStartPos + i];
    }
    reader->dataStartPos += count;
    copied += count;
    if (found) {
      break;
    }
    if (copied >= wanted || reader->fd < 0 || fillReadBuffer(reader) == 0) {
      break;
    }
  }
  *length = copied;
  return found;
}
