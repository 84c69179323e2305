// Symbol lookup: the loaded ELF images of this process (prepared tables and the crash-time walk
// of .dynsym), the Mach-O test images, damaged symbol tables in buffers, and real crashes in
// forked children whose reports name their frames.
#include "crash-engine/async/HXCrashAsyncImageList.h"
#include "crash-engine/symbols/HXCrashAsyncSymbols.h"
#include "crash-engine/report/MSHXCrashReport.h"
#include "crash-engine/report/MSHXCrashReportTextFormatter.h"
#include "crash-engine/MSHXCrashReporter.h"
#include "crash-engine/symbols/MSHXCrashSymbolication.h"

#include "crash-engine/support/MachOTestSupport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

using namespace hxcrash::MS::async;

extern "C" {
// Named in the crash test's report; extern "C" so their symbols carry these plain names.
__attribute__((noinline, used)) int symbolicationTestLeaf(int x) {
  asm volatile("" ::: "memory");
  return x * 7 + 1;
}
}

namespace {

__attribute__((noinline)) int localHelperForSymbols(int x) {
  asm volatile("" ::: "memory");
  return x + 3;
}

struct Found {
  int calls = 0;
  std::uint64_t address = 0;
  std::string name;
};

void remember(hxcrash_vm_address_t address, const char* name, void* context) {
  auto* found = static_cast<Found*>(context);
  ++found->calls;
  found->address = address;
  found->name = name;
}

class ElfSymbolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MShxcrash_nasync_image_list_init(&list_, vx::mach_task_self());
    MShxcrash_nasync_image_list_track(&list_);
  }
  void TearDown() override { MShxcrash_nasync_image_list_free(&list_); }

  Found lookup(std::uint64_t pc, std::int32_t strategy = 1, hxcrash_error_t expected = hxcrash_error_none) {
    Found found;
    MShxcrash_async_image_list_set_reading(&list_, true);
    MShxcrash_async_macho* image = MShxcrash_async_image_containing_address(&list_, pc);
    EXPECT_NE(image, nullptr);
    if (image != nullptr) {
      MShxcrash_async_symbol_cache cache;
      MShxcrash_async_symbol_cache_init(&cache);
      EXPECT_EQ(MShxcrash_async_find_symbol(image, strategy, &cache, pc, remember, &found), expected);
      MShxcrash_async_symbol_cache_free(&cache);
    }
    MShxcrash_async_image_list_set_reading(&list_, false);
    return found;
  }

  MShxcrash_async_image_list list_{};
};

void* libcSymbol(const char* name) {
  void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  if (libc == nullptr) return nullptr;
  void* address = dlsym(libc, name);
  dlclose(libc);
  return address;
}

}  // namespace

// The program's own functions come from its file's .symtab (a local one too, which .dynsym never
// holds); the C library's from its dynamic symbols. A pc inside a function names it.
TEST_F(ElfSymbolsTest, NamesOwnAndLibraryFunctionsFromThePreparedTable) {
  const auto leaf = reinterpret_cast<std::uint64_t>(&symbolicationTestLeaf);
  Found found = lookup(leaf + 1);
  EXPECT_EQ(found.calls, 1);
  EXPECT_EQ(found.name, "symbolicationTestLeaf");
  EXPECT_EQ(found.address, leaf);

  const auto local = reinterpret_cast<std::uint64_t>(&localHelperForSymbols);
  found = lookup(local + 2);
  EXPECT_NE(found.name.find("localHelperForSymbols"), std::string::npos) << found.name;
  EXPECT_EQ(found.address, local);

  for (const char* name : {"getppid", "sysconf", "uname"}) {
    SCOPED_TRACE(name);
    const auto start = reinterpret_cast<std::uint64_t>(libcSymbol(name));
    ASSERT_NE(start, 0u);
    found = lookup(start + 1);
    EXPECT_EQ(found.address, start);
    // Aliases share an address: the reported name resolves to the same function.
    EXPECT_EQ(reinterpret_cast<std::uint64_t>(libcSymbol(found.name.c_str())), start) << found.name;
  }

  // Without the symbol-table bit nothing names the frame.
  found = lookup(leaf + 1, MSHXCRASH_SYMBOL_STRATEGY_OBJC, hxcrash_error_not_found);
  EXPECT_EQ(found.calls, 0);
}

