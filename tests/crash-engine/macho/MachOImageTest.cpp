// The Mach-O reader, on real images made by clang and ld64.lld (checked against llvm-objdump)
// and on small images built by hand, including malformed ones.
#include "crash-engine/dwarf/HXCrashAsyncDwarfImageCache.h"
#include "crash-engine/async/HXCrashAsyncImageList.h"
#include "crash-engine/macho/HXCrashAsyncMachOImage.h"
#include "crash-engine/report/MSHXCrashLogWriter.h"
#include "crash-engine/report/MSHXCrashReport.h"

#include "crash-engine/support/MachOTestSupport.h"
#include "crash-engine/support/ReportSupport.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

using cetest::Dump;
using cetest::ImageBuilder;
using cetest::LoadedImage;
using cetest::PlacedBuffer;

struct Found {
  std::uint64_t address = 0;
  std::string name;
  int calls = 0;
};

void remember(hxcrash_vm_address_t address, const char* name, void* context) {
  auto* found = static_cast<Found*>(context);
  found->address = address;
  found->name = name;
  ++found->calls;
}

std::int32_t cpuTypeOf(const std::string& name) {
  if (name == "X86_64") return vx::CPU_TYPE_X86_64;
  if (name == "ARM64_32") return 0x0200000c;
  return -1;
}

class RealMachOImageTest : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const std::string base = std::string(CE_MACHO_FIXTURE_DIR) + "/" + GetParam() + ".macho";
    file_ = cetest::readFile(base);
    dump_ = cetest::parseObjdump(cetest::readText(base + ".headers.txt"), cetest::readText(base + ".syms.txt"));
    ASSERT_FALSE(dump_.segments.empty());
    ASSERT_FALSE(dump_.symbols.empty());
    loaded_ = std::make_unique<LoadedImage>(file_);
    ASSERT_EQ(MShxcrash_nasync_macho_init(&image_, vx::mach_task_self(), GetParam(), loaded_->header()),
              hxcrash_error_none);
  }
  void TearDown() override {
    if (image_.name != nullptr) MShxcrash_nasync_macho_free(&image_);
  }
  std::uint64_t slide() const { return loaded_->slide(); }

  std::vector<std::uint8_t> file_;
  Dump dump_;
  std::unique_ptr<LoadedImage> loaded_;
  MShxcrash_async_macho image_{};
};

TEST_P(RealMachOImageTest, HeaderAndTextMatchObjdump) {
  const bool is64 = std::string(GetParam()) != "dylib32";
  EXPECT_EQ(image_.m64, is64);
  EXPECT_EQ(MShxcrash_async_macho_header_size(&image_), is64 ? 32u : 28u);
  EXPECT_EQ(MShxcrash_async_macho_byteorder(&image_), &MShxcrash_async_byteorder_direct);
  EXPECT_EQ(MShxcrash_async_macho_cpu_type(&image_), cpuTypeOf(dump_.cputype));
  EXPECT_EQ(image_.ncmds, dump_.ncmds);
  EXPECT_STREQ(image_.name, GetParam());
  const auto text =
      std::find_if(dump_.segments.begin(), dump_.segments.end(), [](const auto& s) { return s.segname == "__TEXT"; });
  ASSERT_NE(text, dump_.segments.end());
  EXPECT_EQ(image_.text_vmaddr, text->vmaddr);
  EXPECT_EQ(image_.text_size, text->vmsize);
  EXPECT_EQ(static_cast<std::uint64_t>(image_.vmaddr_slide), slide());

  std::uint32_t commands = 0;
  for (void* cmd = MShxcrash_async_macho_next_command(&image_, nullptr); cmd != nullptr;
       cmd = MShxcrash_async_macho_next_command(&image_, cmd)) {
    ++commands;
  }
  EXPECT_EQ(commands, dump_.ncmds);

  EXPECT_TRUE(MShxcrash_async_macho_contains_address(&image_, loaded_->header()));
  EXPECT_TRUE(MShxcrash_async_macho_contains_address(&image_, loaded_->header() + text->vmsize - 1));
  EXPECT_FALSE(MShxcrash_async_macho_contains_address(&image_, loaded_->header() + text->vmsize));
  EXPECT_FALSE(MShxcrash_async_macho_contains_address(&image_, loaded_->header() - 1));
}

