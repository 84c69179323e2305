#include "platform/darwin/Dyld.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <type_traits>

namespace vx {

namespace {

struct Registry {
  std::recursive_mutex mutex;
  bool scanned = false;
  std::vector<DyldImage> known;
  struct Observer {
    void* context;
    DyldImageCallback added;
    DyldImageCallback removed;
  };
  std::vector<Observer> observers;
};

Registry& registry() {
  static Registry* instance = new Registry();  // outlives every static destructor
  return *instance;
}

std::string executablePath() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return {};
  return std::string(path, static_cast<std::size_t>(length));
}

int collect(dl_phdr_info* info, size_t, void* data) {
  auto* images = static_cast<std::vector<DyldImage>*>(data);
  const ElfW(Phdr)* first = nullptr;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& phdr = info->dlpi_phdr[i];
    if (phdr.p_type == PT_LOAD && (first == nullptr || phdr.p_offset == 0)) {
      if (first == nullptr || phdr.p_offset == 0) first = &phdr;
      if (phdr.p_offset == 0) break;
    }
  }
  if (first == nullptr) return 0;
  DyldImage image;
  image.slide = static_cast<std::int64_t>(info->dlpi_addr);
  image.header = info->dlpi_addr + first->p_vaddr - first->p_offset;
  image.name = info->dlpi_name != nullptr ? info->dlpi_name : "";
  if (image.name.empty() && images->empty()) image.name = executablePath();
  images->push_back(std::move(image));
  return 0;
}

std::vector<DyldImage> scanImages() {
  std::vector<DyldImage> images;
  dl_iterate_phdr(collect, &images);
  return images;
}

bool sameImage(const DyldImage& a, const DyldImage& b) { return a.header == b.header && a.name == b.name; }

void rescanLocked(Registry& reg) {
  std::vector<DyldImage> current = scanImages();
  std::vector<DyldImage> removed;
  for (const DyldImage& old : reg.known) {
    if (std::none_of(current.begin(), current.end(), [&](const DyldImage& now) { return sameImage(old, now); })) {
      removed.push_back(old);
    }
  }
  std::vector<DyldImage> added;
  for (const DyldImage& now : current) {
    if (std::none_of(reg.known.begin(), reg.known.end(), [&](const DyldImage& old) { return sameImage(old, now); })) {
      added.push_back(now);
    }
  }
  reg.known = std::move(current);
  reg.scanned = true;
  const auto observers = reg.observers;
  for (const DyldImage& image : removed) {
    for (const auto& observer : observers) {
      if (observer.removed != nullptr) {
        observer.removed(observer.context, image.header, image.slide, image.name.c_str());
      }
    }
  }
  for (const DyldImage& image : added) {
    for (const auto& observer : observers) {
      if (observer.added != nullptr) {
        observer.added(observer.context, image.header, image.slide, image.name.c_str());
      }
    }
  }
}

// ---- ELF facts ----

bool readTask(task_t task, std::uint64_t address, void* target, std::uint64_t size, kern_return_t* kr) {
  mach_vm_size_t copied = 0;
  *kr = mach_vm_read_overwrite(task, address, size, reinterpret_cast<mach_vm_address_t>(target), &copied);
  return *kr == KERN_SUCCESS;
}

// Decodes one pointer of .eh_frame_hdr; returns false for encodings it does not know.
bool decodeEhPointer(task_t task, std::uint8_t encoding, std::uint64_t fieldAddress, std::uint64_t hdrAddress,
                     std::uint64_t* out) {
  std::uint64_t value = 0;
  kern_return_t kr = KERN_SUCCESS;
  switch (encoding & 0x0f) {
    case 0x00: {  // absptr
      std::uint64_t v = 0;
      if (!readTask(task, fieldAddress, &v, 8, &kr)) return false;
      value = v;
      break;
    }
    case 0x02: {
      std::uint16_t v = 0;
      if (!readTask(task, fieldAddress, &v, 2, &kr)) return false;
      value = v;
      break;
    }
    case 0x03: {
      std::uint32_t v = 0;
      if (!readTask(task, fieldAddress, &v, 4, &kr)) return false;
      value = v;
      break;
    }
    case 0x04:
    case 0x0c: {
      std::uint64_t v = 0;
      if (!readTask(task, fieldAddress, &v, 8, &kr)) return false;
      value = v;
      break;
    }
    case 0x0a: {
      std::int16_t v = 0;
      if (!readTask(task, fieldAddress, &v, 2, &kr)) return false;
      value = static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
      break;
    }
    case 0x0b: {
      std::int32_t v = 0;
      if (!readTask(task, fieldAddress, &v, 4, &kr)) return false;
      value = static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
      break;
    }
    default:
      return false;
  }
  switch (encoding & 0x70) {
    case 0x00:
      break;
    case 0x10:
      value += fieldAddress;
      break;
    case 0x30:
      value += hdrAddress;
      break;
    default:
      return false;
  }
  *out = value;
  return true;
}