// An image found only at crash time has no prepared table: its .dynsym is walked in memory
// through checked copies and gives the same answers.
TEST_F(ElfSymbolsTest, CrashTimeDynamicSymbolWalkMatchesThePreparedTable) {
  const auto getppidAddress = reinterpret_cast<std::uint64_t>(libcSymbol("getppid"));
  ASSERT_NE(getppidAddress, 0u);
  MShxcrash_async_image_list_set_reading(&list_, true);
  MShxcrash_async_macho* libc = MShxcrash_async_image_containing_address(&list_, getppidAddress);
  ASSERT_NE(libc, nullptr);
  ASSERT_NE(libc->symbol_table, nullptr);
  MShxcrash_async_macho bare = *libc;  // the same image without its prepared table
  bare.symbol_table = nullptr;
  for (const char* name : {"getppid", "sysconf", "uname", "dl_iterate_phdr"}) {
    SCOPED_TRACE(name);
    const auto start = reinterpret_cast<std::uint64_t>(libcSymbol(name));
    ASSERT_NE(start, 0u);
    Found prepared, walked;
    ASSERT_EQ(MShxcrash_async_elf_find_symbol_by_pc(libc, start + 3, remember, &prepared), hxcrash_error_none);
    ASSERT_EQ(MShxcrash_async_elf_find_symbol_by_pc(&bare, start + 3, remember, &walked), hxcrash_error_none);
    EXPECT_EQ(walked.calls, 1);
    EXPECT_EQ(walked.address, start);
    EXPECT_EQ(prepared.address, walked.address);
    EXPECT_EQ(reinterpret_cast<std::uint64_t>(libcSymbol(walked.name.c_str())), start) << walked.name;
  }
  // Below the image's first function nothing covers the pc.
  Found none;
  EXPECT_EQ(MShxcrash_async_elf_find_symbol_by_pc(&bare, libc->header_addr, remember, &none), hxcrash_error_not_found);
  EXPECT_EQ(none.calls, 0);
  MShxcrash_async_image_list_set_reading(&list_, false);
}

// ---- Mach-O images --------------------------------------------------------------------------

#ifdef CE_MACHO_FIXTURE_DIR
TEST(MachOSymbolsTest, LookupNamesFunctionsOfARealImage) {
  cetest::LoadedImage loaded(cetest::readFile(CE_MACHO_FIXTURE_DIR "/dylib64.macho"));
  MShxcrash_async_macho image;
  ASSERT_EQ(MShxcrash_nasync_macho_init(&image, vx::mach_task_self(), "dylib64", loaded.header()), hxcrash_error_none);
  hxcrash_vm_address_t entry = 0;
  ASSERT_EQ(MShxcrash_async_macho_find_symbol_by_name(&image, "_entry_point", &entry), hxcrash_error_none);
  MShxcrash_async_symbol_cache cache;
  MShxcrash_async_symbol_cache_init(&cache);
  Found found;
  EXPECT_EQ(MShxcrash_async_find_symbol(&image, 1, &cache, entry + 2, remember, &found), hxcrash_error_none);
  EXPECT_EQ(found.calls, 1);
  EXPECT_EQ(found.name, "_entry_point");
  EXPECT_EQ(found.address, entry);
  // Strategy 3 finds the same: no class metadata names anything here.
  Found both;
  EXPECT_EQ(MShxcrash_async_find_symbol(&image, 3, &cache, entry + 2, remember, &both), hxcrash_error_none);
  EXPECT_EQ(both.name, "_entry_point");
  // Class metadata alone finds nothing.
  Found none;
  EXPECT_EQ(MShxcrash_async_find_symbol(&image, 2, &cache, entry + 2, remember, &none), hxcrash_error_not_found);
  EXPECT_EQ(none.calls, 0);
  MShxcrash_async_symbol_cache_free(&cache);
  MShxcrash_nasync_macho_free(&image);
}

// ---- class metadata -----------------------------------------------------------------------