TEST_P(RealMachOImageTest, SegmentsMatchObjdump) {
  for (const auto& segment : dump_.segments) {
    SCOPED_TRACE(segment.segname);
    EXPECT_NE(MShxcrash_async_macho_find_segment_cmd(&image_, segment.segname.c_str()), nullptr);
    if (segment.segname == "__PAGEZERO") continue;  // no file data, no access
    MShxcrash_async_macho_mapped_segment mapped;
    ASSERT_EQ(MShxcrash_async_macho_map_segment(&image_, segment.segname.c_str(), &mapped), hxcrash_error_none);
    EXPECT_EQ(MShxcrash_async_mobject_base_address(&mapped.mobj), segment.vmaddr + slide());
    EXPECT_EQ(MShxcrash_async_mobject_length(&mapped.mobj), segment.vmsize);
    EXPECT_EQ(mapped.fileoff, segment.fileoff);
    EXPECT_EQ(mapped.filesize, segment.filesize);
    const void* bytes =
        MShxcrash_async_mobject_remap_address(&mapped.mobj, segment.vmaddr + slide(), 0, segment.filesize);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::memcmp(bytes, file_.data() + segment.fileoff, segment.filesize), 0);
    MShxcrash_async_macho_mapped_segment_free(&mapped);
  }
  MShxcrash_async_macho_mapped_segment missing;
  EXPECT_EQ(MShxcrash_async_macho_map_segment(&image_, "__NOPE", &missing), hxcrash_error_not_found);
}

TEST_P(RealMachOImageTest, SectionsMatchObjdump) {
  ASSERT_FALSE(dump_.sections.empty());
  for (const auto& section : dump_.sections) {
    SCOPED_TRACE(section.segname + "," + section.sectname);
    hxcrash_async_mobject mobj;
    ASSERT_EQ(MShxcrash_async_macho_map_section(&image_, section.segname.c_str(), section.sectname.c_str(), &mobj),
              hxcrash_error_none);
    EXPECT_EQ(MShxcrash_async_mobject_base_address(&mobj), section.addr + slide());
    EXPECT_EQ(MShxcrash_async_mobject_length(&mobj), section.size);
    if (section.offset != 0) {
      const void* bytes = MShxcrash_async_mobject_remap_address(&mobj, section.addr + slide(), 0, section.size);
      ASSERT_NE(bytes, nullptr);
      EXPECT_EQ(std::memcmp(bytes, file_.data() + section.offset, section.size), 0);
    }
    MShxcrash_async_mobject_free(&mobj);
  }
  hxcrash_async_mobject mobj;
  EXPECT_EQ(MShxcrash_async_macho_map_section(&image_, "__TEXT", "__nothing", &mobj), hxcrash_error_not_found);
  EXPECT_EQ(MShxcrash_async_macho_map_section(&image_, "__NOPE", "__text", &mobj), hxcrash_error_not_found);
  EXPECT_EQ(MShxcrash_async_macho_map_section(&image_, "__LINKEDIT", "__text", &mobj),
            hxcrash_error_not_found);  // a segment without sections
}

