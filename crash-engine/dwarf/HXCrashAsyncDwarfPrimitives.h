// The building blocks of the DWARF call-frame readers: the memory-access types they read
// through, LEB128 numbers, pointers in the GNU exception-header encodings (DW_EH_PE_*), fixed
// width values and the bounded instruction stream that CFA programs and expressions are read
// from.
//
// The readers are templates over a memory-access type, so the same parsers run on a memory
// object (the crash-time case: a section of the task mapped through checked reads) and on a
// plain byte buffer (tables in tests). A memory-access type offers:
//   const void* remap(hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
//                     hxcrash_vm_size_t length) const;   // local bytes, or null when unmapped
//   hxcrash_vm_address_t base_address() const;           // task address of the first byte
//   hxcrash_vm_size_t length() const;
//   vx::task_t task() const;                              // for reads outside the mapping
//
// Everything here is safe at crash time: no allocation, no locks, no library string
// functions; failures return hxcrash_error_t and most write one diagnostic line.
#pragma once

#include "crash-engine/async/HXCrashAsync.h"
#include "crash-engine/async/HXCrashAsyncMObject.h"

#include <cstdint>
#include <type_traits>

namespace hxcrash::MS::async {

// Section bytes reached through a memory object (not owned).
struct mobject_memory {
  const hxcrash_async_mobject* mobj;

  const void* remap(hxcrash_vm_address_t address, hxcrash_vm_off_t offset, hxcrash_vm_size_t length) const {
    return MShxcrash_async_mobject_remap_address(mobj, address, offset, length);
  }
  hxcrash_vm_address_t base_address() const { return MShxcrash_async_mobject_base_address(mobj); }
  hxcrash_vm_size_t length() const { return MShxcrash_async_mobject_length(mobj); }
  vx::task_t task() const { return MShxcrash_async_mobject_task(mobj); }
};

// Bytes of a local buffer, seen as if they lay at task address `address` of our own task.
// Tests give the buffer's own address so task reads (dereferences, indirect pointers) reach the
// same bytes.
struct buffer_memory {
  const std::uint8_t* bytes;
  hxcrash_vm_size_t size;
  hxcrash_vm_address_t address;

