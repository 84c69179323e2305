#include "crash-engine/macho/HXCrashAsyncCompactUnwindEncoding.h"

using namespace hxcrash::MS::async;

namespace {

// The register id of a 3-bit register kind.
hxcrash_error_t mapRegister(std::uint32_t cpu_type, std::uint32_t kind, std::uint32_t* id) {
  static const std::uint32_t x86_64[7] = {MSHXCRASH_CFE_NO_REGISTER, MSHXCRASH_X86_64_RBX, MSHXCRASH_X86_64_R12,
                                          MSHXCRASH_X86_64_R13,      MSHXCRASH_X86_64_R14, MSHXCRASH_X86_64_R15,
                                          MSHXCRASH_X86_64_RBP};
  static const std::uint32_t x86[7] = {MSHXCRASH_CFE_NO_REGISTER, MSHXCRASH_X86_EBX, MSHXCRASH_X86_ECX,
                                       MSHXCRASH_X86_EDX,         MSHXCRASH_X86_EDI, MSHXCRASH_X86_ESI,
                                       MSHXCRASH_X86_EBP};
  const std::uint32_t* table = nullptr;
  if (cpu_type == MSHXCRASH_CFE_CPU_TYPE_X86_64) {
    table = x86_64;
  } else if (cpu_type == MSHXCRASH_CFE_CPU_TYPE_X86) {
    table = x86;
  } else {
    MSHXCF_DEBUG("Requested register mapping for unknown cpu type %u", cpu_type);
    return hxcrash_error_not_supported;
  }
  if (kind > 6) {
    MSHXCF_DEBUG("Requested register mapping for unknown register %d", static_cast<int>(kind));
    return hxcrash_error_invalid_argument;
  }
  *id = table[kind];
  return hxcrash_error_none;
}

// The frameless register list: count kinds from the permutation, mapped to ids.
hxcrash_error_t framelessRegisters(MShxcrash_async_cfe_entry* entry, std::uint32_t encoding) {
  const std::uint32_t count = (encoding >> 10) & 7;
  std::uint32_t kinds[6];
  hxcrash_error_t err = MShxcrash_async_cfe_register_decode(encoding & 0x3FF, count, kinds);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("Failed to decode register list: %d", static_cast<int>(err));
    return err;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    err = mapRegister(entry->cpu_type, kinds[i], &entry->register_list[i]);
    if (err != hxcrash_error_none) {
      MSHXCF_DEBUG("Failed to map register value of %x", kinds[i]);
      return err;
    }
  }
  entry->register_count = count;
  return hxcrash_error_none;
}

hxcrash_error_t initX86(MShxcrash_async_cfe_entry* entry, std::uint32_t encoding, std::int64_t word) {
  const std::uint32_t mode = (encoding & 0x0F000000) >> 24;
  switch (mode) {
    case 0:
      entry->type = MShxcrash_async_cfe_entry_none;
      return hxcrash_error_none;
    case 1: {
      entry->type = MShxcrash_async_cfe_entry_frame_ptr;
      entry->stack_offset = -word * static_cast<std::int64_t>((encoding >> 16) & 0xFF);
      const std::uint32_t registers = encoding & 0x7FFF;
      std::uint32_t count = 0;
      for (std::uint32_t i = 0; i < 5 && (registers >> (3 * i)) != 0; ++i) {
        const hxcrash_error_t err = mapRegister(entry->cpu_type, (registers >> (3 * i)) & 7, &entry->register_list[i]);
        if (err != hxcrash_error_none) {
          MSHXCF_DEBUG("Failed to map register value of %x", (registers >> (3 * i)) & 7);
          return err;
        }
        count = i + 1;
      }
      entry->register_count = count;
      return hxcrash_error_none;
    }
    case 2:
      entry->type = MShxcrash_async_cfe_entry_frameless_immd;
      entry->stack_offset = word * static_cast<std::int64_t>((encoding >> 16) & 0xFF);
      return framelessRegisters(entry, encoding);
    case 3:
      entry->type = MShxcrash_async_cfe_entry_frameless_indirect;
      entry->stack_offset = (encoding >> 16) & 0xFF;
      entry->stack_adjust = static_cast<std::uint32_t>(word) * ((encoding >> 13) & 7);
      return framelessRegisters(entry, encoding);
    case 4:
      entry->type = MShxcrash_async_cfe_entry_dwarf;
      entry->stack_offset = encoding & 0xFFFFFF;
      return hxcrash_error_none;
    default:
      MSHXCF_DEBUG("Unexpected entry mode of %x", encoding & 0x0F000000);
      return hxcrash_error_not_supported;
  }
}

