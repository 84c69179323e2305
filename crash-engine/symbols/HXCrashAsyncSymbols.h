// Symbol tables of ELF images: what names a program counter in a loaded ELF image.
//
// Two sources. The dynamic symbols (.dynsym), found in memory through the image's dynamic
// section (DT_SYMTAB, DT_STRTAB, and DT_GNU_HASH or DT_HASH for the count), and the full symbol
// table (.symtab) of the image's file on disk when it has one. Both are read when an image joins
// the image list (MShxcrash_nasync_elf_symbol_table_attach) into one table sorted by address,
// so a crash-time lookup is a binary search in our own memory. An image that joins only at crash
// time (a library loaded behind the list's back) has no prepared table; its .dynsym is then
// walked in memory through checked copies, nothing allocated.
//
// The readers are templates over a small memory-access type (a checked read of n bytes at an
// address), so the same parser runs on task memory (symbol_task_memory) and on a byte buffer
// (symbol_buffer_memory: files on disk, tests, fuzzers). Only 64-bit little-endian ELF is read.
//
// MShxcrash_nasync_* allocate and run outside crash time; everything else is safe at crash time:
// no allocation, no locks, no library string functions.
#pragma once

#include "crash-engine/macho/HXCrashAsyncMachOImage.h"

#include <cstddef>
#include <cstdint>

struct MShxcrash_async_elf_symbol {
  std::uint64_t start;  // run-time address
  std::uint64_t size;   // 0: unknown
  std::uint32_t name;   // offset into the table's names
};

// One image's prepared symbols, sorted by start (equal starts keep the first source's order).
struct MShxcrash_async_elf_symbol_table {
  std::size_t count;
  MShxcrash_async_elf_symbol* symbols;
  char* names;  // NUL-terminated names, cut at 255 bytes
  std::size_t names_size;
};

// Prepares image->symbol_table from its dynamic symbols in memory and its file's .symtab (the
// file is used only when its build id matches the image's). Nothing when the image is not ELF,
// already has one, or no symbol can be read (the lookup then walks .dynsym at crash time).
void MShxcrash_nasync_elf_symbol_table_attach(MShxcrash_async_macho* image);
void MShxcrash_nasync_elf_symbol_table_detach(MShxcrash_async_macho* image);

// Crash time. Names pc in an ELF image: the function symbol with the greatest start at or below
// pc whose size (when it has one) covers pc. Calls callback once with its start and name (a local
// string valid during the call). hxcrash_error_not_found when no symbol covers pc,
// hxcrash_error_not_supported for an image that is not 64-bit ELF, the read's error when the
// dynamic section cannot be read.
hxcrash_error_t MShxcrash_async_elf_find_symbol_by_pc(MShxcrash_async_macho* image, hxcrash_vm_address_t pc,
                                                      MShxcrash_async_macho_found_symbol_cb callback, void* context);

