// One loaded image and the readers over its load commands, segments, sections, symbol table and
// strings in the task's memory. On Linux the running images are ELF objects: their record holds
// the same facts (header address, slide, text range, 64-bit flag, CPU type) plus their build id
// and their .eh_frame, and has no load commands. Mach-O images (read from memory, as in tests
// and tools) get the full reader.
//
// MShxcrash_nasync_* functions allocate and run only outside crash time; every other function
// here is safe at crash time: it reads task memory only through memory objects and checked
// copies, allocates nothing and takes no lock.
#pragma once

#include "crash-engine/async/HXCrashAsyncMObject.h"
#include "platform/darwin/MachO.h"

enum MShxcrash_async_image_format : std::int32_t {
  MShxcrash_async_image_format_macho = 0,
  MShxcrash_async_image_format_elf = 1,
};

struct MShxcrash_async_macho {
  vx::task_t task;                   // holds one send-right reference
  hxcrash_vm_address_t header_addr;  // task address of the image's header
  hxcrash_vm_off_t vmaddr_slide;     // header address - text vmaddr (wrapping)
  char* name;                        // owned copy of the image path
  vx::mach_header_64 header;         // as stored in the image; for ELF, see below
  std::size_t header_size;           // 28 or 32 (Mach-O); ELF header size (ELF)
  std::uint32_t ncmds;               // in host order; 0 for ELF
  hxcrash_async_mobject load_cmds;   // the load commands after the header (Mach-O)
  hxcrash_vm_address_t text_vmaddr;
  hxcrash_vm_size_t text_size;
  bool m64;
  const MShxcrash_async_byteorder* byteorder;
  void* list_node;  // set once, the first time a walk reaches it

  // What every image has on Linux, and the ELF images' unwind data. For an ELF image the
  // header holds its magic bytes, the Mach-O CPU type and subtype of its machine and the
  // Mach-O file type (MH_EXECUTE or MH_DYLIB).
  MShxcrash_async_image_format format;
  bool has_uuid;
  std::uint8_t uuid[16];               // Mach-O: LC_UUID is not read; ELF: GNU build id
  hxcrash_vm_address_t eh_frame_addr;  // ELF: run-time address of .eh_frame (0: none)
  hxcrash_vm_size_t eh_frame_size;
  hxcrash_vm_address_t eh_frame_hdr_addr;  // ELF: run-time address of .eh_frame_hdr (0: none)
  hxcrash_vm_size_t eh_frame_hdr_size;
  // What the DWARF frame reader keeps of this image (HXCrashAsyncDwarfImageCache.h); prepared
  // when the record joins the image list, null before.
  struct MShxcrash_async_dwarf_image_cache* dwarf_cache;
  // ELF: the symbols prepared when the record joins the image list (HXCrashAsyncSymbols.h),
  // null before and for images found only at crash time.
  struct MShxcrash_async_elf_symbol_table* symbol_table;
};

// A segment mapped into local memory, with its file offset and size.
struct MShxcrash_async_macho_mapped_segment {
  hxcrash_async_mobject mobj;
  std::uint64_t fileoff;
  std::uint64_t filesize;
};

struct MShxcrash_async_macho_symtab_reader {
  MShxcrash_async_macho* image;  // borrowed
  MShxcrash_async_macho_mapped_segment linkedit;
  void* symtab;  // local pointer, nsyms entries
  std::uint32_t nsyms;
  void* symtab_global;  // null without LC_DYSYMTAB
  std::uint32_t nsyms_global;
  void* symtab_local;  // null without LC_DYSYMTAB
  std::uint32_t nsyms_local;
  char* string_table;
  std::size_t string_table_size;
};

struct MShxcrash_async_macho_symtab_entry {
  std::uint32_t n_strx;
  std::uint8_t n_type;
  std::uint8_t n_sect;
  std::uint16_t n_desc;
  std::uint64_t n_value;
  std::uint64_t normalized_value;  // n_value, with bit 0 set for a Thumb definition
};

struct MShxcrash_async_macho_string {
  MShxcrash_async_macho* image;  // borrowed
  hxcrash_vm_address_t address;
  hxcrash_async_mobject mobj;  // valid once loaded
  bool loaded;
  std::size_t length;
};

// Called once with the best symbol's address and name (a local pointer valid during the call).
typedef void (*MShxcrash_async_macho_found_symbol_cb)(hxcrash_vm_address_t address, const char* name, void* ctx);

