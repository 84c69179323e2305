// A Mach-O image from the input, placed page-aligned in memory: the record, the load-command
// walk, segment and section mapping, the symbol table and symbol lookups.
#include "crash-engine/macho/HXCrashAsyncMachOImage.h"
#include "tests/crash-engine/fuzz/CrashEngineFuzz.h"

#include <sys/mman.h>

#include <cstring>
#include <initializer_list>

namespace {

void foundSymbol(hxcrash_vm_address_t, const char* name, void* context) {
  // Reading the name whole shows it is terminated inside the mapping.
  *static_cast<std::size_t*>(context) += std::strlen(name);
}

}  // namespace

CE_FUZZ_TARGET(macho) {
  if (size < 32) return 0;
  const std::size_t length = (size + 4095) & ~std::size_t{4095};
  void* placed = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (placed == MAP_FAILED) return 0;
  std::memcpy(placed, data, size);
  const auto header = reinterpret_cast<hxcrash_vm_address_t>(placed);
  MShxcrash_async_macho image{};
  if (MShxcrash_nasync_macho_init(&image, vx::mach_task_self(), "fuzz", header) == hxcrash_error_none) {
    for (void* cmd = MShxcrash_async_macho_next_command(&image, nullptr); cmd != nullptr;
         cmd = MShxcrash_async_macho_next_command(&image, cmd)) {
    }
    const char* segments[] = {"__TEXT", "__DATA", "__LINKEDIT"};
    for (const char* name : segments) {
      MShxcrash_async_macho_mapped_segment segment;
      if (MShxcrash_async_macho_map_segment(&image, name, &segment) == hxcrash_error_none) {
        MShxcrash_async_macho_mapped_segment_free(&segment);
      }
    }
    const char* sections[][2] = {
        {"__TEXT", "__text"}, {"__TEXT", "__eh_frame"}, {"__TEXT", "__unwind_info"}, {"__DWARF", "__debug_frame"}};
    for (const auto& section : sections) {
      hxcrash_async_mobject mobj;
      if (MShxcrash_async_macho_map_section(&image, section[0], section[1], &mobj) == hxcrash_error_none) {
        MShxcrash_async_mobject_free(&mobj);
      }
    }
    std::size_t names = 0;
    for (const hxcrash_vm_address_t pc : {header, header + 0x100, header + size / 2}) {
      MShxcrash_async_macho_find_symbol_by_pc(&image, pc, foundSymbol, &names);
    }
    hxcrash_vm_address_t address = 0;
    MShxcrash_async_macho_find_symbol_by_name(&image, "_main", &address);
    MShxcrash_nasync_macho_free(&image);
  }
  munmap(placed, length);
  return 0;
}