namespace {

struct ObjCClass64 {
  std::uint64_t isa, superclass, cache, vtable, data;
};
struct ObjCClassRW64 {
  std::uint32_t flags, version;
  std::uint64_t ro;
};

// The class-metadata image placed in memory as the dynamic linker would leave it: pointers slid
// (the rebase listing of llvm-objdump), and every class but VXThird realized the way the runtime
// realizes one (class data pointing to read-write data flagged realized, which points to the
// image's read-only data).
class ObjCImage {
 public:
  ObjCImage() : loaded_(cetest::readFile(CE_MACHO_FIXTURE_DIR "/objc-x86_64.macho")) {
    const std::string rebases = cetest::readText(CE_MACHO_FIXTURE_DIR "/objc-x86_64.macho.rebase.txt");
    std::istringstream lines(rebases);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      std::string segment, section, address, type;
      if (!(words >> segment >> section >> address >> type) || type != "pointer") continue;
      auto* slot = reinterpret_cast<std::uint64_t*>(std::stoull(address, nullptr, 16) + loaded_.slide());
      *slot += loaded_.slide();
    }
    EXPECT_EQ(MShxcrash_nasync_macho_init(&image_, vx::mach_task_self(), "objc", loaded_.header()), hxcrash_error_none);
    hxcrash_async_mobject list;
    EXPECT_EQ(MShxcrash_async_macho_map_section(&image_, "__DATA_CONST", "__objc_classlist", &list),
              hxcrash_error_none);
    std::vector<std::uint64_t> classes(list.length / 8);
    std::memcpy(classes.data(), reinterpret_cast<const void*>(list.address), classes.size() * 8);
    MShxcrash_async_mobject_free(&list);
    rw_.reserve(classes.size() * 2);
    for (const std::uint64_t address : classes) {
      auto* cls = reinterpret_cast<ObjCClass64*>(address);
      const std::uint64_t ro = cls->data;
      const char* name = *reinterpret_cast<const char* const*>(ro + 24);
      if (std::strcmp(name, "VXThird") == 0) continue;  // stays unrealized
      realize(cls);
      realize(reinterpret_cast<ObjCClass64*>(cls->isa));
    }
  }
  ~ObjCImage() { MShxcrash_nasync_macho_free(&image_); }

  MShxcrash_async_macho* image() { return &image_; }
  std::uint64_t symbol(const char* name) {
    hxcrash_vm_address_t address = 0;
    EXPECT_EQ(MShxcrash_async_macho_find_symbol_by_name(&image_, name, &address), hxcrash_error_none) << name;
    return address;
  }

 private:
  void realize(ObjCClass64* cls) {
    rw_.push_back({0x80000000u, 0, cls->data});
    cls->data = reinterpret_cast<std::uint64_t>(&rw_.back());
  }

  cetest::LoadedImage loaded_;
  MShxcrash_async_macho image_{};
  std::vector<ObjCClassRW64> rw_;
};

Found lookupIn(MShxcrash_async_macho* image, std::int32_t strategy, std::uint64_t pc,
               hxcrash_error_t expected = hxcrash_error_none) {
  MShxcrash_async_symbol_cache cache;
  MShxcrash_async_symbol_cache_init(&cache);
  Found found;
  EXPECT_EQ(MShxcrash_async_find_symbol(image, strategy, &cache, pc, remember, &found), expected);
  MShxcrash_async_symbol_cache_free(&cache);
  return found;
}

}  // namespace