  const void* remap(hxcrash_vm_address_t task_address, hxcrash_vm_off_t offset, hxcrash_vm_size_t length) const {
    hxcrash_vm_address_t start = 0;
    if (!MShxcrash_async_address_apply_offset(task_address, offset, &start)) return nullptr;
    if (start < address) return nullptr;
    const hxcrash_vm_size_t skip = start - address;
    if (skip > size || length > size - skip) return nullptr;
    return bytes + skip;
  }
  hxcrash_vm_address_t base_address() const { return address; }
  hxcrash_vm_size_t length() const { return size; }
  vx::task_t task() const { return vx::mach_task_self(); }
};

namespace detail {

// One T from local bytes at any alignment: a plain load, no library call.
template <typename T>
T load_unaligned(const void* local) {
  typedef T unaligned_t __attribute__((aligned(1), may_alias));
  // NOLINTNEXTLINE(clang-analyzer-core.uninitialized.UndefReturn): callers load filled bytes
  return *static_cast<const unaligned_t*>(local);
}

template <typename T>
T swapped(const MShxcrash_async_byteorder* byteorder, T value) {
  if constexpr (sizeof(T) == 1) {
    return value;
  } else if constexpr (sizeof(T) == 2) {
    return static_cast<T>(byteorder->swap16(static_cast<std::uint16_t>(value)));
  } else if constexpr (sizeof(T) == 4) {
    return static_cast<T>(byteorder->swap32(static_cast<std::uint32_t>(value)));
  } else {
    return static_cast<T>(byteorder->swap64(static_cast<std::uint64_t>(value)));
  }
}

// Reads one T at address + offset through mem; false when unmapped.
template <typename T, typename Memory>
bool read_value(const Memory& mem, const MShxcrash_async_byteorder* byteorder, hxcrash_vm_address_t address,
                hxcrash_vm_off_t offset, T* out) {
  const void* local = mem.remap(address, offset, sizeof(T));
  if (local == nullptr) return false;
  *out = swapped(byteorder, load_unaligned<T>(local));
  return true;
}

template <typename Memory>
hxcrash_error_t read_leb128(const Memory& mem, hxcrash_vm_address_t location, hxcrash_vm_off_t offset, bool is_signed,
                            std::uint64_t* result, hxcrash_vm_size_t* size) {
  std::uint64_t value = 0;
  unsigned shift = 0;
  // Most numbers have their longest form (10 bytes) mapped: decode from one remap then.
  if (const auto* bytes = static_cast<const std::uint8_t*>(mem.remap(location, offset, 10))) {
    for (hxcrash_vm_size_t i = 0; i < 10; ++i) {
      value |= static_cast<std::uint64_t>(bytes[i] & 0x7f) << shift;
      shift += 7;
      if ((bytes[i] & 0x80) == 0) {
        if (is_signed && (bytes[i] & 0x40) != 0 && shift < 64) value |= ~std::uint64_t{0} << shift;
        *result = value;
        *size = i + 1;
        return hxcrash_error_none;
      }
      if (shift > 63) break;
    }
    MSHXCF_DEBUG("ULEB128 is larger than the maximum supported size of 64 bits");
    return hxcrash_error_not_supported;
  }
  for (hxcrash_vm_size_t i = 0;; ++i) {
    hxcrash_vm_off_t position = 0;
    if (__builtin_add_overflow(offset, static_cast<hxcrash_vm_off_t>(i), &position)) {
      MSHXCF_DEBUG("ULEB128 value did not terminate within mapped memory range");
      return hxcrash_error_invalid_argument;
    }
    const auto* byte = static_cast<const std::uint8_t*>(mem.remap(location, position, 1));
    if (byte == nullptr) {
      MSHXCF_DEBUG("ULEB128 value did not terminate within mapped memory range");
      return hxcrash_error_invalid_argument;
    }
    value |= static_cast<std::uint64_t>(*byte & 0x7f) << shift;
    shift += 7;
    if ((*byte & 0x80) == 0) {
      if (is_signed && (*byte & 0x40) != 0 && shift < 64) value |= ~std::uint64_t{0} << shift;
      *result = value;
      *size = i + 1;
      return hxcrash_error_none;
    }
    if (shift > 63) {
      MSHXCF_DEBUG("ULEB128 is larger than the maximum supported size of 64 bits");
      return hxcrash_error_not_supported;
    }
  }
}

}  // namespace detail

// Decodes one unsigned LEB128 number at location + offset; size gets the bytes consumed.
// hxcrash_error_invalid_argument when it runs out of the mapping, hxcrash_error_not_supported
// beyond 64 bits (10 bytes); both logged.
template <typename Memory>
requires(!std::is_pointer_v<Memory>) hxcrash_error_t
    hxcrash_async_dwarf_read_uleb128(const Memory& mem, hxcrash_vm_address_t location, hxcrash_vm_off_t offset,
                                     std::uint64_t* result, hxcrash_vm_size_t* size) {
  return detail::read_leb128(mem, location, offset, false, result, size);
}

// As above, signed (sign-extended from the last byte's bit 6).
template <typename Memory>
requires(!std::is_pointer_v<Memory>) hxcrash_error_t
    hxcrash_async_dwarf_read_sleb128(const Memory& mem, hxcrash_vm_address_t location, hxcrash_vm_off_t offset,
                                     std::int64_t* result, hxcrash_vm_size_t* size) {
  std::uint64_t value = 0;
  const hxcrash_error_t err = detail::read_leb128(mem, location, offset, true, &value, size);
  if (err == hxcrash_error_none) *result = static_cast<std::int64_t>(value);
  return err;
}

hxcrash_error_t hxcrash_async_dwarf_read_uleb128(const hxcrash_async_mobject* mobj, hxcrash_vm_address_t location,
                                                 hxcrash_vm_off_t offset, std::uint64_t* result,
                                                 hxcrash_vm_size_t* size);
hxcrash_error_t hxcrash_async_dwarf_read_sleb128(const hxcrash_async_mobject* mobj, hxcrash_vm_address_t location,
                                                 hxcrash_vm_off_t offset, std::int64_t* result,
                                                 hxcrash_vm_size_t* size);

// The same for task memory that no memory object maps yet: maps up to 4096 bytes at
// location + offset (partial mappings accepted) for the read. Mapping failures return the
// mapping's error ("Failed to map uleb128 page"); overflow gives hxcrash_error_invalid_argument.
hxcrash_error_t hxcrash_async_dwarf_read_task_uleb128(vx::task_t task, hxcrash_vm_address_t location,
                                                      hxcrash_vm_off_t offset, std::uint64_t* result,
                                                      hxcrash_vm_size_t* size);
hxcrash_error_t hxcrash_async_dwarf_read_task_sleb128(vx::task_t task, hxcrash_vm_address_t location,
                                                      hxcrash_vm_off_t offset, std::int64_t* result,
                                                      hxcrash_vm_size_t* size);

// Reads an unsigned value of 1, 2, 4 or 8 bytes at location + offset and widens it.
// hxcrash_error_invalid_argument when unmapped (not logged) or for another width (logged).
template <typename Memory>
hxcrash_error_t hxcrash_async_dwarf_read_uintmax64(const Memory& mem, const MShxcrash_async_byteorder* byteorder,
                                                   hxcrash_vm_address_t location, hxcrash_vm_off_t offset,
                                                   std::uint8_t width, std::uint64_t* result) {
  bool ok = false;
  switch (width) {
    case 1: {
      std::uint8_t v = 0;
      ok = detail::read_value(mem, byteorder, location, offset, &v);
      *result = v;
      break;
    }
    case 2: {
      std::uint16_t v = 0;
      ok = detail::read_value(mem, byteorder, location, offset, &v);
      *result = v;
      break;
    }
    case 4: {
      std::uint32_t v = 0;
      ok = detail::read_value(mem, byteorder, location, offset, &v);
      *result = v;
      break;
    }
    case 8: {
      std::uint64_t v = 0;
      ok = detail::read_value(mem, byteorder, location, offset, &v);
      *result = v;
      break;
    }
    default:
      MSHXCF_DEBUG("Unhandled data width %llu", static_cast<unsigned long long>(width));
      return hxcrash_error_invalid_argument;
  }
  return ok ? hxcrash_error_none : hxcrash_error_invalid_argument;
}

// Pointer encodings (DW_EH_PE_*).
enum : std::uint8_t {
  DW_EH_PE_absptr = 0x00,
  DW_EH_PE_uleb128 = 0x01,
  DW_EH_PE_udata2 = 0x02,
  DW_EH_PE_udata4 = 0x03,
  DW_EH_PE_udata8 = 0x04,
  DW_EH_PE_sleb128 = 0x09,
  DW_EH_PE_sdata2 = 0x0a,
  DW_EH_PE_sdata4 = 0x0b,
  DW_EH_PE_sdata8 = 0x0c,
  DW_EH_PE_pcrel = 0x10,
  DW_EH_PE_textrel = 0x20,
  DW_EH_PE_datarel = 0x30,
  DW_EH_PE_funcrel = 0x40,
  DW_EH_PE_aligned = 0x50,
  DW_EH_PE_indirect = 0x80,
  DW_EH_PE_omit = 0xff,
};

// Decodes pointers in the GNU exception-header encodings for a target whose pointers are
// machine_ptr (std::uint32_t or std::uint64_t); arithmetic wraps at that width. A value type
// built on the caller's stack. The bases are optional; without them the relative encodings
// that need one are refused.
template <typename machine_ptr>
class gnu_ehptr_reader {
  static_assert(std::is_same_v<machine_ptr, std::uint32_t> || std::is_same_v<machine_ptr, std::uint64_t>);