namespace hxcrash::MS::async {

// Task memory through checked copies.
struct symbol_task_memory {
  vx::task_t task;
  bool read(hxcrash_vm_address_t address, void* out, hxcrash_vm_size_t length) const {
    return MShxcrash_async_read_addr(task, address, out, length) == vx::KERN_SUCCESS;
  }
};

// A byte buffer seen as lying at `address`.
struct symbol_buffer_memory {
  const std::uint8_t* bytes;
  hxcrash_vm_size_t size;
  hxcrash_vm_address_t address;
  bool read(hxcrash_vm_address_t at, void* out, hxcrash_vm_size_t length) const {
    if (at < address) return false;
    const hxcrash_vm_size_t skip = at - address;
    if (skip > size || length > size - skip) return false;
    MShxcrash_async_memcpy(out, bytes + skip, length);
    return true;
  }
};

// What the dynamic section says about the dynamic symbols (run-time addresses).
struct elf_dynamic_symbols {
  hxcrash_vm_address_t symtab;
  hxcrash_vm_address_t strtab;
  std::uint64_t strsz;
  std::uint64_t count;
};

// The most symbols a table is believed to hold; a count above it is refused as damaged.
inline constexpr std::uint64_t kElfMaxSymbols = 1u << 22;

namespace elfsym_detail {

struct Ehdr64 {
  std::uint8_t ident[16];
  std::uint16_t type, machine;
  std::uint32_t version;
  std::uint64_t entry, phoff, shoff;
  std::uint32_t flags;
  std::uint16_t ehsize, phentsize, phnum, shentsize, shnum, shstrndx;
};
struct Phdr64 {
  std::uint32_t type, flags;
  std::uint64_t offset, vaddr, paddr, filesz, memsz, align;
};
struct Shdr64 {
  std::uint32_t name, type;
  std::uint64_t flags, addr, offset, size;
  std::uint32_t link, info;
  std::uint64_t addralign, entsize;
};
struct Sym64 {
  std::uint32_t name;
  std::uint8_t info, other;
  std::uint16_t shndx;
  std::uint64_t value, size;
};
static_assert(sizeof(Ehdr64) == 64 && sizeof(Phdr64) == 56 && sizeof(Shdr64) == 64 && sizeof(Sym64) == 24);

inline bool isElf64(const Ehdr64& ehdr) {
  return ehdr.ident[0] == 0x7f && ehdr.ident[1] == 'E' && ehdr.ident[2] == 'L' && ehdr.ident[3] == 'F' &&
         ehdr.ident[4] == 2 /* ELFCLASS64 */ && ehdr.ident[5] == 1 /* little-endian */;
}

// A defined function (or indirect function) with an address.
inline bool isFunction(const Sym64& sym) {
  const unsigned type = sym.info & 0xf;
  return (type == 2 /* STT_FUNC */ || type == 10 /* STT_GNU_IFUNC */) && sym.shndx != 0 && sym.value != 0;
}

// Values in a loaded dynamic section are relocated by some loaders and not by others (and never
// in the vDSO): one below the load bias is still a link-time address.
inline hxcrash_vm_address_t relocate(std::uint64_t value, std::int64_t bias) {
  const auto ubias = static_cast<std::uint64_t>(bias);
  return (bias > 0 && value < ubias) ? value + ubias : value;
}

template <typename Memory>
bool gnuHashCount(const Memory& mem, hxcrash_vm_address_t table, std::uint64_t* count) {
  std::uint32_t head[4];  // nbuckets, symoffset, bloom words, bloom shift
  if (!mem.read(table, head, sizeof head)) return false;
  const std::uint64_t nbuckets = head[0];
  const std::uint64_t symoffset = head[1];
  if (nbuckets == 0 || nbuckets > kElfMaxSymbols || head[2] > kElfMaxSymbols) return false;
  const hxcrash_vm_address_t buckets = table + 16 + static_cast<std::uint64_t>(head[2]) * 8;
  std::uint64_t last = 0;
  for (std::uint64_t i = 0; i < nbuckets; i += 64) {
    std::uint32_t chunk[64];
    const std::uint64_t n = nbuckets - i < 64 ? nbuckets - i : 64;
    if (!mem.read(buckets + i * 4, chunk, n * 4)) return false;
    for (std::uint64_t j = 0; j < n; ++j) {
      if (chunk[j] > last) last = chunk[j];
    }
  }
  if (last < symoffset) {  // no bucket holds a symbol
    *count = symoffset;
    return true;
  }
  const hxcrash_vm_address_t chains = buckets + nbuckets * 4;
  for (std::uint64_t index = last;; ++index) {
    if (index - symoffset > kElfMaxSymbols) return false;
    std::uint32_t hash = 0;
    if (!mem.read(chains + (index - symoffset) * 4, &hash, 4)) return false;
    if ((hash & 1) != 0) {
      *count = index + 1;
      return true;
    }
  }
}

}  // namespace elfsym_detail

// Crash time. Finds the dynamic symbols of the ELF image whose header lies at header (load bias
// bias) through its program headers and dynamic section. hxcrash_error_not_found without a
// dynamic section or symbol table, hxcrash_error_invalid_data for a damaged one,
// hxcrash_error_not_supported for an image that is not 64-bit little-endian ELF.
template <typename Memory>
hxcrash_error_t elf_find_dynamic_symbols(const Memory& mem, hxcrash_vm_address_t header, std::int64_t bias,
                                         elf_dynamic_symbols* out) {
  using namespace elfsym_detail;
  Ehdr64 ehdr;
  if (!mem.read(header, &ehdr, sizeof ehdr)) return hxcrash_error_invalid_data;
  if (!isElf64(ehdr)) return hxcrash_error_not_supported;
  if (ehdr.phentsize != sizeof(Phdr64) || ehdr.phnum == 0) return hxcrash_error_invalid_data;
  hxcrash_vm_address_t dynamic = 0;
  std::uint64_t dynamicSize = 0;
  for (std::uint32_t i = 0; i < ehdr.phnum; ++i) {
    Phdr64 phdr;
    if (!mem.read(header + ehdr.phoff + i * sizeof(Phdr64), &phdr, sizeof phdr)) {
      return hxcrash_error_invalid_data;
    }
    if (phdr.type == 2 /* PT_DYNAMIC */) {
      dynamic = phdr.vaddr + static_cast<std::uint64_t>(bias);
      dynamicSize = phdr.memsz;
      break;
    }
  }
  if (dynamic == 0) return hxcrash_error_not_found;
  hxcrash_vm_address_t symtab = 0, strtab = 0, hash = 0, gnuHash = 0;
  std::uint64_t strsz = 0, syment = sizeof(Sym64);
  const std::uint64_t entries = dynamicSize / 16;
  for (std::uint64_t i = 0; i < entries && i < 1024; ++i) {
    std::int64_t entry[2];
    if (!mem.read(dynamic + i * 16, entry, sizeof entry)) return hxcrash_error_invalid_data;
    const auto value = static_cast<std::uint64_t>(entry[1]);
    if (entry[0] == 0) break;  // DT_NULL
    switch (entry[0]) {
      case 4:
        hash = relocate(value, bias);
        break;  // DT_HASH
      case 5:
        strtab = relocate(value, bias);
        break;  // DT_STRTAB
      case 6:
        symtab = relocate(value, bias);
        break;  // DT_SYMTAB
      case 10:
        strsz = value;
        break;  // DT_STRSZ
      case 11:
        syment = value;
        break;  // DT_SYMENT
      case 0x6ffffef5:
        gnuHash = relocate(value, bias);
        break;  // DT_GNU_HASH
      default:
        break;
    }
  }
  if (symtab == 0 || strtab == 0) return hxcrash_error_not_found;
  if (syment != sizeof(Sym64)) return hxcrash_error_invalid_data;
  std::uint64_t count = 0;
  if (hash != 0) {
    std::uint32_t words[2];  // nbucket, nchain (= the symbol count)
    if (!mem.read(hash, words, sizeof words)) return hxcrash_error_invalid_data;
    count = words[1];
  } else if (gnuHash != 0) {
    if (!gnuHashCount(mem, gnuHash, &count)) return hxcrash_error_invalid_data;
  } else {
    return hxcrash_error_not_found;
  }
  if (count > kElfMaxSymbols) return hxcrash_error_invalid_data;
  *out = {symtab, strtab, strsz, count};
  return hxcrash_error_none;
}

// Crash time. Copies the NUL-terminated name at address (at most limit bytes readable there) into
// buffer, cut to size - 1 bytes. False when its first byte cannot be read.
template <typename Memory>
bool elf_read_name(const Memory& mem, hxcrash_vm_address_t address, std::uint64_t limit, char* buffer,
                   std::size_t size) {
  std::size_t length = 0;
  while (length + 1 < size && length < limit) {
    char piece[32];
    std::uint64_t want = sizeof piece;
    if (want > limit - length) want = limit - length;
    // A short read near the end of a mapping: fall back to single bytes.
    if (!mem.read(address + length, piece, want)) {
      if (!mem.read(address + length, piece, 1)) break;
      want = 1;
    }
    std::size_t i = 0;
    while (i < want && piece[i] != '\0' && length + 1 < size) buffer[length++] = piece[i++];
    if (i < want) break;
  }
  if (length == 0 && !mem.read(address, buffer, 1)) return false;
  buffer[length] = '\0';
  return true;
}

// The best symbol of a walk: greatest start at or below pc, covering pc when sized.
struct elf_symbol_match {
  bool found;
  std::uint64_t start;
  std::uint64_t size;
  std::uint32_t name;  // offset into the string table
};

inline bool elf_symbol_covers(std::uint64_t start, std::uint64_t size, std::uint64_t pc) {
  return start <= pc && (size == 0 || pc - start < size);
}

// Crash time. Walks count symbols at symtab (run-time addresses = value + bias) for the best
// match of pc; reads 32 symbols per checked copy. False when a read fails.
template <typename Memory>
bool elf_scan_symbols(const Memory& mem, hxcrash_vm_address_t symtab, std::uint64_t count, std::int64_t bias,
                      std::uint64_t pc, elf_symbol_match* match) {
  using namespace elfsym_detail;
  for (std::uint64_t i = 0; i < count; i += 32) {
    Sym64 chunk[32];
    const std::uint64_t n = count - i < 32 ? count - i : 32;
    if (!mem.read(symtab + i * sizeof(Sym64), chunk, n * sizeof(Sym64))) return false;
    for (std::uint64_t j = 0; j < n; ++j) {
      if (!isFunction(chunk[j])) continue;
      const std::uint64_t start = chunk[j].value + static_cast<std::uint64_t>(bias);
      if (!elf_symbol_covers(start, chunk[j].size, pc)) continue;
      if (!match->found || start > match->start) *match = {true, start, chunk[j].size, chunk[j].name};
    }
  }
  return true;
}

// Crash time. Names pc from the dynamic symbols of the image at header: fills name (size bytes)
// and start. hxcrash_error_not_found when none covers pc; the errors of
// elf_find_dynamic_symbols otherwise.
template <typename Memory>
hxcrash_error_t elf_dynamic_find_symbol(const Memory& mem, hxcrash_vm_address_t header, std::int64_t bias,
                                        std::uint64_t pc, std::uint64_t* start, char* name, std::size_t size) {
  elf_dynamic_symbols dyn;
  const hxcrash_error_t err = elf_find_dynamic_symbols(mem, header, bias, &dyn);
  if (err != hxcrash_error_none) return err;
  elf_symbol_match match{};
  if (!elf_scan_symbols(mem, dyn.symtab, dyn.count, bias, pc, &match)) {
    return hxcrash_error_invalid_data;
  }
  if (!match.found) return hxcrash_error_not_found;
  if (dyn.strsz != 0 && match.name >= dyn.strsz) return hxcrash_error_invalid_data;
  const std::uint64_t limit = dyn.strsz != 0 ? dyn.strsz - match.name : 256;
  if (!elf_read_name(mem, dyn.strtab + match.name, limit, name, size)) {
    return hxcrash_error_invalid_data;
  }
  *start = match.start;
  return hxcrash_error_none;
}

// Visits every function symbol of an ELF file's .symtab held in bytes: visit(start, size, name)
// with link-time addresses and names bounded by the string table (cut at 255 bytes).
// hxcrash_error_not_found without .symtab; hxcrash_error_invalid_data for damaged headers.
template <typename Visit>
hxcrash_error_t elf_file_visit_symtab(const symbol_buffer_memory& file, Visit&& visit) {
  using namespace elfsym_detail;
  Ehdr64 ehdr;
  if (!file.read(file.address, &ehdr, sizeof ehdr)) return hxcrash_error_invalid_data;
  if (!isElf64(ehdr)) return hxcrash_error_not_supported;
  if (ehdr.shnum == 0) return hxcrash_error_not_found;
  if (ehdr.shentsize != sizeof(Shdr64)) return hxcrash_error_invalid_data;
  for (std::uint32_t i = 0; i < ehdr.shnum; ++i) {
    Shdr64 shdr;
    if (!file.read(file.address + ehdr.shoff + i * sizeof(Shdr64), &shdr, sizeof shdr)) {
      return hxcrash_error_invalid_data;
    }
    if (shdr.type != 2 /* SHT_SYMTAB */) continue;
    Shdr64 strings;
    if (shdr.link >= ehdr.shnum ||
        !file.read(file.address + ehdr.shoff + shdr.link * sizeof(Shdr64), &strings, sizeof strings) ||
        shdr.entsize != sizeof(Sym64)) {
      return hxcrash_error_invalid_data;
    }
    const std::uint64_t count = shdr.size / sizeof(Sym64);
    if (count > kElfMaxSymbols) return hxcrash_error_invalid_data;
    for (std::uint64_t s = 0; s < count; ++s) {
      Sym64 sym;
      if (!file.read(file.address + shdr.offset + s * sizeof(Sym64), &sym, sizeof sym)) {
        return hxcrash_error_invalid_data;
      }
      if (!isFunction(sym) || sym.name >= strings.size) continue;
      char name[256];
      if (!elf_read_name(file, file.address + strings.offset + sym.name, strings.size - sym.name, name, sizeof name) ||
          name[0] == '\0') {
        continue;
      }
      visit(sym.value, sym.size, name);
    }
    return hxcrash_error_none;
  }
  return hxcrash_error_not_found;
}

}  // namespace hxcrash::MS::async
