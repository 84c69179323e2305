// CIE and FDE parsing and the FDE search, on hand-built .eh_frame and .debug_frame tables.
#include "crash-engine/dwarf/HXCrashAsyncDwarfCIE.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace hxcrash::MS::async;

namespace {

constexpr std::uint64_t kBase = 0x10000;  // the section's (pretend) task address

// Builds a section entry by entry; offsets are from the section start.
struct Section {
  std::vector<std::uint8_t> bytes;

  void u8(std::uint8_t v) { bytes.push_back(v); }
  void u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void raw(const std::vector<std::uint8_t>& v) { bytes.insert(bytes.end(), v.begin(), v.end()); }
  std::size_t size() const { return bytes.size(); }
  void patch32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }

  // A CIE with the given augmentation string and data; returns its offset.
  std::size_t cie(const char* augmentation, const std::vector<std::uint8_t>& augmentationData,
                  const std::vector<std::uint8_t>& instructions, std::uint8_t version = 1, bool declareData = true) {
    const std::size_t start = size();
    u32(0);
    u32(0);  // id
    u8(version);
    for (const char* c = augmentation; *c; ++c) u8(static_cast<std::uint8_t>(*c));
    u8(0);
    u8(1);     // code alignment
    u8(0x78);  // data alignment -8
    u8(16);    // return address register
    if (augmentation[0] == 'z' && declareData) {
      u8(static_cast<std::uint8_t>(augmentationData.size()));
      raw(augmentationData);
    }
    raw(instructions);
    patch32(start, static_cast<std::uint32_t>(size() - start - 4));
    return start;
  }

  // An FDE with pcrel|sdata4 locations (the CIE must say so with "zR" 0x1b) or absolute 8-byte
  // locations; returns its offset.
  std::size_t fde(std::size_t cieOffset, std::uint64_t pcStart, std::uint64_t range, bool pcrel, bool augmented,
                  const std::vector<std::uint8_t>& instructions) {
    const std::size_t start = size();
    u32(0);
    u32(static_cast<std::uint32_t>(size() - cieOffset));
    if (pcrel) {
      u32(static_cast<std::uint32_t>(pcStart - (kBase + size())));
      u32(static_cast<std::uint32_t>(range));
    } else {
      u64(pcStart);
      u64(range);
    }
    if (augmented) u8(0);
    raw(instructions);
    patch32(start, static_cast<std::uint32_t>(size() - start - 4));
    return start;
  }

  buffer_memory memory() const { return buffer_memory{bytes.data(), bytes.size(), kBase}; }
};

const MShxcrash_async_byteorder* le() { return MShxcrash_async_byteorder_little_endian(); }

hxcrash_error_t parseCie(const Section& s, std::size_t offset, hxcrash_async_dwarf_cie_info* cie) {
  const buffer_memory mem = s.memory();
  const gnu_ehptr_reader<std::uint64_t> reader(le());
  return hxcrash_async_dwarf_cie_info_init<std::uint64_t>(cie, mem, le(), &reader, kBase + offset);
}

TEST(DwarfCieTest, AugmentationWithPersonalityLsdaAndPointerEncoding) {
  Section s;
  // P: absptr personality (8 bytes), L: pcrel|sdata4, R: pcrel|sdata4.
  const std::vector<std::uint8_t> data = {0x00, 0xef, 0xbe, 0xad, 0xde, 0, 0, 0, 0, 0x1b, 0x1b};
  s.cie("zPLR", data, {0x0c, 0x07, 0x08, 0x90, 0x01});
  hxcrash_async_dwarf_cie_info cie;
  ASSERT_EQ(parseCie(s, 0, &cie), hxcrash_error_none);
  EXPECT_EQ(cie.cie_id, 0u);
  EXPECT_EQ(cie.cie_version, 1);
  EXPECT_EQ(cie.cie_offset, 4u);
  EXPECT_EQ(cie.code_alignment_factor, 1u);
  EXPECT_EQ(cie.data_alignment_factor, -8);
  EXPECT_EQ(cie.return_address_register, 16u);
  EXPECT_TRUE(cie.has_eh_augmentation);
  EXPECT_TRUE(cie.eh_augmentation.has_personality_address);
  EXPECT_EQ(cie.eh_augmentation.personality_address, 0xdeadbeefu);
  EXPECT_TRUE(cie.eh_augmentation.has_lsda_encoding);
  EXPECT_EQ(cie.eh_augmentation.lsda_encoding, 0x1b);
  EXPECT_TRUE(cie.eh_augmentation.has_pointer_encoding);
  EXPECT_EQ(cie.eh_augmentation.pointer_encoding, 0x1b);
  EXPECT_FALSE(cie.eh_augmentation.signal_frame);
  EXPECT_EQ(hxcrash_async_dwarf_cie_info_initial_instructions_length(&cie), 5u);
  EXPECT_EQ(s.bytes[hxcrash_async_dwarf_cie_info_initial_instructions_offset(&cie)], 0x0c);
}