// Builds the record of the image whose header is at header in task (Mach-O or ELF). Failures
// write a diagnostic line: hxcrash_error_internal when the header cannot be read,
// hxcrash_error_invalid_argument for a universal archive, an unknown magic, a short segment
// command or a missing __TEXT segment, the mapping's code when the load commands cannot be
// mapped. On failure nothing is left to free.
hxcrash_error_t MShxcrash_nasync_macho_init(MShxcrash_async_macho* image, vx::task_t task, const char* name,
                                            hxcrash_vm_address_t header);

// Frees the name, the load-command mapping and the task reference.
void MShxcrash_nasync_macho_free(MShxcrash_async_macho* image);

const MShxcrash_async_byteorder* MShxcrash_async_macho_byteorder(MShxcrash_async_macho* image);
const vx::mach_header_64* MShxcrash_async_macho_header(MShxcrash_async_macho* image);
std::size_t MShxcrash_async_macho_header_size(MShxcrash_async_macho* image);
std::int32_t MShxcrash_async_macho_cpu_type(MShxcrash_async_macho* image);
std::int32_t MShxcrash_async_macho_cpu_subtype(MShxcrash_async_macho* image);
// True when address lies in [header address, header address + text size).
bool MShxcrash_async_macho_contains_address(MShxcrash_async_macho* image, hxcrash_vm_address_t address);

// The next load command after previous (the first when previous is null), bounded by the mapped
// load commands, or null (with a diagnostic line when a command is malformed).
void* MShxcrash_async_macho_next_command(MShxcrash_async_macho* image, void* previous);
void* MShxcrash_async_macho_next_command_type(MShxcrash_async_macho* image, void* previous, std::uint32_t type);
void* MShxcrash_async_macho_find_command(MShxcrash_async_macho* image, std::uint32_t type);

// The first segment command of the image's width whose name matches over 16 bytes, or null.
void* MShxcrash_async_macho_find_segment_cmd(MShxcrash_async_macho* image, const char* segname);

// Maps a whole segment (hxcrash_error_not_found when there is none).
hxcrash_error_t MShxcrash_async_macho_map_segment(MShxcrash_async_macho* image, const char* segname,
                                                  MShxcrash_async_macho_mapped_segment* seg);
void MShxcrash_async_macho_mapped_segment_free(MShxcrash_async_macho_mapped_segment* seg);

// Maps one section; the caller frees mobj. For an ELF image ("__TEXT", "__eh_frame") maps
// its .eh_frame. hxcrash_error_not_found when there is no such section.
hxcrash_error_t MShxcrash_async_macho_map_section(MShxcrash_async_macho* image, const char* segname,
                                                  const char* sectname, hxcrash_async_mobject* mobj);

hxcrash_error_t MShxcrash_async_macho_symtab_reader_init(MShxcrash_async_macho_symtab_reader* reader,
                                                         MShxcrash_async_macho* image);
MShxcrash_async_macho_symtab_entry MShxcrash_async_macho_symtab_reader_read(MShxcrash_async_macho_symtab_reader* reader,
                                                                            void* symtab, std::uint32_t index);
const char* MShxcrash_async_macho_symtab_reader_symbol_name(MShxcrash_async_macho_symtab_reader* reader,
                                                            std::uint32_t n_strx);
void MShxcrash_async_macho_symtab_reader_free(MShxcrash_async_macho_symtab_reader* reader);

// Finds the symbol with the greatest value at or below pc (globals before locals on ties) and
// calls symbol_cb once with it.
hxcrash_error_t MShxcrash_async_macho_find_symbol_by_pc(MShxcrash_async_macho* image, hxcrash_vm_address_t pc,
                                                        MShxcrash_async_macho_found_symbol_cb symbol_cb, void* context);

// The address of the first defined symbol called symbol.
hxcrash_error_t MShxcrash_async_macho_find_symbol_by_name(MShxcrash_async_macho* image, const char* symbol,
                                                          hxcrash_vm_address_t* pc);

// A NUL-terminated string in task memory, mapped on first use.
hxcrash_error_t MShxcrash_async_macho_string_init(MShxcrash_async_macho_string* string, MShxcrash_async_macho* image,
                                                  hxcrash_vm_address_t address);
hxcrash_error_t MShxcrash_async_macho_string_get_length(MShxcrash_async_macho_string* string, std::size_t* length);
hxcrash_error_t MShxcrash_async_macho_string_get_pointer(MShxcrash_async_macho_string* string, const char** data);
void MShxcrash_async_macho_string_free(MShxcrash_async_macho_string* string);
