// LEB128 numbers and GNU exception-header pointers, read from byte tables.
#include "crash-engine/dwarf/HXCrashAsyncDwarfPrimitives.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace hxcrash::MS::async;

namespace {

buffer_memory memoryOver(const std::vector<std::uint8_t>& bytes) {
  return buffer_memory{bytes.data(), bytes.size(), reinterpret_cast<std::uint64_t>(bytes.data())};
}

struct LebCase {
  std::vector<std::uint8_t> bytes;
  hxcrash_error_t error;
  std::uint64_t value;
  std::uint64_t size;
};

TEST(DwarfLeb128Test, UnsignedTable) {
  const std::vector<LebCase> cases = {
      {{0x02}, hxcrash_error_none, 2, 1},
      {{0x7f}, hxcrash_error_none, 127, 1},
      {{0x80, 0x01}, hxcrash_error_none, 128, 2},
      {{0xe5, 0x8e, 0x26}, hxcrash_error_none, 624485, 3},
      {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}, hxcrash_error_none, ~std::uint64_t{0}, 10},
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, hxcrash_error_not_supported, 0, 0},
      {{0x80, 0x80}, hxcrash_error_invalid_argument, 0, 0},
  };
  for (const LebCase& c : cases) {
    const buffer_memory mem = memoryOver(c.bytes);
    std::uint64_t value = 0;
    hxcrash_vm_size_t size = 0;
    ASSERT_EQ(hxcrash_async_dwarf_read_uleb128(mem, mem.address, 0, &value, &size), c.error) << c.bytes.size();
    if (c.error == hxcrash_error_none) {
      EXPECT_EQ(value, c.value);
      EXPECT_EQ(size, c.size);
    }
  }
}

TEST(DwarfLeb128Test, SignedTable) {
  const std::vector<LebCase> cases = {
      {{0x7f}, hxcrash_error_none, static_cast<std::uint64_t>(-1), 1},
      {{0x80, 0x7f}, hxcrash_error_none, static_cast<std::uint64_t>(-128), 2},
      {{0x02}, hxcrash_error_none, 2, 1},
      {{0x7e}, hxcrash_error_none, static_cast<std::uint64_t>(-2), 1},
      {{0xc0, 0xbb, 0x78}, hxcrash_error_none, static_cast<std::uint64_t>(-123456), 3},
      {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
       hxcrash_error_none,
       static_cast<std::uint64_t>(-1),
       10},
      {{0xff}, hxcrash_error_invalid_argument, 0, 0},
  };
  for (const LebCase& c : cases) {
    const buffer_memory mem = memoryOver(c.bytes);
    std::int64_t value = 0;
    hxcrash_vm_size_t size = 0;
    ASSERT_EQ(hxcrash_async_dwarf_read_sleb128(mem, mem.address, 0, &value, &size), c.error);
    if (c.error == hxcrash_error_none) {
      EXPECT_EQ(static_cast<std::uint64_t>(value), c.value);
      EXPECT_EQ(size, c.size);
    }
  }
}

TEST(DwarfLeb128Test, MemoryObjectAndTaskReadersAgreeWithTheBufferReader) {
  std::vector<std::uint8_t> bytes(64, 0);
  bytes[10] = 0xe5;
  bytes[11] = 0x8e;
  bytes[12] = 0x26;
  bytes[20] = 0x80;
  bytes[21] = 0x7f;
  const auto base = reinterpret_cast<std::uint64_t>(bytes.data());

  hxcrash_async_mobject mobj;
  ASSERT_EQ(MShxcrash_async_mobject_init(&mobj, vx::mach_task_self(), base, bytes.size(), true), hxcrash_error_none);
  std::uint64_t value = 0;
  hxcrash_vm_size_t size = 0;
  ASSERT_EQ(hxcrash_async_dwarf_read_uleb128(&mobj, base, 10, &value, &size), hxcrash_error_none);
  EXPECT_EQ(value, 624485u);
  EXPECT_EQ(size, 3u);
  std::int64_t signedValue = 0;
  ASSERT_EQ(hxcrash_async_dwarf_read_sleb128(&mobj, base, 20, &signedValue, &size), hxcrash_error_none);
  EXPECT_EQ(signedValue, -128);
  // Past the mapping's end.
  EXPECT_EQ(hxcrash_async_dwarf_read_uleb128(&mobj, base, 64, &value, &size), hxcrash_error_invalid_argument);
  MShxcrash_async_mobject_free(&mobj);

  ASSERT_EQ(hxcrash_async_dwarf_read_task_uleb128(vx::mach_task_self(), base, 10, &value, &size), hxcrash_error_none);
  EXPECT_EQ(value, 624485u);
  ASSERT_EQ(hxcrash_async_dwarf_read_task_sleb128(vx::mach_task_self(), base, 20, &signedValue, &size),
            hxcrash_error_none);
  EXPECT_EQ(signedValue, -128);
  EXPECT_EQ(hxcrash_async_dwarf_read_task_uleb128(vx::mach_task_self(), ~std::uint64_t{0}, 2, &value, &size),
            hxcrash_error_invalid_argument);
}

