#include "crash-engine/thread/MSHXCrashFrame.h"

const char* MSplframe_strerror(MSplframe_error_t error) {
  switch (error) {
    case MSPLFRAME_OK:
      return "No error";
    case MSPLFRAME_UNKNOWN:
      return "Unknown error";
    case MSPLFRAME_NO_FRAME:
      return "No frames are available";
    case MSPLFRAME_BAD_FRAME:
      return "Corrupted frame";
    case MSPLFRAME_NOT_SUPPORTED:
      return "Operation not supported";
    case MSPLFRAME_INVALID_ARG:
      return "Invalid argument";
    case MSPLFRAME_INTERNAL:
      return "Internal error";
    case MSPLFRAME_BAD_REGISTER:
      return "Invalid register";
  }
  return "Unhandled error code";
}

namespace {

// The x86-64 Linux signal return trampoline ("mov $15, %rax; syscall"). The frame above it is
// the interrupted one, whose stack pointer may lie anywhere: on another stack than the handler's
// (an alternate signal stack), so it need not be above the trampoline's.
bool isSignalTrampoline(vx::task_t task, const hxcrash_async_thread_state* frame) {
  if (MShxcrash_async_thread_state_get_greg_size(frame) != 8 ||
      !MShxcrash_async_thread_state_has_reg(frame, MSHXCRASH_REG_IP)) {
    return false;
  }
  static constexpr std::uint8_t kSigreturn[9] = {0x48, 0xc7, 0xc0, 0x0f, 0x00, 0x00, 0x00, 0x0f, 0x05};
  std::uint8_t code[sizeof kSigreturn];
  if (MShxcrash_async_read_addr(task, MShxcrash_async_thread_state_get_reg(frame, MSHXCRASH_REG_IP), code,
                                sizeof code) != vx::KERN_SUCCESS) {
    return false;
  }
  for (std::size_t i = 0; i < sizeof code; ++i) {
    if (code[i] != kSigreturn[i]) return false;
  }
  return true;
}

bool sameRegister(const hxcrash_async_thread_state* a, const hxcrash_async_thread_state* b, hxcrash_regnum_t regnum) {
  const bool inA = MShxcrash_async_thread_state_has_reg(a, regnum);
  if (inA != MShxcrash_async_thread_state_has_reg(b, regnum)) return false;
  return !inA || MShxcrash_async_thread_state_get_reg(a, regnum) == MShxcrash_async_thread_state_get_reg(b, regnum);
}

// A caller's frame lies above its callee's on a downward stack: its stack pointer (the callee's
// canonical frame address) must be strictly higher, except above the signal trampoline. A frame
// equal to the current one (same instruction, stack and frame pointer) would repeat forever.
// Unwind information that does not move the stack fails here, and the next reader is asked.
bool advances(vx::task_t task, const hxcrash_async_thread_state* current, const hxcrash_async_thread_state* next) {
  if (sameRegister(current, next, MSHXCRASH_REG_IP) && sameRegister(current, next, MSHXCRASH_REG_SP) &&
      sameRegister(current, next, MSHXCRASH_REG_FP)) {
    return false;
  }
  if (!MShxcrash_async_thread_state_has_reg(current, MSHXCRASH_REG_SP) ||
      !MShxcrash_async_thread_state_has_reg(next, MSHXCRASH_REG_SP)) {
    return true;
  }
  const std::uint64_t sp = MShxcrash_async_thread_state_get_reg(current, MSHXCRASH_REG_SP);
  const std::uint64_t nextSp = MShxcrash_async_thread_state_get_reg(next, MSHXCRASH_REG_SP);
  const bool up =
      MShxcrash_async_thread_state_get_stack_direction(current) == MShxcrash_async_thread_stack_direction_up;
  if (up ? nextSp < sp : nextSp > sp) return true;
  return isSignalTrampoline(task, current);
}

}  // namespace

MSplframe_error_t MSplframe_cursor_init(MSplframe_cursor* cursor, vx::task_t task,
                                        const hxcrash_async_thread_state* state,
                                        MShxcrash_async_image_list* image_list) {
  cursor->depth = 0;
  cursor->task = task;
  cursor->image_list = image_list;
  vx::mach_port_mod_refs(vx::mach_task_self(), task, vx::MACH_PORT_RIGHT_SEND, 1);
  MShxcrash_async_thread_state_copy(&cursor->frame, state);
  MShxcrash_async_memset(&cursor->prev_frame, 0, sizeof cursor->prev_frame);
  hxcrash::MS::async::hxcrash_dwarf_walk_cache_reset(&cursor->dwarf_walk);
  return MSPLFRAME_OK;
}