TEST(DwarfCieTest, UnknownAugmentationLetterStopsTheWalkButNotTheParse) {
  Section s;
  s.cie("zRSX", {0x1b, 0xaa, 0xbb}, {0x0c, 0x07, 0x08});
  hxcrash_async_dwarf_cie_info cie;
  ASSERT_EQ(parseCie(s, 0, &cie), hxcrash_error_none);
  EXPECT_TRUE(cie.eh_augmentation.has_pointer_encoding);
  EXPECT_TRUE(cie.eh_augmentation.signal_frame);
  // The instructions start after the declared three data bytes.
  EXPECT_EQ(s.bytes[cie.initial_instructions_offset], 0x0c);
  EXPECT_EQ(cie.initial_instructions_length, 3u);
}

TEST(DwarfCieTest, RefusedPrefixesVersionsAndLengths) {
  hxcrash_async_dwarf_cie_info cie;
  Section e;
  e.cie("eh", {}, {});
  EXPECT_EQ(parseCie(e, 0, &cie), hxcrash_error_not_supported);
  Section v2;
  v2.cie("zR", {0x1b}, {}, 2);
  EXPECT_EQ(parseCie(v2, 0, &cie), hxcrash_error_invalid_argument);
  Section badId;
  badId.cie("", {}, {});
  badId.patch32(4, 7);
  EXPECT_EQ(parseCie(badId, 0, &cie), hxcrash_error_invalid_argument);
  Section shortLength;
  shortLength.cie("zR", {0x1b}, {});
  shortLength.patch32(0, 6);
  EXPECT_EQ(parseCie(shortLength, 0, &cie), hxcrash_error_invalid_argument);
  Section truncated;
  truncated.cie("zR", {0x1b}, {});
  truncated.bytes.resize(9);
  EXPECT_EQ(parseCie(truncated, 0, &cie), hxcrash_error_invalid_argument);
}

TEST(DwarfCieTest, VersionFourReadsAddressAndSegmentSize) {
  Section s;
  s.u32(0);
  s.u32(0xffffffffu);  // .debug_frame id
  s.u8(4);
  s.u8(0);
  s.u8(8);  // address size
  s.u8(0);  // segment size
  s.u8(1);
  s.u8(0x78);
  s.u8(16);
  s.raw({0x0c, 0x07, 0x08});
  s.patch32(0, static_cast<std::uint32_t>(s.size() - 4));
  hxcrash_async_dwarf_cie_info cie;
  ASSERT_EQ(parseCie(s, 0, &cie), hxcrash_error_none);
  EXPECT_EQ(cie.cie_id, 0xffffffffu);
  EXPECT_EQ(cie.address_size, 8);
  EXPECT_EQ(cie.segment_size, 0);
  EXPECT_FALSE(cie.has_eh_augmentation);
  EXPECT_EQ(cie.initial_instructions_length, 3u);
}