hxcrash_error_t initArm64(MShxcrash_async_cfe_entry* entry, std::uint32_t encoding) {
  const std::uint32_t mode = (encoding & 0x0F000000) >> 24;
  switch (mode) {
    case 0:
      entry->type = MShxcrash_async_cfe_entry_none;
      return hxcrash_error_none;
    case 3:
      entry->type = MShxcrash_async_cfe_entry_dwarf;
      entry->stack_offset = encoding & 0xFFFFFF;
      return hxcrash_error_none;
    case 2:
    case 4: {
      if (mode == 2) {
        entry->type = MShxcrash_async_cfe_entry_frameless_immd;
        entry->stack_offset = 16 * static_cast<std::int64_t>((encoding >> 12) & 0xFFF);
        entry->return_address_register = 32;
      } else {
        entry->type = MShxcrash_async_cfe_entry_frame_ptr;
      }
      static const std::uint32_t pairs[5][3] = {
          {0x10, 31, 30}, {0x08, 29, 28}, {0x04, 27, 26}, {0x02, 25, 24}, {0x01, 23, 22}};
      std::uint32_t count = 0;
      for (const auto& pair : pairs) {
        if ((encoding & pair[0]) == 0) continue;
        entry->register_list[count++] = pair[1];
        entry->register_list[count++] = pair[2];
      }
      entry->register_count = count;
      if (mode == 4) entry->stack_offset = -8 * static_cast<std::int64_t>(count);
      return hxcrash_error_none;
    }
    default:
      MSHXCF_DEBUG("Unexpected entry mode of %x", encoding & 0x0F000000);
      return hxcrash_error_not_supported;
  }
}

}  // namespace

hxcrash_error_t MShxcrash_async_cfe_register_decode(std::uint32_t permutation, std::uint32_t count,
                                                    std::uint32_t* kinds) {
  if (count == 0) return hxcrash_error_none;
  if (count > 6) {
    MSHXCF_DEBUG("Register permutation decoding attempted with an unsupported count of %u", count);
    return hxcrash_error_invalid_argument;
  }
  std::uint32_t digits[6] = {};
  std::uint32_t p = permutation;
  switch (count) {
    case 1:
      digits[0] = p;
      break;
    case 2:
      digits[0] = p / 5;
      digits[1] = p % 5;
      break;
    case 3:
      digits[0] = p / 20;
      p %= 20;
      digits[1] = p / 4;
      digits[2] = p % 4;
      break;
    case 4:
      digits[0] = p / 60;
      p %= 60;
      digits[1] = p / 12;
      p %= 12;
      digits[2] = p / 3;
      digits[3] = p % 3;
      break;
    default:  // 5 and 6
      digits[0] = p / 120;
      p %= 120;
      digits[1] = p / 24;
      p %= 24;
      digits[2] = p / 6;
      p %= 6;
      digits[3] = p / 2;
      digits[4] = p % 2;
      digits[5] = 0;
      break;
  }
  bool used[7] = {};
  for (std::uint32_t i = 0; i < count; ++i) {
    // The digit-th unused kind, counted from 0; a digit beyond the unused kinds (a damaged
    // permutation) takes kind 0, the empty slot.
    std::uint32_t seen = 0;
    kinds[i] = 0;
    for (std::uint32_t kind = 1; kind <= 6; ++kind) {
      if (used[kind]) continue;
      if (seen == digits[i]) {
        kinds[i] = kind;
        used[kind] = true;
        break;
      }
      ++seen;
    }
  }
  return hxcrash_error_none;
}

