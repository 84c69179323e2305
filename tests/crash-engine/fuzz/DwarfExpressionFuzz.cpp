// DWARF expressions from the input, evaluated by the 64-bit and the 32-bit evaluator with a few
// registers set and one initial value; dereferences read real memory through checked reads.
#include "crash-engine/dwarf/HXCrashAsyncDwarfExpression.h"
#include "tests/crash-engine/fuzz/CrashEngineFuzz.h"

#include <vector>

using namespace hxcrash::MS::async;

CE_FUZZ_TARGET(dwarf_expression) {
  if (size == 0) return 0;
  const std::vector<std::uint8_t> copy(data, data + size);
  const buffer_memory mem{copy.data(), copy.size(), reinterpret_cast<std::uint64_t>(copy.data())};
  std::uint64_t stackWords[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  hxcrash_async_thread_state state;
  MShxcrash_async_thread_state_init(&state, MShxcrash_CPU_TYPE_X86_64);
  MShxcrash_async_thread_state_set_reg(&state, MSHXCRASH_X86_64_RSP, reinterpret_cast<std::uint64_t>(stackWords));
  MShxcrash_async_thread_state_set_reg(&state, MSHXCRASH_X86_64_RBP, reinterpret_cast<std::uint64_t>(stackWords + 4));
  MShxcrash_async_thread_state_set_reg(&state, MSHXCRASH_X86_64_RAX, 0x1234);
  const std::uint64_t initial64[1] = {reinterpret_cast<std::uint64_t>(stackWords)};
  std::uint64_t result64 = 0;
  hxcrash_async_dwarf_expression_eval<std::uint64_t, std::int64_t>(
      mem, vx::mach_task_self(), &state, MShxcrash_async_byteorder_little_endian(), mem.address, 0,
      static_cast<hxcrash_vm_off_t>(size), initial64, 1, &result64);
  const std::uint32_t initial32[1] = {7};
  std::uint32_t result32 = 0;
  hxcrash_async_dwarf_expression_eval<std::uint32_t, std::int32_t>(
      mem, vx::mach_task_self(), &state, MShxcrash_async_byteorder_big_endian(), mem.address, 0,
      static_cast<hxcrash_vm_off_t>(size), initial32, 1, &result32);
  return 0;
}
