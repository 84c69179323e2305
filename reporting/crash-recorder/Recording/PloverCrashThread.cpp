#include "reporting/crash-recorder/Recording/PloverCrashThread.h"

#include "crash-engine/async/HXCrashAsync.h"
#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

PloverCrashThread plovercrashthread_self() { return MSpl_mach_thread_self(); }

bool plovercrashthread_getThreadName(PloverCrashThread thread, char* buffer, int bufLength) {
  if (buffer == nullptr || bufLength < 2) return false;
  char path[64];
  plovercrashformat_format(path, sizeof path, "/proc/self/task/%u/comm", thread);
  const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
  if (fd < 0) return false;
  char name[64];
  const long got = syscall(SYS_read, fd, name, sizeof name - 1);
  syscall(SYS_close, fd);
  if (got <= 0) return false;
  int length = static_cast<int>(got);
  while (length > 0 && (name[length - 1] == '\n' || name[length - 1] == '\0')) --length;
  if (length == 0) return false;
  if (length > bufLength - 1) length = bufLength - 1;
  for (int i = 0; i < length; ++i) buffer[i] = name[i];
  buffer[length] = '\0';
  return true;
}
