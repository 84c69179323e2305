// Helpers for the Mach-O reader tests: load a Mach-O file into memory the way the dynamic
// linker lays out its segments, read what llvm-objdump reported about it, and build small
// Mach-O images by hand in either byte order.
#pragma once

#include "platform/darwin/MachO.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace cetest {

inline std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// A Mach-O image copied into memory at its segments' relative addresses (the zero page, which
// has no file data and no access, is left out).
class LoadedImage {
 public:
  explicit LoadedImage(const std::vector<std::uint8_t>& file) {
    std::uint32_t magic = 0;
    std::memcpy(&magic, file.data(), 4);
    const bool is64 = magic == vx::MH_MAGIC_64;
    const std::size_t headerSize = is64 ? sizeof(vx::mach_header_64) : sizeof(vx::mach_header);
    vx::mach_header header{};
    std::memcpy(&header, file.data(), sizeof header);
    struct Seg {
      std::uint64_t vmaddr, vmsize, fileoff, filesize;
      bool text;
    };
    std::vector<Seg> segments;
    std::size_t at = headerSize;
    for (std::uint32_t i = 0; i < header.ncmds; ++i) {
      vx::load_command lc{};
      std::memcpy(&lc, file.data() + at, sizeof lc);
      if (lc.cmd == vx::LC_SEGMENT_64) {
        vx::segment_command_64 seg{};
        std::memcpy(&seg, file.data() + at, sizeof seg);
        if (seg.initprot != 0 || seg.filesize != 0) {
          segments.push_back({seg.vmaddr, seg.vmsize, seg.fileoff, seg.filesize,
                              std::string_view(seg.segname, strnlen(seg.segname, sizeof seg.segname)) == "__TEXT"});
        }
      } else if (lc.cmd == vx::LC_SEGMENT) {
        vx::segment_command seg{};
        std::memcpy(&seg, file.data() + at, sizeof seg);
        if (seg.initprot != 0 || seg.filesize != 0) {
          segments.push_back({seg.vmaddr, seg.vmsize, seg.fileoff, seg.filesize,
                              std::string_view(seg.segname, strnlen(seg.segname, sizeof seg.segname)) == "__TEXT"});
        }
      }
      at += lc.cmdsize;
    }
    std::uint64_t low = UINT64_MAX, high = 0, textVmaddr = 0;
    for (const Seg& seg : segments) {
      low = std::min(low, seg.vmaddr);
      high = std::max(high, seg.vmaddr + seg.vmsize);
      if (seg.text) textVmaddr = seg.vmaddr;
    }
    size_ = ((high - low) + 4095) & ~std::uint64_t{4095};
    base_ =
        static_cast<std::uint8_t*>(mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    for (const Seg& seg : segments) {
      std::memcpy(base_ + (seg.vmaddr - low), file.data() + seg.fileoff, seg.filesize);
    }
    header_ = reinterpret_cast<std::uint64_t>(base_) + (textVmaddr - low);
    slide_ = header_ - textVmaddr;
  }
  ~LoadedImage() { munmap(base_, size_); }
  LoadedImage(const LoadedImage&) = delete;
  LoadedImage& operator=(const LoadedImage&) = delete;

  std::uint64_t header() const { return header_; }
  std::uint64_t slide() const { return slide_; }

 private:
  std::uint8_t* base_ = nullptr;
  std::uint64_t size_ = 0;
  std::uint64_t header_ = 0;
  std::uint64_t slide_ = 0;
};

struct DumpSection {
  std::string segname, sectname;
  std::uint64_t addr = 0, size = 0, offset = 0;
};

struct DumpSegment {
  std::string segname;
  std::uint64_t vmaddr = 0, vmsize = 0, fileoff = 0, filesize = 0, nsects = 0;
};

struct DumpSymbol {
  std::uint64_t value = 0;
  bool global = false;
  std::string name;
};

struct Dump {
  std::string cputype;
  std::uint32_t ncmds = 0;
  std::vector<DumpSegment> segments;
  std::vector<DumpSection> sections;
  std::vector<DumpSymbol> symbols;  // defined in a section
};

// Parses `llvm-objdump --macho --private-headers` and `--syms` output.
inline Dump parseObjdump(const std::string& headers, const std::string& syms) {
  Dump dump;
  std::istringstream lines(headers);
  std::string line;
  enum { None, Segment, Section } state = None;
  bool headerNext = false;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string key;
    words >> key;
    if (key == "magic") {
      headerNext = true;
      continue;
    }
    if (headerNext) {
      std::string cpu;
      words >> cpu;
      dump.cputype = cpu;
      std::string subtype, caps, filetype;
      words >> subtype >> caps >> filetype >> dump.ncmds;
      headerNext = false;
      continue;
    }
    if (key == "cmd") {
      std::string cmd;
      words >> cmd;
      if (cmd == "LC_SEGMENT_64" || cmd == "LC_SEGMENT") {
        dump.segments.emplace_back();
        state = Segment;
      } else {
        state = None;
      }
      continue;
    }
    if (key == "Section") {
      dump.sections.emplace_back();
      state = Section;
      continue;
    }
    std::string value;
    words >> value;
    auto number = [&]() { return std::stoull(value, nullptr, 0); };
    if (state == Segment) {
      DumpSegment& seg = dump.segments.back();
      if (key == "segname")
        seg.segname = value;
      else if (key == "vmaddr")
        seg.vmaddr = number();
      else if (key == "vmsize")
        seg.vmsize = number();
      else if (key == "fileoff")
        seg.fileoff = number();
      else if (key == "filesize")
        seg.filesize = number();
      else if (key == "nsects")
        seg.nsects = number();
    } else if (state == Section) {
      DumpSection& sect = dump.sections.back();
      if (key == "sectname")
        sect.sectname = value;
      else if (key == "segname")
        sect.segname = value;
      else if (key == "addr")
        sect.addr = number();
      else if (key == "size")
        sect.size = number();
      else if (key == "offset")
        sect.offset = number();
    }
  }
  std::istringstream symLines(syms);
  while (std::getline(symLines, line)) {
    std::istringstream words(line);
    std::string address, scope, kind, section, name;
    if (!(words >> address >> scope)) continue;
    if (address.find_first_not_of("0123456789abcdef") != std::string::npos) continue;
    words >> kind >> section >> name;
    if (section.rfind("__", 0) != 0 || name.empty()) continue;
    dump.symbols.push_back({std::stoull(address, nullptr, 16), scope == "g", name});
  }
  return dump;
}

