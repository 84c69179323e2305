// Readers of DWARF call-frame information sections (.eh_frame and .debug_frame): the Common
// Information Entry (CIE), the Frame Description Entry (FDE) and the search for the FDE that
// covers a program counter. Templates over the target's pointer width (machine_ptr) and over
// the memory-access type of HXCrashAsyncDwarfPrimitives.h.
//
// Safe at crash time: every byte is reached through the mapping's checked remap; no
// allocation, no locks, no library string functions. Failures return hxcrash_error_t and are
// logged (one diagnostic line); on failure the output records hold partial values.
#pragma once

#include "crash-engine/dwarf/HXCrashAsyncDwarfPrimitives.h"

namespace hxcrash::MS::async {

struct hxcrash_async_dwarf_cie_info {
  std::uint64_t cie_offset;  // section offset of the first byte after the length field(s)
  std::uint64_t cie_length;
  std::uint64_t cie_id;
  std::uint8_t cie_version;
  std::uint8_t address_size;
  std::uint8_t segment_size;
  std::uint64_t code_alignment_factor;
  std::int64_t data_alignment_factor;
  std::uint64_t return_address_register;
  bool has_eh_augmentation;
  struct {
    bool has_lsda_encoding;
    std::uint8_t lsda_encoding;
    bool has_personality_address;
    std::uint64_t personality_address;
    bool has_pointer_encoding;
    std::uint8_t pointer_encoding;
    bool signal_frame;
  } eh_augmentation;
  std::uint64_t initial_instructions_offset;  // from the section start
  std::uint64_t initial_instructions_length;
};

struct hxcrash_async_dwarf_fde_info {
  std::uint64_t fde_offset;  // section offset of the first byte after the length field(s)
  std::uint64_t fde_length;
  std::uint64_t cie_offset;  // section offset of the FDE's CIE (its length field)
  std::uint64_t pc_start;
  std::uint64_t pc_end;  // first address past the function
  std::uint64_t instructions_offset;
  std::uint64_t instructions_length;
};

inline std::uint64_t hxcrash_async_dwarf_cie_info_initial_instructions_offset(const hxcrash_async_dwarf_cie_info* cie) {
  return cie->initial_instructions_offset;
}
inline std::uint64_t hxcrash_async_dwarf_cie_info_initial_instructions_length(const hxcrash_async_dwarf_cie_info* cie) {
  return cie->initial_instructions_length;
}
inline void hxcrash_async_dwarf_cie_info_free(hxcrash_async_dwarf_cie_info*) {}
inline std::uint64_t hxcrash_async_dwarf_fde_info_instructions_offset(const hxcrash_async_dwarf_fde_info* fde) {
  return fde->instructions_offset;
}
inline std::uint64_t hxcrash_async_dwarf_fde_info_instructions_length(const hxcrash_async_dwarf_fde_info* fde) {
  return fde->instructions_length;
}
inline void hxcrash_async_dwarf_fde_info_free(hxcrash_async_dwarf_fde_info*) {}

// Parses the CIE whose length field is at task address `address` inside mem; reader decodes
// the personality pointer.
template <typename machine_ptr, typename Memory>
hxcrash_error_t hxcrash_async_dwarf_cie_info_init(hxcrash_async_dwarf_cie_info* info, const Memory& mem,
                                                  const MShxcrash_async_byteorder* byteorder,
                                                  const gnu_ehptr_reader<machine_ptr>* reader,
                                                  hxcrash_vm_address_t address) {
  MShxcrash_async_memset(info, 0, sizeof *info);
  const hxcrash_vm_address_t sectionBase = mem.base_address();
  if (address < sectionBase) {
    MSHXCF_DEBUG("CIE 0x%llx header lies outside the mapped range", static_cast<unsigned long long>(address));
    return hxcrash_error_invalid_argument;
  }

  std::uint32_t length32 = 0;
  if (!detail::read_value(mem, byteorder, address, 0, &length32)) {
    MSHXCF_DEBUG("CIE 0x%llx header lies outside the mapped range", static_cast<unsigned long long>(address));
    return hxcrash_error_invalid_argument;
  }
  hxcrash_vm_off_t headerSize = 4;
  std::uint8_t idWidth = 4;
  if (length32 == 0xffffffffu) {
    const hxcrash_error_t err = hxcrash_async_dwarf_read_uintmax64(mem, byteorder, address, 4, 8, &info->cie_length);
    if (err != hxcrash_error_none) return err;
    headerSize = 12;
    idWidth = 8;
  } else {
    info->cie_length = length32;
  }
  info->cie_offset = (address - sectionBase) + static_cast<std::uint64_t>(headerSize);

  hxcrash_vm_off_t position = headerSize;
  if (hxcrash_async_dwarf_read_uintmax64(mem, byteorder, address, position, idWidth, &info->cie_id) !=
      hxcrash_error_none) {
    MSHXCF_DEBUG("CIE id could not be read");
    return hxcrash_error_invalid_argument;
  }
  const std::uint64_t allOnes = idWidth == 8 ? ~std::uint64_t{0} : 0xffffffffu;
  if (info->cie_id != 0 && info->cie_id != allOnes) {
    MSHXCF_DEBUG("CIE id is not one of 0 (eh_frame) or UINT?_MAX (debug_frame): %llx",
                 static_cast<unsigned long long>(info->cie_id));
    return hxcrash_error_invalid_argument;
  }
  position += idWidth;

  if (!detail::read_value(mem, byteorder, address, position, &info->cie_version)) {
    MSHXCF_DEBUG("CIE version could not be read");
    return hxcrash_error_invalid_argument;
  }
  if (info->cie_version != 1 && info->cie_version != 3 && info->cie_version != 4) {
    MSHXCF_DEBUG("CIE version is not one of 1 (eh_frame) or 3 (DWARF3) or 4 (DWARF4): %hhu", info->cie_version);
    return hxcrash_error_invalid_argument;
  }
  position += 1;

  // The augmentation string.
  const hxcrash_vm_off_t augmentationStart = position;
  for (bool first = true;; first = false) {
    std::uint8_t c = 0;
    if (!detail::read_value(mem, byteorder, address, position, &c)) {
      MSHXCF_DEBUG("CIE augmentation string could not be read");
      return hxcrash_error_invalid_argument;
    }
    position += 1;
    if (first) {
      if (c == 'z') {
        info->has_eh_augmentation = true;
      } else if (c != 0) {
        MSHXCF_DEBUG("Unknown augmentation string prefix of %c, cannot parse CIE", c);
        return hxcrash_error_not_supported;
      }
    }
    if (c == 0) break;
  }

  if (info->cie_version == 4) {
    if (!detail::read_value(mem, byteorder, address, position, &info->address_size)) {
      MSHXCF_DEBUG("CIE address_size could not be read");
      return hxcrash_error_invalid_argument;
    }
    position += 1;
    if (!detail::read_value(mem, byteorder, address, position, &info->segment_size)) {
      MSHXCF_DEBUG("CIE segment_size could not be read");
      return hxcrash_error_invalid_argument;
    }
    position += 1;
  }

  hxcrash_vm_size_t size = 0;
  hxcrash_error_t err = hxcrash_async_dwarf_read_uleb128(mem, address, position, &info->code_alignment_factor, &size);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("Failed to read CIE code alignment value");
    return err;
  }
  position += static_cast<hxcrash_vm_off_t>(size);
  err = hxcrash_async_dwarf_read_sleb128(mem, address, position, &info->data_alignment_factor, &size);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("Failed to read CIE data alignment value");
    return err;
  }
  position += static_cast<hxcrash_vm_off_t>(size);
  err = hxcrash_async_dwarf_read_uleb128(mem, address, position, &info->return_address_register, &size);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("Failed to read CIE return address register");
    return err;
  }
  position += static_cast<hxcrash_vm_off_t>(size);

  if (info->has_eh_augmentation) {
    std::uint64_t dataLength = 0;
    err = hxcrash_async_dwarf_read_uleb128(mem, address, position, &dataLength, &size);
    if (err != hxcrash_error_none) {
      MSHXCF_DEBUG("Failed to read the augmentation data uleb128 length");
      return err;
    }
    position += static_cast<hxcrash_vm_off_t>(size);
    hxcrash_vm_off_t cursor = position;
    for (hxcrash_vm_off_t i = augmentationStart + 1;; ++i) {
      std::uint8_t c = 0;
      if (!detail::read_value(mem, byteorder, address, i, &c)) {
        MSHXCF_DEBUG("Failed to read CIE augmentation data");
        return hxcrash_error_invalid_argument;
      }
      if (c == 0) break;
      bool stop = false;
      switch (c) {
        case 'L':
          if (!detail::read_value(mem, byteorder, address, cursor, &info->eh_augmentation.lsda_encoding)) {
            MSHXCF_DEBUG("Failed to read the LSDA encoding value");
            return hxcrash_error_invalid_argument;
          }
          info->eh_augmentation.has_lsda_encoding = true;
          cursor += 1;
          break;
        case 'P': {
          std::uint8_t encoding = 0;
          if (!detail::read_value(mem, byteorder, address, cursor, &encoding)) {
            MSHXCF_DEBUG("Failed to read the personality routine encoding value");
            return hxcrash_error_invalid_argument;
          }
          machine_ptr personality = 0;
          hxcrash_vm_size_t pointerSize = 0;
          err = reader->read(mem, address, cursor + 1, encoding, &personality, &pointerSize);
          if (err != hxcrash_error_none) {
            MSHXCF_DEBUG("Failed to read the personality routine pointer value");
            return err;
          }
          info->eh_augmentation.personality_address = personality;
          info->eh_augmentation.has_personality_address = true;
          cursor += 1 + static_cast<hxcrash_vm_off_t>(pointerSize);
          break;
        }
        case 'R':
          if (!detail::read_value(mem, byteorder, address, cursor, &info->eh_augmentation.pointer_encoding)) {
            return hxcrash_error_invalid_argument;
          }
          info->eh_augmentation.has_pointer_encoding = true;
          cursor += 1;
          break;
        case 'S':
          info->eh_augmentation.signal_frame = true;
          break;
        default:
          // The declared data length still gives the end of the data.
          MSHXCF_DEBUG("Unknown augmentation entry of %c; terminating parsing early", c);
          stop = true;
          break;
      }
      if (stop) break;
    }
    if (dataLength > static_cast<std::uint64_t>(INT64_MAX) - static_cast<std::uint64_t>(position)) {
      MSHXCF_DEBUG("CIE length of 0x%llu declared to be less than the actual read length of 0x%llu",
                   static_cast<unsigned long long>(info->cie_length), static_cast<unsigned long long>(dataLength));
      return hxcrash_error_invalid_argument;
    }
    position += static_cast<hxcrash_vm_off_t>(dataLength);
  }

  const std::uint64_t consumed = static_cast<std::uint64_t>(position - headerSize);
  info->initial_instructions_offset = info->cie_offset + consumed;
  if (consumed > info->cie_length) {
    MSHXCF_DEBUG("CIE length of 0x%llu declared to be less than the actual read length of 0x%llu",
                 static_cast<unsigned long long>(info->cie_length), static_cast<unsigned long long>(consumed));
    return hxcrash_error_invalid_argument;
  }
  info->initial_instructions_length = info->cie_length - consumed;
  return hxcrash_error_none;
}