TEST_P(RealMachOImageTest, SymbolsMatchObjdump) {
  std::uint64_t lowest = UINT64_MAX;
  for (const auto& symbol : dump_.symbols) {
    SCOPED_TRACE(symbol.name);
    lowest = std::min(lowest, symbol.value);
    hxcrash_vm_address_t address = 0;
    ASSERT_EQ(MShxcrash_async_macho_find_symbol_by_name(&image_, symbol.name.c_str(), &address), hxcrash_error_none);
    const bool twin = std::any_of(dump_.symbols.begin(), dump_.symbols.end(),
                                  [&](const auto& o) { return o.name == symbol.name && o.value != symbol.value; });
    if (!twin) {
      EXPECT_EQ(address, symbol.value + slide());
    }

    Found found;
    ASSERT_EQ(MShxcrash_async_macho_find_symbol_by_pc(&image_, symbol.value + slide(), remember, &found),
              hxcrash_error_none);
    EXPECT_EQ(found.calls, 1);
    EXPECT_EQ(found.address, symbol.value + slide());
    // On equal values the global is reported (globals are searched first).
    const bool globalHere = std::any_of(dump_.symbols.begin(), dump_.symbols.end(),
                                        [&](const auto& o) { return o.global && o.value == symbol.value; });
    if (globalHere) {
      const bool isGlobalName = std::any_of(dump_.symbols.begin(), dump_.symbols.end(), [&](const auto& o) {
        return o.global && o.value == symbol.value && o.name == found.name;
      });
      EXPECT_TRUE(isGlobalName) << found.name;
    }
  }
  Found twin;
  hxcrash_vm_address_t twinAddress = 0;
  ASSERT_EQ(MShxcrash_async_macho_find_symbol_by_name(&image_, "_twin_local", &twinAddress), hxcrash_error_none);
  ASSERT_EQ(MShxcrash_async_macho_find_symbol_by_pc(&image_, twinAddress, remember, &twin), hxcrash_error_none);
  EXPECT_EQ(twin.name, "_twin_global");

  // A pc inside a function names that function.
  hxcrash_vm_address_t entry = 0;
  ASSERT_EQ(MShxcrash_async_macho_find_symbol_by_name(&image_, "_entry_point", &entry), hxcrash_error_none);
  Found inside;
  ASSERT_EQ(MShxcrash_async_macho_find_symbol_by_pc(&image_, entry + 2, remember, &inside), hxcrash_error_none);
  EXPECT_EQ(inside.name, "_entry_point");

  Found none;
  EXPECT_EQ(MShxcrash_async_macho_find_symbol_by_pc(&image_, lowest - 1 + slide(), remember, &none),
            hxcrash_error_not_found);
  EXPECT_EQ(none.calls, 0);
  hxcrash_vm_address_t unused = 0;
  EXPECT_EQ(MShxcrash_async_macho_find_symbol_by_name(&image_, "_no_such_symbol", &unused), hxcrash_error_not_found);
}

// The LC_UUID llvm-objdump reports, as 32 lower-case hex digits.
std::string objdumpUuid(const std::string& headers) {
  std::istringstream lines(headers);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string key, value;
    words >> key >> value;
    if (key != "uuid") continue;
    std::string hex;
    for (char c : value) {
      if (c != '-') hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return hex;
  }
  return {};
}

struct ReportWrite {
  MShxcrash_log_writer* writer;
  MShxcrash_async_image_list* images;
  MShxcrash_async_file* file;
};

// The image's LC_UUID, found with find_command, is the uuid the report gives the image.
TEST_P(RealMachOImageTest, ReportedUuidIsTheImagesLoadCommand) {
  const std::string expected =
      objdumpUuid(cetest::readText(std::string(CE_MACHO_FIXTURE_DIR) + "/" + GetParam() + ".macho.headers.txt"));
  ASSERT_EQ(expected.size(), 32u);
  std::uint8_t uuid[16];
  ASSERT_TRUE(MShxcrash_async_image_uuid(&image_, uuid));
  std::string hex;
  for (std::uint8_t b : uuid) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", b);
    hex += digits;
  }
  EXPECT_EQ(hex, expected);

  // A whole report over a list holding this image.
  MShxcrash_async_image_list list;
  MShxcrash_nasync_image_list_init(&list, vx::mach_task_self());
  MShxcrash_nasync_image_list_append(&list, loaded_->header(), GetParam());
  MShxcrash_log_writer writer;
  MShxcrash_log_writer_init(&writer, "com.vexelworks.uuid", "1", nullptr, 0, false);
  cetest::ReportFile file(MSHXCRASH_REPORT_MAX_SIZE);
  ReportWrite request{&writer, &list, file.file()};
  MShxcrash_async_thread_state_current(
      [](hxcrash_async_thread_state* state, void* context) {
        auto* r = static_cast<ReportWrite*>(context);
        MShxcrash_log_bsd_signal_info bsd{SIGSEGV, 1, 0};
        MShxcrash_log_signal_info siginfo{&bsd, nullptr};
        return MShxcrash_log_writer_write(r->writer, MSpl_mach_thread_self(), r->images, r->file, &siginfo, state);
      },
      &request);
  const auto bytes = file.close();
  MShxcrash_log_writer_free(&writer);
  MShxcrash_nasync_image_list_free(&list);
  vx::Error error;
  auto report = MSHXCrashReport::makeWithData(bytes, &error);
  ASSERT_TRUE(report) << error.description;
  // The list's own image first (the writer adds the process's other images after it).
  ASSERT_GE(report->images().size(), 1u);
  EXPECT_EQ(report->images()[0]->imageName(), GetParam());
  EXPECT_EQ(report->images()[0]->imageUUID(), expected);
}