// Builds a small 64-bit or 32-bit Mach-O image in either byte order: a __TEXT segment with a
// __text section and a __LINKEDIT segment holding a symbol table, in one page-aligned buffer
// laid out as it would be loaded (text at the start, link-edit data one page later).
class ImageBuilder {
 public:
  ImageBuilder(bool is64, bool bigEndian) : is64_(is64), big_(bigEndian) {}

  struct Symbol {
    std::string name;
    std::uint8_t type;
    std::uint64_t value;
    std::uint16_t desc = 0;
  };

  bool is64_;
  bool big_;
  std::uint64_t textVmaddr = 0x10000;
  std::vector<Symbol> symbols;
  bool withDysymtab = true;
  std::uint32_t nlocal = 0, iextdef = 0, nextdef = 0;  // dysymtab ranges
  bool universal = false;

  // Produces the buffer (two pages; the second holds the link-edit data).
  std::vector<std::uint8_t> build() {
    std::vector<std::uint8_t> image(8192, 0);
    const std::size_t headerSize = is64_ ? 32 : 28;
    const std::size_t segSize = is64_ ? 72 : 56;
    const std::size_t sectSize = is64_ ? 80 : 68;
    const std::size_t entrySize = is64_ ? 16 : 12;
    // Link-edit: symbols then strings.
    std::vector<std::uint8_t> strings(1, 0);
    std::vector<std::uint32_t> strx;
    for (const Symbol& s : symbols) {
      strx.push_back(static_cast<std::uint32_t>(strings.size()));
      strings.insert(strings.end(), s.name.begin(), s.name.end());
      strings.push_back(0);
    }
    const std::size_t linkeditOff = 4096;
    const std::size_t symoff = linkeditOff;
    const std::size_t stroff = symoff + symbols.size() * entrySize;
    for (std::size_t i = 0; i < symbols.size(); ++i) {
      std::size_t at = symoff + i * entrySize;
      put32(image, at, strx[i]);
      image[at + 4] = symbols[i].type;
      image[at + 5] = 1;
      put16(image, at + 6, symbols[i].desc);
      if (is64_)
        put64(image, at + 8, symbols[i].value);
      else
        put32(image, at + 8, static_cast<std::uint32_t>(symbols[i].value));
    }
    std::memcpy(image.data() + stroff, strings.data(), strings.size());
    const std::size_t linkeditSize = stroff + strings.size() - linkeditOff;

    std::size_t at = headerSize;
    const std::size_t textCmd = at;
    writeSegment(image, at, "__TEXT", textVmaddr, 4096, 0, 4096, 1);
    at += segSize;
    writeSection(image, at, "__text", "__TEXT", textVmaddr + 0x100, 0x40);
    at += sectSize;
    put32(image, textCmd + 4, static_cast<std::uint32_t>(segSize + sectSize));
    writeSegment(image, at, "__LINKEDIT", textVmaddr + 4096, linkeditSize, linkeditOff, linkeditSize, 0);
    at += segSize;
    put32(image, at, vx::LC_SYMTAB);
    put32(image, at + 4, 24);
    put32(image, at + 8, static_cast<std::uint32_t>(symoff));
    put32(image, at + 12, static_cast<std::uint32_t>(symbols.size()));
    put32(image, at + 16, static_cast<std::uint32_t>(stroff));
    put32(image, at + 20, static_cast<std::uint32_t>(strings.size()));
    at += 24;
    std::uint32_t ncmds = 4;
    if (withDysymtab) {
      put32(image, at, vx::LC_DYSYMTAB);
      put32(image, at + 4, 80);
      put32(image, at + 8, 0);  // ilocalsym
      put32(image, at + 12, nlocal);
      put32(image, at + 16, iextdef);
      put32(image, at + 20, nextdef);
      at += 80;
      ++ncmds;
    }
    put32(image, 0, universal ? 0xcafebabe : (is64_ ? vx::MH_MAGIC_64 : vx::MH_MAGIC));
    if (universal) std::memcpy(image.data(), "\xca\xfe\xba\xbe", 4);
    put32(image, 4, static_cast<std::uint32_t>(is64_ ? vx::CPU_TYPE_X86_64 : vx::CPU_TYPE_X86));
    put32(image, 8, 3);
    put32(image, 12, vx::MH_DYLIB);
    put32(image, 16, ncmds);
    put32(image, 20, static_cast<std::uint32_t>(at - headerSize));
    sizeofcmdsOffset = 20;
    loadCommandsEnd = at;
    return image;
  }

