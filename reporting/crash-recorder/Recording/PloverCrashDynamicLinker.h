// The images loaded in the process and symbol lookup, read at crash time from the crash engine's
// shared image list (ELF images of the process, with their GNU build ids) and its symbol lookup
// (each image's symbols prepared when it joined the list, or its .dynsym read in memory). The
// dynamic linker's own lookup is never called: it takes locks.
//
// Crash-time safe, once the image list exists: the first call of any function here builds it
// (that call allocates), so monitors make one when they are enabled.
#pragma once

#include <dlfcn.h>

#include <cstdint>

struct PloverCrashBinaryImage {
  std::uint64_t address;     // the image's header
  std::uint64_t vmAddress;   // link-time address of its first segment
  std::uint64_t size;        // header to the end of its executable code
  const char* name;          // its path
  const std::uint8_t* uuid;  // 16 bytes (the build id's first 16), or null without one
  int cpuType;
  int cpuSubType;
  std::uint64_t majorVersion;  // ELF images carry no library version: all 0
  std::uint64_t minorVersion;
  std::uint64_t revisionVersion;
};

int plovercrashdl_imageCount();

// Fills buffer for the image at index. False for an index out of range.
bool plovercrashdl_getBinaryImage(int index, PloverCrashBinaryImage* buffer);

// The first image whose path equals imageName (exact) or contains it; -1 when none.
int plovercrashdl_imageNamed(const char* imageName, bool exactMatch);

// The 16 UUID bytes of the image found as above; null when none is found or it has no build id.
const std::uint8_t* plovercrashdl_imageUUID(const char* imageName, bool exactMatch);

// Image and symbol of address: the image path and header, and the symbol that starts closest
// below it (null name and address when none). The name lives in a per-thread buffer until the
// next lookup on the thread. False, with info cleared, when no image holds the address.
bool plovercrashdl_dladdr(std::uintptr_t address, Dl_info* info);