 public:
  explicit gnu_ehptr_reader(const MShxcrash_async_byteorder* byteorder) : byteorder_(byteorder) {}

  void set_frame_section_base(machine_ptr task_address, machine_ptr vm_address) {
    frame_section_.valid = true;
    frame_section_.task_address = task_address;
    frame_section_.vm_address = vm_address;
  }
  void set_text_base(machine_ptr value) { text_ = {true, value}; }
  void set_data_base(machine_ptr value) { data_ = {true, value}; }
  void set_func_base(machine_ptr value) { func_ = {true, value}; }

  // Decodes one pointer at location + offset; size gets the bytes consumed (padding included,
  // indirection not). hxcrash_error_not_found for DW_EH_PE_omit (outputs untouched),
  // hxcrash_error_not_supported for encodings outside the table or without their base, the read's
  // error otherwise; all logged.
  template <typename Memory>
  hxcrash_error_t read(const Memory& mem, hxcrash_vm_address_t location, hxcrash_vm_off_t offset, std::uint8_t encoding,
                       machine_ptr* result, hxcrash_vm_size_t* size) const {
    if (encoding == DW_EH_PE_omit) {
      MSHXCF_DEBUG("Skipping decoding of DW_EH_PE_omit pointer");
      return hxcrash_error_not_found;
    }
    *size = 0;
    const hxcrash_vm_address_t here = location + static_cast<hxcrash_vm_address_t>(offset);
    machine_ptr base = 0;
    hxcrash_vm_off_t position = offset;
    switch (encoding & 0x70) {
      case DW_EH_PE_absptr:
        break;
      case DW_EH_PE_pcrel:
        base = static_cast<machine_ptr>(here);
        break;
      case DW_EH_PE_textrel:
        if (!text_.valid) {
          MSHXCF_DEBUG(
              "Cannot decode DW_EH_PE_textrel value with "
              "HXCRASH_ASYNC_DWARF_INVALID_BASE_ADDR text_addr");
          return hxcrash_error_not_supported;
        }
        base = text_.value;
        break;
      case DW_EH_PE_datarel:
        if (!data_.valid) {
          MSHXCF_DEBUG(
              "Cannot decode DW_EH_PE_datarel value with "
              "HXCRASH_ASYNC_DWARF_INVALID_BASE_ADDR data_base");
          return hxcrash_error_not_supported;
        }
        base = data_.value;
        break;
      case DW_EH_PE_funcrel:
        if (!func_.valid) {
          MSHXCF_DEBUG(
              "Cannot decode DW_EH_PE_funcrel value with "
              "HXCRASH_ASYNC_DWARF_INVALID_BASE_ADDR func_base");
          return hxcrash_error_not_supported;
        }
        base = func_.value;
        break;
      case DW_EH_PE_aligned: {
        if (!frame_section_.valid || here < frame_section_.task_address) {
          MSHXCF_DEBUG(
              "Cannot decode DW_EH_PE_aligned value without a valid frame section base "
              "configured");
          return hxcrash_error_not_supported;
        }
        const machine_ptr vm = static_cast<machine_ptr>(here - frame_section_.task_address + frame_section_.vm_address);
        const machine_ptr width = sizeof(machine_ptr);
        const machine_ptr padding = static_cast<machine_ptr>((width - vm % width) % width);
        *size = padding;
        position += static_cast<hxcrash_vm_off_t>(padding);
        break;
      }
      default:
        MSHXCF_DEBUG("Unsupported pointer base encoding of 0x%x", static_cast<unsigned>(encoding));
        return hxcrash_error_not_supported;
    }

    machine_ptr value = 0;
    const hxcrash_vm_address_t at = location + static_cast<hxcrash_vm_address_t>(position);
    switch (encoding & 0x0f) {
      case DW_EH_PE_absptr: {
        machine_ptr v = 0;
        if (!detail::read_value(mem, byteorder_, location, position, &v)) {
          MSHXCF_DEBUG("Failed to read value at 0x%llx", static_cast<unsigned long long>(at));
          return hxcrash_error_invalid_argument;
        }
        value = v;
        *size += sizeof v;
        break;
      }
      case DW_EH_PE_uleb128: {
        std::uint64_t v = 0;
        hxcrash_vm_size_t n = 0;
        const hxcrash_error_t err = hxcrash_async_dwarf_read_uleb128(mem, location, position, &v, &n);
        if (err != hxcrash_error_none) {
          MSHXCF_DEBUG("Failed to read uleb128 value at 0x%llx", static_cast<unsigned long long>(at));
          return err;
        }
        value = static_cast<machine_ptr>(v);
        *size += n;
        break;
      }
      case DW_EH_PE_sleb128: {
        std::int64_t v = 0;
        hxcrash_vm_size_t n = 0;
        const hxcrash_error_t err = hxcrash_async_dwarf_read_sleb128(mem, location, position, &v, &n);
        if (err != hxcrash_error_none) {
          MSHXCF_DEBUG("Failed to read sleb128 value at 0x%llx", static_cast<unsigned long long>(at));
          return err;
        }
        value = static_cast<machine_ptr>(v);
        *size += n;
        break;
      }
      case DW_EH_PE_udata2:
        if (!read_fixed<std::uint16_t>(mem, location, position, &value, size, "udata2", at))
          return hxcrash_error_invalid_argument;
        break;
      case DW_EH_PE_udata4:
        if (!read_fixed<std::uint32_t>(mem, location, position, &value, size, "udata4", at))
          return hxcrash_error_invalid_argument;
        break;
      case DW_EH_PE_udata8:
        if (!read_fixed<std::uint64_t>(mem, location, position, &value, size, "udata8", at))
          return hxcrash_error_invalid_argument;
        break;
      case DW_EH_PE_sdata2:
        if (!read_fixed<std::int16_t>(mem, location, position, &value, size, "sdata2", at))
          return hxcrash_error_invalid_argument;
        break;
      case DW_EH_PE_sdata4:
        if (!read_fixed<std::int32_t>(mem, location, position, &value, size, "sdata4", at))
          return hxcrash_error_invalid_argument;
        break;
      case DW_EH_PE_sdata8:
        if (!read_fixed<std::int64_t>(mem, location, position, &value, size, "sdata8", at))
          return hxcrash_error_invalid_argument;
        break;
      default:
        MSHXCF_DEBUG("Unknown pointer encoding of type 0x%x", static_cast<unsigned>(encoding));
        return hxcrash_error_not_supported;
    }
    value = static_cast<machine_ptr>(base + value);

    if ((encoding & DW_EH_PE_indirect) != 0) {
      if constexpr (sizeof(machine_ptr) == 4) {
        std::uint32_t target = 0;
        const hxcrash_error_t err = MShxcrash_async_task_read_uint32(mem.task(), byteorder_, value, 0, &target);
        if (err != hxcrash_error_none) return err;
        value = target;
      } else {
        std::uint64_t target = 0;
        const hxcrash_error_t err = MShxcrash_async_task_read_uint64(mem.task(), byteorder_, value, 0, &target);
        if (err != hxcrash_error_none) return err;
        value = target;
      }
    }
    *result = value;
    return hxcrash_error_none;
  }