// The DWARF reader's cache of a Mach-O image maps its __eh_frame once, when the image is added,
// and searches it linearly (Mach-O has no header table): the first FDE is found at its start.
TEST_P(RealMachOImageTest, DwarfCacheMapsTheEhFrameSectionOnce) {
  const auto section = std::find_if(dump_.sections.begin(), dump_.sections.end(),
                                    [](const auto& s) { return s.segname == "__TEXT" && s.sectname == "__eh_frame"; });
  MShxcrash_nasync_dwarf_image_cache_attach(&image_);
  ASSERT_NE(image_.dwarf_cache, nullptr);
  const MShxcrash_async_dwarf_image_cache* cache = image_.dwarf_cache;
  if (section == dump_.sections.end()) {
    EXPECT_FALSE(cache->has_section);
    return;
  }
  ASSERT_TRUE(cache->has_section);
  EXPECT_TRUE(cache->mapped);
  EXPECT_FALSE(cache->has_table);
  EXPECT_FALSE(cache->debug_frame);
  EXPECT_EQ(cache->section_address, section->addr + slide());
  EXPECT_EQ(cache->section_size, section->size);
  // A second attach keeps the one mapping.
  MShxcrash_nasync_dwarf_image_cache_attach(&image_);
  EXPECT_EQ(image_.dwarf_cache, cache);

  // The first FDE (after the first CIE) and the pc it starts at.
  using namespace hxcrash::MS::async;
  const mobject_memory mem{&cache->section};
  std::uint32_t cieLength = 0;
  std::memcpy(&cieLength, MShxcrash_async_mobject_remap_address(&cache->section, cache->section_address, 0, 4), 4);
  const hxcrash_vm_address_t fdeAddress = cache->section_address + 4 + cieLength;
  hxcrash_async_dwarf_fde_info first{};
  hxcrash_async_dwarf_fde_info found{};
  if (image_.m64) {
    ASSERT_EQ(hxcrash_async_dwarf_fde_info_init<std::uint64_t>(&first, mem, image_.byteorder, fdeAddress, false),
              hxcrash_error_none);
    ASSERT_EQ(
        hxcrash_async_dwarf_image_cache_find_fde<std::uint64_t>(cache, mem, image_.byteorder, first.pc_start, &found),
        hxcrash_error_none);
  } else {
    ASSERT_EQ(hxcrash_async_dwarf_fde_info_init<std::uint32_t>(&first, mem, image_.byteorder, fdeAddress, false),
              hxcrash_error_none);
    ASSERT_EQ(
        hxcrash_async_dwarf_image_cache_find_fde<std::uint32_t>(cache, mem, image_.byteorder, first.pc_start, &found),
        hxcrash_error_none);
  }
  EXPECT_EQ(found.fde_offset, first.fde_offset);
}

INSTANTIATE_TEST_SUITE_P(Images, RealMachOImageTest, testing::Values("dylib64", "exec64", "dylib32"));

// ---- hand-made images ----

std::string initAndCapture(const std::vector<std::uint8_t>& bytes, hxcrash_error_t* result,
                           const char* name = "handmade") {
  PlacedBuffer placed(bytes);
  MShxcrash_async_macho image{};
  testing::internal::CaptureStderr();
  *result = MShxcrash_nasync_macho_init(&image, vx::mach_task_self(), name, placed.address());
  const std::string out = testing::internal::GetCapturedStderr();
  if (*result == hxcrash_error_none) MShxcrash_nasync_macho_free(&image);
  return out;
}