TEST(DwarfCieTest, SixtyFourBitFormUsesAnEightByteIdAndCiePointer) {
  Section s;
  s.u32(0xffffffffu);
  s.u64(0);  // length, patched below
  s.u64(0);  // id
  s.u8(1);
  s.u8(0);
  s.u8(1);
  s.u8(0x78);
  s.u8(16);
  s.raw({0x0c, 0x07, 0x08});
  const std::uint64_t cieLength = s.size() - 12;
  for (int i = 0; i < 8; ++i) s.bytes[4 + i] = static_cast<std::uint8_t>(cieLength >> (8 * i));
  hxcrash_async_dwarf_cie_info cie;
  ASSERT_EQ(parseCie(s, 0, &cie), hxcrash_error_none);
  EXPECT_EQ(cie.cie_offset, 12u);
  EXPECT_EQ(cie.cie_length, cieLength);
  EXPECT_EQ(cie.initial_instructions_length, 3u);

  // A 64-bit-form FDE: the CIE pointer is 8 bytes, locations absolute.
  const std::size_t fdeAt = s.size();
  s.u32(0xffffffffu);
  s.u64(0);
  s.u64(s.size() - 0);  // distance back to the CIE from this field
  s.u64(0x400000);
  s.u64(0x40);
  s.raw({0x41});
  const std::uint64_t fdeLength = s.size() - fdeAt - 12;
  for (int i = 0; i < 8; ++i) s.bytes[fdeAt + 4 + i] = static_cast<std::uint8_t>(fdeLength >> (8 * i));
  const buffer_memory mem = s.memory();
  hxcrash_async_dwarf_fde_info fde;
  ASSERT_EQ(hxcrash_async_dwarf_fde_info_init<std::uint64_t>(&fde, mem, le(), kBase + fdeAt, false),
            hxcrash_error_none);
  EXPECT_EQ(fde.cie_offset, 0u);
  EXPECT_EQ(fde.pc_start, 0x400000u);
  EXPECT_EQ(fde.pc_end, 0x400040u);
  EXPECT_EQ(fde.instructions_length, 1u);
}

TEST(DwarfFdeTest, AugmentedFdeInstructionsStartAfterTheEmptyAugmentationData) {
  Section s;
  const std::size_t cieAt = s.cie("zR", {0x1b}, {0x0c, 0x07, 0x08});
  const std::size_t fdeAt = s.fde(cieAt, kBase + 0x100, 0x20, true, true, {0x41, 0x0e, 0x10});
  const buffer_memory mem = s.memory();
  hxcrash_async_dwarf_fde_info fde;
  ASSERT_EQ(hxcrash_async_dwarf_fde_info_init<std::uint64_t>(&fde, mem, le(), kBase + fdeAt, false),
            hxcrash_error_none);
  EXPECT_EQ(fde.fde_offset, fdeAt + 4);
  EXPECT_EQ(fde.cie_offset, cieAt);
  EXPECT_EQ(fde.pc_start, kBase + 0x100);
  EXPECT_EQ(fde.pc_end, kBase + 0x120);
  // length, CIE pointer, two sdata4 values, then one byte of augmentation length.
  EXPECT_EQ(fde.instructions_offset, fdeAt + 4 + 4 + 8 + 1);
  EXPECT_EQ(fde.instructions_length, 3u);
}

TEST(DwarfFdeTest, CiePointersOutsideTheSectionAreRefused) {
  Section s;
  s.cie("", {}, {});
  const std::size_t fdeAt = s.fde(0, 0x1000, 0x10, false, false, {});
  s.patch32(fdeAt + 4, 0x100000);  // points before the section start
  const buffer_memory mem = s.memory();
  hxcrash_async_dwarf_fde_info fde;
  EXPECT_EQ(hxcrash_async_dwarf_fde_info_init<std::uint64_t>(&fde, mem, le(), kBase + fdeAt, false),
            hxcrash_error_invalid_argument);

  // .debug_frame, 64-bit form: a CIE offset with its top bit set.
  Section d;
  d.u32(0xffffffffu);
  d.u64(24);
  d.u64(0x8000000000000000u);
  d.u64(0x1000);
  d.u64(0x10);
  const buffer_memory dmem = d.memory();
  EXPECT_EQ(hxcrash_async_dwarf_fde_info_init<std::uint64_t>(&fde, dmem, le(), kBase, true),
            hxcrash_error_invalid_argument);
}

TEST(DwarfFdeTest, RangeOverflowIsRefused) {
  Section s;
  s.cie("", {}, {});
  const std::size_t fdeAt = s.fde(0, 0xfffffffffffffff0u, 0x20, false, false, {});
  const buffer_memory mem = s.memory();
  hxcrash_async_dwarf_fde_info fde;
  EXPECT_EQ(hxcrash_async_dwarf_fde_info_init<std::uint64_t>(&fde, mem, le(), kBase + fdeAt, false),
            hxcrash_error_invalid_argument);
}

