#include "crash-engine/macho/HXCrashAsyncMachOImage.h"

#include "crash-engine/dwarf/HXCrashAsyncDwarfImageCache.h"
#include "crash-engine/symbols/HXCrashAsyncSymbols.h"

#include "platform/darwin/Dyld.h"

#include <elf.h>

#include <cstdlib>
#include <cstring>

using namespace vx;

namespace {

constexpr std::uint64_t kStringPage = 4096;

std::uint32_t swap32(const MShxcrash_async_macho* image, std::uint32_t value) {
  return image->byteorder->swap32(value);
}

std::uint64_t swap64(const MShxcrash_async_macho* image, std::uint64_t value) {
  return image->byteorder->swap64(value);
}

const char* imageName(const MShxcrash_async_macho* image) { return image->name != nullptr ? image->name : "(unknown)"; }

bool mapped(const MShxcrash_async_macho* image, const void* pointer, std::uint64_t length) {
  return MShxcrash_async_mobject_verify_local_pointer(&image->load_cmds, reinterpret_cast<std::uintptr_t>(pointer), 0,
                                                      length);
}

// Segment fields in host order, from either command width.
struct SegmentFacts {
  std::uint64_t vmaddr;
  std::uint64_t vmsize;
  std::uint64_t fileoff;
  std::uint64_t filesize;
  std::uint32_t nsects;
};

SegmentFacts segmentFacts(const MShxcrash_async_macho* image, const void* command) {
  SegmentFacts facts{};
  if (image->m64) {
    segment_command_64 cmd;
    std::memcpy(&cmd, command, sizeof cmd);
    facts = {swap64(image, cmd.vmaddr), swap64(image, cmd.vmsize), swap64(image, cmd.fileoff),
             swap64(image, cmd.filesize), swap32(image, cmd.nsects)};
  } else {
    segment_command cmd;
    std::memcpy(&cmd, command, sizeof cmd);
    facts = {swap32(image, cmd.vmaddr), swap32(image, cmd.vmsize), swap32(image, cmd.fileoff),
             swap32(image, cmd.filesize), swap32(image, cmd.nsects)};
  }
  return facts;
}

void releaseSetup(MShxcrash_async_macho* image) {
  std::free(image->name);
  image->name = nullptr;
  mach_port_mod_refs(mach_task_self(), image->task, MACH_PORT_RIGHT_SEND, -1);
}

std::pair<std::int32_t, std::int32_t> machoCpuOfElf(std::uint16_t machine) {
  switch (machine) {
    case EM_X86_64:
      return {CPU_TYPE_X86_64, CPU_SUBTYPE_X86_64_ALL};
    case EM_386:
      return {CPU_TYPE_X86, 3};
    case EM_AARCH64:
      return {0x0100000c, 0};
    default:
      return {-1, 0};
  }
}

hxcrash_error_t initElf(MShxcrash_async_macho* image, const char* name) {
  ElfImageFacts facts;
  const kern_return_t kr = elf_image_facts(image->task, image->header_addr, name, &facts);
  if (kr != KERN_SUCCESS) {
    MSHXCF_DEBUG("Failed to read ELF image facts from 0x%llx for image %s, kern_error=%d",
                 static_cast<unsigned long long>(image->header_addr), name, kr);
    return kr == KERN_INVALID_ARGUMENT ? hxcrash_error_invalid_argument : hxcrash_error_internal;
  }
  image->format = MShxcrash_async_image_format_elf;
  const auto cpu = machoCpuOfElf(facts.machine);
  image->header.cputype = cpu.first;
  image->header.cpusubtype = cpu.second;
  image->header.filetype = facts.executable ? MH_EXECUTE : MH_DYLIB;
  image->header_size = facts.is64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
  image->ncmds = 0;
  image->m64 = facts.is64;
  image->byteorder = MShxcrash_async_byteorder_little_endian();
  image->text_vmaddr = facts.text_vmaddr;
  image->text_size = facts.text_size;
  image->vmaddr_slide = facts.slide;
  image->has_uuid = facts.has_uuid;
  std::memcpy(image->uuid, facts.uuid, sizeof image->uuid);
  image->eh_frame_addr = facts.eh_frame;
  image->eh_frame_size = facts.eh_frame_size;
  image->eh_frame_hdr_addr = facts.eh_frame_hdr;
  image->eh_frame_hdr_size = facts.eh_frame_hdr_size;
  return hxcrash_error_none;
}

}  // namespace