TEST(HandMadeMachOTest, MalformedHeadersAreRefusedWithTheirDiagnostics) {
  const std::int32_t references = vx::task_self_user_references();
  hxcrash_error_t result;
  {
    ImageBuilder builder(true, false);
    builder.universal = true;
    const std::string out = initAndCapture(builder.build(), &result, "fat");
    EXPECT_EQ(result, hxcrash_error_invalid_argument);
    EXPECT_NE(out.find("MShxcrash_nasync_macho_init called with an unsupported universal Mach-O "
                       "archive in: fat"),
              std::string::npos)
        << out;
  }
  {
    std::vector<std::uint8_t> junk(64, 0);
    std::memcpy(junk.data(), "\x78\x56\x34\x12", 4);
    const std::string out = initAndCapture(junk, &result, "junk");
    EXPECT_EQ(result, hxcrash_error_invalid_argument);
    EXPECT_NE(out.find("Unknown Mach-O magic: 0x12345678 in: junk"), std::string::npos) << out;
  }
  {
    ImageBuilder builder(true, false);
    std::vector<std::uint8_t> bytes = builder.build();
    builder.put32(bytes, builder.sizeofcmdsOffset, 4);
    const std::string out = initAndCapture(bytes, &result, "tiny");
    EXPECT_EQ(result, hxcrash_error_invalid_argument);
    EXPECT_NE(out.find("Mach-O sizeofcmds is less than sizeof(struct load_command) in tiny"), std::string::npos) << out;
    EXPECT_NE(out.find("Could not find __TEXT segment!"), std::string::npos) << out;
  }
  {
    ImageBuilder builder(true, false);
    std::vector<std::uint8_t> bytes = builder.build();
    builder.put32(bytes, builder.sizeofcmdsOffset, 40);  // cuts the first segment command
    const std::string out = initAndCapture(bytes, &result);
    EXPECT_EQ(result, hxcrash_error_invalid_argument);
    EXPECT_NE(out.find("LC_SEGMENT command was too short"), std::string::npos) << out;
  }
  {
    ImageBuilder builder(true, false);
    std::vector<std::uint8_t> bytes = builder.build();
    bytes[4096] = 0;  // nothing to read at all: header unreadable
    PlacedBuffer placed(bytes);
    munmap(placed.data(), 4096);
    MShxcrash_async_macho image{};
    testing::internal::CaptureStderr();
    result = MShxcrash_nasync_macho_init(&image, vx::mach_task_self(), "gone", placed.address());
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, hxcrash_error_internal);
    EXPECT_NE(out.find("Failed to read Mach-O header from 0x"), std::string::npos) << out;
    EXPECT_NE(out.find("for image gone, kern_error=1"), std::string::npos) << out;
    EXPECT_NE(mmap(placed.data(), 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0),
              MAP_FAILED);
  }
  EXPECT_EQ(vx::task_self_user_references(), references);
}

TEST(HandMadeMachOTest, UniversalImageIsNotAddedToTheList) {
  ImageBuilder builder(true, false);
  builder.universal = true;
  PlacedBuffer placed(builder.build());
  MShxcrash_async_image_list list;
  MShxcrash_nasync_image_list_init(&list, vx::mach_task_self());
  testing::internal::CaptureStderr();
  MShxcrash_nasync_image_list_append(&list, placed.address(), "fat");
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("Unexpected failure initializing Mach-O structure for fat: 5"), std::string::npos) << out;
  MShxcrash_async_image_list_set_reading(&list, true);
  EXPECT_EQ(MShxcrash_async_image_list_next(&list, nullptr), nullptr);
  MShxcrash_async_image_list_set_reading(&list, false);
  MShxcrash_nasync_image_list_free(&list);
}

// Symbols of a hand-made image, in every width and byte order.
class HandMadeSymbolsTest : public testing::TestWithParam<std::pair<bool, bool>> {};