// Methods named from the class lists: instance and class methods, a category's method under its
// class, names of a 300-byte class cut to 255 bytes, and the unrealized class (last in the class
// list, and the class of the last category) skipped without hiding the classes before it: a walk
// that ended with that class's "not found" would name nothing at all.
TEST(ObjCSymbolsTest, MethodsAreNamedFromClassMetadata) {
  ObjCImage fixture;
  struct Case {
    std::string symbol;  // the method's symbol-table name, which gives its address
    std::string expected;
  };
  const std::string longName = "VXLong" + std::string(294, 'x');
  const Case cases[] = {
      {"-[VXRoot alpha]", "-[VXRoot alpha]"},
      {"+[VXRoot beta]", "+[VXRoot beta]"},
      {"-[VXSecond gamma]", "-[VXSecond gamma]"},
      {"-[VXRoot(Extra) epsilon]", "-[VXRoot epsilon]"},
      {"-[" + longName + " zeta]", ("-[" + longName).substr(0, 255)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected.substr(0, 40));
    const std::uint64_t imp = fixture.symbol(c.symbol.c_str());
    const Found found = lookupIn(fixture.image(), MSHXCRASH_SYMBOL_STRATEGY_OBJC, imp + 2);
    EXPECT_EQ(found.calls, 1);
    EXPECT_EQ(found.address, imp);
    EXPECT_EQ(found.name, c.expected);
    EXPECT_LE(found.name.size(), 255u);
    // Both sources: on the same start the class metadata's form wins.
    EXPECT_EQ(lookupIn(fixture.image(), 3, imp + 2).name, c.expected);
  }
  // The unrealized class names nothing: its method's pc goes to the nearest realized method
  // below it from the metadata, and to its own symbol when the symbol table is asked too.
  const std::uint64_t delta = fixture.symbol("-[VXThird delta]");
  const Found metadataOnly = lookupIn(fixture.image(), MSHXCRASH_SYMBOL_STRATEGY_OBJC, delta + 2);
  EXPECT_EQ(metadataOnly.calls, 1);
  EXPECT_LT(metadataOnly.address, delta);
  EXPECT_EQ(lookupIn(fixture.image(), 3, delta + 2).name, "-[VXThird delta]");
  const std::uint64_t eta = fixture.symbol("-[VXThird(Late) eta]");
  EXPECT_EQ(lookupIn(fixture.image(), 3, eta + 1).name, "-[VXThird(Late) eta]");
  // Below every method the metadata finds nothing.
  const std::uint64_t alpha = fixture.symbol("-[VXRoot alpha]");
  MShxcrash_async_objc_cache cache;
  MShxcrash_async_objc_cache_init(&cache);
  EXPECT_EQ(MShxcrash_async_objc_find_method(
                fixture.image(), &cache, alpha - 1,
                [](bool, MShxcrash_async_macho_string*, MShxcrash_async_macho_string*, hxcrash_vm_address_t, void*) {
                  ADD_FAILURE() << "no method lies below";
                },
                nullptr),
            hxcrash_error_not_found);
  EXPECT_EQ(MShxcrash_async_objc_find_method(fixture.image(), nullptr, alpha, nullptr, nullptr),
            hxcrash_error_access_denied);
  MShxcrash_async_objc_cache_free(&cache);
}
#endif

// ---- symbol tables in buffers ---------------------------------------------------------------

namespace {

// A tiny 64-bit ELF image laid out as loaded: header, one PT_DYNAMIC program header, the dynamic
// section, a symbol table, a string table and a DT_HASH or DT_GNU_HASH table.
struct ElfImage {
  std::vector<std::uint8_t> bytes;
  std::uint64_t base = 0x400000;