hxcrash_error_t MShxcrash_nasync_macho_init(MShxcrash_async_macho* image, task_t task, const char* name,
                                            hxcrash_vm_address_t header) {
  std::memset(image, 0, sizeof *image);
  image->task = task;
  image->header_addr = header;
  image->name = strdup(name != nullptr ? name : "");
  if (image->name == nullptr) return hxcrash_error_no_memory;
  mach_port_mod_refs(mach_task_self(), task, MACH_PORT_RIGHT_SEND, 1);

  const kern_return_t kr = MShxcrash_async_read_addr(task, header, &image->header, sizeof(mach_header));
  if (kr != KERN_SUCCESS) {
    MSHXCF_DEBUG("Failed to read Mach-O header from 0x%llx for image %s, kern_error=%d",
                 static_cast<unsigned long long>(header), image->name, kr);
    releaseSetup(image);
    return hxcrash_error_internal;
  }

  if (std::memcmp(&image->header.magic, ELFMAG, SELFMAG) == 0) {
    const hxcrash_error_t err = initElf(image, image->name);
    if (err != hxcrash_error_none) releaseSetup(image);
    return err;
  }

  switch (image->header.magic) {
    case MH_MAGIC:
      image->m64 = false;
      image->byteorder = &MShxcrash_async_byteorder_direct;
      break;
    case MH_CIGAM:
      image->m64 = false;
      image->byteorder = &MShxcrash_async_byteorder_swapped;
      break;
    case MH_MAGIC_64:
      image->m64 = true;
      image->byteorder = &MShxcrash_async_byteorder_direct;
      break;
    case MH_CIGAM_64:
      image->m64 = true;
      image->byteorder = &MShxcrash_async_byteorder_swapped;
      break;
    case FAT_MAGIC:
    case FAT_CIGAM:
      MSHXCF_DEBUG("%s called with an unsupported universal Mach-O archive in: %s", "MShxcrash_nasync_macho_init",
                   image->name);
      releaseSetup(image);
      return hxcrash_error_invalid_argument;
    default:
      MSHXCF_DEBUG("Unknown Mach-O magic: 0x%x in: %s", image->header.magic, image->name);
      releaseSetup(image);
      return hxcrash_error_invalid_argument;
  }
  image->format = MShxcrash_async_image_format_macho;
  image->header_size = image->m64 ? sizeof(mach_header_64) : sizeof(mach_header);
  image->ncmds = swap32(image, image->header.ncmds);

  const hxcrash_error_t mapErr = MShxcrash_async_mobject_init(&image->load_cmds, task, header + image->header_size,
                                                              swap32(image, image->header.sizeofcmds), true);
  if (mapErr != hxcrash_error_none) {
    MSHXCF_DEBUG("Failed to map Mach-O load commands in image %s", image->name);
    releaseSetup(image);
    return mapErr;
  }

  const std::uint32_t segmentType = image->m64 ? LC_SEGMENT_64 : LC_SEGMENT;
  const std::size_t segmentSize = image->m64 ? sizeof(segment_command_64) : sizeof(segment_command);
  void* cmd = nullptr;
  while ((cmd = MShxcrash_async_macho_next_command_type(image, cmd, segmentType)) != nullptr) {
    if (!mapped(image, cmd, segmentSize)) {
      MSHXCF_DEBUG("LC_SEGMENT command was too short");
      MShxcrash_async_mobject_free(&image->load_cmds);
      releaseSetup(image);
      return hxcrash_error_invalid_argument;
    }
    const char* segname = static_cast<const char*>(cmd) + 8;
    if (MShxcrash_async_strncmp(segname, "__TEXT", 16) == 0) {
      const SegmentFacts facts = segmentFacts(image, cmd);
      image->text_size = facts.vmsize;
      image->text_vmaddr = facts.vmaddr;
      image->vmaddr_slide = static_cast<hxcrash_vm_off_t>(header - facts.vmaddr);
      return hxcrash_error_none;
    }
  }
  MSHXCF_DEBUG("Could not find __TEXT segment!");
  MShxcrash_async_mobject_free(&image->load_cmds);
  releaseSetup(image);
  return hxcrash_error_invalid_argument;
}

