// The compact unwind information that the Mach-O linker writes into an image's
// __TEXT,__unwind_info section (format version 1): finding a function's 32-bit encoding for a
// pc, decoding it into an entry (frame-pointer based, frameless with an immediate or an indirect
// stack size, use-DWARF, or none), and applying the entry to a frame's registers.
//
// The section reader is a template over a memory-access type (HXCrashAsyncDwarfPrimitives.h), so
// the same parser reads a section mapped through checked reads at crash time (mobject_memory)
// and byte tables in tests and fuzzers (buffer_memory). Every read is checked against the
// section first; a malformed table gives an error code and one diagnostic line.
//
// Everything here is safe at crash time: no allocation, no locks, no library string functions.
// ELF images have no such section.
#pragma once

#include "crash-engine/dwarf/HXCrashAsyncDwarfPrimitives.h"
#include "crash-engine/async/HXCrashAsyncMObject.h"
#include "crash-engine/thread/MSHXCrashThreadState.h"

#include <cstdint>

inline constexpr std::uint32_t MSHXCRASH_CFE_CPU_TYPE_X86 = 7;
inline constexpr std::uint32_t MSHXCRASH_CFE_CPU_TYPE_X86_64 = 0x1000007;
inline constexpr std::uint32_t MSHXCRASH_CFE_CPU_TYPE_ARM64 = 0x100000c;

// The empty slot of a register list, and "no return address register".
inline constexpr std::uint32_t MSHXCRASH_CFE_NO_REGISTER = 0xFFFFFFFF;
inline constexpr std::uint32_t MSHXCRASH_CFE_MAX_REGISTERS = 10;

enum MShxcrash_async_cfe_entry_type : std::uint32_t {
  MShxcrash_async_cfe_entry_frame_ptr = 1,
  MShxcrash_async_cfe_entry_frameless_immd = 2,
  MShxcrash_async_cfe_entry_frameless_indirect = 3,
  MShxcrash_async_cfe_entry_dwarf = 4,
  MShxcrash_async_cfe_entry_none = 5,
};

// A decoded encoding (a value).
struct MShxcrash_async_cfe_entry {
  MShxcrash_async_cfe_entry_type type;
  std::uint32_t cpu_type;
  // Frame pointer: the (negative) offset from the frame pointer to the saved registers.
  // Frameless immediate: the stack size. Frameless indirect: the offset, inside the function,
  // of the 32-bit stack size. DWARF: the FDE's offset. None: 0.
  std::int64_t stack_offset;
  std::uint32_t stack_adjust;             // frameless indirect: added to the size read
  std::uint32_t return_address_register;  // MSHXCRASH_CFE_NO_REGISTER: on the stack
  std::uint32_t register_count;
  std::uint32_t register_list[MSHXCRASH_CFE_MAX_REGISTERS];  // register ids in slot order
};

// Decodes encoding for cpu_type. hxcrash_error_not_supported for another CPU type or an unknown
// mode, the register mapping's or permutation's error otherwise (all logged).
hxcrash_error_t MShxcrash_async_cfe_entry_init(MShxcrash_async_cfe_entry* entry, std::uint32_t cpu_type,
                                               std::uint32_t encoding);
void MShxcrash_async_cfe_entry_free(MShxcrash_async_cfe_entry* entry);
enum MShxcrash_async_cfe_entry_type MShxcrash_async_cfe_entry_type(const MShxcrash_async_cfe_entry* entry);
std::int64_t MShxcrash_async_cfe_entry_stack_offset(const MShxcrash_async_cfe_entry* entry);
std::uint32_t MShxcrash_async_cfe_entry_stack_adjustment(const MShxcrash_async_cfe_entry* entry);
std::uint32_t MShxcrash_async_cfe_entry_return_address_register(const MShxcrash_async_cfe_entry* entry);
std::uint32_t MShxcrash_async_cfe_entry_register_count(const MShxcrash_async_cfe_entry* entry);
// Copies register_count ids into ids.
void MShxcrash_async_cfe_entry_register_list(const MShxcrash_async_cfe_entry* entry, std::uint32_t* ids);