// Walks .eh_frame records up to their zero terminator, bounded by limit.
std::uint64_t walkEhFrameSize(task_t task, std::uint64_t start, std::uint64_t limit) {
  std::uint64_t at = start;
  kern_return_t kr = KERN_SUCCESS;
  while (at + 4 <= limit) {
    std::uint32_t length = 0;
    if (!readTask(task, at, &length, 4, &kr)) break;
    if (length == 0) return at + 4 - start;
    std::uint64_t next = at + 4 + length;
    if (length == 0xffffffffu) {
      std::uint64_t longLength = 0;
      if (!readTask(task, at + 4, &longLength, 8, &kr)) break;
      next = at + 12 + longLength;
    }
    if (next <= at || next > limit) break;
    at = next;
  }
  return (at > limit ? limit : at) - start;
}

template <class Ehdr, class Shdr>
void sectionsFromFile(const char* path, std::int64_t slide, ElfImageFacts* facts) {
  if (path == nullptr || *path == '\0') return;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  Ehdr ehdr{};
  std::vector<Shdr> sections;
  std::vector<char> names;
  bool ok = pread(fd, &ehdr, sizeof ehdr, 0) == static_cast<ssize_t>(sizeof ehdr) &&
            std::memcmp(ehdr.e_ident, ELFMAG, SELFMAG) == 0 && ehdr.e_shentsize == sizeof(Shdr) && ehdr.e_shnum > 0 &&
            ehdr.e_shstrndx < ehdr.e_shnum;
  if (ok) {
    sections.resize(ehdr.e_shnum);
    const ssize_t want = static_cast<ssize_t>(sizeof(Shdr) * ehdr.e_shnum);
    ok = pread(fd, sections.data(), static_cast<size_t>(want), static_cast<off_t>(ehdr.e_shoff)) == want;
  }
  if (ok) {
    const Shdr& strtab = sections[ehdr.e_shstrndx];
    names.resize(strtab.sh_size + 1, '\0');
    ok =
        strtab.sh_size < (64u << 20) && pread(fd, names.data(), strtab.sh_size, static_cast<off_t>(strtab.sh_offset)) ==
                                            static_cast<ssize_t>(strtab.sh_size);
  }
  close(fd);
  if (!ok) return;
  for (const Shdr& section : sections) {
    if (section.sh_name >= names.size() || section.sh_addr == 0) continue;
    const char* name = names.data() + section.sh_name;
    const std::uint64_t address = section.sh_addr + static_cast<std::uint64_t>(slide);
    if (std::strcmp(name, ".eh_frame") == 0) {
      if (facts->eh_frame == 0 || facts->eh_frame == address) {
        facts->eh_frame = address;
        facts->eh_frame_size = section.sh_size;
      }
    } else if (std::strcmp(name, ".eh_frame_hdr") == 0) {
      if (facts->eh_frame_hdr == 0 || facts->eh_frame_hdr == address) {
        facts->eh_frame_hdr = address;
        facts->eh_frame_hdr_size = section.sh_size;
      }
    }
  }
}

