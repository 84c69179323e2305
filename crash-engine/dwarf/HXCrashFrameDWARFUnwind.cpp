#include "crash-engine/dwarf/HXCrashFrameDWARFUnwind.h"

#include "crash-engine/dwarf/HXCrashAsyncDwarfCFAState.h"
#include "crash-engine/dwarf/HXCrashAsyncDwarfImageCache.h"

using namespace hxcrash::MS::async;

namespace {

// The outermost frame (a program's or a thread's entry) marks its return address undefined, and
// an x86-64 return-address column maps to no register: no rule for it is the normal end of a
// stack, not a failure to report.
template <typename machine_ptr, typename machine_ptr_s>
bool returnAddressUndefined(const dwarf_cfa_state<machine_ptr, machine_ptr_s>& state,
                            const hxcrash_async_dwarf_cie_info& cie, const hxcrash_async_thread_state* current) {
  hxcrash_regnum_t mapped = 0;
  if (MShxcrash_async_thread_state_map_dwarf_to_reg(current, cie.return_address_register, &mapped)) {
    return false;
  }
  dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s> it(&state);
  std::uint32_t regnum = 0;
  hxcrash_dwarf_cfa_reg_rule_t rule{};
  machine_ptr value = 0;
  while (it.next(&regnum, &rule, &value)) {
    if (regnum == cie.return_address_register) return false;
  }
  return true;
}

// Finds the FDE for lookupPc in the cached section, runs the CIE and FDE programs and applies
// the rules. walk (may be null) keeps what later frames of the same walk can use again; a
// cache record on the stack (persistent false) is never remembered by address.
template <typename machine_ptr, typename machine_ptr_s, typename Memory>
MSplframe_error_t unwindIn(vx::task_t task, const MShxcrash_async_dwarf_image_cache* cache, bool persistent,
                           const Memory& mem, const MShxcrash_async_byteorder* byteorder, std::uint64_t pc,
                           std::uint64_t lookupPc, const hxcrash_async_thread_state* current,
                           hxcrash_async_thread_state* next, hxcrash_dwarf_walk_cache* walk) {
  constexpr bool m64 = sizeof(machine_ptr) == 8;
  const gnu_ehptr_reader<machine_ptr> reader(byteorder);
  dwarf_cfa_state<machine_ptr, machine_ptr_s> state;

  // The last CIE of the walk serves this frame too when the FDE shares it (the usual case
  // within one image); a CIE parsed for the other word width is not reused.
  hxcrash_async_dwarf_cie_cache ownCie;
  hxcrash_async_dwarf_cie_cache* parsedCie = &ownCie;
  if (walk != nullptr) {
    if (walk->cie_m64 != m64) walk->cie.valid = false;
    walk->cie_m64 = m64;
    parsedCie = &walk->cie;
  }
  hxcrash_async_dwarf_fde_info fde;
  hxcrash_error_t err = hxcrash_error_none;
  const hxcrash_dwarf_fde_hit* lastFde = walk != nullptr ? &walk->fde : nullptr;
  if (lastFde != nullptr && persistent && lastFde->valid && lastFde->m64 == m64 && lastFde->image_cache == cache &&
      lastFde->entry_start <= lookupPc && lookupPc < lastFde->next_start && lastFde->fde.pc_start <= lookupPc &&
      lookupPc < lastFde->fde.pc_end) {
    fde = lastFde->fde;
  } else {
    hxcrash_dwarf_fde_hit* hit = (walk != nullptr && persistent) ? &walk->fde : nullptr;
    err = hxcrash_async_dwarf_image_cache_find_fde<machine_ptr>(cache, mem, byteorder, lookupPc, &fde, parsedCie, hit);
    if (hit != nullptr && hit->valid) {
      hit->m64 = m64;
      hit->image_cache = cache;
    }
  }
  if (err != hxcrash_error_none) return MSPLFRAME_NOT_SUPPORTED;
  if (fde.pc_start >= static_cast<std::uint64_t>(static_cast<machine_ptr>(~machine_ptr{0}))) {
    return MSPLFRAME_NOT_SUPPORTED;
  }
  const hxcrash_vm_address_t base = mem.base_address();
  const hxcrash_vm_address_t cieAddress = base + fde.cie_offset;
  // The FDE's parse already read its CIE (with the same pointer reader) when it came through
  // the table.
  hxcrash_async_dwarf_cie_info cie;
  if (parsedCie->valid && parsedCie->address == cieAddress) {
    cie = parsedCie->cie;
  } else {
    err = hxcrash_async_dwarf_cie_info_init<machine_ptr>(&cie, mem, byteorder, &reader, cieAddress);
    if (err == hxcrash_error_none && walk != nullptr) {
      walk->cie.valid = true;
      walk->cie.address = cieAddress;
      walk->cie.cie = cie;
    }
  }
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("Failed to parse CIE at offset of 0x%llx: %d", static_cast<unsigned long long>(fde.cie_offset),
                 static_cast<int>(err));
    return MSPLFRAME_NOT_SUPPORTED;
  }
  std::uint64_t* steps = walk != nullptr ? &walk->steps_left : nullptr;
  // The CIE's initial instructions give the same rules for every frame when they never move the
  // location: those rules are kept instead of running the program again.
  hxcrash_dwarf_cie_rules* initial = walk != nullptr ? &walk->initial : nullptr;
  if (initial != nullptr && initial->valid && initial->m64 == m64 && initial->cie_address == cieAddress) {
    state.load_rules(*initial);
  } else {
    bool moved = true;
    err = state.eval_program(mem, static_cast<machine_ptr>(lookupPc), static_cast<machine_ptr>(fde.pc_start), &cie,
                             &reader, byteorder, base, static_cast<hxcrash_vm_off_t>(cie.initial_instructions_offset),
                             static_cast<hxcrash_vm_off_t>(cie.initial_instructions_length), steps, &moved);
    if (initial != nullptr && err == hxcrash_error_none && !moved) {
      initial->valid = state.save_rules(initial);
      initial->m64 = m64;
      initial->cie_address = cieAddress;
    }
  }
  if (err == hxcrash_error_none) {
    err = state.eval_program(mem, static_cast<machine_ptr>(lookupPc), static_cast<machine_ptr>(fde.pc_start), &cie,
                             &reader, byteorder, base, static_cast<hxcrash_vm_off_t>(fde.instructions_offset),
                             static_cast<hxcrash_vm_off_t>(fde.instructions_length), steps);
  }
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("Failed to evaluate CFA at offset of 0x%llx: %d", static_cast<unsigned long long>(fde.fde_offset),
                 static_cast<int>(err));
    return MSPLFRAME_NOT_SUPPORTED;
  }
  if (returnAddressUndefined(state, cie, current)) return MSPLFRAME_NO_FRAME;
  // A section read in place holds the rules' expressions: they are evaluated there.
  const buffer_memory* inPlace = nullptr;
  if constexpr (std::is_same_v<Memory, buffer_memory>) inPlace = &mem;
  err =
      state.apply_state(task, &cie, current, byteorder, next, walk != nullptr ? &walk->stack : nullptr, steps, inPlace);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("Failed to apply CFA state for PC 0x%llx: %d", static_cast<unsigned long long>(pc),
                 static_cast<int>(err));
    return MSPLFRAME_NO_FRAME;
  }
  return MSPLFRAME_OK;
}

