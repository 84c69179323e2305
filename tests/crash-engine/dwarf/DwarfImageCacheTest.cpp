// The per-image DWARF cache: the .eh_frame_hdr binary search finds the same FDE as the linear
// walk of .eh_frame for every FDE of this test program and of the C library (first byte, last
// byte, which a caller frame whose return address is the end looks up as its pc - 1, and the
// byte after the end), the
// section is read in place, and images without a table fall back to the walk.
#include "crash-engine/dwarf/HXCrashAsyncDwarfImageCache.h"
#include "crash-engine/async/HXCrashAsyncImageList.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

using namespace hxcrash::MS::async;

namespace {

struct FdeRange {
  std::uint64_t start;
  std::uint64_t end;
};

class DwarfImageCacheTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    MShxcrash_nasync_image_list_init(&images_, vx::mach_task_self());
    MShxcrash_nasync_image_list_track(&images_);
  }
  static void TearDownTestSuite() { MShxcrash_nasync_image_list_free(&images_); }

  static MShxcrash_async_macho* imageContaining(const void* address) {
    MShxcrash_async_image_list_set_reading(&images_, true);
    MShxcrash_async_macho* image =
        MShxcrash_async_image_containing_address(&images_, reinterpret_cast<hxcrash_vm_address_t>(address));
    MShxcrash_async_image_list_set_reading(&images_, false);
    return image;
  }

  // Every FDE of the cached section, in section order.
  static std::vector<FdeRange> allFdes(const MShxcrash_async_dwarf_image_cache* cache,
                                       const MShxcrash_async_byteorder* byteorder) {
    std::vector<FdeRange> fdes;
    const buffer_memory mem = dwarf_image_cache_in_place(cache);
    hxcrash_vm_address_t cursor = cache->section_address;
    const hxcrash_vm_address_t end = cache->section_address + cache->section_size;
    while (cursor + 8 <= end) {
      std::uint32_t length = 0;
      std::uint32_t id = 0;
      std::memcpy(&length, reinterpret_cast<const void*>(cursor), 4);
      if (length == 0) break;
      EXPECT_NE(length, 0xffffffffu) << "64-bit CFI entries are not expected here";
      std::memcpy(&id, reinterpret_cast<const void*>(cursor + 4), 4);
      if (id != 0) {
        hxcrash_async_dwarf_fde_info fde;
        EXPECT_EQ(hxcrash_async_dwarf_fde_info_init<std::uint64_t>(&fde, mem, byteorder, cursor, false),
                  hxcrash_error_none);
        fdes.push_back({fde.pc_start, fde.pc_end});
      }
      cursor += 4 + static_cast<std::uint64_t>(length);
    }
    return fdes;
  }

  // Looks up the first and last byte, the middle and the byte after every FDE both ways.
  static void compareLookups(MShxcrash_async_macho* image, std::size_t minimumFdes) {
    ASSERT_NE(image, nullptr);
    const MShxcrash_async_dwarf_image_cache* cache = image->dwarf_cache;
    ASSERT_NE(cache, nullptr);
    ASSERT_TRUE(cache->has_section);
    EXPECT_FALSE(cache->mapped) << "an ELF image's .eh_frame is read in place";
    ASSERT_TRUE(cache->has_table) << image->name;
    const std::vector<FdeRange> fdes = allFdes(cache, image->byteorder);
    ASSERT_GE(fdes.size(), minimumFdes);
    EXPECT_EQ(cache->table_count, fdes.size()) << "one table entry per FDE";

    const buffer_memory mem = dwarf_image_cache_in_place(cache);
    dwarf_frame_reader<buffer_memory> linear;
    ASSERT_EQ(linear.init(&mem, image->byteorder, true, false), hxcrash_error_none);
    std::size_t found = 0;
    std::size_t compared = 0;
    for (const FdeRange& range : fdes) {
      if (range.start >= range.end) continue;
      // First byte, last byte (a return address at the end, looked up as pc - 1) and the
      // first byte after the function.
      const std::uint64_t pcs[] = {range.start, range.end - 1, range.end};
      for (const std::uint64_t pc : pcs) {
        hxcrash_async_dwarf_fde_info byWalk{};
        hxcrash_async_dwarf_fde_info byTable{};
        const hxcrash_error_t walkErr = linear.find_fde(0, pc, &byWalk);
        const hxcrash_error_t tableErr =
            hxcrash_async_dwarf_image_cache_table_find_fde<std::uint64_t>(cache, mem, image->byteorder, pc, &byTable);
        ++compared;
        ASSERT_EQ(tableErr, walkErr) << std::hex << "pc 0x" << pc << " in " << image->name;
        if (walkErr == hxcrash_error_none) {
          ++found;
          ASSERT_EQ(byTable.fde_offset, byWalk.fde_offset) << std::hex << "pc 0x" << pc;
          ASSERT_EQ(byTable.pc_start, byWalk.pc_start);
          ASSERT_EQ(byTable.pc_end, byWalk.pc_end);
          ASSERT_EQ(byTable.instructions_offset, byWalk.instructions_offset);
        }
      }
    }
    // Every first and last byte lies in some FDE.
    EXPECT_GE(found, compared * 2 / 3);
    // The combined lookup takes the table.
    hxcrash_async_dwarf_fde_info fde{};
    EXPECT_EQ(
        hxcrash_async_dwarf_image_cache_find_fde<std::uint64_t>(cache, mem, image->byteorder, fdes.front().start, &fde),
        hxcrash_error_none);
  }

  static MShxcrash_async_image_list images_;
};