std::uint32_t MShxcrash_async_cfe_register_encode(const std::uint32_t* kinds, std::uint32_t count) {
  MSHXCF_ASSERT(count <= 6, "count <= 6");
  std::uint32_t digits[6] = {};
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t smaller = 0;
    for (std::uint32_t j = 0; j < i; ++j) {
      if (kinds[j] < kinds[i]) ++smaller;
    }
    digits[i] = kinds[i] - 1 - smaller;
  }
  std::uint32_t permutation = 0;
  switch (count) {
    case 0:
      break;
    case 1:
      permutation = digits[0];
      break;
    case 2:
      permutation = 5 * digits[0] + digits[1];
      break;
    case 3:
      permutation = 20 * digits[0] + 4 * digits[1] + digits[2];
      break;
    case 4:
      permutation = 60 * digits[0] + 12 * digits[1] + 3 * digits[2] + digits[3];
      break;
    default:
      permutation = 120 * digits[0] + 24 * digits[1] + 6 * digits[2] + 2 * digits[3] + digits[4];
      break;
  }
  MSHXCF_ASSERT(permutation <= 0x3FF, "permutation <= 0x3FF");
  return permutation;
}

hxcrash_error_t MShxcrash_async_cfe_entry_init(MShxcrash_async_cfe_entry* entry, std::uint32_t cpu_type,
                                               std::uint32_t encoding) {
  MShxcrash_async_memset(entry, 0, sizeof *entry);
  entry->cpu_type = cpu_type;
  entry->return_address_register = MSHXCRASH_CFE_NO_REGISTER;
  for (std::uint32_t& id : entry->register_list) id = MSHXCRASH_CFE_NO_REGISTER;
  switch (cpu_type) {
    case MSHXCRASH_CFE_CPU_TYPE_X86_64:
      return initX86(entry, encoding, 8);
    case MSHXCRASH_CFE_CPU_TYPE_X86:
      return initX86(entry, encoding, 4);
    case MSHXCRASH_CFE_CPU_TYPE_ARM64:
      return initArm64(entry, encoding);
    default:
      MSHXCF_DEBUG("Unsupported CPU type: %u", cpu_type);
      return hxcrash_error_not_supported;
  }
}

void MShxcrash_async_cfe_entry_free(MShxcrash_async_cfe_entry*) {}

enum MShxcrash_async_cfe_entry_type MShxcrash_async_cfe_entry_type(const MShxcrash_async_cfe_entry* entry) {
  return entry->type;
}
std::int64_t MShxcrash_async_cfe_entry_stack_offset(const MShxcrash_async_cfe_entry* entry) {
  return entry->stack_offset;
}
std::uint32_t MShxcrash_async_cfe_entry_stack_adjustment(const MShxcrash_async_cfe_entry* entry) {
  return entry->stack_adjust;
}
std::uint32_t MShxcrash_async_cfe_entry_return_address_register(const MShxcrash_async_cfe_entry* entry) {
  return entry->return_address_register;
}
std::uint32_t MShxcrash_async_cfe_entry_register_count(const MShxcrash_async_cfe_entry* entry) {
  return entry->register_count;
}
void MShxcrash_async_cfe_entry_register_list(const MShxcrash_async_cfe_entry* entry, std::uint32_t* ids) {
  for (std::uint32_t i = 0; i < entry->register_count; ++i) ids[i] = entry->register_list[i];
}