 private:
  template <typename T, typename Memory>
  bool read_fixed(const Memory& mem, hxcrash_vm_address_t location, hxcrash_vm_off_t position, machine_ptr* value,
                  hxcrash_vm_size_t* size, const char* name, hxcrash_vm_address_t at) const {
    T v = 0;
    if (!detail::read_value(mem, byteorder_, location, position, &v)) {
      MSHXCF_DEBUG("Failed to read %s value at 0x%llx", name, static_cast<unsigned long long>(at));
      return false;
    }
    // Signed formats sign-extend; the conversion to machine_ptr cuts 64-bit values to the width.
    if constexpr (std::is_signed_v<T>) {
      *value = static_cast<machine_ptr>(static_cast<std::int64_t>(v));
    } else {
      *value = static_cast<machine_ptr>(static_cast<std::uint64_t>(v));
    }
    *size += sizeof(T);
    return true;
  }

  struct base_value {
    bool valid = false;
    machine_ptr value = 0;
  };
  struct section_base {
    bool valid = false;
    machine_ptr task_address = 0;
    machine_ptr vm_address = 0;
  };

  const MShxcrash_async_byteorder* byteorder_;
  section_base frame_section_{};
  base_value text_{};
  base_value data_{};
  base_value func_{};
};

// A bounded cursor over [base + offset, + length) of a mapping: every operand read is checked
// against the end.
template <typename Memory>
class dwarf_opstream {
 public:
  // hxcrash_error_invalid_argument (logged) when the range overflows or is not mapped.
  hxcrash_error_t init(const Memory* mem, const MShxcrash_async_byteorder* byteorder, hxcrash_vm_address_t base,
                       hxcrash_vm_off_t offset, hxcrash_vm_off_t length) {
    mem_ = mem;
    byteorder_ = byteorder;
    if (!MShxcrash_async_address_apply_offset(base, offset, &start_address_)) {
      MSHXCF_DEBUG("Offset overflows base address");
      return hxcrash_error_invalid_argument;
    }
    if (length < 0 || !MShxcrash_async_address_apply_offset(start_address_, length, &end_address_)) {
      MSHXCF_DEBUG("Length overflows base address");
      return hxcrash_error_invalid_argument;
    }
    const void* local = mem->remap(start_address_, 0, static_cast<hxcrash_vm_size_t>(length));
    if (local == nullptr) {
      MSHXCF_DEBUG("Could not map the DWARF instructions; range falls outside mapped pages");
      return hxcrash_error_invalid_argument;
    }
    start_ = static_cast<const std::uint8_t*>(local);
    end_ = start_ + length;
    pos_ = start_;
    return hxcrash_error_none;
  }