// The last CIE an FDE search parsed: consecutive FDEs nearly always share their CIE, and the
// search need not parse it again for each of them.
struct hxcrash_async_dwarf_cie_cache {
  bool valid = false;
  hxcrash_vm_address_t address = 0;
  hxcrash_async_dwarf_cie_info cie{};
};

// Parses the FDE whose length field is at task address `address` inside mem. cache (may be
// null) remembers the last CIE parsed.
template <typename machine_ptr, typename Memory>
hxcrash_error_t hxcrash_async_dwarf_fde_info_init(hxcrash_async_dwarf_fde_info* info, const Memory& mem,
                                                  const MShxcrash_async_byteorder* byteorder,
                                                  hxcrash_vm_address_t address, bool debug_frame,
                                                  hxcrash_async_dwarf_cie_cache* cache = nullptr) {
  MShxcrash_async_memset(info, 0, sizeof *info);
  const hxcrash_vm_address_t sectionBase = mem.base_address();
  std::uint32_t length32 = 0;
  if (address < sectionBase || !detail::read_value(mem, byteorder, address, 0, &length32)) {
    MSHXCF_DEBUG("The current FDE entry 0x%llx header lies outside the mapped range",
                 static_cast<unsigned long long>(address));
    return hxcrash_error_invalid_argument;
  }
  hxcrash_vm_off_t headerSize = 4;
  std::uint8_t pointerWidth = 4;
  if (length32 == 0xffffffffu) {
    const hxcrash_error_t err = hxcrash_async_dwarf_read_uintmax64(mem, byteorder, address, 4, 8, &info->fde_length);
    if (err != hxcrash_error_none) {
      MSHXCF_DEBUG(
          "Failed to read FDE 64-bit length value value; FDE entry lies outside the "
          "mapped range");
      return err;
    }
    headerSize = 12;
    pointerWidth = 8;
  } else {
    info->fde_length = length32;
  }
  info->fde_offset = (address - sectionBase) + static_cast<std::uint64_t>(headerSize);

  std::uint64_t ciePointer = 0;
  hxcrash_error_t err =
      hxcrash_async_dwarf_read_uintmax64(mem, byteorder, address, headerSize, pointerWidth, &ciePointer);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("FDE instruction offset falls outside the mapped range");
    return err;
  }

  hxcrash_vm_address_t cieAddress = 0;
  if (debug_frame) {
    if (static_cast<std::int64_t>(ciePointer) < 0 ||
        !MShxcrash_async_address_apply_offset(sectionBase, static_cast<hxcrash_vm_off_t>(ciePointer), &cieAddress)) {
      MSHXCF_DEBUG("CIE offset of 0x%llx overflows representable range of pl_vm_address_t",
                   static_cast<unsigned long long>(ciePointer));
      return hxcrash_error_invalid_argument;
    }
    info->cie_offset = ciePointer;
  } else {
    const hxcrash_vm_address_t fieldAddress = address + static_cast<std::uint64_t>(headerSize);
    if (ciePointer > fieldAddress || fieldAddress - ciePointer < sectionBase) {
      MSHXCF_DEBUG("CIE offset 0x%llx would place the CIE value outside of the .eh_frame section",
                   static_cast<unsigned long long>(ciePointer));
      return hxcrash_error_invalid_argument;
    }
    cieAddress = fieldAddress - ciePointer;
    info->cie_offset = cieAddress - sectionBase;
  }

  const gnu_ehptr_reader<machine_ptr> reader(byteorder);
  hxcrash_async_dwarf_cie_info parsed;
  const hxcrash_async_dwarf_cie_info* cieInfo = &parsed;
  if (cache != nullptr && cache->valid && cache->address == cieAddress) {
    cieInfo = &cache->cie;
  } else {
    err = hxcrash_async_dwarf_cie_info_init<machine_ptr>(&parsed, mem, byteorder, &reader, cieAddress);
    if (err != hxcrash_error_none) {
      MSHXCF_DEBUG("Failed to parse CFE for FDE");
      return err;
    }
    if (cache != nullptr) {
      cache->valid = true;
      cache->address = cieAddress;
      cache->cie = parsed;
    }
  }
  const hxcrash_async_dwarf_cie_info& cie = *cieInfo;
  const std::uint8_t encoding = (cie.has_eh_augmentation && cie.eh_augmentation.has_pointer_encoding)
                                    ? cie.eh_augmentation.pointer_encoding
                                    : static_cast<std::uint8_t>(DW_EH_PE_absptr);

  hxcrash_vm_off_t position = headerSize + pointerWidth;
  machine_ptr pcStart = 0;
  hxcrash_vm_size_t size = 0;
  err = reader.read(mem, address, position, encoding, &pcStart, &size);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("Failed to read FDE initial_location");
    return err;
  }
  position += static_cast<hxcrash_vm_off_t>(size);
  machine_ptr range = 0;
  err = reader.read(mem, address, position, static_cast<std::uint8_t>(encoding & 0x0f), &range, &size);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("Failed to read FDE address_length");
    return err;
  }
  position += static_cast<hxcrash_vm_off_t>(size);
  info->pc_start = pcStart;
  if (static_cast<std::uint64_t>(range) > ~std::uint64_t{0} - info->pc_start) {
    MSHXCF_DEBUG("FDE address_length + initial_location exceeds UINT64_MAX");
    return hxcrash_error_invalid_argument;
  }
  info->pc_end = info->pc_start + range;

  if (cie.has_eh_augmentation) {
    std::uint64_t dataLength = 0;
    err = hxcrash_async_dwarf_read_uleb128(mem, address, position, &dataLength, &size);
    if (err != hxcrash_error_none) return err;
    position += static_cast<hxcrash_vm_off_t>(size);
    if (dataLength > info->fde_length ||
        dataLength > static_cast<std::uint64_t>(INT64_MAX) - static_cast<std::uint64_t>(position)) {
      MSHXCF_DEBUG("FDE length of 0x%lludeclared to be less than the actual read length of 0x%llu",
                   static_cast<unsigned long long>(info->fde_length), static_cast<unsigned long long>(dataLength));
      return hxcrash_error_invalid_argument;
    }
    position += static_cast<hxcrash_vm_off_t>(dataLength);
  }
  info->instructions_offset = (address - sectionBase) + static_cast<std::uint64_t>(position);
  const std::uint64_t consumed = info->instructions_offset - info->fde_offset;
  if (consumed > info->fde_length) {
    MSHXCF_DEBUG("FDE length of 0x%lludeclared to be less than the actual read length of 0x%llu",
                 static_cast<unsigned long long>(info->fde_length), static_cast<unsigned long long>(consumed));
    return hxcrash_error_invalid_argument;
  }
  info->instructions_length = info->fde_length - consumed;
  return hxcrash_error_none;
}

