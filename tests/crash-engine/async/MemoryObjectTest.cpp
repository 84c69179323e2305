// Memory objects: a range of task memory mapped read-only into local memory.
#include "crash-engine/async/HXCrashAsyncMObject.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

class MemoryObjectTest : public testing::Test {
 protected:
  void SetUp() override {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    base_ = static_cast<std::uint8_t*>(
        mmap(nullptr, page_ * 3, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base_, MAP_FAILED);
    for (std::size_t i = 0; i < page_ * 3; ++i) base_[i] = static_cast<std::uint8_t>(i * 7);
    references_ = vx::task_self_user_references();
  }
  void TearDown() override {
    munmap(base_, page_ * 3);
    EXPECT_EQ(vx::task_self_user_references(), references_);
  }
  std::uint64_t at(std::size_t offset) const { return reinterpret_cast<std::uint64_t>(base_) + offset; }

  std::size_t page_ = 4096;
  std::uint8_t* base_ = nullptr;
  std::int32_t references_ = 0;
};

TEST_F(MemoryObjectTest, InitKeepsTheInvariantsAndCopiesTheBytes) {
  hxcrash_async_mobject mobj;
  const std::uint64_t address = at(100);
  ASSERT_EQ(MShxcrash_async_mobject_init(&mobj, vx::mach_task_self(), address, 5000, true), hxcrash_error_none);
  EXPECT_EQ(vx::task_self_user_references(), references_ + 1);
  EXPECT_EQ(MShxcrash_async_mobject_base_address(&mobj), address);
  EXPECT_EQ(MShxcrash_async_mobject_length(&mobj), 5000u);
  EXPECT_EQ(MShxcrash_async_mobject_task(&mobj), vx::mach_task_self());
  EXPECT_EQ(mobj.vm_address % page_, 0u);
  EXPECT_EQ(mobj.vm_length, 2 * page_);
  EXPECT_EQ(mobj.address, mobj.vm_address + (address & (page_ - 1)));
  EXPECT_EQ(mobj.vm_slide, static_cast<std::int64_t>(address - mobj.address));
  const void* local = MShxcrash_async_mobject_remap_address(&mobj, address, 0, 5000);
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(std::memcmp(local, base_ + 100, 5000), 0);
  // The mapping is a snapshot: later writes to the task do not show through.
  base_[100] ^= 0xff;
  EXPECT_NE(static_cast<const std::uint8_t*>(local)[0], base_[100]);
  MShxcrash_async_mobject_free(&mobj);
}

TEST_F(MemoryObjectTest, RemapChecksTheEndExactly) {
  hxcrash_async_mobject mobj;
  ASSERT_EQ(MShxcrash_async_mobject_init(&mobj, vx::mach_task_self(), at(10), 100, true), hxcrash_error_none);
  EXPECT_NE(MShxcrash_async_mobject_remap_address(&mobj, at(10), 0, 100), nullptr);
  EXPECT_NE(MShxcrash_async_mobject_remap_address(&mobj, at(10), 99, 1), nullptr);
  EXPECT_EQ(MShxcrash_async_mobject_remap_address(&mobj, at(10), 0, 101), nullptr);
  EXPECT_EQ(MShxcrash_async_mobject_remap_address(&mobj, at(10), 100, 1), nullptr);
  EXPECT_EQ(MShxcrash_async_mobject_remap_address(&mobj, at(10), -1, 1), nullptr);
  EXPECT_EQ(MShxcrash_async_mobject_remap_address(&mobj, at(9), 0, 1), nullptr);
  EXPECT_FALSE(MShxcrash_async_mobject_verify_local_pointer(&mobj, mobj.address, 0, UINT64_MAX));
  EXPECT_FALSE(MShxcrash_async_mobject_verify_local_pointer(&mobj, UINTPTR_MAX, 1, 0));
  MShxcrash_async_mobject_free(&mobj);
}

TEST_F(MemoryObjectTest, ReadsSwapAndRefuseUnmappedBytes) {
  std::memcpy(base_ + 16, "\x01\x02\x03\x04\x05\x06\x07\x08", 8);
  hxcrash_async_mobject mobj;
  ASSERT_EQ(MShxcrash_async_mobject_init(&mobj, vx::mach_task_self(), at(16), 8, true), hxcrash_error_none);
  const auto* big = MShxcrash_async_byteorder_big_endian();
  const auto* little = MShxcrash_async_byteorder_little_endian();
  std::uint8_t u8 = 0;
  std::uint16_t u16 = 0;
  std::uint32_t u32 = 0;
  std::uint64_t u64 = 0x55;
  EXPECT_EQ(MShxcrash_async_mobject_read_uint8(&mobj, at(16), 7, &u8), hxcrash_error_none);
  EXPECT_EQ(u8, 8);
  EXPECT_EQ(MShxcrash_async_mobject_read_uint16(&mobj, big, at(16), 0, &u16), hxcrash_error_none);
  EXPECT_EQ(u16, 0x0102);
  EXPECT_EQ(MShxcrash_async_mobject_read_uint32(&mobj, little, at(16), 4, &u32), hxcrash_error_none);
  EXPECT_EQ(u32, 0x08070605u);
  EXPECT_EQ(MShxcrash_async_mobject_read_uint64(&mobj, big, at(16), 0, &u64), hxcrash_error_none);
  EXPECT_EQ(u64, 0x0102030405060708ull);
  u64 = 0x55;
  EXPECT_EQ(MShxcrash_async_mobject_read_uint64(&mobj, big, at(16), 1, &u64), hxcrash_error_invalid_argument);
  EXPECT_EQ(u64, 0x55u);
  MShxcrash_async_mobject_free(&mobj);
}

TEST_F(MemoryObjectTest, PartialRangeMapsOnlyTheReadablePages) {
  mprotect(base_ + page_, page_, PROT_NONE);
  hxcrash_async_mobject mobj;
  const std::uint64_t address = at(page_ - 64);
  ASSERT_EQ(MShxcrash_async_mobject_init(&mobj, vx::mach_task_self(), address, 256, false), hxcrash_error_none);
  EXPECT_EQ(mobj.vm_length, page_);
  EXPECT_EQ(MShxcrash_async_mobject_length(&mobj), 64u);
  EXPECT_NE(MShxcrash_async_mobject_remap_address(&mobj, address, 0, 64), nullptr);
  EXPECT_EQ(MShxcrash_async_mobject_remap_address(&mobj, address, 0, 65), nullptr);
  MShxcrash_async_mobject_free(&mobj);

  testing::internal::CaptureStderr();
  EXPECT_EQ(MShxcrash_async_mobject_init(&mobj, vx::mach_task_self(), address, 256, true), hxcrash_error_no_memory);
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("[HXCrashReport] hxcrash_async_mobject_remap_pages_workaround:"), std::string::npos) << out;
  EXPECT_NE(out.find("mach_make_memory_entry_64() failed: 1"), std::string::npos) << out;
}

