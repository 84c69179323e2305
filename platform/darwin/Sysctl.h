// The system values the crash libraries ask the kernel for by name, answered on Linux from
// uname(2), sysconf(3), /proc and /sys, and the per-process records they ask for by process id,
// answered from /proc. One implementation for both crash libraries; everything here is safe at
// crash time (raw system calls into fixed buffers: no allocation, no locks, no stdio).
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace vx {

// One named system value as sysctl_read finds it.
struct sysctl_value {
  enum class kind { text, integer, time };
  kind type = kind::text;
  char text[512] = {};  // kind::text: NUL-terminated
  std::size_t length = 0;
  std::int64_t integer = 0;  // kind::integer
  struct timeval time {};    // kind::time
};

// Crash time. Reads a named system value:
//   kern.ostype, kern.osrelease, kern.version, kern.hostname, hw.machine  uname fields (text)
//   kern.boottime                            /proc/stat "btime" (time)
//   hw.model                                 the DMI product name (text)
//   hw.ncpu, hw.logicalcpu, hw.logicalcpu_max  configured processors (integer)
//   hw.activecpu                             online processors (integer)
//   hw.physicalcpu, hw.physicalcpu_max       processor cores, from the kernel's CPU topology
//   hw.memsize, hw.physmem, hw.pagesize      sysconf (integer)
//   hw.byteorder                             1234 or 4321 (integer)
//   hw.cpufrequency                          cpu0's maximum frequency in Hz (integer)
//   any other "kern.", "vm.", "fs.", "net." name  the file under /proc/sys with the dots as
//                                            slashes (integer when it is one decimal number,
//                                            else text)
// Returns 0, or -1 with errno: ENOENT for an unknown name (or one that would leave /proc/sys),
// EINVAL for a null name or out, EOVERFLOW for a text beyond 511 bytes, the failing call's
// errno otherwise.
int sysctl_read(const char* name, sysctl_value* out);

// Crash time. Reads the value of a named system value into oldp (at most *oldlenp bytes) and
// stores its size in *oldlenp; with oldp null only the size is given. The names are those of
// sysctl_read. Texts include their NUL; times are a struct timeval; integers are 32 bits wide
// for hw.ncpu, hw.logicalcpu, hw.logicalcpu_max, hw.activecpu, hw.physicalcpu,
// hw.physicalcpu_max, hw.pagesize and hw.byteorder, 64 bits for all others. Returns 0, or -1
// with errno: ENOENT for an unknown name, ENOMEM when the buffer is too small (*oldlenp then
// holds the size needed), EPERM when newp asks to change a value, EINVAL for a null name or
// oldlenp.
int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp, std::size_t newlen);

// Crash time. The number of processor cores: distinct (physical_package_id, core_id) pairs of
// the CPUs listed under root, a folder laid out as /sys/devices/system/cpu. -1 with errno ENOENT
// when no CPU there has a readable topology. Remembers up to 1024 cores (8 KB of stack); cores
// beyond those are counted without telling repeats apart.
int physical_cpu_count(const char* root);

// The facts of one process that the crash engine records.
struct kinfo_proc {
  pid_t pid = 0;
  pid_t ppid = 0;
  char comm[16] = {};       // the kernel's command name, NUL-padded, cut at 15 bytes
  struct timeval start {};  // wall-clock start time
  bool traced = false;      // a debugger (ptrace tracer) is attached
};

// Crash time. Fills out for the process pid from /proc/<pid>/stat, /proc/<pid>/status and
// /proc/stat. Returns 0, or -1 with errno: EINVAL for pid <= 0, ENOENT when there is no such
// process, the failing call's errno otherwise.
int sysctl_proc_pid(pid_t pid, kinfo_proc* out);

// What /proc/<pid>/stat says of a process.
struct proc_pid_stat_record {
  pid_t ppid = 0;
  char comm[16] = {};       // between the first '(' and the last ')', cut at 15 bytes
  struct timeval start {};  // wall-clock start time; zero when the boot time is unreadable
};

// Crash time. Reads /proc/<pid>/stat (and /proc/stat for the boot time). Returns 0, or -1 with
// errno: EINVAL for pid <= 0 or a null out, ENOENT when there is no such process, EIO when the
// file is not laid out as expected, the failing call's errno otherwise.
int proc_pid_read_stat(pid_t pid, proc_pid_stat_record* out);

// What /proc/<pid>/status says of a process.
struct proc_pid_status_record {
  char name[64] = {};    // "Name:" as the file writes it
  pid_t ppid = 0;        // "PPid:"
  pid_t tracer_pid = 0;  // "TracerPid:", 0 when no tracer is attached
};

// Crash time. Reads /proc/<pid>/status. Returns 0, or -1 with errno: EINVAL for pid <= 0 or a
// null out, the failing open's errno (ENOENT when there is no such process).
int proc_pid_read_status(pid_t pid, proc_pid_status_record* out);

// Crash time. The boot time from /proc/stat "btime"; false with errno set when unreadable.
bool boot_time(struct timeval* out);

}  // namespace vx
