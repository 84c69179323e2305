// An ELF image from the input, read two ways: as loaded (program headers, the dynamic section,
// the DT_HASH or DT_GNU_HASH count, .dynsym lookups for a few program counters) and as a file
// (section headers and the .symtab walk).
#include "crash-engine/symbols/HXCrashAsyncSymbols.h"
#include "tests/crash-engine/fuzz/CrashEngineFuzz.h"

#include <cstring>
#include <vector>

using namespace hxcrash::MS::async;

CE_FUZZ_TARGET(symbol_table) {
  if (size < 64) return 0;
  const std::vector<std::uint8_t> copy(data, data + size);
  const auto address = reinterpret_cast<std::uint64_t>(copy.data());
  const symbol_buffer_memory mem{copy.data(), copy.size(), address};
  // As loaded at the buffer (link-time addresses relocated by its address), and unrelocated.
  for (const std::int64_t bias : {static_cast<std::int64_t>(address), std::int64_t{0}}) {
    elf_dynamic_symbols dyn{};
    elf_find_dynamic_symbols(mem, address, bias, &dyn);
    for (const std::uint64_t pc : {address, address + size / 2, address + 0x1000, std::uint64_t{0x1040}}) {
      char name[256];
      std::uint64_t start = 0;
      if (elf_dynamic_find_symbol(mem, address, bias, pc, &start, name, sizeof name) == hxcrash_error_none) {
        // The name is terminated inside its buffer.
        if (std::strlen(name) >= sizeof name) __builtin_trap();
      }
    }
  }
  const symbol_buffer_memory file{copy.data(), copy.size(), 0};
  std::size_t names = 0;
  elf_file_visit_symtab(file, [&](std::uint64_t, std::uint64_t, const char* name) { names += std::strlen(name); });
  return static_cast<int>(names & 0);
}
