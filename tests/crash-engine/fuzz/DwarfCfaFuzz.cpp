// CFA programs from the input: the first byte picks the pc the rows run up to, the rest is the
// program; the resulting rules are applied to a thread state over a small real stack.
#include "crash-engine/dwarf/HXCrashAsyncDwarfCFAState.h"
#include "tests/crash-engine/fuzz/CrashEngineFuzz.h"

#include <vector>

using namespace hxcrash::MS::async;

CE_FUZZ_TARGET(dwarf_cfa) {
  if (size < 2) return 0;
  const std::uint64_t pcOffset = data[0];
  const std::vector<std::uint8_t> copy(data + 1, data + size);
  const buffer_memory mem{copy.data(), copy.size(), reinterpret_cast<std::uint64_t>(copy.data())};
  hxcrash_async_dwarf_cie_info cie{};
  cie.code_alignment_factor = 1;
  cie.data_alignment_factor = -8;
  cie.return_address_register = 16;
  cie.has_eh_augmentation = true;
  cie.eh_augmentation.has_pointer_encoding = true;
  cie.eh_augmentation.pointer_encoding = DW_EH_PE_pcrel | DW_EH_PE_sdata4;
  const gnu_ehptr_reader<std::uint64_t> reader(MShxcrash_async_byteorder_little_endian());
  dwarf_cfa_state<std::uint64_t, std::int64_t> state;
  const std::uint64_t start = 0x401000;
  if (state.eval_program(mem, start + pcOffset, start, &cie, &reader, MShxcrash_async_byteorder_little_endian(),
                         mem.address, 0, static_cast<hxcrash_vm_off_t>(copy.size())) != hxcrash_error_none) {
    return 0;
  }
  std::uint64_t stackWords[32] = {};
  for (std::uint64_t i = 0; i < 32; ++i) stackWords[i] = 0x401000 + i;
  hxcrash_async_thread_state current;
  MShxcrash_async_thread_state_init(&current, MShxcrash_CPU_TYPE_X86_64);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_X86_64_RSP, reinterpret_cast<std::uint64_t>(stackWords + 8));
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_X86_64_RBP,
                                       reinterpret_cast<std::uint64_t>(stackWords + 16));
  hxcrash_async_thread_state next;
  state.apply_state(vx::mach_task_self(), &cie, &current, MShxcrash_async_byteorder_little_endian(), &next);
  return 0;
}
