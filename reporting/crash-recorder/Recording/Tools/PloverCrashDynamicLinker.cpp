#include "reporting/crash-recorder/Recording/Tools/PloverCrashDynamicLinker.h"

#include "crash-engine/HXCrashAsyncImageList.h"
#include "crash-engine/MSHXCrashReporter.h"
#include "reporting/crash-recorder/Recording/Tools/PloverCrashMemory.h"

#include <elf.h>
#include <link.h>

namespace {

MShxcrash_async_image_list* images() { return hxcrash_shared_image_list(); }

// Opens a reading window for the life of the object.
class ReadingWindow {
 public:
  ReadingWindow() : list_(images()) { MShxcrash_async_image_list_set_reading(list_, true); }
  ~ReadingWindow() { MShxcrash_async_image_list_set_reading(list_, false); }
  MShxcrash_async_macho* next(MShxcrash_async_macho* current) {
    return MShxcrash_async_image_list_next(list_, current);
  }
  MShxcrash_async_image_list* list() const { return list_; }

 private:
  MShxcrash_async_image_list* list_;
};

bool contains(const char* text, const char* part) {
  if (text == nullptr || part == nullptr) return false;
  for (const char* start = text; *start != '\0'; ++start) {
    const char* a = start;
    const char* b = part;
    while (*b != '\0' && *a == *b) {
      ++a;
      ++b;
    }
    if (*b == '\0') return true;
  }
  return *part == '\0';
}

bool equals(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return false;
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

MShxcrash_async_macho* imageNamed(ReadingWindow& window, const char* name, bool exact,
                                  int* indexOut) {
  if (name == nullptr) return nullptr;
  int index = 0;
  for (MShxcrash_async_macho* image = window.next(nullptr); image != nullptr;
       image = window.next(image), ++index) {
    if (exact ? equals(image->name, name) : contains(image->name, name)) {
      if (indexOut != nullptr) *indexOut = index;
      return image;
    }
  }
  return nullptr;
}

template <class T>
bool readValue(std::uintptr_t address, T* out) {
  return plovercrashmem_copySafely(reinterpret_cast<const void*>(address), out, sizeof(T));
}

// Where the dynamic section's tables are. The dynamic linker relocates these entries in place
// for most images; an entry still below the image's header is a link-time address.
struct DynamicTables {
  std::uintptr_t symtab = 0, strtab = 0, hash = 0, gnuHash = 0;
  std::uint64_t strsz = 0, syment = sizeof(Elf64_Sym);
};

bool readDynamicTables(const MShxcrash_async_macho* image, DynamicTables* tables) {
  Elf64_Ehdr header;
  if (!readValue(image->header_addr, &header) || !image->m64) return false;
  std::uintptr_t dynamic = 0;
  for (int i = 0; i < header.e_phnum && i < 128; ++i) {
    Elf64_Phdr phdr;
    if (!readValue(image->header_addr + header.e_phoff + i * std::uint64_t{header.e_phentsize},
                   &phdr)) {
      return false;
    }
    if (phdr.p_type == PT_DYNAMIC) dynamic = phdr.p_vaddr + image->vmaddr_slide;
  }
  if (dynamic == 0) return false;
  auto relocate = [image](std::uint64_t value) -> std::uintptr_t {
    return value < image->header_addr ? value + image->vmaddr_slide : value;
  };
  for (int i = 0; i < 512; ++i) {
    Elf64_Dyn entry;
    if (!readValue(dynamic + i * sizeof(Elf64_Dyn), &entry) || entry.d_tag == DT_NULL) break;
    switch (entry.d_tag) {
      case DT_SYMTAB: tables->symtab = relocate(entry.d_un.d_ptr); break;
      case DT_STRTAB: tables->strtab = relocate(entry.d_un.d_ptr); break;
      case DT_HASH: tables->hash = relocate(entry.d_un.d_ptr); break;
      case DT_GNU_HASH: tables->gnuHash = relocate(entry.d_un.d_ptr); break;
      case DT_STRSZ: tables->strsz = entry.d_un.d_val; break;
      case DT_SYMENT: tables->syment = entry.d_un.d_val; break;
      default: break;
    }
  }
  return tables->symtab != 0 && tables->strtab != 0 && tables->syment == sizeof(Elf64_Sym);
}

// The number of dynamic symbols: the hash table's chain count, or the end of the GNU hash
// table's longest chain.
std::uint32_t symbolCount(const DynamicTables& tables) {
  constexpr std::uint32_t kLimit = 1u << 20;
  std::uint32_t count = 0;
  if (tables.hash != 0) {
    readValue(tables.hash + 4, &count);
    return count < kLimit ? count : kLimit;
  }
  if (tables.gnuHash == 0) return 0;
  std::uint32_t head[4];  // buckets, symbol offset, bloom words, bloom shift
  if (!readValue(tables.gnuHash, &head) || head[0] > kLimit || head[2] > kLimit) return 0;
  const std::uintptr_t buckets = tables.gnuHash + 16 + std::uint64_t{head[2]} * 8;
  std::uint32_t highest = 0;
  for (std::uint32_t i = 0; i < head[0]; ++i) {
    std::uint32_t bucket;
    if (!readValue(buckets + i * 4, &bucket)) return 0;
    if (bucket > highest) highest = bucket;
  }
  if (highest < head[1]) return head[1];
  const std::uintptr_t chains = buckets + std::uint64_t{head[0]} * 4;
  for (std::uint32_t index = highest; index < kLimit; ++index) {
    std::uint32_t hash;
    if (!readValue(chains + (index - head[1]) * std::uint64_t{4}, &hash)) return index;
    if ((hash & 1) != 0) return index + 1;
  }
  return kLimit;
}

void findSymbol(const MShxcrash_async_macho* image, std::uintptr_t address, Dl_info* info) {
  DynamicTables tables;
  if (!readDynamicTables(image, &tables)) return;
  const std::uint32_t count = symbolCount(tables);
  std::uintptr_t bestAddress = 0;
  std::uint32_t bestName = 0;
  Elf64_Sym batch[64];
  for (std::uint32_t first = 0; first < count; first += 64) {
    const std::uint32_t n = count - first < 64 ? count - first : 64;
    if (!plovercrashmem_copySafely(
            reinterpret_cast<const void*>(tables.symtab + first * sizeof(Elf64_Sym)), batch,
            static_cast<int>(n * sizeof(Elf64_Sym)))) {
      break;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
      const Elf64_Sym& symbol = batch[i];
      if (symbol.st_value == 0 || symbol.st_shndx == SHN_UNDEF) continue;
      const std::uintptr_t value = symbol.st_value + image->vmaddr_slide;
      if (value <= address && value > bestAddress) {
        bestAddress = value;
        bestName = symbol.st_name;
      }
    }
  }
  if (bestAddress == 0 || (tables.strsz != 0 && bestName >= tables.strsz)) return;
  const auto* name = reinterpret_cast<const char*>(tables.strtab + bestName);
  if (!plovercrashmem_isMemoryReadable(name, 1)) return;
  info->dli_saddr = reinterpret_cast<void*>(bestAddress);
  info->dli_sname = name;
}

}  // namespace

int plovercrashdl_imageCount() {
  ReadingWindow window;
  int count = 0;
  for (MShxcrash_async_macho* image = window.next(nullptr); image != nullptr;
       image = window.next(image)) {
    ++count;
  }
  return count;
}

bool plovercrashdl_getBinaryImage(int index, PloverCrashBinaryImage* buffer) {
  if (index < 0 || buffer == nullptr) return false;
  ReadingWindow window;
  MShxcrash_async_macho* image = window.next(nullptr);
  for (int i = 0; image != nullptr && i < index; ++i) image = window.next(image);
  if (image == nullptr) return false;
  buffer->address = image->header_addr;
  buffer->vmAddress = image->text_vmaddr;
  buffer->size = image->text_size;
  buffer->name = image->name;
  buffer->uuid = image->has_uuid ? image->uuid : nullptr;
  buffer->cpuType = MShxcrash_async_macho_cpu_type(image);
  buffer->cpuSubType = MShxcrash_async_macho_cpu_subtype(image);
  buffer->majorVersion = 0;
  buffer->minorVersion = 0;
  buffer->revisionVersion = 0;
  return true;
}

int plovercrashdl_imageNamed(const char* imageName, bool exactMatch) {
  ReadingWindow window;
  int index = -1;
  imageNamed(window, imageName, exactMatch, &index);
  return index;
}

const std::uint8_t* plovercrashdl_imageUUID(const char* imageName, bool exactMatch) {
  ReadingWindow window;
  MShxcrash_async_macho* image = imageNamed(window, imageName, exactMatch, nullptr);
  return image != nullptr && image->has_uuid ? image->uuid : nullptr;
}

bool plovercrashdl_dladdr(std::uintptr_t address, Dl_info* info) {
  info->dli_fname = nullptr;
  info->dli_fbase = nullptr;
  info->dli_sname = nullptr;
  info->dli_saddr = nullptr;
  ReadingWindow window;
  MShxcrash_async_macho* image = MShxcrash_async_image_containing_address(window.list(), address);
  if (image == nullptr) return false;
  info->dli_fname = image->name;
  info->dli_fbase = reinterpret_cast<void*>(image->header_addr);
  findSymbol(image, address, info);
  return true;
}