void MShxcrash_nasync_macho_free(MShxcrash_async_macho* image) {
  MShxcrash_nasync_dwarf_image_cache_detach(image);
  MShxcrash_nasync_elf_symbol_table_detach(image);
  if (image->format == MShxcrash_async_image_format_macho) {
    MShxcrash_async_mobject_free(&image->load_cmds);
  }
  releaseSetup(image);
}

const MShxcrash_async_byteorder* MShxcrash_async_macho_byteorder(MShxcrash_async_macho* image) {
  return image->byteorder;
}

const mach_header_64* MShxcrash_async_macho_header(MShxcrash_async_macho* image) { return &image->header; }

std::size_t MShxcrash_async_macho_header_size(MShxcrash_async_macho* image) { return image->header_size; }

std::int32_t MShxcrash_async_macho_cpu_type(MShxcrash_async_macho* image) {
  return static_cast<std::int32_t>(swap32(image, static_cast<std::uint32_t>(image->header.cputype)));
}

std::int32_t MShxcrash_async_macho_cpu_subtype(MShxcrash_async_macho* image) {
  return static_cast<std::int32_t>(swap32(image, static_cast<std::uint32_t>(image->header.cpusubtype)));
}

bool MShxcrash_async_macho_contains_address(MShxcrash_async_macho* image, hxcrash_vm_address_t address) {
  return address >= image->header_addr && address - image->header_addr < image->text_size;
}

void* MShxcrash_async_macho_next_command(MShxcrash_async_macho* image, void* previous) {
  if (image->format != MShxcrash_async_image_format_macho) return nullptr;
  if (previous == nullptr) {
    if (swap32(image, image->header.sizeofcmds) < sizeof(load_command)) {
      MSHXCF_DEBUG("Mach-O sizeofcmds is less than sizeof(struct load_command) in %s", imageName(image));
      return nullptr;
    }
    void* first = reinterpret_cast<void*>(image->load_cmds.address);
    if (!mapped(image, first, sizeof(load_command))) {
      MSHXCF_DEBUG("Failed to map LC_CMD at address %p in: %s", first, imageName(image));
      return nullptr;
    }
    return first;
  }
  if (!mapped(image, previous, sizeof(load_command))) {
    MSHXCF_DEBUG("Failed to map LC_CMD at address %p in: %s", previous, imageName(image));
    return nullptr;
  }
  load_command command;
  std::memcpy(&command, previous, sizeof command);
  const std::uint32_t cmdsize = swap32(image, command.cmdsize);
  if (cmdsize < sizeof(load_command)) {
    MSHXCF_DEBUG(
        "Found invalid 0-length cmdsize in LC_CMD at address %p in: %s (terminating "
        "further iteration)",
        previous, imageName(image));
    return nullptr;
  }
  hxcrash_vm_address_t nextAddress = 0;
  if (!MShxcrash_async_address_apply_offset(reinterpret_cast<std::uintptr_t>(previous), cmdsize, &nextAddress)) {
    MSHXCF_DEBUG("Found invalid cmdsize in LC_CMD at address %p in: %s", previous, imageName(image));
    return nullptr;
  }
  if (nextAddress >= image->load_cmds.address + image->load_cmds.length) return nullptr;
  void* next = reinterpret_cast<void*>(nextAddress);
  if (!mapped(image, next, sizeof(load_command))) {
    MSHXCF_DEBUG("Failed to map LC_CMD at address %p in: %s", next, imageName(image));
    return nullptr;
  }
  std::memcpy(&command, next, sizeof command);
  if (!mapped(image, next, swap32(image, command.cmdsize))) {
    MSHXCF_DEBUG("Failed to map LC_CMD at address %p in: %s", next, imageName(image));
    return nullptr;
  }
  return next;
}