TEST(DwarfLeb128Test, FixedWidthValues) {
  const std::vector<std::uint8_t> bytes = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  const buffer_memory mem = memoryOver(bytes);
  std::uint64_t value = 0;
  const auto* le = MShxcrash_async_byteorder_little_endian();
  ASSERT_EQ(hxcrash_async_dwarf_read_uintmax64(mem, le, mem.address, 0, 2, &value), hxcrash_error_none);
  EXPECT_EQ(value, 0x2211u);
  ASSERT_EQ(hxcrash_async_dwarf_read_uintmax64(mem, MShxcrash_async_byteorder_big_endian(), mem.address, 0, 4, &value),
            hxcrash_error_none);
  EXPECT_EQ(value, 0x11223344u);
  ASSERT_EQ(hxcrash_async_dwarf_read_uintmax64(mem, le, mem.address, 0, 8, &value), hxcrash_error_none);
  EXPECT_EQ(value, 0x8877665544332211u);
  EXPECT_EQ(hxcrash_async_dwarf_read_uintmax64(mem, le, mem.address, 1, 8, &value), hxcrash_error_invalid_argument);
  EXPECT_EQ(hxcrash_async_dwarf_read_uintmax64(mem, le, mem.address, 0, 3, &value), hxcrash_error_invalid_argument);
}

struct PointerCase {
  std::uint8_t encoding;
  std::vector<std::uint8_t> bytes;  // the encoded value at offset 0
  hxcrash_error_t error;
  std::uint64_t value;  // absolute; for pcrel, relative to the value's address
  std::uint64_t size;
  bool pcrel;
};