template <class Ehdr, class Phdr, class Shdr, class Nhdr>
kern_return_t readFacts(task_t task, std::uint64_t address, const char* path, ElfImageFacts* facts) {
  kern_return_t kr = KERN_SUCCESS;
  Ehdr ehdr{};
  if (!readTask(task, address, &ehdr, sizeof ehdr, &kr)) return kr;
  if (ehdr.e_phentsize != sizeof(Phdr) || ehdr.e_phnum == 0 || ehdr.e_phnum > 4096) {
    return KERN_INVALID_ARGUMENT;
  }
  // Program headers are read one at a time (no buffer to allocate: without a path this runs
  // at crash time).
  auto readPhdr = [&](unsigned index, Phdr* out) {
    return readTask(task, address + ehdr.e_phoff + std::uint64_t{index} * sizeof(Phdr), out, sizeof(Phdr), &kr);
  };
  for (unsigned i = 0; i < ehdr.e_phnum; ++i) {
    Phdr phdr{};
    if (!readPhdr(i, &phdr)) return kr;
  }
  Phdr firstLoad{};
  const Phdr* first = nullptr;
  for (unsigned i = 0; i < ehdr.e_phnum; ++i) {
    Phdr phdr{};
    readPhdr(i, &phdr);
    if (phdr.p_type == PT_LOAD && phdr.p_offset == 0) {
      firstLoad = phdr;
      first = &firstLoad;
      break;
    }
  }
  if (first == nullptr) return KERN_INVALID_ARGUMENT;
  facts->header = address;
  facts->slide = static_cast<std::int64_t>(address - first->p_vaddr);
  facts->text_vmaddr = first->p_vaddr;
  facts->machine = ehdr.e_machine;
  facts->type = ehdr.e_type;
  facts->executable = ehdr.e_type == ET_EXEC;
  const std::uint64_t bias = static_cast<std::uint64_t>(facts->slide);
  std::uint64_t textEnd = 0;
  std::uint64_t ehFrameHdrSegment = 0;
  for (unsigned i = 0; i < ehdr.e_phnum; ++i) {
    Phdr phdr{};
    readPhdr(i, &phdr);
    if (phdr.p_type == PT_LOAD && (phdr.p_flags & PF_X) != 0) {
      textEnd = std::max<std::uint64_t>(textEnd, bias + phdr.p_vaddr + phdr.p_memsz);
    } else if (phdr.p_type == PT_DYNAMIC && facts->type == ET_DYN) {
      // A position-independent program says so in DT_FLAGS_1 (the C library, which has an
      // interpreter too so it can run, does not).
      using Dyn = std::conditional_t<sizeof(Phdr) == sizeof(Elf64_Phdr), Elf64_Dyn, Elf32_Dyn>;
      const std::uint64_t start = bias + phdr.p_vaddr;
      for (std::uint64_t at = start; at + sizeof(Dyn) <= start + phdr.p_memsz; at += sizeof(Dyn)) {
        Dyn entry{};
        if (!readTask(task, at, &entry, sizeof entry, &kr) || entry.d_tag == DT_NULL) break;
        if (entry.d_tag == DT_FLAGS_1 && (entry.d_un.d_val & DF_1_PIE) != 0) facts->executable = true;
      }
    } else if (phdr.p_type == PT_GNU_EH_FRAME) {
      facts->eh_frame_hdr = bias + phdr.p_vaddr;
      facts->eh_frame_hdr_size = phdr.p_memsz;
      ehFrameHdrSegment = facts->eh_frame_hdr;
    } else if (phdr.p_type == PT_NOTE && !facts->has_uuid) {
      // Notes: namesz, descsz, type, then the name and the description, each 4-byte aligned.
      std::uint64_t at = bias + phdr.p_vaddr;
      const std::uint64_t end = at + phdr.p_memsz;
      while (at + sizeof(Nhdr) <= end) {
        Nhdr note{};
        if (!readTask(task, at, &note, sizeof note, &kr)) break;
        const std::uint64_t nameAt = at + sizeof note;
        const std::uint64_t descAt = nameAt + ((note.n_namesz + 3u) & ~3u);
        const std::uint64_t next = descAt + ((note.n_descsz + 3u) & ~3u);
        if (next > end || next <= at) break;
        char name[4] = {};
        if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && readTask(task, nameAt, name, 4, &kr) &&
            std::memcmp(name, "GNU", 4) == 0 && note.n_descsz > 0) {
          const std::uint32_t count = note.n_descsz < 16 ? note.n_descsz : 16;
          if (readTask(task, descAt, facts->uuid, count, &kr)) facts->has_uuid = true;
          break;
        }
        at = next;
      }
    }
  }
  facts->text_size = textEnd > address ? textEnd - address : 0;
  if (ehFrameHdrSegment != 0) {
    std::uint8_t head[4] = {};
    std::uint64_t ehFrame = 0;
    if (readTask(task, ehFrameHdrSegment, head, 4, &kr) && head[0] == 1 && head[1] != 0xff &&
        decodeEhPointer(task, head[1], ehFrameHdrSegment + 4, ehFrameHdrSegment, &ehFrame)) {
      facts->eh_frame = ehFrame;
    }
  }
  sectionsFromFile<Ehdr, Shdr>(path, facts->slide, facts);
  if (facts->eh_frame != 0 && facts->eh_frame_size == 0) {
    // No readable file (the vDSO, a deleted file): walk the records to their terminator,
    // within the loaded segment that holds them.
    for (unsigned i = 0; i < ehdr.e_phnum; ++i) {
      Phdr phdr{};
      readPhdr(i, &phdr);
      const std::uint64_t start = bias + phdr.p_vaddr;
      if (phdr.p_type == PT_LOAD && facts->eh_frame >= start && facts->eh_frame < start + phdr.p_memsz) {
        facts->eh_frame_size = walkEhFrameSize(task, facts->eh_frame, start + phdr.p_memsz);
        break;
      }
    }
  }
  return KERN_SUCCESS;
}

}  // namespace