void* MShxcrash_async_macho_next_command_type(MShxcrash_async_macho* image, void* previous, std::uint32_t type) {
  void* cmd = previous;
  while ((cmd = MShxcrash_async_macho_next_command(image, cmd)) != nullptr) {
    load_command command;
    std::memcpy(&command, cmd, sizeof command);
    if (swap32(image, command.cmd) == type) return cmd;
  }
  return nullptr;
}

void* MShxcrash_async_macho_find_command(MShxcrash_async_macho* image, std::uint32_t type) {
  void* cmd = nullptr;
  while ((cmd = MShxcrash_async_macho_next_command(image, cmd)) != nullptr) {
    if (!mapped(image, cmd, sizeof(load_command))) return nullptr;
    load_command command;
    std::memcpy(&command, cmd, sizeof command);
    if (swap32(image, command.cmd) == type) return cmd;
  }
  return nullptr;
}

void* MShxcrash_async_macho_find_segment_cmd(MShxcrash_async_macho* image, const char* segname) {
  const std::uint32_t type = image->m64 ? LC_SEGMENT_64 : LC_SEGMENT;
  const std::size_t size = image->m64 ? sizeof(segment_command_64) : sizeof(segment_command);
  void* cmd = nullptr;
  while ((cmd = MShxcrash_async_macho_next_command_type(image, cmd, type)) != nullptr) {
    if (!mapped(image, cmd, size)) continue;
    if (MShxcrash_async_strncmp(static_cast<const char*>(cmd) + 8, segname, 16) == 0) return cmd;
  }
  return nullptr;
}

hxcrash_error_t MShxcrash_async_macho_map_segment(MShxcrash_async_macho* image, const char* segname,
                                                  MShxcrash_async_macho_mapped_segment* seg) {
  void* cmd = MShxcrash_async_macho_find_segment_cmd(image, segname);
  if (cmd == nullptr) return hxcrash_error_not_found;
  const SegmentFacts facts = segmentFacts(image, cmd);
  seg->fileoff = facts.fileoff;
  seg->filesize = facts.filesize;
  return MShxcrash_async_mobject_init(
      &seg->mobj, image->task, facts.vmaddr + static_cast<std::uint64_t>(image->vmaddr_slide), facts.vmsize, false);
}

void MShxcrash_async_macho_mapped_segment_free(MShxcrash_async_macho_mapped_segment* seg) {
  MShxcrash_async_mobject_free(&seg->mobj);
}