TEST(DwarfFindFdeTest, SearchRulesInSectionOrder) {
  Section s;
  const std::size_t cieAt = s.cie("zR", {0x1b}, {0x0c, 0x07, 0x08});
  s.fde(cieAt, 0x5000, 0x100, true, true, {});
  s.fde(cieAt, 0x5100, 0x80, true, true, {});
  s.fde(cieAt, 0x5100, 0x10, true, true, {});  // overlaps the previous one: never chosen
  const buffer_memory mem = s.memory();
  dwarf_frame_reader<buffer_memory> reader;
  ASSERT_EQ(reader.init(&mem, le(), true, false), hxcrash_error_none);
  hxcrash_async_dwarf_fde_info fde;
  ASSERT_EQ(reader.find_fde(0, 0x50ff, &fde), hxcrash_error_none);
  EXPECT_EQ(fde.pc_start, 0x5000u);
  ASSERT_EQ(reader.find_fde(0, 0x5100, &fde), hxcrash_error_none);  // pc_end of the first
  EXPECT_EQ(fde.pc_start, 0x5100u);
  EXPECT_EQ(fde.pc_end, 0x5180u);
  EXPECT_EQ(reader.find_fde(0, 0x5180, &fde), hxcrash_error_not_found);
  EXPECT_EQ(reader.find_fde(0, 0x4fff, &fde), hxcrash_error_not_found);
  EXPECT_EQ(reader.find_fde(static_cast<hxcrash_vm_off_t>(s.size()), 0x5000, &fde), hxcrash_error_invalid_argument);
}

TEST(DwarfFindFdeTest, TerminatorAndDamagedEntriesEndTheSearch) {
  Section s;
  const std::size_t cieAt = s.cie("zR", {0x1b}, {});
  s.u32(0);  // terminator
  s.fde(cieAt, 0x6000, 0x10, true, true, {});
  const buffer_memory mem = s.memory();
  dwarf_frame_reader<buffer_memory> reader;
  reader.init(&mem, le(), true, false);
  hxcrash_async_dwarf_fde_info fde;
  EXPECT_EQ(reader.find_fde(0, 0x6000, &fde), hxcrash_error_not_found);

  Section damaged;
  const std::size_t cie2 = damaged.cie("zR", {0x1b}, {});
  const std::size_t bad = damaged.fde(cie2, 0x6000, 0x10, true, true, {});
  damaged.patch32(bad + 4, 0x7fffff);  // its CIE lies before the section
  damaged.fde(cie2, 0x7000, 0x10, true, true, {});
  const buffer_memory dmem = damaged.memory();
  reader.init(&dmem, le(), true, false);
  EXPECT_EQ(reader.find_fde(0, 0x7000, &fde), hxcrash_error_invalid_argument);
}

TEST(DwarfFindFdeTest, ThirtyTwoBitInstanceAndDebugFrameSections) {
  Section s;
  // .debug_frame: CIE id all ones, FDE's CIE pointer is a section offset.
  s.u32(0);
  s.u32(0xffffffffu);
  s.u8(3);
  s.u8(0);
  s.u8(1);
  s.u8(0x7c);
  s.u8(8);
  s.patch32(0, static_cast<std::uint32_t>(s.size() - 4));
  const std::size_t fdeAt = s.size();
  s.u32(12);
  s.u32(0);  // CIE at offset 0
  s.u32(0x8000);
  s.u32(0x40);
  const buffer_memory mem = s.memory();
  dwarf_frame_reader<buffer_memory> reader;
  reader.init(&mem, le(), false, true);
  hxcrash_async_dwarf_fde_info fde;
  ASSERT_EQ(reader.find_fde(0, 0x8010, &fde), hxcrash_error_none);
  EXPECT_EQ(fde.fde_offset, fdeAt + 4);
  EXPECT_EQ(fde.cie_offset, 0u);
  EXPECT_EQ(fde.pc_start, 0x8000u);
  EXPECT_EQ(fde.pc_end, 0x8040u);
}

}  // namespace