  template <typename T>
  void put(std::size_t at, const T& value) {
    if (bytes.size() < at + sizeof value) bytes.resize(at + sizeof value);
    std::memcpy(bytes.data() + at, &value, sizeof value);
  }
  symbol_buffer_memory memory() const { return {bytes.data(), bytes.size(), base}; }
};

constexpr std::size_t kDynamic = 0x100, kSymtab = 0x200, kStrtab = 0x300, kHash = 0x380;

ElfImage makeElf(bool gnuHash) {
  using namespace elfsym_detail;
  ElfImage image;
  Ehdr64 ehdr{};
  const std::uint8_t ident[16] = {0x7f, 'E', 'L', 'F', 2, 1, 1};
  std::memcpy(ehdr.ident, ident, 16);
  ehdr.type = 3;
  ehdr.phoff = 64;
  ehdr.phentsize = sizeof(Phdr64);
  ehdr.phnum = 1;
  image.put(0, ehdr);
  Phdr64 dynamic{};
  dynamic.type = 2;
  dynamic.vaddr = kDynamic;
  dynamic.memsz = 6 * 16;
  image.put(64, dynamic);
  const std::int64_t entries[][2] = {{6, kSymtab}, {5, kStrtab}, {10, 32}, {gnuHash ? 0x6ffffef5 : 4, kHash},
                                     {11, 24},     {0, 0}};
  image.put(kDynamic, entries);
  // Symbols: null, "alpha" at 0x1000 size 0x20, "beta" at 0x1040 size 0 (unsized), an object.
  auto sym = [](std::uint32_t name, std::uint8_t info, std::uint64_t value, std::uint64_t size) {
    Sym64 s{};
    s.name = name;
    s.info = info;
    s.shndx = 1;
    s.value = value;
    s.size = size;
    return s;
  };
  image.put(kSymtab + 0 * 24, Sym64{});
  image.put(kSymtab + 1 * 24, sym(1, 0x12, 0x1000, 0x20));
  image.put(kSymtab + 2 * 24, sym(7, 0x12, 0x1040, 0));
  image.put(kSymtab + 3 * 24, sym(12, 0x11, 0x1038, 8));
  const char strings[32] = "\0alpha\0beta\0data";
  image.put(kStrtab, strings);
  if (gnuHash) {
    const std::uint32_t head[4] = {1, 1, 1, 0};  // one bucket, symbols from 1, one bloom word
    image.put(kHash, head);
    image.put(kHash + 16, std::uint64_t{~0ull});
    const std::uint32_t tail[4] = {1, 2, 4, 7};  // bucket -> 1; chain ends at symbol 3
    image.put(kHash + 24, tail);
  } else {
    const std::uint32_t hash[2] = {1, 4};  // nbucket, nchain = 4 symbols
    image.put(kHash, hash);
  }
  image.bytes.resize(0x400);
  return image;
}

struct Lookup {
  hxcrash_error_t err;
  std::uint64_t start;
  std::string name;
};

Lookup lookupIn(const ElfImage& image, std::uint64_t pc) {
  char name[256] = {};
  std::uint64_t start = 0;
  const hxcrash_error_t err = elf_dynamic_find_symbol(image.memory(), image.base, static_cast<std::int64_t>(image.base),
                                                      image.base + pc, &start, name, sizeof name);
  return {err, start == 0 ? 0 : start - image.base, name};
}

}  // namespace

// Both hash tables give the symbol count; sized symbols cover only their range, an unsized one
// everything above it, data symbols never.
TEST(ElfSymbolTableTest, DynamicSymbolsFromHashAndGnuHashTables) {
  for (bool gnu : {false, true}) {
    SCOPED_TRACE(gnu ? "DT_GNU_HASH" : "DT_HASH");
    const ElfImage image = makeElf(gnu);
    elf_dynamic_symbols dyn{};
    ASSERT_EQ(elf_find_dynamic_symbols(image.memory(), image.base, static_cast<std::int64_t>(image.base), &dyn),
              hxcrash_error_none);
    EXPECT_EQ(dyn.count, 4u);
    struct Case {
      std::uint64_t pc;
      hxcrash_error_t err;
      std::uint64_t start;
      const char* name;
    };
    const Case cases[] = {
        {0x0fff, hxcrash_error_not_found, 0, ""},
        {0x1000, hxcrash_error_none, 0x1000, "alpha"},
        {0x101f, hxcrash_error_none, 0x1000, "alpha"},
        {0x1020, hxcrash_error_not_found, 0, ""},  // past alpha; the data symbol does not count
        {0x1039, hxcrash_error_not_found, 0, ""},
        {0x1040, hxcrash_error_none, 0x1040, "beta"},
        {0x9000, hxcrash_error_none, 0x1040, "beta"},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.pc);
      const Lookup got = lookupIn(image, c.pc);
      EXPECT_EQ(got.err, c.err);
      if (c.err == hxcrash_error_none) {
        EXPECT_EQ(got.start, c.start);
        EXPECT_EQ(got.name, c.name);
      }
    }
  }
}

