// What the DWARF frame reader needs of one image, prepared once when the image is added to the
// list (never at crash time): where its call-frame section lies and how to read it, and the
// sorted FDE table of its .eh_frame_hdr when it has a usable one.
//
// An ELF image's .eh_frame is read in place, through reads bounded by the section, once its
// pages were found readable here; a section that cannot be read in place (and a Mach-O image's
// __eh_frame or __debug_frame) is mapped into a memory object once and kept with the image.
// The FDE search is a binary search of the header table; an image without one falls back to the
// linear walk of the section. Both find the same FDE for every program counter.
//
// MShxcrash_nasync_* run outside crash time (they allocate); the lookup templates are safe at
// crash time: no allocation, no locks, no library string functions.
#pragma once

#include "crash-engine/dwarf/HXCrashAsyncDwarfCIE.h"
#include "crash-engine/dwarf/HXCrashAsyncDwarfWalkCache.h"
#include "crash-engine/macho/HXCrashAsyncMachOImage.h"

struct MShxcrash_async_dwarf_image_cache {
  bool has_section;  // a call-frame section to read
  bool debug_frame;  // __debug_frame (CIE ids of all ones) rather than an eh_frame
  hxcrash_vm_address_t section_address;
  hxcrash_vm_size_t section_size;
  bool mapped;                    // read through `section`, else in place
  hxcrash_async_mobject section;  // valid when mapped
  // The .eh_frame_hdr table: table_count pairs of (initial location, FDE address), each field
  // table_field_size bytes in encoding table_encoding, relative to table_data_base.
  bool has_table;
  hxcrash_vm_address_t table_address;
  std::uint64_t table_count;
  std::uint8_t table_encoding;
  std::uint8_t table_field_size;
  hxcrash_vm_address_t table_data_base;
};

// Fills cache for image (a zeroed cache without section when the image has none or it cannot be
// read). Writes a diagnostic line when a header table is present but refused.
void MShxcrash_nasync_dwarf_image_cache_init(MShxcrash_async_dwarf_image_cache* cache, MShxcrash_async_macho* image);
void MShxcrash_nasync_dwarf_image_cache_free(MShxcrash_async_dwarf_image_cache* cache);

// Crash time. The same for an ELF image that joined the list only at crash time, in place only:
// nothing is mapped (a section that cannot be read in place leaves the cache without section)
// and the header table's entries are not checked one by one (a bad table makes lookups miss,
// every read stays bounded). Needs no free.
void MShxcrash_async_dwarf_image_cache_init_in_place(MShxcrash_async_dwarf_image_cache* cache,
                                                     MShxcrash_async_macho* image);

// Prepares image->dwarf_cache (allocated here); nothing when it already has one. Called when an
// image record joins the image list.
void MShxcrash_nasync_dwarf_image_cache_attach(MShxcrash_async_macho* image);
// Releases image->dwarf_cache, if any.
void MShxcrash_nasync_dwarf_image_cache_detach(MShxcrash_async_macho* image);

