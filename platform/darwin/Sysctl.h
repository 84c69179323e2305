// The system values the crash engine asks the kernel for by name, answered on Linux from
// uname(2) and sysconf(3), and the per-process record it asks for by process id, answered from
// /proc. Not for crash time: the process record opens files.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace vx {

// Reads the value of a named system value into oldp (at most *oldlenp bytes) and stores its
// size in *oldlenp; with oldp null only the size is given. Strings include their NUL.
// Names: "kern.osrelease", "kern.ostype", "kern.version", "kern.hostname" (strings),
// "hw.machine" (string), "hw.ncpu", "hw.logicalcpu", "hw.logicalcpu_max", "hw.activecpu",
// "hw.physicalcpu", "hw.physicalcpu_max" (processor cores, from the kernel's CPU topology),
// "hw.pagesize" (32-bit integers) and "hw.memsize" (64-bit integer). Returns 0, or -1 with errno: ENOENT for
// an unknown name, ENOMEM when the buffer is too small (*oldlenp then holds the size needed),
// EPERM when newp asks to change a value.
int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp,
                 std::size_t newlen);

// The number of processor cores: distinct (physical_package_id, core_id) pairs of the CPUs
// listed under root, a folder laid out as /sys/devices/system/cpu. -1 with errno ENOENT when no
// CPU there has a readable topology.
int physical_cpu_count(const char* root);

// The facts of one process that the crash engine records.
struct kinfo_proc {
  pid_t pid = 0;
  pid_t ppid = 0;
  char comm[16] = {};      // the kernel's command name, NUL-padded, cut at 15 bytes
  struct timeval start{};  // wall-clock start time
  bool traced = false;     // a debugger (ptrace tracer) is attached
};

// Fills out for the process pid from /proc/<pid>/stat, /proc/<pid>/status and /proc/stat.
// Returns 0, or -1 with errno: EINVAL for pid <= 0, ENOENT when there is no such process, the
// failing call's errno otherwise.
int sysctl_proc_pid(pid_t pid, kinfo_proc* out);

}  // namespace vx
