#include "crash-engine/macho/HXCrashAsyncCompactUnwindEncoding.h"
#include "crash-engine/thread/MSHXCrashFrame.h"

// Crash time. Maps the image's __TEXT,__unwind_info for this one step (ELF images have none: not
// supported, silently), finds the function's encoding and applies it.
MSplframe_error_t MSplframe_cursor_read_compact_unwind(vx::task_t task, MShxcrash_async_image_list* image_list,
                                                       const hxcrash_async_thread_state* current_frame,
                                                       const hxcrash_async_thread_state* previous_frame,
                                                       hxcrash_async_thread_state* next_frame) {
  // Without an image list no image can hold compact unwind information.
  if (image_list == nullptr) return MSPLFRAME_NOT_SUPPORTED;
  std::uint64_t pc = 0;
  std::uint64_t lookupPc = 0;
  MShxcrash_async_macho* image = nullptr;
  const MSplframe_error_t found =
      MSplframe_cursor_find_frame_image(image_list, current_frame, previous_frame, &pc, &lookupPc, &image);
  if (found != MSPLFRAME_OK) return found;
  MSplframe_error_t result = MSPLFRAME_NOT_SUPPORTED;
  hxcrash_async_mobject section;
  const hxcrash_error_t mapErr = MShxcrash_async_macho_map_section(image, "__TEXT", "__unwind_info", &section);
  if (mapErr != hxcrash_error_none) {
    if (mapErr != hxcrash_error_not_found) {
      MSHXCF_DEBUG("Could not map the compact unwind info section for image %s: %d", image->name,
                   static_cast<int>(mapErr));
    }
    MShxcrash_async_image_list_set_reading(image_list, false);
    return MSPLFRAME_NOT_SUPPORTED;
  }

  do {
    const auto cpuType = static_cast<std::uint32_t>(MShxcrash_async_macho_cpu_type(image));
    MShxcrash_async_cfe_reader reader;
    hxcrash_error_t err = MShxcrash_async_cfe_reader_init(&reader, &section, cpuType);
    if (err != hxcrash_error_none) {
      MSHXCF_DEBUG("Could not parse the compact unwind info section for image '%s': %d", image->name,
                   static_cast<int>(err));
      result = MSPLFRAME_INVALID_ARG;
      break;
    }
    std::uint64_t functionBase = 0;
    std::uint32_t encoding = 0;
    err = MShxcrash_async_cfe_reader_find_pc(&reader, lookupPc - image->header_addr, &functionBase, &encoding);
    MShxcrash_async_cfe_reader_free(&reader);
    if (err != hxcrash_error_none) {
      MSHXCF_DEBUG("Did not find CFE entry for PC 0x%llx: %d", static_cast<unsigned long long>(pc),
                   static_cast<int>(err));
      result = MSPLFRAME_NOT_SUPPORTED;
      break;
    }
    MShxcrash_async_cfe_entry entry;
    err = MShxcrash_async_cfe_entry_init(&entry, cpuType, encoding);
    if (err != hxcrash_error_none) {
      MSHXCF_DEBUG("Could not decode CFE encoding 0x%x for PC 0x%llx: %d", encoding,
                   static_cast<unsigned long long>(pc), static_cast<int>(err));
      result = MSPLFRAME_NOT_SUPPORTED;
      break;
    }
    if (MShxcrash_async_cfe_entry_type(&entry) == MShxcrash_async_cfe_entry_none) {
      result = MSPLFRAME_NO_FRAME;
      break;
    }
    hxcrash_vm_address_t functionAddress = 0;
    if (!MShxcrash_async_address_apply_offset(image->header_addr, static_cast<hxcrash_vm_off_t>(functionBase),
                                              &functionAddress)) {
      MSHXCF_DEBUG(
          "The provided function base (0x%llx) plus header address (0x%llx) will "
          "overflow pl_vm_address_t",
          static_cast<unsigned long long>(functionBase), static_cast<unsigned long long>(image->header_addr));
      result = MSPLFRAME_INVALID_ARG;
      break;
    }
    err = MShxcrash_async_cfe_entry_apply(task, functionAddress, current_frame, &entry, next_frame);
    if (err != hxcrash_error_none) {
      // DWARF entries land here too; the cursor then asks the DWARF reader.
      MSHXCF_DEBUG("Failed to apply CFE encoding 0x%x for PC 0x%llx: %d", encoding, static_cast<unsigned long long>(pc),
                   static_cast<int>(err));
      result = MSPLFRAME_NO_FRAME;
      break;
    }
    result = MSPLFRAME_OK;
  } while (false);

  MShxcrash_async_mobject_free(&section);
  MShxcrash_async_image_list_set_reading(image_list, false);
  return result;
}