hxcrash_error_t MShxcrash_async_macho_map_section(MShxcrash_async_macho* image, const char* segname,
                                                  const char* sectname, hxcrash_async_mobject* mobj) {
  if (image->format == MShxcrash_async_image_format_elf) {
    if (MShxcrash_async_strcmp(segname, "__TEXT") == 0 && MShxcrash_async_strcmp(sectname, "__eh_frame") == 0 &&
        image->eh_frame_addr != 0 && image->eh_frame_size != 0) {
      return MShxcrash_async_mobject_init(mobj, image->task, image->eh_frame_addr, image->eh_frame_size, true);
    }
    return hxcrash_error_not_found;
  }
  void* cmd = MShxcrash_async_macho_find_segment_cmd(image, segname);
  if (cmd == nullptr) return hxcrash_error_not_found;
  const SegmentFacts facts = segmentFacts(image, cmd);
  if (facts.nsects == 0) return hxcrash_error_not_found;
  const std::size_t commandSize = image->m64 ? sizeof(segment_command_64) : sizeof(segment_command);
  const std::size_t entrySize = image->m64 ? sizeof(section_64) : sizeof(section);
  auto* table = static_cast<std::uint8_t*>(cmd) + commandSize;
  for (std::uint32_t i = 0; i < facts.nsects; ++i) {
    std::uint8_t* entry = table + static_cast<std::uint64_t>(i) * entrySize;
    if (!mapped(image, entry, entrySize)) {
      MSHXCF_DEBUG("Section table entry outside of expected range; searching for (%s,%s)", segname, sectname);
      return hxcrash_error_invalid_argument;
    }
    if (MShxcrash_async_strncmp(reinterpret_cast<const char*>(entry), sectname, 16) != 0) continue;
    std::uint64_t addr = 0;
    std::uint64_t size = 0;
    if (image->m64) {
      section_64 sect;
      std::memcpy(&sect, entry, sizeof sect);
      addr = swap64(image, sect.addr);
      size = swap64(image, sect.size);
    } else {
      section sect;
      std::memcpy(&sect, entry, sizeof sect);
      addr = swap32(image, sect.addr);
      size = swap32(image, sect.size);
    }
    // The section's own claim is checked against its segment's range before anything is mapped:
    // a damaged size must not make the reader reserve gigabytes.
    if (addr < facts.vmaddr || size > facts.vmsize || addr - facts.vmaddr > facts.vmsize - size) {
      MSHXCF_DEBUG("Section (%s,%s) of 0x%llx bytes at 0x%llx lies outside its segment in %s", segname, sectname,
                   static_cast<unsigned long long>(size), static_cast<unsigned long long>(addr), imageName(image));
      return hxcrash_error_invalid_argument;
    }
    return MShxcrash_async_mobject_init(mobj, image->task, addr + static_cast<std::uint64_t>(image->vmaddr_slide), size,
                                        true);
  }
  return hxcrash_error_not_found;
}

