// The recorder's logger. Lines go to standard output and, once a log file is set (the console
// log at install), to that file too. The recorder logs its own failures here because crash-time
// code has no other way to leave a trace.
#pragma once

// Opens `path` for writing (created with mode 0644, truncated when `overwrite`) and makes it the
// log file; the previous log file is closed. A null path stops logging to a file. Not for crash
// time. Returns false, with "PloverCrashLogger: Could not open ..." logged, when the file cannot be
// opened or the path is longer than 1023 characters; the previous log file then stays in use.
bool plovercrashlog_setLogFilename(const char* path, bool overwrite);

// Truncates the current log file by opening its path again. Not for crash time.
bool plovercrashlog_clearLogFile();

// Crash-time safe: "LEVEL: file (line): function: message\n", the message formatted (by the
// recorder's own formatter) into 1024 bytes.
void i_plovercrashlog_logC(const char* level, const char* file, int line, const char* function, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
// Crash-time safe: the formatted message and "\n", without the prefix.
void i_plovercrashlog_logCBasic(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Not for crash time (they allocate): the same lines with a message that is already built (null
// prints "(null)"). A line that is not valid UTF-8 is replaced by "Could not convert log string to
// UTF-8. No logging performed."
void i_plovercrashlog_logObjC(const char* level, const char* file, int line, const char* function, const char* message);
void i_plovercrashlog_logObjCBasic(const char* message);

// Every call path of the recorder logs at the error level.
#define PLOVERCRASHLOG_ERROR(FORMAT, ...) \
  i_plovercrashlog_logC("ERROR", __FILE__, __LINE__, __func__, FORMAT __VA_OPT__(, ) __VA_ARGS__)
