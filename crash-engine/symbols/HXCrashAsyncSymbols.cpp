#include "crash-engine/symbols/HXCrashAsyncSymbols.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace hxcrash::MS::async;

namespace {

struct Collected {
  std::uint64_t start;
  std::uint64_t size;
  std::uint32_t name;
};

// The file's GNU build id (first 16 bytes, zero-padded), from its note sections.
bool fileBuildId(const symbol_buffer_memory& file, std::uint8_t uuid[16]) {
  using namespace elfsym_detail;
  Ehdr64 ehdr;
  if (!file.read(file.address, &ehdr, sizeof ehdr) || !isElf64(ehdr) || ehdr.shentsize != sizeof(Shdr64)) {
    return false;
  }
  for (std::uint32_t i = 0; i < ehdr.shnum; ++i) {
    Shdr64 shdr;
    if (!file.read(file.address + ehdr.shoff + i * sizeof(Shdr64), &shdr, sizeof shdr)) return false;
    if (shdr.type != 7 /* SHT_NOTE */) continue;
    std::uint64_t at = 0;
    while (at + 12 <= shdr.size) {
      std::uint32_t note[3];  // namesz, descsz, type
      if (!file.read(file.address + shdr.offset + at, note, sizeof note)) break;
      const std::uint64_t name = at + 12;
      const std::uint64_t desc = name + ((static_cast<std::uint64_t>(note[0]) + 3) & ~3ull);
      char owner[4] = {};
      if (note[2] == 3 /* NT_GNU_BUILD_ID */ && note[0] == 4 &&
          file.read(file.address + shdr.offset + name, owner, 4) && std::memcmp(owner, "GNU", 4) == 0) {
        std::memset(uuid, 0, 16);
        const std::uint64_t n = note[1] < 16 ? note[1] : 16;
        return file.read(file.address + shdr.offset + desc, uuid, n);
      }
      at = desc + ((static_cast<std::uint64_t>(note[1]) + 3) & ~3ull);
    }
  }
  return false;
}

// Adds the function symbols of the image's file's .symtab (link-time values + bias), when the
// file is the image's (same build id, or neither has one).
void collectFileSymbols(const MShxcrash_async_macho* image, std::vector<Collected>* symbols, std::string* names) {
  if (image->name == nullptr || image->name[0] != '/') return;
  const int fd = open(image->name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size < 64) {
    close(fd);
    return;
  }
  const auto length = static_cast<std::size_t>(st.st_size);
  void* bytes = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (bytes == MAP_FAILED) return;
  const symbol_buffer_memory file{static_cast<const std::uint8_t*>(bytes), length, 0};
  std::uint8_t uuid[16];
  const bool hasId = fileBuildId(file, uuid);
  if (hasId == image->has_uuid && (!hasId || std::memcmp(uuid, image->uuid, 16) == 0)) {
    const auto bias = static_cast<std::uint64_t>(image->vmaddr_slide);
    elf_file_visit_symtab(file, [&](std::uint64_t value, std::uint64_t size, const char* name) {
      symbols->push_back({value + bias, size, static_cast<std::uint32_t>(names->size())});
      names->append(name);
      names->push_back('\0');
    });
  }
  munmap(bytes, length);
}

void collectDynamicSymbols(const MShxcrash_async_macho* image, std::vector<Collected>* symbols, std::string* names) {
  const symbol_task_memory mem{image->task};
  elf_dynamic_symbols dyn;
  if (elf_find_dynamic_symbols(mem, image->header_addr, image->vmaddr_slide, &dyn) != hxcrash_error_none) {
    return;
  }
  std::vector<elfsym_detail::Sym64> table(dyn.count);
  if (dyn.count == 0 || !mem.read(dyn.symtab, table.data(), dyn.count * sizeof(elfsym_detail::Sym64))) {
    return;
  }
  // The string table in one copy (large libraries have tens of thousands of names), read by
  // name from there; without a size, name by name.
  std::vector<std::uint8_t> strings;
  constexpr std::uint64_t kMaxStrings = 64ull << 20;
  if (dyn.strsz != 0 && dyn.strsz <= kMaxStrings) {
    strings.resize(dyn.strsz);
    if (!mem.read(dyn.strtab, strings.data(), strings.size())) strings.clear();
  }
  const symbol_buffer_memory local{strings.data(), strings.size(), dyn.strtab};
  for (const auto& sym : table) {
    if (!elfsym_detail::isFunction(sym)) continue;
    if (dyn.strsz != 0 && sym.name >= dyn.strsz) continue;
    char name[256];
    const std::uint64_t limit = dyn.strsz != 0 ? dyn.strsz - sym.name : 256;
    const bool read = strings.empty() ? elf_read_name(mem, dyn.strtab + sym.name, limit, name, sizeof name)
                                      : elf_read_name(local, dyn.strtab + sym.name, limit, name, sizeof name);
    if (!read || name[0] == '\0') continue;
    symbols->push_back({sym.value + static_cast<std::uint64_t>(image->vmaddr_slide), sym.size,
                        static_cast<std::uint32_t>(names->size())});
    names->append(name);
    names->push_back('\0');
  }
}

}  // namespace