// Damaged tables give an error, never a read outside the buffer (the sanitizer build checks).
TEST(ElfSymbolTableTest, DamagedTablesGiveErrors) {
  struct Case {
    const char* what;
    void (*damage)(ElfImage&);
    hxcrash_error_t expected;
  };
  const Case cases[] = {
      {"cut before the program headers", [](ElfImage& i) { i.bytes.resize(60); }, hxcrash_error_invalid_data},
      {"not ELF", [](ElfImage& i) { i.bytes[1] = 'X'; }, hxcrash_error_not_supported},
      {"32-bit class", [](ElfImage& i) { i.bytes[4] = 1; }, hxcrash_error_not_supported},
      {"program headers far away", [](ElfImage& i) { i.put(32, std::uint64_t{1} << 40); }, hxcrash_error_invalid_data},
      {"no dynamic section", [](ElfImage& i) { i.put(64, std::uint32_t{1}); }, hxcrash_error_not_found},
      {"huge symbol count", [](ElfImage& i) { i.put(kHash + 4, std::uint32_t{0xffffffff}); },
       hxcrash_error_invalid_data},
      {"symbols past the end", [](ElfImage& i) { i.put(kHash + 4, std::uint32_t{4000}); }, hxcrash_error_invalid_data},
      {"wrong entry size", [](ElfImage& i) { i.put(kDynamic + 4 * 16 + 8, std::int64_t{16}); },
       hxcrash_error_invalid_data},
      {"name past the strings", [](ElfImage& i) { i.put(kSymtab + 1 * 24, std::uint32_t{5000}); },
       hxcrash_error_invalid_data},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ElfImage image = makeElf(false);
    c.damage(image);
    EXPECT_EQ(lookupIn(image, 0x1004).err, c.expected);
  }
  // A GNU hash chain that never ends runs out of the buffer.
  ElfImage endless = makeElf(true);
  endless.put(kHash + 28, std::uint32_t{2});
  endless.put(kHash + 32, std::uint32_t{4});
  endless.put(kHash + 36, std::uint32_t{6});
  endless.bytes.resize(kHash + 40);
  EXPECT_EQ(lookupIn(endless, 0x1004).err, hxcrash_error_invalid_data);
}

// A name longer than 255 bytes is cut, a name running to the end of the strings stops there.
TEST(ElfSymbolTableTest, LongNamesAreCut) {
  ElfImage image = makeElf(false);
  std::string longName(300, 'n');
  image.bytes.resize(0x800);
  std::memcpy(image.bytes.data() + 0x500, longName.c_str(), longName.size() + 1);
  image.put(kDynamic + 1 * 16 + 8, std::int64_t{0x500});  // DT_STRTAB
  image.put(kDynamic + 2 * 16 + 8, std::int64_t{0x200});  // DT_STRSZ
  image.put(kSymtab + 1 * 24, std::uint32_t{0});
  const Lookup got = lookupIn(image, 0x1004);
  ASSERT_EQ(got.err, hxcrash_error_none);
  EXPECT_EQ(got.name, std::string(255, 'n'));
}

// ---- real crashes -----------------------------------------------------------------------------

namespace {

volatile std::uintptr_t g_nowhere = 0;

}  // namespace

extern "C" {
__attribute__((noinline, no_sanitize("address", "undefined"))) void symbolicatedCrashSite() {
  *reinterpret_cast<volatile int*>(g_nowhere) = symbolicationTestLeaf(1);
}

__attribute__((noinline)) void symbolicatedCaller() {
  symbolicatedCrashSite();
  asm volatile("" ::: "memory");  // keeps the call from being a tail call
}
}