hxcrash_error_t MShxcrash_async_macho_symtab_reader_init(MShxcrash_async_macho_symtab_reader* reader,
                                                         MShxcrash_async_macho* image) {
  std::memset(reader, 0, sizeof *reader);
  reader->image = image;
  if (image->format != MShxcrash_async_image_format_macho) return hxcrash_error_not_found;
  void* symtabCmd = MShxcrash_async_macho_find_command(image, LC_SYMTAB);
  if (symtabCmd == nullptr || !mapped(image, symtabCmd, sizeof(symtab_command))) {
    MSHXCF_DEBUG("could not find LC_SYMTAB load command");
    return hxcrash_error_not_found;
  }
  symtab_command symtab;
  std::memcpy(&symtab, symtabCmd, sizeof symtab);
  void* dysymtabCmd = MShxcrash_async_macho_find_command(image, LC_DYSYMTAB);
  if (dysymtabCmd != nullptr && !mapped(image, dysymtabCmd, sizeof(dysymtab_command))) {
    dysymtabCmd = nullptr;
  }

  const hxcrash_error_t err = MShxcrash_async_macho_map_segment(image, "__LINKEDIT", &reader->linkedit);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("hxcrash_async_mobject_init() failure: %d in %s", err, imageName(image));
    return hxcrash_error_internal;
  }

  const std::uint32_t nsyms = swap32(image, symtab.nsyms);
  const std::uint64_t entrySize = image->m64 ? sizeof(nlist_64) : sizeof(nlist);
  const hxcrash_vm_address_t base = reader->linkedit.mobj.task_address;
  const hxcrash_vm_off_t symOffset = static_cast<hxcrash_vm_off_t>(
      static_cast<std::uint64_t>(swap32(image, symtab.symoff)) - reader->linkedit.fileoff);
  const hxcrash_vm_off_t strOffset = static_cast<hxcrash_vm_off_t>(
      static_cast<std::uint64_t>(swap32(image, symtab.stroff)) - reader->linkedit.fileoff);
  const std::uint32_t strsize = swap32(image, symtab.strsize);

  reader->symtab = MShxcrash_async_mobject_remap_address(&reader->linkedit.mobj, base, symOffset, nsyms * entrySize);
  if (reader->symtab == nullptr) {
    MSHXCF_DEBUG(
        "hxcrash_async_mobject_remap_address(mobj, %llx, %llx) returned NULL mapping "
        "__LINKEDIT.symoff in %s",
        static_cast<unsigned long long>(base), static_cast<unsigned long long>(symOffset), imageName(image));
    MShxcrash_async_macho_mapped_segment_free(&reader->linkedit);
    return hxcrash_error_internal;
  }
  reader->string_table =
      static_cast<char*>(MShxcrash_async_mobject_remap_address(&reader->linkedit.mobj, base, strOffset, strsize));
  if (reader->string_table == nullptr) {
    MSHXCF_DEBUG(
        "hxcrash_async_mobject_remap_address(mobj, %llx, %llx) returned NULL mapping "
        "__LINKEDIT.stroff in %s",
        static_cast<unsigned long long>(base), static_cast<unsigned long long>(strOffset), imageName(image));
    MShxcrash_async_macho_mapped_segment_free(&reader->linkedit);
    return hxcrash_error_internal;
  }
  reader->nsyms = nsyms;
  reader->string_table_size = strsize;

  if (dysymtabCmd != nullptr) {
    dysymtab_command dysymtab;
    std::memcpy(&dysymtab, dysymtabCmd, sizeof dysymtab);
    const std::uint64_t iext = swap32(image, dysymtab.iextdefsym);
    const std::uint64_t next = swap32(image, dysymtab.nextdefsym);
    const std::uint64_t iloc = swap32(image, dysymtab.ilocalsym);
    const std::uint64_t nloc = swap32(image, dysymtab.nlocalsym);
    if (iext + next > nsyms || iloc + nloc > nsyms) {
      MSHXCF_DEBUG("iextdefsym=%llx, ilocalsym=%llx out of range nsym=%x", static_cast<unsigned long long>(iext + next),
                   static_cast<unsigned long long>(iloc + nloc), nsyms);
      MShxcrash_async_macho_mapped_segment_free(&reader->linkedit);
      return hxcrash_error_invalid_argument;
    }
    reader->symtab_global = static_cast<std::uint8_t*>(reader->symtab) + iext * entrySize;
    reader->nsyms_global = static_cast<std::uint32_t>(next);
    reader->symtab_local = static_cast<std::uint8_t*>(reader->symtab) + iloc * entrySize;
    reader->nsyms_local = static_cast<std::uint32_t>(nloc);
  }
  return hxcrash_error_none;
}

MShxcrash_async_macho_symtab_entry MShxcrash_async_macho_symtab_reader_read(MShxcrash_async_macho_symtab_reader* reader,
                                                                            void* symtab, std::uint32_t index) {
  const MShxcrash_async_macho* image = reader->image;
  MShxcrash_async_macho_symtab_entry entry{};
  if (image->m64) {
    nlist_64 raw;
    std::memcpy(&raw, static_cast<std::uint8_t*>(symtab) + static_cast<std::uint64_t>(index) * sizeof raw, sizeof raw);
    entry.n_strx = swap32(image, raw.n_strx);
    entry.n_type = raw.n_type;
    entry.n_sect = raw.n_sect;
    entry.n_desc = image->byteorder->swap16(raw.n_desc);
    entry.n_value = swap64(image, raw.n_value);
  } else {
    nlist raw;
    std::memcpy(&raw, static_cast<std::uint8_t*>(symtab) + static_cast<std::uint64_t>(index) * sizeof raw, sizeof raw);
    entry.n_strx = swap32(image, raw.n_strx);
    entry.n_type = raw.n_type;
    entry.n_sect = raw.n_sect;
    entry.n_desc = image->byteorder->swap16(static_cast<std::uint16_t>(raw.n_desc));
    entry.n_value = swap32(image, raw.n_value);
  }
  entry.normalized_value = (entry.n_desc & N_ARM_THUMB_DEF) != 0 ? (entry.n_value | 1) : entry.n_value;
  return entry;
}