TEST_P(HandMadeSymbolsTest, GlobalsBeforeLocalsAndThumbValues) {
  const auto [is64, big] = GetParam();
  ImageBuilder builder(is64, big);
  // Locals first (index 0-1), then globals (2-3), as the link editor orders them.
  builder.symbols = {
      {"_local_same", 0x0e, 0x10200},    {"_local_later", 0x0e, 0x10300}, {"_global_same", 0x0f, 0x10200},
      {"_thumb", 0x0f, 0x10400, 0x0008}, {"_debug_entry", 0x24, 0x10500},  // a debugging entry is never a candidate
  };
  builder.nlocal = 2;
  builder.iextdef = 2;
  builder.nextdef = 2;
  PlacedBuffer placed(builder.build());
  MShxcrash_async_macho image{};
  ASSERT_EQ(MShxcrash_nasync_macho_init(&image, vx::mach_task_self(), "symbols", placed.address()), hxcrash_error_none);
  EXPECT_EQ(image.m64, is64);
  EXPECT_EQ(MShxcrash_async_macho_byteorder(&image),
            big ? &MShxcrash_async_byteorder_swapped : &MShxcrash_async_byteorder_direct);
  EXPECT_EQ(MShxcrash_async_macho_cpu_type(&image), is64 ? vx::CPU_TYPE_X86_64 : vx::CPU_TYPE_X86);
  EXPECT_EQ(image.text_vmaddr, 0x10000u);
  EXPECT_EQ(image.text_size, 4096u);
  const std::uint64_t slide = placed.address() - 0x10000;

  Found found;
  ASSERT_EQ(MShxcrash_async_macho_find_symbol_by_pc(&image, slide + 0x10250, remember, &found), hxcrash_error_none);
  EXPECT_EQ(found.name, "_global_same");
  found = {};
  ASSERT_EQ(MShxcrash_async_macho_find_symbol_by_pc(&image, slide + 0x10380, remember, &found), hxcrash_error_none);
  EXPECT_EQ(found.name, "_local_later");
  EXPECT_EQ(found.address, slide + 0x10300);
  found = {};
  ASSERT_EQ(MShxcrash_async_macho_find_symbol_by_pc(&image, slide + 0x10600, remember, &found), hxcrash_error_none);
  EXPECT_EQ(found.name, "_thumb");
  EXPECT_EQ(found.address, slide + 0x10401);  // Thumb definitions carry bit 0
  EXPECT_EQ(MShxcrash_async_macho_find_symbol_by_pc(&image, slide + 0x101ff, remember, &found),
            hxcrash_error_not_found);
  hxcrash_vm_address_t address = 0;
  EXPECT_EQ(MShxcrash_async_macho_find_symbol_by_name(&image, "_debug_entry", &address), hxcrash_error_not_found);
  ASSERT_EQ(MShxcrash_async_macho_find_symbol_by_name(&image, "_local_later", &address), hxcrash_error_none);
  EXPECT_EQ(address, slide + 0x10300);

  MShxcrash_async_macho_symtab_reader reader;
  ASSERT_EQ(MShxcrash_async_macho_symtab_reader_init(&reader, &image), hxcrash_error_none);
  EXPECT_EQ(reader.nsyms, 5u);
  EXPECT_EQ(reader.nsyms_global, 2u);
  EXPECT_EQ(reader.nsyms_local, 2u);
  const MShxcrash_async_macho_symtab_entry entry =
      MShxcrash_async_macho_symtab_reader_read(&reader, reader.symtab_global, 1);
  EXPECT_EQ(entry.n_value, 0x10400u);
  EXPECT_EQ(entry.normalized_value, 0x10401u);
  EXPECT_EQ(entry.n_desc, 0x0008);
  EXPECT_EQ(entry.n_type, 0x0f);
  EXPECT_STREQ(MShxcrash_async_macho_symtab_reader_symbol_name(&reader, entry.n_strx), "_thumb");
  MShxcrash_async_macho_symtab_reader_free(&reader);
  MShxcrash_nasync_macho_free(&image);
}

INSTANTIATE_TEST_SUITE_P(WidthsAndOrders, HandMadeSymbolsTest,
                         testing::Values(std::make_pair(true, false), std::make_pair(true, true),
                                         std::make_pair(false, false), std::make_pair(false, true)));

TEST(HandMadeMachOTest, WithoutDysymtabTheWholeTableIsScanned) {
  ImageBuilder builder(true, false);
  builder.withDysymtab = false;
  builder.symbols = {{"_a", 0x0e, 0x10100}, {"_b", 0x0f, 0x10100}, {"_c", 0x0f, 0x10180}};
  PlacedBuffer placed(builder.build());
  MShxcrash_async_macho image{};
  ASSERT_EQ(MShxcrash_nasync_macho_init(&image, vx::mach_task_self(), "flat", placed.address()), hxcrash_error_none);
  Found found;
  ASSERT_EQ(MShxcrash_async_macho_find_symbol_by_pc(&image, placed.address() + 0x150, remember, &found),
            hxcrash_error_none);
  EXPECT_EQ(found.name, "_a");  // first of equal values in table order
  MShxcrash_nasync_macho_free(&image);
}