namespace {

[[noreturn]] void crashWithStrategy(const std::string& identifier, std::uint64_t strategy) {
  auto reporter = std::make_shared<MSHXCrashReporter>(identifier, "7", "1.0",
                                                      std::make_shared<MSHXCrashReporterConfig>(0, strategy));
  vx::Error error;
  if (!reporter->enableCrashReporterAndReturnError(&error)) _exit(3);
  symbolicatedCaller();
  _exit(4);
}

std::shared_ptr<MSHXCrashReport> crashAndDecode(std::uint64_t strategy) {
  const std::string identifier = "com.vexelworks.crashtest/symbols-" + std::to_string(strategy);
  MSHXCrashReporter probe(identifier, "7", "1.0", MSHXCrashReporterConfig::defaultConfiguration());
  const std::string path = probe.crashReportPath().string();
  std::filesystem::remove(path);
  EXPECT_EXIT(crashWithStrategy(identifier, strategy), ::testing::KilledBySignal(SIGSEGV), "");
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
  vx::Error error;
  auto report = MSHXCrashReport::makeWithData(bytes, &error);
  EXPECT_TRUE(report) << error.description;
  return report;
}

std::shared_ptr<MSHXCrashReportThreadInfo> crashedThread(const MSHXCrashReport& report) {
  for (const auto& thread : report.threads()) {
    if (thread->crashed()) return thread;
  }
  return nullptr;
}

}  // namespace

TEST(SymbolicatedReportTest, CrashedThreadsFramesAreNamedInTheReportAndItsText) {
  auto report = crashAndDecode(MSHXCrashReporterSymbolicationStrategySymbolTable);
  ASSERT_TRUE(report);
  auto crashed = crashedThread(*report);
  ASSERT_TRUE(crashed);
  std::vector<std::string> names;
  for (const auto& frame : crashed->stackFrames()) {
    if (const auto& symbol = frame->symbolInfo()) {
      names.push_back(symbol->symbolName());
      EXPECT_LE(symbol->startAddress(), frame->instructionPointer()) << symbol->symbolName();
    }
  }
  const std::string text = MSHXCrashReportTextFormatter::stringValueForCrashReport(*report, 0);
  ASSERT_GE(names.size(), 3u) << text;
  EXPECT_EQ(names[0], "symbolicatedCrashSite") << text;
  EXPECT_EQ(names[1], "symbolicatedCaller") << text;
  EXPECT_NE(std::find(names.begin(), names.end(), "main"), names.end()) << text;
  // The text names the frames with their offsets into the functions.
  EXPECT_NE(text.find("symbolicatedCrashSite + "), std::string::npos) << text;
  EXPECT_NE(text.find("symbolicatedCaller + "), std::string::npos) << text;
  EXPECT_NE(text.find("main + "), std::string::npos) << text;
}

TEST(SymbolicatedReportTest, StrategyZeroWritesNoSymbols) {
  auto report = crashAndDecode(MSHXCrashReporterSymbolicationStrategyNone);
  ASSERT_TRUE(report);
  auto crashed = crashedThread(*report);
  ASSERT_TRUE(crashed);
  ASSERT_FALSE(crashed->stackFrames().empty());
  for (const auto& thread : report->threads()) {
    for (const auto& frame : thread->stackFrames()) EXPECT_FALSE(frame->symbolInfo());
  }
}

// Naming frames adds no allocation to the crash path (counted through the sanitizer runtime's
// allocation hooks in a forked child).
#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, std::size_t),
                                                         void (*free_hook)(const volatile void*));

namespace {

std::atomic<bool> gCounting{false};
std::atomic<int> gAllocations{0};

void countAllocation(const volatile void*, std::size_t) {
  if (gCounting.load()) gAllocations.fetch_add(1);
}
void countFree(const volatile void*) {
  if (gCounting.load()) gAllocations.fetch_add(1);
}
void reportClosed(siginfo_t*, ucontext_t*, void*) {
  gCounting = false;
  _exit(gAllocations.load() == 0 ? 0 : 1);
}

}  // namespace

TEST(SymbolicatedReportTest, NamingFramesAllocatesNothing) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    __sanitizer_install_malloc_and_free_hooks(countAllocation, countFree);
    MSHXCrashReporter reporter("com.vexelworks.crashtest/symbols-allocation", "1", std::nullopt,
                               std::make_shared<MSHXCrashReporterConfig>(0, 1));
    HXCrashReporterCallbacks callbacks{0, nullptr, reportClosed};
    reporter.setCrashCallbacks(&callbacks);
    if (!reporter.enableCrashReporter()) _exit(2);
    gCounting = true;
    symbolicatedCaller();
    _exit(3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the crash path allocated; 2: no reporter";
}
#endif