TEST(DwarfPointerTest, EncodingTable64) {
  const std::vector<PointerCase> cases = {
      {DW_EH_PE_absptr,
       {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11},
       hxcrash_error_none,
       0x1122334455667788u,
       8,
       false},
      {DW_EH_PE_udata2, {0xfe, 0xff}, hxcrash_error_none, 0xfffe, 2, false},
      {DW_EH_PE_sdata2, {0xfe, 0xff}, hxcrash_error_none, static_cast<std::uint64_t>(-2), 2, false},
      {DW_EH_PE_udata4, {0xfc, 0xff, 0xff, 0xff}, hxcrash_error_none, 0xfffffffc, 4, false},
      {DW_EH_PE_sdata4, {0xfc, 0xff, 0xff, 0xff}, hxcrash_error_none, static_cast<std::uint64_t>(-4), 4, false},
      {DW_EH_PE_uleb128, {0x80, 0x01}, hxcrash_error_none, 128, 2, false},
      {DW_EH_PE_sleb128, {0x7f}, hxcrash_error_none, static_cast<std::uint64_t>(-1), 1, false},
      {DW_EH_PE_udata8, {1, 0, 0, 0, 0, 0, 0, 0}, hxcrash_error_none, 1, 8, false},
      {DW_EH_PE_sdata8,
       {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
       hxcrash_error_none,
       static_cast<std::uint64_t>(-1),
       8,
       false},
      {DW_EH_PE_pcrel | DW_EH_PE_sdata4,
       {0xf8, 0xff, 0xff, 0xff},
       hxcrash_error_none,
       static_cast<std::uint64_t>(-8),
       4,
       true},
      {DW_EH_PE_textrel | DW_EH_PE_udata4, {0, 0, 0, 0}, hxcrash_error_not_supported, 0, 0, false},
      {DW_EH_PE_datarel | DW_EH_PE_udata4, {0, 0, 0, 0}, hxcrash_error_not_supported, 0, 0, false},
      {DW_EH_PE_funcrel | DW_EH_PE_udata4, {0, 0, 0, 0}, hxcrash_error_not_supported, 0, 0, false},
      {DW_EH_PE_aligned, {0, 0, 0, 0, 0, 0, 0, 0}, hxcrash_error_not_supported, 0, 0, false},
      {0x60 | DW_EH_PE_udata4, {0, 0, 0, 0}, hxcrash_error_not_supported, 0, 0, false},
      {0x05, {0, 0, 0, 0}, hxcrash_error_not_supported, 0, 0, false},
      {0x0d, {0, 0, 0, 0}, hxcrash_error_not_supported, 0, 0, false},
      {DW_EH_PE_udata4, {0, 0}, hxcrash_error_invalid_argument, 0, 0, false},
      {DW_EH_PE_absptr, {0, 0}, hxcrash_error_invalid_argument, 0, 0, false},
  };
  const gnu_ehptr_reader<std::uint64_t> reader(MShxcrash_async_byteorder_little_endian());
  for (const PointerCase& c : cases) {
    const buffer_memory mem = memoryOver(c.bytes);
    std::uint64_t value = 0;
    hxcrash_vm_size_t size = 0;
    ASSERT_EQ(reader.read(mem, mem.address, 0, c.encoding, &value, &size), c.error)
        << std::hex << static_cast<int>(c.encoding);
    if (c.error != hxcrash_error_none) continue;
    EXPECT_EQ(value, c.pcrel ? mem.address + c.value : c.value) << static_cast<int>(c.encoding);
    EXPECT_EQ(size, c.size);
  }
}

TEST(DwarfPointerTest, PcRelativeIndirectReadsThePointerStoredThere) {
  std::vector<std::uint8_t> bytes(12, 0);
  const std::uint64_t target = 0x0123456789abcdefu;
  std::memcpy(bytes.data(), &target, 8);
  const std::int32_t back = -8;
  std::memcpy(bytes.data() + 8, &back, 4);
  const buffer_memory mem = memoryOver(bytes);
  const gnu_ehptr_reader<std::uint64_t> reader(MShxcrash_async_byteorder_little_endian());
  std::uint64_t value = 0;
  hxcrash_vm_size_t size = 0;
  ASSERT_EQ(reader.read(mem, mem.address, 8, DW_EH_PE_pcrel | DW_EH_PE_sdata4, &value, &size), hxcrash_error_none);
  EXPECT_EQ(value, mem.address);
  EXPECT_EQ(size, 4u);
  ASSERT_EQ(reader.read(mem, mem.address, 8, DW_EH_PE_indirect | DW_EH_PE_pcrel | DW_EH_PE_sdata4, &value, &size),
            hxcrash_error_none);
  EXPECT_EQ(value, target);
  EXPECT_EQ(size, 4u);
}

TEST(DwarfPointerTest, ThirtyTwoBitInstanceWrapsAndOmitLeavesOutputsAlone) {
  const std::vector<std::uint8_t> bytes = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
  const buffer_memory mem = memoryOver(bytes);
  const gnu_ehptr_reader<std::uint32_t> reader(MShxcrash_async_byteorder_little_endian());
  std::uint32_t value = 0;
  hxcrash_vm_size_t size = 0;
  ASSERT_EQ(reader.read(mem, mem.address, 0, DW_EH_PE_udata8, &value, &size), hxcrash_error_none);
  EXPECT_EQ(value, 0x55667788u);
  EXPECT_EQ(size, 8u);
  ASSERT_EQ(reader.read(mem, mem.address, 0, DW_EH_PE_absptr, &value, &size), hxcrash_error_none);
  EXPECT_EQ(value, 0x55667788u);
  EXPECT_EQ(size, 4u);
  ASSERT_EQ(reader.read(mem, mem.address, 0, DW_EH_PE_pcrel | DW_EH_PE_udata8, &value, &size), hxcrash_error_none);
  EXPECT_EQ(value, static_cast<std::uint32_t>(mem.address + 0x1122334455667788u));

  value = 77;
  size = 99;
  EXPECT_EQ(reader.read(mem, mem.address, 0, DW_EH_PE_omit, &value, &size), hxcrash_error_not_found);
  EXPECT_EQ(value, 77u);
  EXPECT_EQ(size, 99u);
}

TEST(DwarfPointerTest, AlignedValuesNeedAFrameSectionBase) {
  std::vector<std::uint8_t> bytes(16, 0);
  bytes[8] = 0x42;
  const buffer_memory mem = memoryOver(bytes);
  gnu_ehptr_reader<std::uint64_t> reader(MShxcrash_async_byteorder_little_endian());
  std::uint64_t value = 0;
  hxcrash_vm_size_t size = 0;
  EXPECT_EQ(reader.read(mem, mem.address, 3, DW_EH_PE_aligned, &value, &size), hxcrash_error_not_supported);
  // The section's virtual address is 8-aligned: from offset 3 the value starts at 8.
  reader.set_frame_section_base(mem.address, 0x1000);
  ASSERT_EQ(reader.read(mem, mem.address, 3, DW_EH_PE_aligned, &value, &size), hxcrash_error_none);
  EXPECT_EQ(value, 0x42u);
  EXPECT_EQ(size, 5u + 8u);
}

}  // namespace