const char* MShxcrash_async_macho_symtab_reader_symbol_name(MShxcrash_async_macho_symtab_reader* reader,
                                                            std::uint32_t n_strx) {
  hxcrash_vm_address_t start = 0;
  if (!MShxcrash_async_address_apply_offset(reinterpret_cast<std::uintptr_t>(reader->string_table), n_strx, &start)) {
    return nullptr;
  }
  for (std::uint64_t i = 0;; ++i) {
    if (!MShxcrash_async_mobject_verify_local_pointer(&reader->linkedit.mobj, start, static_cast<hxcrash_vm_off_t>(i),
                                                      1)) {
      MSHXCF_DEBUG("End of mobject reached while walking string\n");
      return nullptr;
    }
    if (reinterpret_cast<const char*>(start)[i] == '\0') return reinterpret_cast<const char*>(start);
  }
}

void MShxcrash_async_macho_symtab_reader_free(MShxcrash_async_macho_symtab_reader* reader) {
  MShxcrash_async_macho_mapped_segment_free(&reader->linkedit);
}

namespace {

bool isCandidate(const MShxcrash_async_macho_symtab_entry& entry) { return (entry.n_type & 0xEE) == 0x0E; }

void scanForPc(MShxcrash_async_macho_symtab_reader* reader, void* table, std::uint32_t count, hxcrash_vm_address_t pc,
               bool* found, MShxcrash_async_macho_symtab_entry* best) {
  for (std::uint32_t i = 0; i < count; ++i) {
    const MShxcrash_async_macho_symtab_entry entry = MShxcrash_async_macho_symtab_reader_read(reader, table, i);
    if (!isCandidate(entry) || entry.n_value > pc) continue;
    if (!*found || entry.n_value > best->n_value) {
      *best = entry;
      *found = true;
    }
  }
}

}  // namespace

hxcrash_error_t MShxcrash_async_macho_find_symbol_by_pc(MShxcrash_async_macho* image, hxcrash_vm_address_t pc,
                                                        MShxcrash_async_macho_found_symbol_cb symbol_cb,
                                                        void* context) {
  MShxcrash_async_macho_symtab_reader reader;
  const hxcrash_error_t err = MShxcrash_async_macho_symtab_reader_init(&reader, image);
  if (err != hxcrash_error_none) return err;
  const hxcrash_vm_address_t slidPc = pc - static_cast<std::uint64_t>(image->vmaddr_slide);
  bool found = false;
  MShxcrash_async_macho_symtab_entry best{};
  if (reader.symtab_global != nullptr && reader.symtab_local != nullptr) {
    scanForPc(&reader, reader.symtab_global, reader.nsyms_global, slidPc, &found, &best);
    scanForPc(&reader, reader.symtab_local, reader.nsyms_local, slidPc, &found, &best);
  } else {
    scanForPc(&reader, reader.symtab, reader.nsyms, slidPc, &found, &best);
  }
  if (!found) {
    MShxcrash_async_macho_symtab_reader_free(&reader);
    return hxcrash_error_not_found;
  }
  const char* name = MShxcrash_async_macho_symtab_reader_symbol_name(&reader, best.n_strx);
  if (name == nullptr) {
    MSHXCF_DEBUG("Failed to read symbol name\n");
    MShxcrash_async_macho_symtab_reader_free(&reader);
    return hxcrash_error_invalid_argument;
  }
  symbol_cb(best.normalized_value + static_cast<std::uint64_t>(image->vmaddr_slide), name, context);
  MShxcrash_async_macho_symtab_reader_free(&reader);
  return hxcrash_error_none;
}