void dyld_add_observer(void* context, DyldImageCallback added, DyldImageCallback removed) {
  Registry& reg = registry();
  std::lock_guard<std::recursive_mutex> lock(reg.mutex);
  if (!reg.scanned) rescanLocked(reg);
  reg.observers.push_back({context, added, removed});
  if (added == nullptr) return;
  const std::vector<DyldImage> images = reg.known;
  for (const DyldImage& image : images) {
    added(context, image.header, image.slide, image.name.c_str());
  }
}

void dyld_remove_observer(void* context) {
  Registry& reg = registry();
  std::lock_guard<std::recursive_mutex> lock(reg.mutex);
  reg.observers.erase(std::remove_if(reg.observers.begin(), reg.observers.end(),
                                     [&](const Registry::Observer& observer) { return observer.context == context; }),
                      reg.observers.end());
}

void dyld_rescan() {
  Registry& reg = registry();
  std::lock_guard<std::recursive_mutex> lock(reg.mutex);
  rescanLocked(reg);
}

std::size_t dyld_walk_linker_list(void* context,
                                  bool (*found)(void* context, std::uint64_t bias, std::uint64_t name_address),
                                  std::size_t max_entries) {
  kern_return_t kr = KERN_SUCCESS;
  std::uint64_t entry = 0;
  if (!readTask(mach_task_self(), reinterpret_cast<std::uint64_t>(&_r_debug.r_map), &entry, sizeof(void*), &kr)) {
    return 0;
  }
  std::size_t visited = 0;
  while (entry != 0 && visited < max_entries) {
    // The public head of a link_map: l_addr, l_name, l_ld, l_next, l_prev.
    static_assert(sizeof(void*) == sizeof(std::uint64_t), "64-bit link maps");
    std::uint64_t fields[5] = {};
    if (!readTask(mach_task_self(), entry, fields, sizeof fields, &kr)) break;
    ++visited;
    if (!found(context, fields[0], fields[1])) break;
    entry = fields[3];
  }
  return visited;
}

void* dyld_dlopen(const char* path, int flags) {
  void* handle = dlopen(path, flags);
  if (handle != nullptr) dyld_rescan();
  return handle;
}

int dyld_dlclose(void* handle) {
  const int result = dlclose(handle);
  dyld_rescan();
  return result;
}

std::vector<DyldImage> dyld_images() {
  Registry& reg = registry();
  std::lock_guard<std::recursive_mutex> lock(reg.mutex);
  if (!reg.scanned) rescanLocked(reg);
  return reg.known;
}

bool elf_has_magic(task_t task, std::uint64_t address) {
  unsigned char ident[SELFMAG] = {};
  kern_return_t kr = KERN_SUCCESS;
  return readTask(task, address, ident, SELFMAG, &kr) && std::memcmp(ident, ELFMAG, SELFMAG) == 0;
}

kern_return_t elf_image_facts(task_t task, std::uint64_t address, const char* path, ElfImageFacts* out) {
  if (out == nullptr) return KERN_INVALID_ARGUMENT;
  unsigned char ident[EI_NIDENT] = {};
  kern_return_t kr = KERN_SUCCESS;
  if (!readTask(task, address, ident, sizeof ident, &kr)) return kr;
  if (std::memcmp(ident, ELFMAG, SELFMAG) != 0 || ident[EI_DATA] != ELFDATA2LSB) {
    return KERN_INVALID_ARGUMENT;
  }
  ElfImageFacts facts;
  facts.little_endian = true;
  if (ident[EI_CLASS] == ELFCLASS64) {
    facts.is64 = true;
    kr = readFacts<Elf64_Ehdr, Elf64_Phdr, Elf64_Shdr, Elf64_Nhdr>(task, address, path, &facts);
  } else if (ident[EI_CLASS] == ELFCLASS32) {
    facts.is64 = false;
    kr = readFacts<Elf32_Ehdr, Elf32_Phdr, Elf32_Shdr, Elf32_Nhdr>(task, address, path, &facts);
  } else {
    return KERN_INVALID_ARGUMENT;
  }
  if (kr == KERN_SUCCESS) *out = facts;
  return kr;
}

}  // namespace vx
