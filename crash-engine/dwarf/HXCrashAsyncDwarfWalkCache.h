// What the DWARF frame reader keeps from one step of a stack walk to the next: it lives in the
// frame cursor and is reset when a walk starts. A copy of the stack bytes the last saved
// registers came from (the callers' saved registers usually lie just above, so most frames need
// no system call), the last CIE parsed and the rules its initial instructions give, the last FDE
// found through a header table, and the instruction budget of the whole walk.
//
// Only what the same bytes would give again is kept: the walk reads a stopped thread's stack and
// loaded images, which do not change while it runs. Plain data on the caller's stack; safe at
// crash time (no allocation, no locks; every refill is a checked read).
#pragma once

#include "crash-engine/dwarf/HXCrashAsyncDwarfCIE.h"

namespace hxcrash::MS::async {

// CFA instructions and expression operations one whole walk may execute, across its frames.
// Each program and expression has its own budget as well; this one bounds a walk of many
// frames that each stay just within theirs.
inline constexpr std::uint64_t HXCRASH_DWARF_WALK_MAX_STEPS = std::uint64_t{1} << 20;

// A copy of [start, start + length) of the walked task's memory.
struct hxcrash_dwarf_stack_window {
  static constexpr std::uint64_t kBytes = 1024;
  std::uint64_t start;
  std::uint64_t length;  // 0: empty
  std::uint8_t bytes[kBytes];

  // True when [low, high) is inside the window afterwards: already there, or read now with one
  // checked read of up to kBytes from low on (as many leading bytes as can be read). False,
  // window emptied, when those bytes cannot be read or span more than kBytes.
  bool cover(vx::task_t task, std::uint64_t low, std::uint64_t high) {
    if (high < low) return false;
    if (length != 0 && low >= start && high - start <= length) return true;
    length = 0;
    if (high - low > kBytes || task != vx::mach_task_self()) return false;
    vx::mach_vm_size_t copied = 0;
    vx::mach_vm_read_overwrite(task, low, kBytes, reinterpret_cast<vx::mach_vm_address_t>(bytes), &copied);
    if (copied < high - low || copied > kBytes) return false;
    start = low;
    length = copied;
    return true;
  }
};

// The rules a CIE's initial instructions leave on the base level of the rule table, when they do
// not depend on the program counter (no location advance) and use no remembered levels.
struct hxcrash_dwarf_cie_rules {
  static constexpr std::uint8_t kRules = 24;
  struct rule {
    std::uint64_t value;
    std::uint32_t regnum;
    std::uint8_t kind;
  };
  bool valid;
  bool m64;
  hxcrash_vm_address_t cie_address;
  std::uint8_t cfa_type;
  std::uint32_t cfa_reg;
  std::uint64_t cfa_offset;
  std::uint64_t cfa_expression_address;
  std::uint64_t cfa_expression_length;
  std::uint8_t count;
  rule rules[kRules];  // in the table's iteration order
};

// The last FDE found through an image's header table, and the program counters for which the
// same search gives it again: inside the FDE and inside its table entry's span
// [entry_start, next_start).
struct hxcrash_dwarf_fde_hit {
  bool valid;
  bool m64;
  const void* image_cache;
  std::uint64_t entry_start;
  std::uint64_t next_start;
  hxcrash_async_dwarf_fde_info fde;
};

struct hxcrash_dwarf_walk_cache {
  std::uint64_t steps_left;
  hxcrash_dwarf_stack_window stack;
  bool cie_m64;
  hxcrash_async_dwarf_cie_cache cie;
  hxcrash_dwarf_cie_rules initial;
  hxcrash_dwarf_fde_hit fde;
};

// Empties everything and refills the budget; the window's bytes are left as they are.
inline void hxcrash_dwarf_walk_cache_reset(hxcrash_dwarf_walk_cache* walk) {
  walk->steps_left = HXCRASH_DWARF_WALK_MAX_STEPS;
  walk->stack.start = 0;
  walk->stack.length = 0;
  walk->cie_m64 = false;
  walk->cie.valid = false;
  walk->cie.address = 0;
  walk->initial.valid = false;
  walk->fde.valid = false;
}

}  // namespace hxcrash::MS::async
