// An __unwind_info section from the input: the header and lookups for a few program counters
// (regular and compressed pages, common and page encodings) for each CPU type, and every found
// encoding decoded and applied to a stack held in a buffer.
#include "crash-engine/macho/HXCrashAsyncCompactUnwindEncoding.h"
#include "tests/crash-engine/fuzz/CrashEngineFuzz.h"

#include <vector>

using namespace hxcrash::MS::async;

namespace {

void applyTo(std::uint32_t cpu, std::uint32_t encoding, std::uint64_t function) {
  MShxcrash_async_cfe_entry entry;
  if (MShxcrash_async_cfe_entry_init(&entry, cpu, encoding) != hxcrash_error_none) return;
  std::uint64_t stack[64] = {};
  const auto sp = reinterpret_cast<std::uint64_t>(stack);
  hxcrash_async_thread_state current;
  MShxcrash_async_thread_state_init(
      &current, cpu == MSHXCRASH_CFE_CPU_TYPE_X86 ? MShxcrash_CPU_TYPE_X86 : MShxcrash_CPU_TYPE_X86_64);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_REG_IP, function);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_REG_SP, sp);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_REG_FP, sp + 128);
  hxcrash_async_thread_state next;
  // Saved values and indirect sizes are read through checked copies: any address is safe.
  MShxcrash_async_cfe_entry_apply(vx::mach_task_self(), function, &current, &entry, &next);
}

}  // namespace

CE_FUZZ_TARGET(compact_unwind) {
  if (size < 4) return 0;
  const std::vector<std::uint8_t> copy(data, data + size);
  const buffer_memory mem{copy.data(), copy.size(), reinterpret_cast<std::uint64_t>(copy.data())};
  std::uint32_t first = 0;
  for (int i = 0; i < 4; ++i) first |= static_cast<std::uint32_t>(copy[i]) << (8 * i);
  for (const std::uint32_t cpu :
       {MSHXCRASH_CFE_CPU_TYPE_X86_64, MSHXCRASH_CFE_CPU_TYPE_X86, MSHXCRASH_CFE_CPU_TYPE_ARM64}) {
    // The input's first word as an encoding, whatever the section holds.
    applyTo(cpu, first, mem.address);
    cfe_reader<buffer_memory> reader;
    if (cfe_reader_init(&reader, &mem, cpu) != hxcrash_error_none) continue;
    const std::uint64_t pcs[] = {0, 0x2e0, 0x400, 0x1000, size, 0xffffff, ~std::uint64_t{0}};
    for (const std::uint64_t pc : pcs) {
      std::uint64_t base = 0;
      std::uint32_t encoding = 0;
      if (cfe_reader_find_pc(&reader, pc, &base, &encoding) == hxcrash_error_none) {
        applyTo(cpu, encoding, mem.address + (base & 0xfff));
      }
    }
  }
  std::uint32_t kinds[6];
  MShxcrash_async_cfe_register_decode(first & 0x3FF, (first >> 10) & 7, kinds);
  return 0;
}
