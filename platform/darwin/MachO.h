// Mach-O file layouts that the crash engine reads from images in memory. Field order and widths
// follow the file format; values are stored in the image's byte order.
#pragma once

#include <cstdint>

namespace vx {

inline constexpr std::uint32_t MH_MAGIC = 0xfeedface;
inline constexpr std::uint32_t MH_CIGAM = 0xcefaedfe;
inline constexpr std::uint32_t MH_MAGIC_64 = 0xfeedfacf;
inline constexpr std::uint32_t MH_CIGAM_64 = 0xcffaedfe;
inline constexpr std::uint32_t FAT_MAGIC = 0xcafebabe;
inline constexpr std::uint32_t FAT_CIGAM = 0xbebafeca;

inline constexpr std::uint32_t MH_EXECUTE = 0x2;
inline constexpr std::uint32_t MH_DYLIB = 0x6;

inline constexpr std::int32_t CPU_ARCH_ABI64 = 0x01000000;
inline constexpr std::int32_t CPU_TYPE_X86 = 7;
inline constexpr std::int32_t CPU_TYPE_X86_64 = CPU_TYPE_X86 | CPU_ARCH_ABI64;
inline constexpr std::int32_t CPU_SUBTYPE_X86_64_ALL = 3;

inline constexpr std::uint32_t LC_SEGMENT = 0x1;
inline constexpr std::uint32_t LC_SYMTAB = 0x2;
inline constexpr std::uint32_t LC_DYSYMTAB = 0xb;
inline constexpr std::uint32_t LC_SEGMENT_64 = 0x19;

inline constexpr std::uint8_t N_STAB = 0xe0;
inline constexpr std::uint8_t N_TYPE = 0x0e;
inline constexpr std::uint8_t N_SECT = 0x0e;
inline constexpr std::uint16_t N_ARM_THUMB_DEF = 0x0008;

struct mach_header {
  std::uint32_t magic;
  std::int32_t cputype;
  std::int32_t cpusubtype;
  std::uint32_t filetype;
  std::uint32_t ncmds;
  std::uint32_t sizeofcmds;
  std::uint32_t flags;
};

struct mach_header_64 {
  std::uint32_t magic;
  std::int32_t cputype;
  std::int32_t cpusubtype;
  std::uint32_t filetype;
  std::uint32_t ncmds;
  std::uint32_t sizeofcmds;
  std::uint32_t flags;
  std::uint32_t reserved;
};

struct load_command {
  std::uint32_t cmd;
  std::uint32_t cmdsize;
};

struct segment_command {
  std::uint32_t cmd;
  std::uint32_t cmdsize;
  char segname[16];
  std::uint32_t vmaddr;
  std::uint32_t vmsize;
  std::uint32_t fileoff;
  std::uint32_t filesize;
  std::int32_t maxprot;
  std::int32_t initprot;
  std::uint32_t nsects;
  std::uint32_t flags;
};

struct segment_command_64 {
  std::uint32_t cmd;
  std::uint32_t cmdsize;
  char segname[16];
  std::uint64_t vmaddr;
  std::uint64_t vmsize;
  std::uint64_t fileoff;
  std::uint64_t filesize;
  std::int32_t maxprot;
  std::int32_t initprot;
  std::uint32_t nsects;
  std::uint32_t flags;
};

struct section {
  char sectname[16];
  char segname[16];
  std::uint32_t addr;
  std::uint32_t size;
  std::uint32_t offset;
  std::uint32_t align;
  std::uint32_t reloff;
  std::uint32_t nreloc;
  std::uint32_t flags;
  std::uint32_t reserved1;
  std::uint32_t reserved2;
};

struct section_64 {
  char sectname[16];
  char segname[16];
  std::uint64_t addr;
  std::uint64_t size;
  std::uint32_t offset;
  std::uint32_t align;
  std::uint32_t reloff;
  std::uint32_t nreloc;
  std::uint32_t flags;
  std::uint32_t reserved1;
  std::uint32_t reserved2;
  std::uint32_t reserved3;
};

struct symtab_command {
  std::uint32_t cmd;
  std::uint32_t cmdsize;
  std::uint32_t symoff;
  std::uint32_t nsyms;
  std::uint32_t stroff;
  std::uint32_t strsize;
};

struct dysymtab_command {
  std::uint32_t cmd;
  std::uint32_t cmdsize;
  std::uint32_t ilocalsym;
  std::uint32_t nlocalsym;
  std::uint32_t iextdefsym;
  std::uint32_t nextdefsym;
  std::uint32_t iundefsym;
  std::uint32_t nundefsym;
  std::uint32_t tocoff;
  std::uint32_t ntoc;
  std::uint32_t modtaboff;
  std::uint32_t nmodtab;
  std::uint32_t extrefsymoff;
  std::uint32_t nextrefsyms;
  std::uint32_t indirectsymoff;
  std::uint32_t nindirectsyms;
  std::uint32_t extreloff;
  std::uint32_t nextrel;
  std::uint32_t locreloff;
  std::uint32_t nlocrel;
};

struct nlist {
  std::uint32_t n_strx;
  std::uint8_t n_type;
  std::uint8_t n_sect;
  std::int16_t n_desc;
  std::uint32_t n_value;
};

struct nlist_64 {
  std::uint32_t n_strx;
  std::uint8_t n_type;
  std::uint8_t n_sect;
  std::uint16_t n_desc;
  std::uint64_t n_value;
} __attribute__((packed, aligned(4)));

static_assert(sizeof(mach_header) == 28);
static_assert(sizeof(mach_header_64) == 32);
static_assert(sizeof(segment_command) == 56);
static_assert(sizeof(segment_command_64) == 72);
static_assert(sizeof(section) == 68);
static_assert(sizeof(section_64) == 80);
static_assert(sizeof(nlist) == 12);
static_assert(sizeof(nlist_64) == 16);

}  // namespace vx