// Broken symbol tables and load commands: each gives its code and one diagnostic line.
TEST(HandMadeMachOTest, BrokenTablesGiveCodesNotFaults) {
  struct Case {
    const char* what;
    void (*mutate)(ImageBuilder&, std::vector<std::uint8_t>&);
    hxcrash_error_t expected;
    const char* diagnostic;
  };
  const Case cases[] = {
      {"dysymtab out of range",
       [](ImageBuilder& b, std::vector<std::uint8_t>& bytes) {
         b.put32(bytes, b.loadCommandsEnd - 80 + 20, 50);  // nextdefsym
       },
       hxcrash_error_invalid_argument, "iextdefsym=32, ilocalsym=0 out of range nsym=2"},
      {"no symtab",
       [](ImageBuilder& b, std::vector<std::uint8_t>& bytes) { b.put32(bytes, b.loadCommandsEnd - 80 - 24, 0x99); },
       hxcrash_error_not_found, "could not find LC_SYMTAB load command"},
      {"string table outside link-edit",
       [](ImageBuilder& b, std::vector<std::uint8_t>& bytes) {
         b.put32(bytes, b.loadCommandsEnd - 80 - 24 + 16, 0x100000);  // stroff
       },
       hxcrash_error_internal, "returned NULL mapping __LINKEDIT.stroff in broken"},
      {"symbols outside link-edit",
       [](ImageBuilder& b, std::vector<std::uint8_t>& bytes) {
         b.put32(bytes, b.loadCommandsEnd - 80 - 24 + 12, 0x10000000);  // nsyms
       },
       hxcrash_error_internal, "returned NULL mapping __LINKEDIT.symoff in broken"},
      {"symbol name past the end",
       [](ImageBuilder& b, std::vector<std::uint8_t>& bytes) {
         b.put32(bytes, 4096 + 16, 0x7ffffff0);  // second symbol's n_strx
       },
       hxcrash_error_invalid_argument, "Failed to read symbol name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageBuilder builder(true, false);
    builder.symbols = {{"_one", 0x0f, 0x10100}, {"_two", 0x0f, 0x10200}};
    builder.iextdef = 0;
    builder.nextdef = 2;
    std::vector<std::uint8_t> bytes = builder.build();
    c.mutate(builder, bytes);
    PlacedBuffer placed(bytes);
    MShxcrash_async_macho image{};
    ASSERT_EQ(MShxcrash_nasync_macho_init(&image, vx::mach_task_self(), "broken", placed.address()),
              hxcrash_error_none);
    Found found;
    testing::internal::CaptureStderr();
    EXPECT_EQ(MShxcrash_async_macho_find_symbol_by_pc(&image, placed.address() + 0x250, remember, &found), c.expected);
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find(c.diagnostic), std::string::npos) << out;
    EXPECT_EQ(found.calls, 0);
    MShxcrash_nasync_macho_free(&image);
  }
}

TEST(HandMadeMachOTest, ZeroCommandSizeEndsTheWalk) {
  ImageBuilder builder(true, false);
  std::vector<std::uint8_t> bytes = builder.build();
  builder.put32(bytes, 32 + 4, 0);  // the __TEXT command's cmdsize
  PlacedBuffer placed(bytes);
  MShxcrash_async_macho image{};
  ASSERT_EQ(MShxcrash_nasync_macho_init(&image, vx::mach_task_self(), "zero", placed.address()),
            hxcrash_error_none);  // __TEXT is the first command
  testing::internal::CaptureStderr();
  EXPECT_EQ(MShxcrash_async_macho_find_command(&image, vx::LC_SYMTAB), nullptr);
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("Found invalid 0-length cmdsize in LC_CMD at address 0x"), std::string::npos);
  EXPECT_NE(out.find("in: zero (terminating further iteration)"), std::string::npos) << out;
  MShxcrash_nasync_macho_free(&image);
}

TEST(HandMadeMachOTest, SectionTableRunningPastTheCommandsIsRefused) {
  ImageBuilder builder(true, false);
  std::vector<std::uint8_t> bytes = builder.build();
  builder.put32(bytes, 32 + 64, 1000);  // nsects of __TEXT
  PlacedBuffer placed(bytes);
  MShxcrash_async_macho image{};
  ASSERT_EQ(MShxcrash_nasync_macho_init(&image, vx::mach_task_self(), "sects", placed.address()), hxcrash_error_none);
  hxcrash_async_mobject mobj;
  EXPECT_EQ(MShxcrash_async_macho_map_section(&image, "__TEXT", "__text", &mobj), hxcrash_error_none);
  MShxcrash_async_mobject_free(&mobj);
  testing::internal::CaptureStderr();
  EXPECT_EQ(MShxcrash_async_macho_map_section(&image, "__TEXT", "__missing", &mobj), hxcrash_error_invalid_argument);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "Section table entry outside of expected range; searching for (__TEXT,__missing)"),
            std::string::npos);
  MShxcrash_nasync_macho_free(&image);
}