void MShxcrash_nasync_elf_symbol_table_attach(MShxcrash_async_macho* image) {
  if (image->format != MShxcrash_async_image_format_elf || !image->m64 || image->symbol_table != nullptr) {
    return;
  }
  std::vector<Collected> symbols;
  std::string names;
  // The file's table first: on equal starts its (often more precise) names come first and win.
  collectFileSymbols(image, &symbols, &names);
  collectDynamicSymbols(image, &symbols, &names);
  if (symbols.empty() || names.size() > UINT32_MAX) return;
  std::stable_sort(symbols.begin(), symbols.end(),
                   [](const Collected& a, const Collected& b) { return a.start < b.start; });

  auto* table =
      static_cast<MShxcrash_async_elf_symbol_table*>(std::calloc(1, sizeof(MShxcrash_async_elf_symbol_table)));
  if (table == nullptr) return;
  table->symbols =
      static_cast<MShxcrash_async_elf_symbol*>(std::malloc(symbols.size() * sizeof(MShxcrash_async_elf_symbol)));
  table->names = static_cast<char*>(std::malloc(names.size()));
  if (table->symbols == nullptr || table->names == nullptr) {
    std::free(table->symbols);
    std::free(table->names);
    std::free(table);
    return;
  }
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    table->symbols[i] = {symbols[i].start, symbols[i].size, symbols[i].name};
  }
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): every name in `names` ends with its NUL
  std::memcpy(table->names, names.data(), names.size());
  table->count = symbols.size();
  table->names_size = names.size();
  __atomic_store_n(&image->symbol_table, table, __ATOMIC_RELEASE);
}

void MShxcrash_nasync_elf_symbol_table_detach(MShxcrash_async_macho* image) {
  MShxcrash_async_elf_symbol_table* table = image->symbol_table;
  if (table == nullptr) return;
  image->symbol_table = nullptr;
  std::free(table->symbols);
  std::free(table->names);
  std::free(table);
}

namespace {

// Crash time. The prepared table's best symbol for pc: the last start at or below pc, or, when
// that one's size ends before pc, an earlier one that covers it (nested or aliased symbols).
const MShxcrash_async_elf_symbol* tableLookup(const MShxcrash_async_elf_symbol_table* table, std::uint64_t pc) {
  std::size_t low = 0;
  std::size_t high = table->count;
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (table->symbols[middle].start <= pc) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  constexpr std::size_t kBackTries = 16;
  for (std::size_t tries = 0; tries < kBackTries && low > 0; ++tries, --low) {
    const MShxcrash_async_elf_symbol& symbol = table->symbols[low - 1];
    if (elf_symbol_covers(symbol.start, symbol.size, pc)) {
      // The first of equal starts (the file's name) wins.
      std::size_t first = low - 1;
      while (first > 0 && table->symbols[first - 1].start == symbol.start) --first;
      return &table->symbols[first];
    }
  }
  return nullptr;
}

}  // namespace

hxcrash_error_t MShxcrash_async_elf_find_symbol_by_pc(MShxcrash_async_macho* image, hxcrash_vm_address_t pc,
                                                      MShxcrash_async_macho_found_symbol_cb callback, void* context) {
  if (image->format != MShxcrash_async_image_format_elf || !image->m64) {
    return hxcrash_error_not_supported;
  }
  const MShxcrash_async_elf_symbol_table* table = __atomic_load_n(&image->symbol_table, __ATOMIC_ACQUIRE);
  if (table != nullptr) {
    const MShxcrash_async_elf_symbol* symbol = tableLookup(table, pc);
    if (symbol == nullptr || symbol->name >= table->names_size) return hxcrash_error_not_found;
    callback(symbol->start, table->names + symbol->name, context);
    return hxcrash_error_none;
  }
  char name[256];
  std::uint64_t start = 0;
  const symbol_task_memory mem{image->task};
  const hxcrash_error_t err =
      elf_dynamic_find_symbol(mem, image->header_addr, image->vmaddr_slide, pc, &start, name, sizeof name);
  if (err != hxcrash_error_none) return err;
  callback(start, name, context);
  return hxcrash_error_none;
}
