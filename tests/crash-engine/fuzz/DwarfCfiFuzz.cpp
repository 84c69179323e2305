// A call-frame section from the input: CIE parsing at the start, the FDE search (as .eh_frame
// and as .debug_frame, 64-bit and 32-bit) for a few program counters, and the CIE and FDE
// programs of what was found.
#include "crash-engine/dwarf/HXCrashAsyncDwarfCFAState.h"
#include "crash-engine/dwarf/HXCrashAsyncDwarfCIE.h"
#include "tests/crash-engine/fuzz/CrashEngineFuzz.h"

#include <vector>

using namespace hxcrash::MS::async;

namespace {

template <typename machine_ptr, typename machine_ptr_s>
void search(const buffer_memory& mem, bool debugFrame, std::uint64_t pc) {
  const MShxcrash_async_byteorder* byteorder = MShxcrash_async_byteorder_little_endian();
  dwarf_frame_reader<buffer_memory> frameReader;
  frameReader.init(&mem, byteorder, sizeof(machine_ptr) == 8, debugFrame);
  hxcrash_async_dwarf_fde_info fde;
  if (frameReader.find_fde(0, pc, &fde) != hxcrash_error_none) return;
  const gnu_ehptr_reader<machine_ptr> reader(byteorder);
  hxcrash_async_dwarf_cie_info cie;
  if (hxcrash_async_dwarf_cie_info_init<machine_ptr>(&cie, mem, byteorder, &reader, mem.address + fde.cie_offset) !=
      hxcrash_error_none) {
    return;
  }
  dwarf_cfa_state<machine_ptr, machine_ptr_s> state;
  if (state.eval_program(mem, static_cast<machine_ptr>(pc), static_cast<machine_ptr>(fde.pc_start), &cie, &reader,
                         byteorder, mem.address, static_cast<hxcrash_vm_off_t>(cie.initial_instructions_offset),
                         static_cast<hxcrash_vm_off_t>(cie.initial_instructions_length)) == hxcrash_error_none) {
    state.eval_program(mem, static_cast<machine_ptr>(pc), static_cast<machine_ptr>(fde.pc_start), &cie, &reader,
                       byteorder, mem.address, static_cast<hxcrash_vm_off_t>(fde.instructions_offset),
                       static_cast<hxcrash_vm_off_t>(fde.instructions_length));
  }
}

}  // namespace

CE_FUZZ_TARGET(dwarf_cfi) {
  if (size < 4) return 0;
  const std::vector<std::uint8_t> copy(data, data + size);
  const buffer_memory mem{copy.data(), copy.size(), reinterpret_cast<std::uint64_t>(copy.data())};
  const gnu_ehptr_reader<std::uint64_t> reader(MShxcrash_async_byteorder_little_endian());
  hxcrash_async_dwarf_cie_info cie;
  hxcrash_async_dwarf_cie_info_init<std::uint64_t>(&cie, mem, MShxcrash_async_byteorder_little_endian(), &reader,
                                                   mem.address);
  // pcrel FDEs point near the section itself; absolute ones anywhere: try both kinds of pc.
  const std::uint64_t pcs[] = {mem.address + size / 2, mem.address, 0x1000, 0x401000};
  for (const std::uint64_t pc : pcs) {
    search<std::uint64_t, std::int64_t>(mem, false, pc);
    search<std::uint64_t, std::int64_t>(mem, true, pc);
    search<std::uint32_t, std::int32_t>(mem, false, pc & 0xffffffffu);
  }
  return 0;
}