hxcrash_error_t MSplframe_cursor_thread_init(MSplframe_cursor* cursor, vx::task_t task, vx::thread_t thread,
                                             MShxcrash_async_image_list* image_list) {
  hxcrash_async_thread_state state;
  const hxcrash_error_t err = MShxcrash_async_thread_state_mach_thread_init(&state, thread);
  if (err != hxcrash_error_none) return err;
  MSplframe_cursor_init(cursor, task, &state, image_list);
  return hxcrash_error_none;
}

MSplframe_error_t MSplframe_cursor_next_with_readers(MSplframe_cursor* cursor,
                                                     const MSplframe_cursor_frame_reader_t* readers,
                                                     std::size_t reader_count) {
  if (cursor->depth == 0) {
    cursor->depth = 1;
    return MSPLFRAME_OK;
  }
  if (reader_count == 0) return MSPLFRAME_INVALID_ARG;

  hxcrash_async_thread_state next;
  const hxcrash_async_thread_state* previous = cursor->depth == 1 ? nullptr : &cursor->prev_frame;
  MSplframe_error_t result = MSPLFRAME_UNKNOWN;
  for (std::size_t i = 0; i < reader_count; ++i) {
    // The DWARF reader gets the walk's cache: the same result, sooner.
    if (readers[i] == MSplframe_cursor_read_dwarf_unwind) {
      result = MSplframe_cursor_read_dwarf_unwind_in_walk(cursor->task, cursor->image_list, &cursor->frame, previous,
                                                          &next, &cursor->dwarf_walk);
    } else {
      result = readers[i](cursor->task, cursor->image_list, &cursor->frame, previous, &next);
    }
    if (result == MSPLFRAME_OK && !advances(cursor->task, &cursor->frame, &next)) {
      MSHXCF_DEBUG("Frame reader %zu did not advance the stack; asking the next reader", i);
      result = MSPLFRAME_BAD_FRAME;
      continue;
    }
    if (result == MSPLFRAME_OK) break;
  }
  if (result != MSPLFRAME_OK) return result;

  if (!MShxcrash_async_thread_state_has_reg(&next, MSHXCRASH_REG_IP)) {
    MSHXCF_DEBUG("Missing expected IP value in successfully read frame");
    return MSPLFRAME_NO_FRAME;
  }
  if (MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_IP) <= 0x1000) {
    return MSPLFRAME_NO_FRAME;
  }
  MShxcrash_async_thread_state_copy(&cursor->prev_frame, &cursor->frame);
  MShxcrash_async_thread_state_copy(&cursor->frame, &next);
  cursor->depth += 1;
  return MSPLFRAME_OK;
}

MSplframe_error_t MSplframe_cursor_next(MSplframe_cursor* cursor) {
  static const MSplframe_cursor_frame_reader_t readers[] = {
      MSplframe_cursor_read_compact_unwind,
      MSplframe_cursor_read_dwarf_unwind,
      MSplframe_cursor_read_frame_ptr,
  };
  return MSplframe_cursor_next_with_readers(cursor, readers, sizeof readers / sizeof readers[0]);
}

MSplframe_error_t MSplframe_cursor_get_reg(MSplframe_cursor* cursor, hxcrash_regnum_t regnum, std::uint64_t* value) {
  if (!MShxcrash_async_thread_state_has_reg(&cursor->frame, regnum)) {
    return MSPLFRAME_NOT_SUPPORTED;
  }
  *value = MShxcrash_async_thread_state_get_reg(&cursor->frame, regnum);
  return MSPLFRAME_OK;
}

const char* MSplframe_cursor_get_regname(MSplframe_cursor* cursor, hxcrash_regnum_t regnum) {
  return MShxcrash_async_thread_state_get_reg_name(&cursor->frame, regnum);
}

std::size_t MSplframe_cursor_get_regcount(MSplframe_cursor* cursor) {
  return MShxcrash_async_thread_state_get_reg_count(&cursor->frame);
}