namespace hxcrash::MS::async {

// The section of a cache as bytes the readers can use, in place.
inline buffer_memory dwarf_image_cache_in_place(const MShxcrash_async_dwarf_image_cache* cache) {
  return buffer_memory{reinterpret_cast<const std::uint8_t*>(cache->section_address), cache->section_size,
                       cache->section_address};
}

namespace detail {

// Crash time. One field of the header table, decoded (datarel base applied).
inline bool read_table_field(const MShxcrash_async_dwarf_image_cache* cache, const MShxcrash_async_byteorder* byteorder,
                             std::uint64_t index, unsigned field, std::uint64_t* out) {
  const hxcrash_vm_size_t size = cache->table_field_size;
  const hxcrash_vm_address_t at = cache->table_address + (index * 2 + field) * static_cast<std::uint64_t>(size);
  const buffer_memory table{reinterpret_cast<const std::uint8_t*>(cache->table_address), cache->table_count * 2 * size,
                            cache->table_address};
  std::uint64_t raw = 0;
  if (hxcrash_async_dwarf_read_uintmax64(table, byteorder, at, 0, static_cast<std::uint8_t>(size), &raw) !=
      hxcrash_error_none) {
    return false;
  }
  if ((cache->table_encoding & 0x08) != 0 && size < 8) {  // signed formats: sign-extend
    const unsigned shift = static_cast<unsigned>(64 - size * 8);
    raw = static_cast<std::uint64_t>(static_cast<std::int64_t>(raw << shift) >> shift);
  }
  *out = cache->table_data_base + raw;
  return true;
}

}  // namespace detail

// Crash time. Finds the FDE covering pc through the header table: the last entry whose initial
// location is at or below pc (or an entry sharing that location), parsed from mem.
// hxcrash_error_not_found (not logged) when no FDE covers pc; a damaged entry gives its error.
// hit (may be null) is made valid, with the span of its table entry, when the FDE was the
// search's first candidate: then every pc inside both the span and the FDE finds it again.
template <typename machine_ptr, typename Memory>
hxcrash_error_t hxcrash_async_dwarf_image_cache_table_find_fde(const MShxcrash_async_dwarf_image_cache* cache,
                                                               const Memory& mem,
                                                               const MShxcrash_async_byteorder* byteorder,
                                                               std::uint64_t pc, hxcrash_async_dwarf_fde_info* fde,
                                                               hxcrash_async_dwarf_cie_cache* cie_cache = nullptr,
                                                               hxcrash_dwarf_fde_hit* hit = nullptr) {
  if (hit != nullptr) hit->valid = false;
  std::uint64_t low = 0;
  std::uint64_t high = cache->table_count;  // entries [low, high) hold the answer's successor
  while (low < high) {
    const std::uint64_t middle = low + (high - low) / 2;
    std::uint64_t start = 0;
    if (!detail::read_table_field(cache, byteorder, middle, 0, &start)) {
      return hxcrash_error_invalid_argument;
    }
    if (start <= pc) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (low == 0) return hxcrash_error_not_found;
  // Entries sharing an initial location (empty FDEs, folded code) are tried from the last one
  // back; a few at most.
  constexpr int kSameStartTries = 8;
  std::uint64_t firstStart = 0;
  for (int tries = 0; tries < kSameStartTries && low > 0; ++tries) {
    const std::uint64_t index = low - 1;
    std::uint64_t start = 0;
    std::uint64_t fdeAddress = 0;
    if (!detail::read_table_field(cache, byteorder, index, 0, &start) ||
        !detail::read_table_field(cache, byteorder, index, 1, &fdeAddress)) {
      return hxcrash_error_invalid_argument;
    }
    if (tries == 0) firstStart = start;
    if (start != firstStart) break;
    const hxcrash_error_t err =
        hxcrash_async_dwarf_fde_info_init<machine_ptr>(fde, mem, byteorder, fdeAddress, false, cie_cache);
    if (err != hxcrash_error_none) return err;
    if (fde->pc_start <= pc && pc < fde->pc_end) {
      std::uint64_t next = ~std::uint64_t{0};
      if (hit != nullptr && tries == 0 &&
          (index + 1 == cache->table_count || detail::read_table_field(cache, byteorder, index + 1, 0, &next))) {
        hit->valid = true;
        hit->entry_start = start;
        hit->next_start = next;
        hit->fde = *fde;
      }
      return hxcrash_error_none;
    }
    low = index;
  }
  return hxcrash_error_not_found;
}

// Crash time. The FDE covering pc in the cached section: the header table when there is one,
// else the linear walk of mem. cie_cache (may be null) receives the FDE's CIE when the table
// parsed it; hit (may be null) as for the table search, never valid after the linear walk.
template <typename machine_ptr, typename Memory>
hxcrash_error_t hxcrash_async_dwarf_image_cache_find_fde(const MShxcrash_async_dwarf_image_cache* cache,
                                                         const Memory& mem, const MShxcrash_async_byteorder* byteorder,
                                                         std::uint64_t pc, hxcrash_async_dwarf_fde_info* fde,
                                                         hxcrash_async_dwarf_cie_cache* cie_cache = nullptr,
                                                         hxcrash_dwarf_fde_hit* hit = nullptr) {
  if (hit != nullptr) hit->valid = false;
  if (cache->has_table && !cache->debug_frame) {
    return hxcrash_async_dwarf_image_cache_table_find_fde<machine_ptr>(cache, mem, byteorder, pc, fde, cie_cache, hit);
  }
  dwarf_frame_reader<Memory> reader;
  const hxcrash_error_t err = reader.init(&mem, byteorder, sizeof(machine_ptr) == 8, cache->debug_frame);
  if (err != hxcrash_error_none) return err;
  return reader.find_fde(0, pc, fde);
}

}  // namespace hxcrash::MS::async
