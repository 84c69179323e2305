#include "crash-engine/dwarf/HXCrashAsyncDwarfImageCache.h"

#include <cstdlib>
#include <cstring>

using namespace hxcrash::MS::async;

namespace {

// True when every page of [address, address + size) of our own task can be read now.
bool readableInPlace(vx::task_t task, hxcrash_vm_address_t address, hxcrash_vm_size_t size) {
  if (task != vx::mach_task_self() || size == 0 || address == 0) return false;
  hxcrash_vm_address_t end = 0;
  if (size > static_cast<hxcrash_vm_size_t>(INT64_MAX) ||
      !MShxcrash_async_address_apply_offset(address, static_cast<hxcrash_vm_off_t>(size), &end) ||
      end + vx::vm_page_mask < end) {
    return false;
  }
  const hxcrash_vm_address_t first = address & ~vx::vm_page_mask;
  const std::uint64_t pages =
      ((end + vx::vm_page_mask) & ~vx::vm_page_mask) / vx::vm_page_size - first / vx::vm_page_size;
  return vx::task_readable_pages(first, pages) == pages;
}

std::uint8_t fixedFieldSize(std::uint8_t encoding) {
  switch (encoding & 0x0f) {
    case DW_EH_PE_udata2:
    case DW_EH_PE_sdata2:
      return 2;
    case DW_EH_PE_udata4:
    case DW_EH_PE_sdata4:
      return 4;
    case DW_EH_PE_udata8:
    case DW_EH_PE_sdata8:
      return 8;
    default:
      return 0;
  }
}

// Reads the .eh_frame_hdr of an ELF image: version 1, the encodings, the .eh_frame pointer, the
// entry count and the sorted table. Only a table of fixed-size, data-relative fields that fits
// the header, is sorted and points into .eh_frame is used.
template <typename machine_ptr>
void prepareTable(MShxcrash_async_dwarf_image_cache* cache, const MShxcrash_async_macho* image, bool checkEntries) {
  const hxcrash_vm_address_t hdr = image->eh_frame_hdr_addr;
  const hxcrash_vm_size_t hdrSize = image->eh_frame_hdr_size;
  if (hdr == 0 || hdrSize < 4 || !readableInPlace(image->task, hdr, hdrSize)) return;
  const buffer_memory mem{reinterpret_cast<const std::uint8_t*>(hdr), hdrSize, hdr};
  const MShxcrash_async_byteorder* byteorder = image->byteorder;
  std::uint8_t header[4] = {};
  for (int i = 0; i < 4; ++i) detail::read_value(mem, byteorder, hdr, i, &header[i]);
  const std::uint8_t version = header[0];
  const std::uint8_t countEncoding = header[2];
  const std::uint8_t tableEncoding = header[3];
  if (version != 1 || countEncoding == DW_EH_PE_omit || tableEncoding == DW_EH_PE_omit) return;
  const std::uint8_t fieldSize = fixedFieldSize(tableEncoding);
  if ((tableEncoding & 0x70) != DW_EH_PE_datarel || (tableEncoding & DW_EH_PE_indirect) != 0 || fieldSize == 0) {
    MSHXCF_DEBUG("Unsupported .eh_frame_hdr table encoding 0x%x in %s; searching linearly",
                 static_cast<unsigned>(tableEncoding), image->name);
    return;
  }
  gnu_ehptr_reader<machine_ptr> reader(byteorder);
  reader.set_data_base(static_cast<machine_ptr>(hdr));
  hxcrash_vm_off_t position = 4;
  machine_ptr value = 0;
  hxcrash_vm_size_t size = 0;
  if (reader.read(mem, hdr, position, header[1], &value, &size) != hxcrash_error_none) return;
  position += static_cast<hxcrash_vm_off_t>(size);
  if (reader.read(mem, hdr, position, countEncoding, &value, &size) != hxcrash_error_none) return;
  position += static_cast<hxcrash_vm_off_t>(size);
  const std::uint64_t count = value;
  const std::uint64_t available = hdrSize - static_cast<std::uint64_t>(position);
  if (count == 0 || count > available / (2u * fieldSize)) {
    if (count != 0) {
      MSHXCF_DEBUG(".eh_frame_hdr of %s claims %llu entries beyond its size; searching linearly", image->name,
                   static_cast<unsigned long long>(count));
    }
    return;
  }
  cache->table_address = hdr + static_cast<std::uint64_t>(position);
  cache->table_count = count;
  cache->table_encoding = tableEncoding;
  cache->table_field_size = fieldSize;
  cache->table_data_base = hdr;
  // A table the binary search can trust: ascending, every FDE inside the section. (Without the
  // check a bad table only makes lookups miss: every read stays bounded.)
  if (!checkEntries) {
    cache->has_table = true;
    return;
  }
  const hxcrash_vm_address_t sectionEnd = cache->section_address + cache->section_size;
  std::uint64_t previous = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint64_t start = 0;
    std::uint64_t fde = 0;
    if (!detail::read_table_field(cache, byteorder, i, 0, &start) ||
        !detail::read_table_field(cache, byteorder, i, 1, &fde) || (i > 0 && start < previous) ||
        fde < cache->section_address || fde >= sectionEnd) {
      MSHXCF_DEBUG(
          ".eh_frame_hdr table of %s is unsorted or points outside .eh_frame at entry "
          "%llu; searching linearly",
          image->name, static_cast<unsigned long long>(i));
      return;
    }
    previous = start;
  }
  cache->has_table = true;
}

}  // namespace

