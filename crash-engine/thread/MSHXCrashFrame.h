// The frame cursor: steps from a thread's registers to its callers' by asking a fixed list of
// frame readers in order (compact unwind, DWARF call-frame information, saved frame pointers).
// Also the frame-pointer reader itself.
//
// Every function here is safe at crash time: no allocation, no locks, no library string
// functions; the cursor and its frames live on the caller's stack.
#pragma once

#include "crash-engine/dwarf/HXCrashAsyncDwarfWalkCache.h"
#include "crash-engine/async/HXCrashAsyncImageList.h"
#include "crash-engine/thread/MSHXCrashThreadState.h"

enum MSplframe_error_t : std::int32_t {
  MSPLFRAME_OK = 0,
  MSPLFRAME_UNKNOWN = 1,
  MSPLFRAME_NO_FRAME = 2,  // the normal end of a walk
  MSPLFRAME_BAD_FRAME = 3,
  MSPLFRAME_NOT_SUPPORTED = 4,
  MSPLFRAME_INVALID_ARG = 5,
  MSPLFRAME_INTERNAL = 6,
  MSPLFRAME_BAD_REGISTER = 7,
};

struct MSplframe_cursor {
  vx::task_t task;                         // holds one send-right reference until MSplframe_cursor_free
  MShxcrash_async_image_list* image_list;  // borrowed
  std::uint32_t depth;
  hxcrash_async_thread_state prev_frame;
  hxcrash_async_thread_state frame;
  // What the DWARF reader keeps between the steps of this walk (stack bytes, the last CIE and
  // FDE, the walk's instruction budget); reset by init.
  hxcrash::MS::async::hxcrash_dwarf_walk_cache dwarf_walk;
};

// A frame reader: from current_frame (and previous_frame, null for the first frame of a walk)
// computes the caller's registers into next_frame; MSPLFRAME_OK when it did.
typedef MSplframe_error_t (*MSplframe_cursor_frame_reader_t)(vx::task_t task, MShxcrash_async_image_list* image_list,
                                                             const hxcrash_async_thread_state* current_frame,
                                                             const hxcrash_async_thread_state* previous_frame,
                                                             hxcrash_async_thread_state* next_frame);

// Constant text of a frame error code; "Unhandled error code" for anything else.
const char* MSplframe_strerror(MSplframe_error_t error);

// Starts a walk at state. Always MSPLFRAME_OK.
MSplframe_error_t MSplframe_cursor_init(MSplframe_cursor* cursor, vx::task_t task,
                                        const hxcrash_async_thread_state* state,
                                        MShxcrash_async_image_list* image_list);
// Starts a walk at another thread's registers (MShxcrash_async_thread_state_mach_thread_init);
// its error (already logged) is returned as is, and then nothing is left to free.
hxcrash_error_t MSplframe_cursor_thread_init(MSplframe_cursor* cursor, vx::task_t task, vx::thread_t thread,
                                             MShxcrash_async_image_list* image_list);
// The first call yields the initial state; later calls ask the readers in order. A reader's
// frame counts only when it moves up the stack: its stack pointer strictly above the current
// one (any, above the signal trampoline) and not the current frame again; otherwise the next
// reader is asked, and MSPLFRAME_BAD_FRAME ends the walk when none is left. A failed step
// leaves the cursor where it was. MSPLFRAME_NO_FRAME ends a walk normally (also for an
// instruction pointer at or below 0x1000); MSPLFRAME_INVALID_ARG without readers.
MSplframe_error_t MSplframe_cursor_next_with_readers(MSplframe_cursor* cursor,
                                                     const MSplframe_cursor_frame_reader_t* readers,
                                                     std::size_t reader_count);
MSplframe_error_t MSplframe_cursor_next(MSplframe_cursor* cursor);
// MSPLFRAME_NOT_SUPPORTED when the current frame lacks the register.
MSplframe_error_t MSplframe_cursor_get_reg(MSplframe_cursor* cursor, hxcrash_regnum_t regnum, std::uint64_t* value);
const char* MSplframe_cursor_get_regname(MSplframe_cursor* cursor, hxcrash_regnum_t regnum);
std::size_t MSplframe_cursor_get_regcount(MSplframe_cursor* cursor);
void MSplframe_cursor_free(MSplframe_cursor* cursor);

// The saved frame-pointer chain: [fp] is the caller's frame pointer, [fp + word] the return
// address. MSPLFRAME_NO_FRAME at a zero frame pointer; MSPLFRAME_BAD_FRAME (logged) without a
// frame pointer, for a stack growing the wrong way or an unreadable frame.
MSplframe_error_t MSplframe_cursor_read_frame_ptr(vx::task_t task, MShxcrash_async_image_list* image_list,
                                                  const hxcrash_async_thread_state* current_frame,
                                                  const hxcrash_async_thread_state* previous_frame,
                                                  hxcrash_async_thread_state* next_frame);

// For the frame readers, at crash time: the loaded image holding the frame's pc (*pc) looked up at
// *lookup_pc (a caller's pc is a return address: the call lies one byte before it). On
// MSPLFRAME_OK the image list is marked as being read and the caller ends that with
// MShxcrash_async_image_list_set_reading(image_list, false); MSPLFRAME_BAD_FRAME without an IP,
// MSPLFRAME_NOT_SUPPORTED when no image holds the pc (list left unmarked).
MSplframe_error_t MSplframe_cursor_find_frame_image(MShxcrash_async_image_list* image_list,
                                                    const hxcrash_async_thread_state* current_frame,
                                                    const hxcrash_async_thread_state* previous_frame, std::uint64_t* pc,
                                                    std::uint64_t* lookup_pc, MShxcrash_async_macho** image);

// The compact-unwind reader (MSHXCrashFrameCompactUnwind.cpp, HXCrashAsyncCompactUnwindEncoding.h):
// a Mach-O image's __unwind_info entry for the pc, applied. ELF images carry no compact unwind
// information: MSPLFRAME_NOT_SUPPORTED, nothing logged.
MSplframe_error_t MSplframe_cursor_read_compact_unwind(vx::task_t task, MShxcrash_async_image_list* image_list,
                                                       const hxcrash_async_thread_state* current_frame,
                                                       const hxcrash_async_thread_state* previous_frame,
                                                       hxcrash_async_thread_state* next_frame);

// The DWARF call-frame information reader (HXCrashFrameDWARFUnwind.cpp). See there.
MSplframe_error_t MSplframe_cursor_read_dwarf_unwind(vx::task_t task, MShxcrash_async_image_list* image_list,
                                                     const hxcrash_async_thread_state* current_frame,
                                                     const hxcrash_async_thread_state* previous_frame,
                                                     hxcrash_async_thread_state* next_frame);
// The same reader within a walk: walk (may be null) carries what one step leaves for the next
// and the walk's budget. The cursor calls this in place of the reader above, with its own.
MSplframe_error_t MSplframe_cursor_read_dwarf_unwind_in_walk(vx::task_t task, MShxcrash_async_image_list* image_list,
                                                             const hxcrash_async_thread_state* current_frame,
                                                             const hxcrash_async_thread_state* previous_frame,
                                                             hxcrash_async_thread_state* next_frame,
                                                             hxcrash::MS::async::hxcrash_dwarf_walk_cache* walk);