MShxcrash_async_image_list DwarfImageCacheTest::images_;

__attribute__((noinline)) int localFunction(int value) { return value * 3 + 1; }

TEST_F(DwarfImageCacheTest, TableAndLinearWalkAgreeForEveryFdeOfThisProgram) {
  compareLookups(imageContaining(reinterpret_cast<const void*>(&localFunction)), 100);
}

TEST_F(DwarfImageCacheTest, TableAndLinearWalkAgreeForEveryFdeOfTheCLibrary) {
  compareLookups(imageContaining(reinterpret_cast<const void*>(&getpid)), 1000);
}

TEST_F(DwarfImageCacheTest, PcOutsideEveryFdeIsNotFoundEitherWay) {
  MShxcrash_async_macho* image = imageContaining(reinterpret_cast<const void*>(&getpid));
  ASSERT_NE(image, nullptr);
  const MShxcrash_async_dwarf_image_cache* cache = image->dwarf_cache;
  ASSERT_NE(cache, nullptr);
  const buffer_memory mem = dwarf_image_cache_in_place(cache);
  hxcrash_async_dwarf_fde_info fde{};
  // Below the first entry and far above the last.
  for (const std::uint64_t pc : {std::uint64_t{1}, ~std::uint64_t{0} - 1}) {
    EXPECT_EQ(hxcrash_async_dwarf_image_cache_table_find_fde<std::uint64_t>(cache, mem, image->byteorder, pc, &fde),
              hxcrash_error_not_found);
  }
}

// A record built by hand (never on a list) has no cache; one prepared for it without the header
// table searches linearly and finds the same FDE as the table.
TEST_F(DwarfImageCacheTest, ImageWithoutHeaderTableFallsBackToTheLinearWalk) {
  MShxcrash_async_macho* listed = imageContaining(reinterpret_cast<const void*>(&localFunction));
  ASSERT_NE(listed, nullptr);
  MShxcrash_async_macho image;
  ASSERT_EQ(MShxcrash_nasync_macho_init(&image, vx::mach_task_self(), listed->name, listed->header_addr),
            hxcrash_error_none);
  EXPECT_EQ(image.dwarf_cache, nullptr);
  image.eh_frame_hdr_addr = 0;  // as an image linked without --eh-frame-hdr
  MShxcrash_nasync_dwarf_image_cache_attach(&image);
  ASSERT_NE(image.dwarf_cache, nullptr);
  EXPECT_TRUE(image.dwarf_cache->has_section);
  EXPECT_FALSE(image.dwarf_cache->has_table);

  const std::uint64_t pc = reinterpret_cast<std::uint64_t>(&localFunction);
  hxcrash_async_dwarf_fde_info byWalk{};
  hxcrash_async_dwarf_fde_info byTable{};
  const buffer_memory walkMem = dwarf_image_cache_in_place(image.dwarf_cache);
  ASSERT_EQ(
      hxcrash_async_dwarf_image_cache_find_fde<std::uint64_t>(image.dwarf_cache, walkMem, image.byteorder, pc, &byWalk),
      hxcrash_error_none);
  const buffer_memory tableMem = dwarf_image_cache_in_place(listed->dwarf_cache);
  ASSERT_EQ(hxcrash_async_dwarf_image_cache_find_fde<std::uint64_t>(listed->dwarf_cache, tableMem, listed->byteorder,
                                                                    pc, &byTable),
            hxcrash_error_none);
  EXPECT_EQ(byWalk.fde_offset, byTable.fde_offset);
  EXPECT_LE(byWalk.pc_start, pc);
  EXPECT_GT(byWalk.pc_end, pc);
  MShxcrash_nasync_macho_free(&image);
}