TEST_F(MemoryObjectTest, NothingReadableIsNoMemory) {
  munmap(base_ + page_, page_);
  testing::internal::CaptureStderr();
  hxcrash_async_mobject mobj;
  EXPECT_EQ(MShxcrash_async_mobject_init(&mobj, vx::mach_task_self(), at(page_), 8, false), hxcrash_error_no_memory);
  const std::string out = testing::internal::GetCapturedStderr();
  char expected[64];
  std::snprintf(expected, sizeof expected, "No mappable pages found at 0x%llx",
                static_cast<unsigned long long>(at(page_)));
  EXPECT_NE(out.find(expected), std::string::npos) << out;
}

TEST_F(MemoryObjectTest, RangeWhoseEndOverflowsIsRefused) {
  hxcrash_async_mobject mobj;
  testing::internal::CaptureStderr();
  EXPECT_EQ(MShxcrash_async_mobject_init(&mobj, vx::mach_task_self(), UINT64_MAX - 100, 200, false),
            hxcrash_error_invalid_argument);
  EXPECT_EQ(MShxcrash_async_mobject_init(&mobj, vx::mach_task_self(), UINT64_MAX - 100, 50, true),
            hxcrash_error_invalid_argument);  // the end's page would wrap
  EXPECT_EQ(MShxcrash_async_mobject_init(&mobj, vx::mach_task_self(), at(0), 0, true), hxcrash_error_invalid_argument);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(vx::task_self_user_references(), references_);
}

}  // namespace

namespace {

// A full mapping whose length runs past what is mapped fails before any local range of that
// size is reserved (a damaged 4 GB length must not exhaust memory).
TEST(MemoryObjectSizeTest, FullMappingBeyondTheMappedRangeFailsUpFront) {
  const long page = sysconf(_SC_PAGESIZE);
  // One page with nothing mapped after it.
  void* one =
      mmap(nullptr, 2 * static_cast<std::size_t>(page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(one, MAP_FAILED);
  munmap(static_cast<char*>(one) + page, static_cast<std::size_t>(page));
  const auto address = reinterpret_cast<hxcrash_vm_address_t>(one);
  hxcrash_async_mobject mobj;
  for (const hxcrash_vm_size_t length : {hxcrash_vm_size_t{0x100000000ull}, static_cast<hxcrash_vm_size_t>(page) + 1}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(MShxcrash_async_mobject_init(&mobj, vx::mach_task_self(), address, length, true),
              hxcrash_error_no_memory);
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("can be mapped"), std::string::npos) << out;
  }
  ASSERT_EQ(
      MShxcrash_async_mobject_init(&mobj, vx::mach_task_self(), address, static_cast<hxcrash_vm_size_t>(page), true),
      hxcrash_error_none);
  EXPECT_EQ(MShxcrash_async_mobject_length(&mobj), static_cast<hxcrash_vm_size_t>(page));
  MShxcrash_async_mobject_free(&mobj);
  munmap(one, static_cast<std::size_t>(page));
}

}  // namespace