void MSplframe_cursor_free(MSplframe_cursor* cursor) {
  if (cursor->task != 0) {
    vx::mach_port_mod_refs(vx::mach_task_self(), cursor->task, vx::MACH_PORT_RIGHT_SEND, -1);
  }
}

MSplframe_error_t MSplframe_cursor_read_frame_ptr(vx::task_t task, MShxcrash_async_image_list*,
                                                  const hxcrash_async_thread_state* current_frame,
                                                  const hxcrash_async_thread_state* previous_frame,
                                                  hxcrash_async_thread_state* next_frame) {
  if (!MShxcrash_async_thread_state_has_reg(current_frame, MSHXCRASH_REG_FP)) {
    MSHXCF_DEBUG("The frame pointer is unavailable, can't read saved register.");
    return MSPLFRAME_BAD_FRAME;
  }
  const std::uint64_t fp = MShxcrash_async_thread_state_get_reg(current_frame, MSHXCRASH_REG_FP);
  if (fp == 0) return MSPLFRAME_NO_FRAME;

  if (previous_frame != nullptr && MShxcrash_async_thread_state_has_reg(previous_frame, MSHXCRASH_REG_FP)) {
    const std::uint64_t prevFp = MShxcrash_async_thread_state_get_reg(previous_frame, MSHXCRASH_REG_FP);
    const auto direction = MShxcrash_async_thread_state_get_stack_direction(current_frame);
    if ((direction == MShxcrash_async_thread_stack_direction_down && fp < prevFp) ||
        (direction == MShxcrash_async_thread_stack_direction_up && fp > prevFp)) {
      MSHXCF_DEBUG("Stack growing in wrong direction, terminating stack walk");
      return MSPLFRAME_BAD_FRAME;
    }
  }

  const std::size_t wordSize = MShxcrash_async_thread_state_get_greg_size(current_frame);
  std::uint64_t words[2] = {0, 0};
  std::uint64_t savedFp = 0;
  std::uint64_t returnAddress = 0;
  const vx::kern_return_t kr = MShxcrash_async_read_addr(task, fp, words, wordSize * 2);
  if (kr != vx::KERN_SUCCESS) {
    MSHXCF_DEBUG("Failed to read frame: %d", kr);
    return MSPLFRAME_BAD_FRAME;
  }
  if (wordSize == 4) {
    std::uint32_t narrow[2];
    MShxcrash_async_memcpy(narrow, words, sizeof narrow);
    savedFp = narrow[0];
    returnAddress = narrow[1];
  } else {
    savedFp = words[0];
    returnAddress = words[1];
  }
  MShxcrash_async_thread_state_copy(next_frame, current_frame);
  MShxcrash_async_thread_state_clear_all_regs(next_frame);
  MShxcrash_async_thread_state_set_reg(next_frame, MSHXCRASH_REG_FP, savedFp);
  MShxcrash_async_thread_state_set_reg(next_frame, MSHXCRASH_REG_IP, returnAddress);
  return MSPLFRAME_OK;
}

MSplframe_error_t MSplframe_cursor_find_frame_image(MShxcrash_async_image_list* image_list,
                                                    const hxcrash_async_thread_state* current_frame,
                                                    const hxcrash_async_thread_state* previous_frame, std::uint64_t* pc,
                                                    std::uint64_t* lookup_pc, MShxcrash_async_macho** image) {
  if (!MShxcrash_async_thread_state_has_reg(current_frame, MSHXCRASH_REG_IP)) {
    MSHXCF_DEBUG("Frame is missing a valid IP register, skipping this unwind reader");
    return MSPLFRAME_BAD_FRAME;
  }
  *pc = MShxcrash_async_thread_state_get_reg(current_frame, MSHXCRASH_REG_IP);
  // After a call that does not return, the return address can be the next function's first byte.
  *lookup_pc = (previous_frame != nullptr && *pc > 0) ? *pc - 1 : *pc;

  MShxcrash_async_image_list_set_reading(image_list, true);
  *image = MShxcrash_async_image_containing_address(image_list, *lookup_pc);
  if (*image == nullptr) {
    MSHXCF_DEBUG("Could not find a loaded image for the current frame pc: 0x%llx",
                 static_cast<unsigned long long>(*pc));
    MShxcrash_async_image_list_set_reading(image_list, false);
    return MSPLFRAME_NOT_SUPPORTED;
  }
  return MSPLFRAME_OK;
}