// Header tables that cannot be trusted are refused at preparation: unsorted, pointing outside
// .eh_frame, or claiming more entries than the header holds.
TEST_F(DwarfImageCacheTest, DamagedHeaderTablesAreRefusedAndTheWalkIsUsed) {
  MShxcrash_async_macho* listed = imageContaining(reinterpret_cast<const void*>(&localFunction));
  ASSERT_NE(listed, nullptr);
  ASSERT_NE(listed->dwarf_cache, nullptr);
  ASSERT_TRUE(listed->dwarf_cache->has_table);
  const std::vector<std::uint8_t> original(
      reinterpret_cast<const std::uint8_t*>(listed->eh_frame_hdr_addr),
      reinterpret_cast<const std::uint8_t*>(listed->eh_frame_hdr_addr) + listed->eh_frame_hdr_size);
  ASSERT_GE(original.size(), 12u + 8u * 2);
  const std::size_t table = static_cast<std::size_t>(listed->dwarf_cache->table_address - listed->eh_frame_hdr_addr);

  struct Case {
    const char* name;
    void (*damage)(std::vector<std::uint8_t>& bytes, std::size_t table);
  };
  const Case cases[] = {
      {"undamaged", nullptr},
      {"unsorted",
       [](std::vector<std::uint8_t>& b, std::size_t t) {
         std::swap_ranges(b.begin() + static_cast<long>(t), b.begin() + static_cast<long>(t) + 4,
                          b.begin() + static_cast<long>(t) + 8);
       }},
      {"fde outside .eh_frame",
       [](std::vector<std::uint8_t>& b, std::size_t t) {
         const std::int32_t far = 0x7fff0000;
         std::memcpy(b.data() + t + 4, &far, 4);
       }},
      {"count beyond the header",
       [](std::vector<std::uint8_t>& b, std::size_t) {
         const std::uint32_t huge = 0x40000000;
         std::memcpy(b.data() + 8, &huge, 4);
       }},
      {"version 2", [](std::vector<std::uint8_t>& b, std::size_t) { b[0] = 2; }},
  };
  // The copy lies within 2 GiB of the real header (just below the image), so every field,
  // relative to the copy's own address, can be rebased to point where the original points.
  const long page = sysconf(_SC_PAGESIZE);
  const std::size_t length =
      (original.size() + static_cast<std::size_t>(page) - 1) & ~(static_cast<std::size_t>(page) - 1);
  void* copy = MAP_FAILED;
  for (std::uint64_t pages = 16; pages < (1u << 16) && copy == MAP_FAILED; pages *= 2) {
    const std::uint64_t hint = (listed->header_addr & ~static_cast<std::uint64_t>(page - 1)) -
                               pages * static_cast<std::uint64_t>(page) - length;
    copy = mmap(reinterpret_cast<void*>(hint), length, PROT_READ | PROT_WRITE,
                MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  }
  ASSERT_NE(copy, MAP_FAILED);
  auto* bytes = static_cast<std::uint8_t*>(copy);
  const std::int64_t shift =
      static_cast<std::int64_t>(listed->eh_frame_hdr_addr) - reinterpret_cast<std::int64_t>(bytes);
  ASSERT_LT(shift, std::int64_t{1} << 31);
  ASSERT_GT(shift, -(std::int64_t{1} << 31));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> damaged = original;
    // eh_frame_ptr (pcrel) and every table field (datarel) are relative to the header's
    // address: move them with it.
    for (std::size_t at = table; at + 4 <= damaged.size(); at += 4) {
      std::int32_t field = 0;
      std::memcpy(&field, damaged.data() + at, 4);
      field = static_cast<std::int32_t>(field + shift);
      std::memcpy(damaged.data() + at, &field, 4);
    }
    std::int32_t frame = 0;
    std::memcpy(&frame, damaged.data() + 4, 4);
    frame = static_cast<std::int32_t>(frame + shift);
    std::memcpy(damaged.data() + 4, &frame, 4);
    if (c.damage != nullptr) c.damage(damaged, table);
    std::memcpy(bytes, damaged.data(), damaged.size());

    MShxcrash_async_macho image = *listed;
    image.dwarf_cache = nullptr;
    image.eh_frame_hdr_addr = reinterpret_cast<hxcrash_vm_address_t>(bytes);
    MShxcrash_async_dwarf_image_cache cache;
    MShxcrash_nasync_dwarf_image_cache_init(&cache, &image);
    EXPECT_TRUE(cache.has_section);
    EXPECT_EQ(cache.has_table, c.damage == nullptr);
    MShxcrash_nasync_dwarf_image_cache_free(&cache);
  }
  munmap(copy, length);
}

}  // namespace