hxcrash_error_t MShxcrash_async_macho_find_symbol_by_name(MShxcrash_async_macho* image, const char* symbol,
                                                          hxcrash_vm_address_t* pc) {
  MShxcrash_async_macho_symtab_reader reader;
  const hxcrash_error_t err = MShxcrash_async_macho_symtab_reader_init(&reader, image);
  if (err != hxcrash_error_none) return err;
  for (std::uint32_t i = 0; i < reader.nsyms; ++i) {
    const MShxcrash_async_macho_symtab_entry entry =
        MShxcrash_async_macho_symtab_reader_read(&reader, reader.symtab, i);
    if (!isCandidate(entry)) continue;
    const char* name = MShxcrash_async_macho_symtab_reader_symbol_name(&reader, entry.n_strx);
    if (name != nullptr && MShxcrash_async_strcmp(name, symbol) == 0) {
      *pc = entry.normalized_value + static_cast<std::uint64_t>(image->vmaddr_slide);
      MShxcrash_async_macho_symtab_reader_free(&reader);
      return hxcrash_error_none;
    }
  }
  MShxcrash_async_macho_symtab_reader_free(&reader);
  return hxcrash_error_not_found;
}

hxcrash_error_t MShxcrash_async_macho_string_init(MShxcrash_async_macho_string* string, MShxcrash_async_macho* image,
                                                  hxcrash_vm_address_t address) {
  string->image = image;
  string->address = address;
  string->loaded = false;
  string->length = 0;
  return hxcrash_error_none;
}

static hxcrash_error_t hxcrash_async_macho_string_read(MShxcrash_async_macho_string* string) {
  if (string->loaded) return hxcrash_error_none;
  std::uint64_t pages = 1;
  hxcrash_error_t err =
      MShxcrash_async_mobject_init(&string->mobj, string->image->task, string->address, kStringPage, false);
  if (err != hxcrash_error_none) return err;
  for (std::uint64_t i = 0;; ++i) {
    auto* byte = static_cast<const char*>(
        MShxcrash_async_mobject_remap_address(&string->mobj, string->address, static_cast<hxcrash_vm_off_t>(i), 1));
    if (byte == nullptr) {
      MSHXCF_DEBUG("Mapped a string larger than one page! Remapping ...");
      MShxcrash_async_mobject_free(&string->mobj);
      ++pages;
      err =
          MShxcrash_async_mobject_init(&string->mobj, string->image->task, string->address, pages * kStringPage, false);
      if (err != hxcrash_error_none) return err;
      byte = static_cast<const char*>(
          MShxcrash_async_mobject_remap_address(&string->mobj, string->address, static_cast<hxcrash_vm_off_t>(i), 1));
      if (byte == nullptr) {
        MSHXCF_DEBUG("Failed to remap additional space ...");
        MShxcrash_async_mobject_free(&string->mobj);
        return hxcrash_error_invalid_argument;
      }
    }
    if (*byte == '\0') {
      string->length = i;
      string->loaded = true;
      return hxcrash_error_none;
    }
  }
}

hxcrash_error_t MShxcrash_async_macho_string_get_length(MShxcrash_async_macho_string* string, std::size_t* length) {
  const hxcrash_error_t err = hxcrash_async_macho_string_read(string);
  if (err != hxcrash_error_none) return err;
  *length = string->length;
  return hxcrash_error_none;
}

hxcrash_error_t MShxcrash_async_macho_string_get_pointer(MShxcrash_async_macho_string* string, const char** data) {
  const hxcrash_error_t err = hxcrash_async_macho_string_read(string);
  if (err != hxcrash_error_none) return err;
  void* pointer = MShxcrash_async_mobject_remap_address(&string->mobj, string->address, 0, string->length + 1);
  if (pointer == nullptr) return hxcrash_error_access_denied;
  *data = static_cast<const char*>(pointer);
  return hxcrash_error_none;
}

void MShxcrash_async_macho_string_free(MShxcrash_async_macho_string* string) {
  if (string->loaded) MShxcrash_async_mobject_free(&string->mobj);
  string->loaded = false;
}
