// The DWARF call-frame information frame reader: finds the FDE of the current frame's image
// (its .eh_frame, or a Mach-O image's __eh_frame/__debug_frame), runs the CIE and FDE programs
// up to the program counter and applies the resulting rules to get the caller's registers.
//
// Safe at crash time: fixed tables on the stack, the section read where the image's cache says
// (in place, or the memory object mapped once when the image was added), the FDE found through
// the image's .eh_frame_hdr table when it has one; the image list read inside its reading
// window; no allocation, no locks, no library string functions. Only a record that never joined
// an image list has its section prepared (and, for Mach-O, mapped) for the one frame.
//
// The first frame of a walk (no previous frame) is looked up at its exact program counter; every
// caller frame at pc - 1, because its program counter is a return address, which for a call to
// a function that does not return can be the first byte of the next function.
#pragma once

#include "crash-engine/thread/MSHXCrashFrame.h"