namespace {

hxcrash_error_t readWord(vx::task_t task, hxcrash_vm_address_t address, std::uint64_t width, std::uint64_t* value) {
  if (width == 8) {
    return MShxcrash_async_task_read_uint64(task, MShxcrash_async_byteorder_little_endian(), address, 0, value);
  }
  std::uint32_t narrow = 0;
  const hxcrash_error_t err =
      MShxcrash_async_task_read_uint32(task, MShxcrash_async_byteorder_little_endian(), address, 0, &narrow);
  *value = narrow;
  return err;
}

}  // namespace

hxcrash_error_t MShxcrash_async_cfe_entry_apply(vx::task_t task, hxcrash_vm_address_t function_address,
                                                const hxcrash_async_thread_state* current,
                                                const MShxcrash_async_cfe_entry* entry,
                                                hxcrash_async_thread_state* next) {
  // No arm64 register state exists here: such an entry cannot be applied to an x86 frame.
  if (entry->cpu_type == MSHXCRASH_CFE_CPU_TYPE_ARM64) return hxcrash_error_not_supported;
  const std::uint64_t width = MShxcrash_async_thread_state_get_greg_size(current);
  const std::size_t regCount = MShxcrash_async_thread_state_get_reg_count(current);
  MShxcrash_async_thread_state_copy(next, current);
  MShxcrash_async_thread_state_clear_volatile_regs(next);

  hxcrash_vm_address_t saved = 0;  // where the saved registers start
  switch (entry->type) {
    case MShxcrash_async_cfe_entry_frame_ptr: {
      if (!MShxcrash_async_thread_state_has_reg(current, MSHXCRASH_REG_FP)) {
        MSHXCF_DEBUG("Can't apply FRAME_PTR unwind type without a valid frame pointer");
        return hxcrash_error_not_found;
      }
      const std::uint64_t fp = MShxcrash_async_thread_state_get_reg(current, MSHXCRASH_REG_FP);
      hxcrash_vm_address_t sp = 0;
      if (!MShxcrash_async_address_apply_offset(fp, static_cast<hxcrash_vm_off_t>(2 * width), &sp)) {
        MSHXCF_DEBUG("Current frame pointer falls outside of addressable bounds");
        return hxcrash_error_invalid_argument;
      }
      std::uint64_t savedFp = 0;
      std::uint64_t returnAddress = 0;
      hxcrash_error_t err = readWord(task, fp, width, &savedFp);
      if (err == hxcrash_error_none) err = readWord(task, fp + width, width, &returnAddress);
      if (err != hxcrash_error_none) {
        MSHXCF_DEBUG("Failed to read frame data at address 0x%llx: %d", static_cast<unsigned long long>(fp),
                     static_cast<int>(err));
        return err;
      }
      MShxcrash_async_thread_state_set_reg(next, MSHXCRASH_REG_SP, sp);
      MShxcrash_async_thread_state_set_reg(next, MSHXCRASH_REG_FP, savedFp);
      MShxcrash_async_thread_state_set_reg(next, MSHXCRASH_REG_IP, returnAddress);
      if (!MShxcrash_async_address_apply_offset(fp, entry->stack_offset, &saved)) {
        MSHXCF_DEBUG("Current frame pointer falls outside of addressable bounds");
        return hxcrash_error_invalid_argument;
      }
      break;
    }
    case MShxcrash_async_cfe_entry_frameless_immd:
    case MShxcrash_async_cfe_entry_frameless_indirect: {
      if (!MShxcrash_async_thread_state_has_reg(current, MSHXCRASH_REG_SP)) {
        MSHXCF_DEBUG("Can't apply FRAME_IMMD unwind type without a valid stack pointer");
        return hxcrash_error_not_found;
      }
      std::uint64_t stackSize = static_cast<std::uint64_t>(entry->stack_offset);
      if (entry->type == MShxcrash_async_cfe_entry_frameless_indirect) {
        std::uint32_t size = 0;
        const hxcrash_error_t err = MShxcrash_async_task_read_uint32(task, MShxcrash_async_byteorder_little_endian(),
                                                                     function_address, entry->stack_offset, &size);
        if (err != hxcrash_error_none) {
          MSHXCF_DEBUG("Failed to read indirect stack size from 0x%llx + 0x%llx: %d",
                       static_cast<unsigned long long>(function_address),
                       static_cast<unsigned long long>(entry->stack_offset), static_cast<int>(err));
          return err;
        }
        stackSize = static_cast<std::uint32_t>(size + entry->stack_adjust);
      }
      const std::uint64_t sp = MShxcrash_async_thread_state_get_reg(current, MSHXCRASH_REG_SP);
      hxcrash_vm_address_t newSp = 0;
      if (!MShxcrash_async_address_apply_offset(sp, static_cast<hxcrash_vm_off_t>(stackSize), &newSp) ||
          newSp < width * (entry->register_count + 1)) {
        MSHXCF_DEBUG("Current stack pointer falls outside of addressable bounds");
        return hxcrash_error_invalid_argument;
      }
      MShxcrash_async_thread_state_set_reg(next, MSHXCRASH_REG_SP, newSp);
      if (entry->return_address_register == MSHXCRASH_CFE_NO_REGISTER) {
        std::uint64_t returnAddress = 0;
        const hxcrash_error_t err = readWord(task, newSp - width, width, &returnAddress);
        if (err != hxcrash_error_none) {
          MSHXCF_DEBUG("Failed to read return address from 0x%llx: %d", static_cast<unsigned long long>(newSp - width),
                       static_cast<int>(err));
          return err;
        }
        MShxcrash_async_thread_state_set_reg(next, MSHXCRASH_REG_IP, returnAddress);
        saved = newSp - width - width * entry->register_count;
      } else {
        const std::uint32_t ra = entry->return_address_register;
        if (ra >= regCount || !MShxcrash_async_thread_state_has_reg(current, ra)) {
          MSHXCF_DEBUG("The specified return_address_register '%s' is not available",
                       ra < regCount ? MShxcrash_async_thread_state_get_reg_name(current, ra) : "?");
          return hxcrash_error_not_found;
        }
        MShxcrash_async_thread_state_set_reg(next, MSHXCRASH_REG_IP, MShxcrash_async_thread_state_get_reg(current, ra));
        saved = newSp - width * entry->register_count;
      }
      break;
    }
    default:
      return hxcrash_error_not_supported;
  }

  for (std::uint32_t i = 0; i < entry->register_count; ++i) {
    const std::uint32_t id = entry->register_list[i];
    if (id == MSHXCRASH_CFE_NO_REGISTER) continue;  // an empty slot keeps its place
    if (id >= regCount) return hxcrash_error_invalid_argument;
    std::uint64_t value = 0;
    const hxcrash_error_t err = readWord(task, saved + i * width, width, &value);
    if (err != hxcrash_error_none) {
      MSHXCF_DEBUG("Failed to read register data for index %s: %d",
                   MShxcrash_async_thread_state_get_reg_name(current, id), static_cast<int>(err));
      return err;
    }
    MShxcrash_async_thread_state_set_reg(next, id, value);
  }
  return hxcrash_error_none;
}

hxcrash_error_t MShxcrash_async_cfe_reader_init(MShxcrash_async_cfe_reader* reader, hxcrash_async_mobject* section,
                                                std::uint32_t cpu_type) {
  reader->memory = mobject_memory{section};
  return cfe_reader_init(&reader->reader, &reader->memory, cpu_type);
}

hxcrash_error_t MShxcrash_async_cfe_reader_find_pc(MShxcrash_async_cfe_reader* reader, std::uint64_t pc_offset,
                                                   std::uint64_t* function_base, std::uint32_t* encoding) {
  return cfe_reader_find_pc(&reader->reader, pc_offset, function_base, encoding);
}

void MShxcrash_async_cfe_reader_free(MShxcrash_async_cfe_reader*) {}