  std::size_t sizeofcmdsOffset = 20;
  std::size_t loadCommandsEnd = 0;

  void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) const {
    if (big_) v = __builtin_bswap16(v);
    std::memcpy(b.data() + at, &v, 2);
  }
  void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) const {
    if (big_) v = __builtin_bswap32(v);
    std::memcpy(b.data() + at, &v, 4);
  }
  void put64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) const {
    if (big_) v = __builtin_bswap64(v);
    std::memcpy(b.data() + at, &v, 8);
  }

 private:
  void writeSegment(std::vector<std::uint8_t>& b, std::size_t at, const char* name, std::uint64_t vmaddr,
                    std::uint64_t vmsize, std::uint64_t fileoff, std::uint64_t filesize, std::uint32_t nsects) const {
    put32(b, at, is64_ ? vx::LC_SEGMENT_64 : vx::LC_SEGMENT);
    put32(b, at + 4, is64_ ? 72 : 56);
    std::strncpy(reinterpret_cast<char*>(b.data() + at + 8), name, 16);
    if (is64_) {
      put64(b, at + 24, vmaddr);
      put64(b, at + 32, vmsize);
      put64(b, at + 40, fileoff);
      put64(b, at + 48, filesize);
      put32(b, at + 64, nsects);
    } else {
      put32(b, at + 24, static_cast<std::uint32_t>(vmaddr));
      put32(b, at + 28, static_cast<std::uint32_t>(vmsize));
      put32(b, at + 32, static_cast<std::uint32_t>(fileoff));
      put32(b, at + 36, static_cast<std::uint32_t>(filesize));
      put32(b, at + 48, nsects);
    }
  }
  void writeSection(std::vector<std::uint8_t>& b, std::size_t at, const char* sect, const char* seg, std::uint64_t addr,
                    std::uint64_t size) const {
    std::strncpy(reinterpret_cast<char*>(b.data() + at), sect, 16);
    std::strncpy(reinterpret_cast<char*>(b.data() + at + 16), seg, 16);
    if (is64_) {
      put64(b, at + 32, addr);
      put64(b, at + 40, size);
    } else {
      put32(b, at + 32, static_cast<std::uint32_t>(addr));
      put32(b, at + 36, static_cast<std::uint32_t>(size));
    }
  }
};

// A page-aligned copy of a buffer in fresh memory, so its address behaves like a loaded image.
class PlacedBuffer {
 public:
  explicit PlacedBuffer(const std::vector<std::uint8_t>& bytes) : size_((bytes.size() + 4095) & ~std::size_t{4095}) {
    base_ =
        static_cast<std::uint8_t*>(mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    std::memcpy(base_, bytes.data(), bytes.size());
  }
  ~PlacedBuffer() { munmap(base_, size_); }
  PlacedBuffer(const PlacedBuffer&) = delete;
  PlacedBuffer& operator=(const PlacedBuffer&) = delete;
  std::uint64_t address() const { return reinterpret_cast<std::uint64_t>(base_); }
  std::uint8_t* data() { return base_; }

 private:
  std::size_t size_;
  std::uint8_t* base_;
};

}  // namespace cetest