TEST(MachOStringTest, LongStringIsFoundAfterOneRemap) {
  ImageBuilder builder(true, false);
  PlacedBuffer placed(builder.build());
  MShxcrash_async_macho image{};
  ASSERT_EQ(MShxcrash_nasync_macho_init(&image, vx::mach_task_self(), "strings", placed.address()), hxcrash_error_none);
  auto* area = static_cast<char*>(mmap(nullptr, 3 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  std::memset(area, 'S', 5000);
  area[5000] = '\0';
  MShxcrash_async_macho_string string;
  ASSERT_EQ(MShxcrash_async_macho_string_init(&string, &image, reinterpret_cast<std::uint64_t>(area)),
            hxcrash_error_none);
  testing::internal::CaptureStderr();
  std::size_t length = 0;
  ASSERT_EQ(MShxcrash_async_macho_string_get_length(&string, &length), hxcrash_error_none);
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(length, 5000u);
  std::size_t remaps = 0;
  for (std::size_t at = out.find("Mapped a string larger than one page! Remapping ..."); at != std::string::npos;
       at = out.find("Mapped a string", at + 1)) {
    ++remaps;
  }
  EXPECT_EQ(remaps, 1u);
  const char* pointer = nullptr;
  ASSERT_EQ(MShxcrash_async_macho_string_get_pointer(&string, &pointer), hxcrash_error_none);
  EXPECT_EQ(std::string(pointer), std::string(5000, 'S'));
  MShxcrash_async_macho_string_free(&string);

  // A string that runs into an unmapped page cannot be completed.
  std::memset(area, 'T', 8192);
  munmap(area + 8192, 4096);
  ASSERT_EQ(MShxcrash_async_macho_string_init(&string, &image, reinterpret_cast<std::uint64_t>(area + 100)),
            hxcrash_error_none);
  testing::internal::CaptureStderr();
  EXPECT_EQ(MShxcrash_async_macho_string_get_length(&string, &length), hxcrash_error_invalid_argument);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Failed to remap additional space ..."), std::string::npos);
  munmap(area, 8192);
  MShxcrash_nasync_macho_free(&image);
}

}  // namespace

namespace {

// A section's address and size are checked against its segment before anything is mapped: a
// section claiming 4 GB (or wrapping around, or starting before its segment) is refused at once.
TEST(HandMadeMachOTest, SectionSizesOutsideTheirSegmentAreRefusedBeforeMapping) {
  struct Case {
    const char* name;
    std::uint64_t addrDelta;  // from the segment's start
    std::uint64_t size;
    hxcrash_error_t expected;
  };
  const Case cases[] = {
      {"fills its segment to the end", 0x100, 4096 - 0x100, hxcrash_error_none},
      {"claims 4 GB", 0x100, 0x100000000ull, hxcrash_error_invalid_argument},
      {"one byte past the segment", 0x100, 4096 - 0x100 + 1, hxcrash_error_invalid_argument},
      {"end wraps around", 0x100, ~std::uint64_t{0} - 0x10, hxcrash_error_invalid_argument},
      {"starts before its segment", ~std::uint64_t{0} - 0xfff, 0x40, hxcrash_error_invalid_argument},
  };
  constexpr std::size_t kSection = 32 + 72;  // the first section of __TEXT (64-bit)
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageBuilder builder(true, false);
    std::vector<std::uint8_t> bytes = builder.build();
    std::uint64_t segmentVmaddr = 0;
    std::memcpy(&segmentVmaddr, bytes.data() + 32 + 24, 8);
    builder.put64(bytes, kSection + 32, segmentVmaddr + c.addrDelta);
    builder.put64(bytes, kSection + 40, c.size);
    PlacedBuffer placed(bytes);
    MShxcrash_async_macho image{};
    ASSERT_EQ(MShxcrash_nasync_macho_init(&image, vx::mach_task_self(), "sizes", placed.address()), hxcrash_error_none);
    hxcrash_async_mobject mobj;
    testing::internal::CaptureStderr();
    const hxcrash_error_t err = MShxcrash_async_macho_map_section(&image, "__TEXT", "__text", &mobj);
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, c.expected);
    if (err == hxcrash_error_none) {
      EXPECT_EQ(MShxcrash_async_mobject_length(&mobj), c.size);
      MShxcrash_async_mobject_free(&mobj);
    } else {
      EXPECT_NE(out.find("Section (__TEXT,__text) of 0x"), std::string::npos) << out;
      EXPECT_NE(out.find("lies outside its segment in sizes"), std::string::npos) << out;
    }
    MShxcrash_nasync_macho_free(&image);
  }
}

}  // namespace