template <typename machine_ptr, typename machine_ptr_s>
MSplframe_error_t unwindWith(vx::task_t task, MShxcrash_async_macho* image, std::uint64_t pc, std::uint64_t lookupPc,
                             const hxcrash_async_thread_state* current, hxcrash_async_thread_state* next,
                             hxcrash_dwarf_walk_cache* walk) {
  const MShxcrash_async_dwarf_image_cache* cache = __atomic_load_n(&image->dwarf_cache, __ATOMIC_ACQUIRE);
  // A record without cache (an ELF image found only at crash time, or a Mach-O record built by
  // hand) gets one for this frame only, on the stack: in place for ELF, nothing mapped.
  MShxcrash_async_dwarf_image_cache local;
  const bool temporary = cache == nullptr;
  if (temporary) {
    if (image->format == MShxcrash_async_image_format_elf) {
      MShxcrash_async_dwarf_image_cache_init_in_place(&local, image);
    } else {
      MShxcrash_nasync_dwarf_image_cache_init(&local, image);
    }
    cache = &local;
  }
  MSplframe_error_t result = MSPLFRAME_NO_FRAME;
  if (cache->has_section) {
    if (cache->mapped) {
      const mobject_memory mem{&cache->section};
      result = unwindIn<machine_ptr, machine_ptr_s>(task, cache, !temporary, mem, image->byteorder, pc, lookupPc,
                                                    current, next, walk);
    } else {
      const buffer_memory mem = dwarf_image_cache_in_place(cache);
      result = unwindIn<machine_ptr, machine_ptr_s>(task, cache, !temporary, mem, image->byteorder, pc, lookupPc,
                                                    current, next, walk);
    }
  }
  if (temporary) MShxcrash_nasync_dwarf_image_cache_free(&local);
  return result;
}

}  // namespace

MSplframe_error_t MSplframe_cursor_read_dwarf_unwind(vx::task_t task, MShxcrash_async_image_list* image_list,
                                                     const hxcrash_async_thread_state* current_frame,
                                                     const hxcrash_async_thread_state* previous_frame,
                                                     hxcrash_async_thread_state* next_frame) {
  return MSplframe_cursor_read_dwarf_unwind_in_walk(task, image_list, current_frame, previous_frame, next_frame,
                                                    nullptr);
}

MSplframe_error_t MSplframe_cursor_read_dwarf_unwind_in_walk(vx::task_t task, MShxcrash_async_image_list* image_list,
                                                             const hxcrash_async_thread_state* current_frame,
                                                             const hxcrash_async_thread_state* previous_frame,
                                                             hxcrash_async_thread_state* next_frame,
                                                             hxcrash_dwarf_walk_cache* walk) {
  std::uint64_t pc = 0;
  std::uint64_t lookupPc = 0;
  MShxcrash_async_macho* image = nullptr;
  const MSplframe_error_t found =
      MSplframe_cursor_find_frame_image(image_list, current_frame, previous_frame, &pc, &lookupPc, &image);
  if (found != MSPLFRAME_OK) return found;
  MSplframe_error_t result;
  if (image->m64) {
    result = unwindWith<std::uint64_t, std::int64_t>(task, image, pc, lookupPc, current_frame, next_frame, walk);
  } else if (lookupPc > 0xffffffffu) {
    result = MSPLFRAME_NOT_SUPPORTED;
  } else {
    result = unwindWith<std::uint32_t, std::int32_t>(task, image, pc, lookupPc, current_frame, next_frame, walk);
  }
  MShxcrash_async_image_list_set_reading(image_list, false);
  return result;
}