namespace {

// An ELF image that joins the list only at crash time has no cache; the one made for it on the
// stack reads in place, maps nothing and finds the same FDEs as the prepared cache.
TEST(DwarfImageCacheInPlaceTest, CrashTimeCacheMatchesThePreparedOne) {
  MShxcrash_async_image_list images;
  MShxcrash_nasync_image_list_init(&images, vx::mach_task_self());
  MShxcrash_nasync_image_list_track(&images);
  MShxcrash_async_image_list_set_reading(&images, true);
  MShxcrash_async_macho* listed =
      MShxcrash_async_image_containing_address(&images, reinterpret_cast<hxcrash_vm_address_t>(&getpid));
  MShxcrash_async_image_list_set_reading(&images, false);
  ASSERT_NE(listed, nullptr);
  ASSERT_NE(listed->dwarf_cache, nullptr);
  MShxcrash_async_dwarf_image_cache local;
  MShxcrash_async_dwarf_image_cache_init_in_place(&local, listed);
  EXPECT_TRUE(local.has_section);
  EXPECT_FALSE(local.mapped);
  EXPECT_TRUE(local.has_table);
  EXPECT_EQ(local.table_count, listed->dwarf_cache->table_count);
  const buffer_memory mem = dwarf_image_cache_in_place(&local);
  // The first, middle and last function the table lists.
  const std::uint64_t count = local.table_count;
  for (const std::uint64_t index : {std::uint64_t{0}, count / 2, count - 1}) {
    std::uint64_t pc = 0;
    ASSERT_TRUE(detail::read_table_field(&local, listed->byteorder, index, 0, &pc));
    hxcrash_async_dwarf_fde_info inPlace{};
    hxcrash_async_dwarf_fde_info prepared{};
    EXPECT_EQ(hxcrash_async_dwarf_image_cache_find_fde<std::uint64_t>(&local, mem, listed->byteorder, pc, &inPlace),
              hxcrash_error_none);
    EXPECT_EQ(
        hxcrash_async_dwarf_image_cache_find_fde<std::uint64_t>(
            listed->dwarf_cache, dwarf_image_cache_in_place(listed->dwarf_cache), listed->byteorder, pc, &prepared),
        hxcrash_error_none);
    EXPECT_EQ(inPlace.fde_offset, prepared.fde_offset);
  }
  MShxcrash_nasync_image_list_free(&images);
}

}  // namespace