// Applies entry to current (the registers at a pc of the function at function_address) and
// writes the caller's registers to next, reading saved values from task. hxcrash_error_not_found
// when current lacks a register the entry needs, hxcrash_error_invalid_argument on address
// overflow, the read's error for unreadable memory, hxcrash_error_not_supported for DWARF and
// none entries and for arm64 entries (no arm64 register state exists here); all logged.
hxcrash_error_t MShxcrash_async_cfe_entry_apply(vx::task_t task, hxcrash_vm_address_t function_address,
                                                const hxcrash_async_thread_state* current,
                                                const MShxcrash_async_cfe_entry* entry,
                                                hxcrash_async_thread_state* next);

// The register kinds (1 to 6) of a frameless permutation. count above 6:
// hxcrash_error_invalid_argument (logged).
hxcrash_error_t MShxcrash_async_cfe_register_decode(std::uint32_t permutation, std::uint32_t count,
                                                    std::uint32_t* kinds);
// The inverse: the permutation of count (at most 6) distinct kinds 1 to 6.
std::uint32_t MShxcrash_async_cfe_register_encode(const std::uint32_t* kinds, std::uint32_t count);

namespace hxcrash::MS::async {

// The section reader: the section's bytes (borrowed), the CPU type and the copied header.
template <typename Memory>
struct cfe_reader {
  const Memory* mem;
  std::uint32_t cpu_type;
  std::uint32_t header[7];  // version, common encodings offset and count, personalities offset
                            // and count, index offset and count
  const MShxcrash_async_byteorder* byteorder;
};

namespace cfe_detail {

template <typename Memory>
bool read32(const cfe_reader<Memory>* reader, std::uint64_t offset, std::uint32_t* out) {
  return detail::read_value(*reader->mem, reader->byteorder, reader->mem->base_address(),
                            static_cast<hxcrash_vm_off_t>(offset), out);
}

template <typename Memory>
bool read16(const cfe_reader<Memory>* reader, std::uint64_t offset, std::uint16_t* out) {
  return detail::read_value(*reader->mem, reader->byteorder, reader->mem->base_address(),
                            static_cast<hxcrash_vm_off_t>(offset), out);
}

// True when count entries of size bytes at offset lie inside the section.
template <typename Memory>
bool inside(const cfe_reader<Memory>* reader, std::uint64_t offset, std::uint64_t count, std::uint64_t size) {
  const std::uint64_t length = reader->mem->length();
  if (count != 0 && size > length / count) return false;
  const std::uint64_t bytes = count * size;
  return offset <= length && bytes <= length - offset;
}

// The binary search of both levels: over count entries whose i-th function offset offset_of(i)
// gives, the entry i with offset(i) <= pc < offset(i + 1) (the last one covers everything above
// it). False on a miss or a failed read.
template <typename OffsetOf>
bool search(std::uint64_t count, std::uint64_t pc, OffsetOf&& offset_of, std::uint64_t* found) {
  if (count == 0) return false;
  std::uint64_t low = 0;
  std::uint64_t high = count - 1;
  while (low <= high) {
    const std::uint64_t mid = low + (high - low) / 2;
    std::uint64_t value = 0;
    if (!offset_of(mid, &value)) return false;
    if (value == pc) {
      *found = mid;
      return true;
    }
    if (value < pc) {
      std::uint64_t next = 0;
      if (mid == high) {
        *found = mid;
        return true;
      }
      if (!offset_of(mid + 1, &next)) return false;
      if (next > pc) {
        *found = mid;
        return true;
      }
      low = mid + 1;
    } else {
      if (mid == 0) return false;
      high = mid - 1;
    }
  }
  return false;
}

}  // namespace cfe_detail

// Checks the CPU type and the section header and copies it. hxcrash_error_not_supported for
// another CPU type or version, hxcrash_error_invalid_argument when the header is not mapped.
template <typename Memory>
hxcrash_error_t cfe_reader_init(cfe_reader<Memory>* reader, const Memory* mem, std::uint32_t cpu_type) {
  reader->mem = mem;
  reader->cpu_type = cpu_type;
  reader->byteorder = MShxcrash_async_byteorder_little_endian();
  if (cpu_type != MSHXCRASH_CFE_CPU_TYPE_X86 && cpu_type != MSHXCRASH_CFE_CPU_TYPE_X86_64 &&
      cpu_type != MSHXCRASH_CFE_CPU_TYPE_ARM64) {
    MSHXCF_DEBUG("Unsupported CPU type: %u", cpu_type);
    return hxcrash_error_not_supported;
  }
  for (std::uint32_t i = 0; i < 7; ++i) {
    if (!cfe_detail::read32(reader, i * 4u, &reader->header[i])) {
      MSHXCF_DEBUG("Could not map the unwind info section header");
      return hxcrash_error_invalid_argument;
    }
  }
  if (reader->header[0] != 1) {
    MSHXCF_DEBUG("Unsupported CFE version: %u", reader->header[0]);
    return hxcrash_error_not_supported;
  }
  return hxcrash_error_none;
}

// Finds the encoding of the function holding pc_offset (an offset from the image's header);
// function_base gets that function's offset. hxcrash_error_not_found on a miss,
// hxcrash_error_invalid_argument for tables outside the section; both logged.
template <typename Memory>
hxcrash_error_t cfe_reader_find_pc(const cfe_reader<Memory>* reader, std::uint64_t pc_offset,
                                   std::uint64_t* function_base, std::uint32_t* encoding) {
  using namespace cfe_detail;
  const std::uint64_t commonOffset = reader->header[1];
  const std::uint64_t commonCount = reader->header[2];
  const std::uint64_t indexOffset = reader->header[5];
  const std::uint64_t indexCount = reader->header[6];
  if (!inside(reader, commonOffset, commonCount, 4)) {
    MSHXCF_DEBUG("The declared common table lies outside the mapped CFE range");
    return hxcrash_error_invalid_argument;
  }
  if (indexCount == 0) {
    MSHXCF_DEBUG("CFE index contains no entries");
    return hxcrash_error_not_found;
  }
  const std::uint64_t entries = indexCount - 1;  // the last entry is the end sentinel
  if (!inside(reader, indexOffset, entries, 12)) {
    MSHXCF_DEBUG("The declared entries table lies outside the mapped CFE range");
    return hxcrash_error_invalid_argument;
  }
  std::uint64_t first = 0;
  const bool hit = search(
      entries, pc_offset,
      [&](std::uint64_t i, std::uint64_t* out) {
        std::uint32_t value = 0;
        if (!read32(reader, indexOffset + i * 12, &value)) return false;
        *out = value;
        return true;
      },
      &first);
  if (!hit) {
    MSHXCF_DEBUG("Could not find a first level CFE entry for pc=%llx", static_cast<unsigned long long>(pc_offset));
    return hxcrash_error_not_found;
  }
  std::uint32_t firstFunction = 0;
  std::uint32_t pageOffset = 0;
  read32(reader, indexOffset + first * 12, &firstFunction);
  read32(reader, indexOffset + first * 12 + 4, &pageOffset);

  std::uint32_t kind = 0;
  if (!read32(reader, pageOffset, &kind)) {
    MSHXCF_DEBUG("The second-level page header lies outside the mapped CFE range");
    return hxcrash_error_invalid_argument;
  }
  if (kind == 2) {  // regular
    std::uint16_t entriesOffset = 0;
    std::uint16_t count = 0;
    if (!inside(reader, pageOffset, 1, 8) || !read16(reader, pageOffset + 4, &entriesOffset) ||
        !read16(reader, pageOffset + 6, &count)) {
      MSHXCF_DEBUG("The second-level page header lies outside the mapped CFE range");
      return hxcrash_error_invalid_argument;
    }
    const std::uint64_t table = static_cast<std::uint64_t>(pageOffset) + entriesOffset;
    if (!inside(reader, table, count, 8)) {
      MSHXCF_DEBUG("CFE entries table lies outside the mapped CFE range");
      return hxcrash_error_invalid_argument;
    }
    std::uint64_t index = 0;
    const bool found = search(
        count, pc_offset,
        [&](std::uint64_t i, std::uint64_t* out) {
          std::uint32_t value = 0;
          if (!read32(reader, table + i * 8, &value)) return false;
          *out = value;
          return true;
        },
        &index);
    if (!found) {
      MSHXCF_DEBUG("Could not find a second level regular CFE entry for pc=%llx",
                   static_cast<unsigned long long>(pc_offset));
      return hxcrash_error_not_found;
    }
    std::uint32_t function = 0;
    read32(reader, table + index * 8, &function);
    read32(reader, table + index * 8 + 4, encoding);
    *function_base = function;
    return hxcrash_error_none;
  }
  if (kind == 3) {  // compressed
    std::uint16_t entriesOffset = 0, count = 0, encodingsOffset = 0, encodingsCount = 0;
    if (!inside(reader, pageOffset, 1, 12) || !read16(reader, pageOffset + 4, &entriesOffset) ||
        !read16(reader, pageOffset + 6, &count) || !read16(reader, pageOffset + 8, &encodingsOffset) ||
        !read16(reader, pageOffset + 10, &encodingsCount)) {
      MSHXCF_DEBUG("The second-level page header lies outside the mapped CFE range");
      return hxcrash_error_invalid_argument;
    }
    const std::uint64_t table = static_cast<std::uint64_t>(pageOffset) + entriesOffset;
    if (!inside(reader, table, count, 4)) {
      MSHXCF_DEBUG("CFE entries table lies outside the mapped CFE range");
      return hxcrash_error_invalid_argument;
    }
    std::uint64_t index = 0;
    const bool found = search(
        count, pc_offset,
        [&](std::uint64_t i, std::uint64_t* out) {
          std::uint32_t value = 0;
          if (!read32(reader, table + i * 4, &value)) return false;
          *out = static_cast<std::uint64_t>(value & 0xFFFFFF) + firstFunction;
          return true;
        },
        &index);
    if (!found) {
      MSHXCF_DEBUG("Could not find a second level compressed CFE entry for pc=%llx",
                   static_cast<unsigned long long>(pc_offset));
      return hxcrash_error_not_found;
    }
    std::uint32_t value = 0;
    read32(reader, table + index * 4, &value);
    *function_base = static_cast<std::uint64_t>(value & 0xFFFFFF) + firstFunction;
    const std::uint64_t encodingIndex = value >> 24;
    if (encodingIndex < commonCount) {
      read32(reader, commonOffset + encodingIndex * 4, encoding);
      return hxcrash_error_none;
    }
    const std::uint64_t encodings = static_cast<std::uint64_t>(pageOffset) + encodingsOffset;
    if (!inside(reader, encodings, encodingsCount, 4)) {
      MSHXCF_DEBUG("CFE compressed encodings table lies outside the mapped CFE range");
      return hxcrash_error_invalid_argument;
    }
    if (encodingIndex - commonCount >= encodingsCount) {
      MSHXCF_DEBUG("Encoding index lies outside the second level encoding table");
      return hxcrash_error_invalid_argument;
    }
    read32(reader, encodings + (encodingIndex - commonCount) * 4, encoding);
    return hxcrash_error_none;
  }
  MSHXCF_DEBUG("Unsupported second-level CFE table kind: 0x%x at 0x%x", kind, pageOffset);
  return hxcrash_error_invalid_argument;
}

}  // namespace hxcrash::MS::async

// The reader over a mapped section, as the frame reader uses it (lives on the caller's stack).
struct MShxcrash_async_cfe_reader {
  hxcrash::MS::async::mobject_memory memory;
  hxcrash::MS::async::cfe_reader<hxcrash::MS::async::mobject_memory> reader;
};

hxcrash_error_t MShxcrash_async_cfe_reader_init(MShxcrash_async_cfe_reader* reader, hxcrash_async_mobject* section,
                                                std::uint32_t cpu_type);
hxcrash_error_t MShxcrash_async_cfe_reader_find_pc(MShxcrash_async_cfe_reader* reader, std::uint64_t pc_offset,
                                                   std::uint64_t* function_base, std::uint32_t* encoding);
void MShxcrash_async_cfe_reader_free(MShxcrash_async_cfe_reader* reader);