  // Reads one fixed-width value; false (nothing logged) when it would pass the end.
  template <typename T>
  bool read_intU(T* out) {
    if (static_cast<std::size_t>(end_ - pos_) < sizeof(T)) return false;
    const T value = detail::load_unaligned<T>(pos_);
    pos_ += sizeof(T);
    *out = detail::swapped(byteorder_, value);
    return true;
  }

  hxcrash_error_t read_uleb128(std::uint64_t* out) {
    hxcrash_vm_size_t size = 0;
    const hxcrash_error_t err = hxcrash_async_dwarf_read_uleb128(*mem_, position_address(), 0, out, &size);
    if (err != hxcrash_error_none) {
      MSHXCF_DEBUG("Read of ULEB128 value failed with %u", static_cast<unsigned>(err));
      return err;
    }
    if (size > static_cast<hxcrash_vm_size_t>(end_ - pos_)) {
      MSHXCF_DEBUG("ULEB128 value extends past end of opstream");
      return hxcrash_error_invalid_argument;
    }
    pos_ += size;
    return hxcrash_error_none;
  }

  hxcrash_error_t read_sleb128(std::int64_t* out) {
    hxcrash_vm_size_t size = 0;
    const hxcrash_error_t err = hxcrash_async_dwarf_read_sleb128(*mem_, position_address(), 0, out, &size);
    if (err != hxcrash_error_none) {
      MSHXCF_DEBUG("Read of ULEB128 value failed with %u", static_cast<unsigned>(err));
      return err;
    }
    if (size > static_cast<hxcrash_vm_size_t>(end_ - pos_)) {
      MSHXCF_DEBUG("SLEB128 value extends past end of opstream");
      return hxcrash_error_invalid_argument;
    }
    pos_ += size;
    return hxcrash_error_none;
  }