void MShxcrash_nasync_dwarf_image_cache_init(MShxcrash_async_dwarf_image_cache* cache, MShxcrash_async_macho* image) {
  std::memset(cache, 0, sizeof *cache);
  if (image->format == MShxcrash_async_image_format_elf) {
    if (image->eh_frame_addr == 0 || image->eh_frame_size == 0) return;
    cache->section_address = image->eh_frame_addr;
    cache->section_size = image->eh_frame_size;
    if (!readableInPlace(image->task, cache->section_address, cache->section_size)) {
      if (MShxcrash_async_mobject_init(&cache->section, image->task, cache->section_address, cache->section_size,
                                       true) != hxcrash_error_none) {
        return;
      }
      cache->mapped = true;
    }
    cache->has_section = true;
    if (image->m64) {
      prepareTable<std::uint64_t>(cache, image, true);
    } else {
      prepareTable<std::uint32_t>(cache, image, true);
    }
    return;
  }
  // Mach-O: the section is mapped here, once.
  if (MShxcrash_async_macho_map_section(image, "__TEXT", "__eh_frame", &cache->section) != hxcrash_error_none) {
    if (MShxcrash_async_macho_map_section(image, "__DWARF", "__debug_frame", &cache->section) != hxcrash_error_none) {
      return;
    }
    cache->debug_frame = true;
  }
  cache->mapped = true;
  cache->has_section = true;
  cache->section_address = MShxcrash_async_mobject_base_address(&cache->section);
  cache->section_size = MShxcrash_async_mobject_length(&cache->section);
}

void MShxcrash_nasync_dwarf_image_cache_free(MShxcrash_async_dwarf_image_cache* cache) {
  if (cache->mapped) MShxcrash_async_mobject_free(&cache->section);
  std::memset(cache, 0, sizeof *cache);
}

void MShxcrash_nasync_dwarf_image_cache_attach(MShxcrash_async_macho* image) {
  if (image->dwarf_cache != nullptr) return;
  auto* cache = static_cast<MShxcrash_async_dwarf_image_cache*>(std::malloc(sizeof(MShxcrash_async_dwarf_image_cache)));
  if (cache == nullptr) return;  // the reader then prepares what it needs per frame
  MShxcrash_nasync_dwarf_image_cache_init(cache, image);
  __atomic_store_n(&image->dwarf_cache, cache, __ATOMIC_RELEASE);
}

void MShxcrash_nasync_dwarf_image_cache_detach(MShxcrash_async_macho* image) {
  MShxcrash_async_dwarf_image_cache* cache = image->dwarf_cache;
  if (cache == nullptr) return;
  image->dwarf_cache = nullptr;
  MShxcrash_nasync_dwarf_image_cache_free(cache);
  std::free(cache);
}

void MShxcrash_async_dwarf_image_cache_init_in_place(MShxcrash_async_dwarf_image_cache* cache,
                                                     MShxcrash_async_macho* image) {
  MShxcrash_async_memset(cache, 0, sizeof *cache);
  if (image->format != MShxcrash_async_image_format_elf || image->eh_frame_addr == 0 || image->eh_frame_size == 0 ||
      !readableInPlace(image->task, image->eh_frame_addr, image->eh_frame_size)) {
    return;
  }
  cache->section_address = image->eh_frame_addr;
  cache->section_size = image->eh_frame_size;
  cache->has_section = true;
  if (image->m64) {
    prepareTable<std::uint64_t>(cache, image, false);
  } else {
    prepareTable<std::uint32_t>(cache, image, false);
  }
}
