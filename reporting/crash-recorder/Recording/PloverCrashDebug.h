// Debugger detection.
#pragma once

// Crash-time safe. True when a debugger or tracer is attached to this process (a non-zero
// TracerPid in /proc/self/status). False, with "sysctl: ..." logged, when that cannot be read.
bool plovercrashdebug_isBeingTraced();
