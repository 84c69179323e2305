// Typed queries of system facts by a two-level numeric name or a dotted text name. Linux has no
// system-control call, so the facts come from uname, sysconf, /proc and /sys, read by the
// system-value reader both crash libraries share (vx::sysctl_read in platform/darwin/Sysctl.h,
// which also knows the processor-core names); the numeric names, the range checks and the
// logging are the recorder's own:
//
//   kern.ostype, kern.osrelease, kern.version, kern.hostname  uname fields (text)
//   kern.boottime                                              /proc/stat "btime" (time)
//   hw.machine                                                 uname machine (text)
//   hw.model                                                   /sys/devices/virtual/dmi/id/product_name
//   hw.ncpu, hw.activecpu                                      configured / online processors
//   hw.memsize, hw.physmem, hw.pagesize                        sysconf
//   hw.byteorder                                               1234 or 4321
//   hw.cpufrequency                                            cpu0's maximum frequency in Hz
//   any other "kern.", "vm.", "fs.", "net." name               the file under /proc/sys
//
// Failures are logged with the messages of the recorder and give 0 (or false).
#pragma once

#include <cstdint>
#include <sys/time.h>

enum {
  PLOVERCRASH_CTL_KERN = 1,
  PLOVERCRASH_CTL_HW = 6,
};
enum {
  PLOVERCRASH_KERN_OSTYPE = 1,
  PLOVERCRASH_KERN_OSRELEASE = 2,
  PLOVERCRASH_KERN_VERSION = 4,
  PLOVERCRASH_KERN_HOSTNAME = 10,
  PLOVERCRASH_KERN_BOOTTIME = 21,
};
enum {
  PLOVERCRASH_HW_MACHINE = 1,
  PLOVERCRASH_HW_MODEL = 2,
  PLOVERCRASH_HW_NCPU = 3,
  PLOVERCRASH_HW_BYTEORDER = 4,
  PLOVERCRASH_HW_PHYSMEM = 5,
  PLOVERCRASH_HW_PAGESIZE = 7,
  PLOVERCRASH_HW_CPU_FREQ = 15,
  PLOVERCRASH_HW_MEMSIZE = 24,
  PLOVERCRASH_HW_AVAILCPU = 25,
};

// The traced flag of PloverCrashProcessInfo::flags.
constexpr unsigned PLOVERCRASH_P_TRACED = 0x800;

// One process as /proc describes it.
struct PloverCrashProcessInfo {
  int pid;
  int parentPid;
  int tracerPid;   // 0 when no debugger or tracer is attached
  unsigned flags;  // PLOVERCRASH_P_TRACED when traced
  char name[64];
  struct timeval startTime;
};

// All of these are crash-time safe (they use raw system calls and stack buffers only), except
// plovercrashsysctl_getMacAddress, which allocates.

// The value, or 0 when the fact is unknown, unreadable or does not fit the type (logged).
std::int32_t plovercrashsysctl_int32(int major, int minor);
std::int32_t plovercrashsysctl_int32ForName(const char* name);
std::uint32_t plovercrashsysctl_uint32(int major, int minor);
std::uint32_t plovercrashsysctl_uint32ForName(const char* name);
std::int64_t plovercrashsysctl_int64(int major, int minor);
std::int64_t plovercrashsysctl_int64ForName(const char* name);
std::uint64_t plovercrashsysctl_uint64(int major, int minor);
std::uint64_t plovercrashsysctl_uint64ForName(const char* name);

// Copies the text fact with its terminating zero into value (when given) and returns the size it
// needs, terminating zero included; with a null value only the size is returned. 0 when the fact
// cannot be read or maxSize is too small (logged).
int plovercrashsysctl_string(int major, int minor, char* value, int maxSize);
int plovercrashsysctl_stringForName(const char* name, char* value, int maxSize);

// The time fact, or zero (logged) on failure.
struct timeval plovercrashsysctl_timeval(int major, int minor);
struct timeval plovercrashsysctl_timevalForName(const char* name);

// Reads /proc/<pid>/status and /proc/<pid>/stat. False (logged) when the process is unknown.
bool plovercrashsysctl_getProcessInfo(int pid, PloverCrashProcessInfo* processInfo);

// Not for crash time. The 6-byte hardware address of the named interface; a null name means the
// first interface (by index) that is not a loopback and has a non-zero address. False (logged)
// when there is no such interface or it has no 6-byte address.
bool plovercrashsysctl_getMacAddress(const char* name, unsigned char* macAddressBuffer);