// Walks a whole CFI section for the FDE covering a program counter. A value built on the
// stack for one frame; it holds no memory of its own.
template <typename Memory>
class dwarf_frame_reader {
 public:
  hxcrash_error_t init(const Memory* mem, const MShxcrash_async_byteorder* byteorder, bool m64, bool debug_frame) {
    mem_ = mem;
    byteorder_ = byteorder;
    m64_ = m64;
    debug_frame_ = debug_frame;
    return hxcrash_error_none;
  }

  // The first FDE in section order, from offset on, with pc_start <= pc < pc_end.
  // hxcrash_error_not_found (not logged) when none covers pc; a damaged entry ends the search
  // with its error.
  hxcrash_error_t find_fde(hxcrash_vm_off_t offset, std::uint64_t pc, hxcrash_async_dwarf_fde_info* fde) const {
    const hxcrash_vm_address_t base = mem_->base_address();
    hxcrash_vm_address_t cursor = 0;
    if (!MShxcrash_async_address_apply_offset(base, offset, &cursor)) {
      MSHXCF_DEBUG("FDE offset hint overflows the mobject's base address");
      return hxcrash_error_invalid_argument;
    }
    const hxcrash_vm_address_t end = base + mem_->length();
    if (cursor >= end) {
      MSHXCF_DEBUG("FDE base address + offset falls outside the mapped range");
      return hxcrash_error_invalid_argument;
    }
    hxcrash_async_dwarf_cie_cache cache;
    while (cursor < end) {
      std::uint32_t length32 = 0;
      std::uint64_t length = 0;
      hxcrash_vm_size_t headerSize = 4;
      std::uint8_t idWidth = 4;
      if (!detail::read_value(*mem_, byteorder_, cursor, 0, &length32)) {
        MSHXCF_DEBUG("The current CFI entry 0x%llx header lies outside the mapped range",
                     static_cast<unsigned long long>(cursor));
        return hxcrash_error_invalid_argument;
      }
      if (length32 == 0xffffffffu) {
        if (!detail::read_value(*mem_, byteorder_, cursor, 4, &length)) {
          MSHXCF_DEBUG("The current CFI entry 0x%llx header lies outside the mapped range",
                       static_cast<unsigned long long>(cursor));
          return hxcrash_error_invalid_argument;
        }
        headerSize = 12;
        idWidth = 8;
      } else {
        length = length32;
      }
      if (length == 0) return hxcrash_error_not_found;

      hxcrash_vm_address_t next = 0;
      if (length > ~std::uint64_t{0} - headerSize || cursor > ~std::uint64_t{0} - (headerSize + length)) {
        MSHXCF_DEBUG("Entry length size overflows the CFI address");
        return hxcrash_error_invalid_argument;
      }
      next = cursor + headerSize + length;

      std::uint64_t id = 0;
      if (hxcrash_async_dwarf_read_uintmax64(*mem_, byteorder_, cursor, static_cast<hxcrash_vm_off_t>(headerSize),
                                             idWidth, &id) != hxcrash_error_none) {
        MSHXCF_DEBUG("The current CFI entry 0x%llx cie_id lies outside the mapped range",
                     static_cast<unsigned long long>(cursor));
        return hxcrash_error_invalid_argument;
      }
      const std::uint64_t allOnes = idWidth == 8 ? ~std::uint64_t{0} : 0xffffffffu;
      const bool isCie = debug_frame_ ? id == allOnes : id == 0;
      if (!isCie) {
        const hxcrash_error_t err = m64_ ? hxcrash_async_dwarf_fde_info_init<std::uint64_t>(
                                               fde, *mem_, byteorder_, cursor, debug_frame_, &cache)
                                         : hxcrash_async_dwarf_fde_info_init<std::uint32_t>(
                                               fde, *mem_, byteorder_, cursor, debug_frame_, &cache);
        if (err != hxcrash_error_none) return err;
        if (fde->pc_start <= pc && pc < fde->pc_end) return hxcrash_error_none;
      }
      cursor = next;
    }
    return hxcrash_error_not_found;
  }

  const Memory* memory() const { return mem_; }
  const MShxcrash_async_byteorder* byteorder() const { return byteorder_; }
  bool m64() const { return m64_; }
  bool debug_frame() const { return debug_frame_; }

 private:
  const Memory* mem_ = nullptr;
  const MShxcrash_async_byteorder* byteorder_ = nullptr;
  bool m64_ = true;
  bool debug_frame_ = false;
};

}  // namespace hxcrash::MS::async
