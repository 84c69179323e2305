// The dynamic linker's image list and its add/remove callbacks, built on Linux from
// dl_iterate_phdr. Images are ELF objects; their "header" is the address of their ELF header
// (the start of their first loaded segment) and their "slide" is the load bias. Nothing here is
// for crash time: the crash engine copies what it needs into its own async-safe list.
#pragma once

#include "platform/darwin/Mach.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vx {

struct DyldImage {
  std::uint64_t header = 0;
  std::int64_t slide = 0;
  std::string name;  // path of the file; the running executable's real path for the program
};

// Called with the observer's context and the header address, slide and name of an image.
using DyldImageCallback = void (*)(void* context, std::uint64_t header, std::int64_t slide, const char* name);

// Registers an observer of images coming and going. Like the dynamic linker's add callback,
// added is called at once for every image already loaded, then for every image that joins;
// removed for every image that leaves. Callbacks run on the thread that found the change, one
// at a time (a callback may call back into this layer).
void dyld_add_observer(void* context, DyldImageCallback added, DyldImageCallback removed);

// Stops calling the observer registered with context.
void dyld_remove_observer(void* context);

// Compares the loaded images with the last known ones and calls the callbacks for the
// difference. Cheap when nothing changed; dyld_dlopen and dyld_dlclose call it themselves,
// and a caller may call it whenever images may have come or gone by another way.
void dyld_rescan();

// The dynamic linker's own list of loaded objects (its r_debug link_map chain), read through
// checked copies: safe at crash time. Calls found(context, load bias, address of the object's
// name) for each entry, in the linker's order, at most max_entries times; found returns false
// to stop. Returns the number of entries visited.
std::size_t dyld_walk_linker_list(void* context,
                                  bool (*found)(void* context, std::uint64_t bias, std::uint64_t name_address),
                                  std::size_t max_entries);

// dlopen and dlclose that keep the image list current.
void* dyld_dlopen(const char* path, int flags);
int dyld_dlclose(void* handle);

// The images known after the latest scan, in load order.
std::vector<DyldImage> dyld_images();

// What the crash engine records of an ELF image, read from its header, program headers, notes
// and (for section sizes) its file.
struct ElfImageFacts {
  std::uint64_t header = 0;       // address of the ELF header
  std::int64_t slide = 0;         // load bias: run-time address minus link-time address
  std::uint64_t text_vmaddr = 0;  // link-time address of the first loaded segment
  std::uint64_t text_size = 0;    // header to the end of the last executable segment
  bool is64 = false;
  bool little_endian = true;
  std::uint16_t machine = 0;  // e_machine
  std::uint16_t type = 0;     // e_type
  bool executable = false;    // a program (ET_EXEC, or ET_DYN flagged DF_1_PIE)
  bool has_uuid = false;
  std::uint8_t uuid[16] = {};  // the GNU build id's first 16 bytes, zero-padded
  std::uint64_t eh_frame = 0;  // run-time address of .eh_frame, 0 when absent
  std::uint64_t eh_frame_size = 0;
  std::uint64_t eh_frame_hdr = 0;  // run-time address of .eh_frame_hdr, 0 when absent
  std::uint64_t eh_frame_hdr_size = 0;
};

// True when the memory at address starts with the ELF magic.
bool elf_has_magic(task_t task, std::uint64_t address);

// Reads the facts of the ELF image whose header is at address in task. path (may be null or
// empty) names its file, whose section headers give the exact .eh_frame size when readable.
// With a null or empty path only memory is read, through checked copies: safe at crash time.
// KERN_INVALID_ARGUMENT for a header that is not a loaded ELF image; the read's code when its
// memory cannot be read.
kern_return_t elf_image_facts(task_t task, std::uint64_t address, const char* path, ElfImageFacts* out);

}  // namespace vx