  template <typename machine_ptr>
  hxcrash_error_t read_gnueh_ptr(const gnu_ehptr_reader<machine_ptr>* reader, std::uint8_t encoding, machine_ptr* out) {
    hxcrash_vm_size_t size = 0;
    const hxcrash_error_t err = reader->read(*mem_, position_address(), 0, encoding, out, &size);
    if (err != hxcrash_error_none) {
      MSHXCF_DEBUG("Read of GNU EH pointer value failed with %u", static_cast<unsigned>(err));
      return err;
    }
    if (size > static_cast<hxcrash_vm_size_t>(end_ - pos_)) {
      MSHXCF_DEBUG("GNU EH pointer value extends past end of opstream");
      return hxcrash_error_invalid_argument;
    }
    pos_ += size;
    return hxcrash_error_none;
  }

  // Moves by offset bytes; false (position unchanged) when the target lies outside
  // [start, end] (the end itself is allowed).
  bool skip(hxcrash_vm_off_t offset) {
    const hxcrash_vm_off_t from = pos_ - start_;
    hxcrash_vm_off_t to = 0;
    if (__builtin_add_overflow(from, offset, &to)) return false;
    if (to < 0 || to > end_ - start_) return false;
    pos_ = start_ + to;
    return true;
  }

  bool at_end() const { return pos_ >= end_; }
  // Offset of the current position from the stream's start.
  hxcrash_vm_off_t position() const { return pos_ - start_; }
  // Bytes left.
  hxcrash_vm_size_t remaining() const { return static_cast<hxcrash_vm_size_t>(end_ - pos_); }
  // Task address of the current position.
  hxcrash_vm_address_t position_address() const {
    return start_address_ + static_cast<hxcrash_vm_address_t>(pos_ - start_);
  }
  hxcrash_vm_address_t start_address() const { return start_address_; }

 private:
  const Memory* mem_ = nullptr;
  const MShxcrash_async_byteorder* byteorder_ = nullptr;
  hxcrash_vm_address_t start_address_ = 0;
  hxcrash_vm_address_t end_address_ = 0;
  const std::uint8_t* start_ = nullptr;
  const std::uint8_t* end_ = nullptr;
  const std::uint8_t* pos_ = nullptr;
};

}  // namespace hxcrash::MS::async
