#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"

#include "reporting/crash-recorder/Recording/PloverCrashFileUtils.h"
#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"
#include "reporting/crash-recorder/Recording/PloverCrashString.h"

#include <cerrno>
#include <cstdarg>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

constexpr int kMaxPathLength = 1024;
constexpr int kMessageBufferSize = 1024;

// Process-wide, set before any crash; read without a lock (a torn read is impossible for an int).
int g_logFD = -1;
char g_logPath[kMaxPathLength] = {};

void writeAll(int fd, const char* text, int length) {
  while (length > 0) {
    const ssize_t written = write(fd, text, static_cast<size_t>(length));
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    text += written;
    length -= static_cast<int>(written);
  }
}

// Standard output always gets a copy; when it is closed the write fails quietly.
void writeToLog(const char* text, int length) {
  if (g_logFD >= 0) {
    writeAll(g_logFD, text, length);
  }
  writeAll(STDOUT_FILENO, text, length);
}

void writeToLog(const char* text) { writeToLog(text, plovercrashformat_strlen(text)); }

void writePrefix(const char* level, const char* file, int line, const char* function) {
  char prefix[kMessageBufferSize];
  const int length = plovercrashformat_format(prefix, sizeof prefix, "%s: %s (%u): %s: ", level,
                                              plovercrashfu_lastPathEntry(file), static_cast<unsigned>(line), function);
  writeToLog(prefix, length);
}

void writeFormatted(const char* format, va_list args) {
  if (format == nullptr) {
    writeToLog("(null)");
  } else {
    char message[kMessageBufferSize];
    const int length = plovercrashformat_vformat(message, sizeof message, format, args);
    writeToLog(message, length);
  }
  writeToLog("\n", 1);
}

void writeObjectLine(std::string line) {
  line += "\n";
  if (!plovercrashstring_isValidUTF8(line.data(), static_cast<int>(line.size()))) {
    line = "Could not convert log string to UTF-8. No logging performed.\n";
  }
  writeToLog(line.data(), static_cast<int>(line.size()));
}

}  // namespace

bool plovercrashlog_setLogFilename(const char* path, bool overwrite) {
  if (path == nullptr) {
    if (g_logFD > STDERR_FILENO) {
      close(g_logFD);
    }
    g_logFD = -1;
    g_logPath[0] = '\0';
    return true;
  }
  const int length = plovercrashformat_strlen(path);
  if (length >= kMaxPathLength) {
    i_plovercrashlog_logCBasic("PloverCrashLogger: Could not open %s: %s", path, "File name too long");
    return false;
  }
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
  flags |= overwrite ? O_TRUNC : O_APPEND;
  const int fd = open(path, flags, 0644);
  if (fd < 0) {
    i_plovercrashlog_logCBasic("PloverCrashLogger: Could not open %s: %s", path, plovercrashformat_errorText(errno));
    return false;
  }
  if (path != g_logPath) {
    for (int i = 0; i <= length; ++i) {
      g_logPath[i] = path[i];
    }
  }
  if (g_logFD > STDERR_FILENO && g_logFD != fd) {
    close(g_logFD);
  }
  g_logFD = fd;
  return true;
}

bool plovercrashlog_clearLogFile() {
  if (g_logPath[0] == '\0') {
    return false;
  }
  return plovercrashlog_setLogFilename(g_logPath, true);
}

void i_plovercrashlog_logC(const char* level, const char* file, int line, const char* function, const char* format,
                           ...) {
  writePrefix(level, file, line, function);
  va_list args;
  va_start(args, format);
  writeFormatted(format, args);
  va_end(args);
}

void i_plovercrashlog_logCBasic(const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeFormatted(format, args);
  va_end(args);
}

void i_plovercrashlog_logObjC(const char* level, const char* file, int line, const char* function,
                              const char* message) {
  std::string text = std::string(level != nullptr ? level : "(null)") + ": " +
                     plovercrashfu_lastPathEntry(file != nullptr ? file : "(null)") + " (" +
                     std::to_string(static_cast<unsigned>(line)) + "): " + (function != nullptr ? function : "(null)") +
                     ": " + (message != nullptr ? message : "(null)");
  writeObjectLine(std::move(text));
}

void i_plovercrashlog_logObjCBasic(const char* message) { writeObjectLine(message != nullptr ? message : "(null)"); }
