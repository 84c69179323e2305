#include "crash-engine/MSHXCrashFrame.h"

MSplframe_error_t MSplframe_cursor_read_compact_unwind(vx::task_t, MShxcrash_async_image_list*,
                                                       const hxcrash_async_thread_state*,
                                                       const hxcrash_async_thread_state*,
                                                       hxcrash_async_thread_state*) {
  return MSPLFRAME_NOT_SUPPORTED;
}
