// The compact unwind reader: every entry of real Mach-O images (clang + ld64.lld, x86-64 and
// arm64) against llvm-objdump's listing, entries applied to stacks held in buffers, the frame
// reader over a real image and over ELF images, hand-made tables with damage, and the register
// permutations.
#include "crash-engine/macho/HXCrashAsyncCompactUnwindEncoding.h"
#include "crash-engine/async/HXCrashAsyncImageList.h"
#include "crash-engine/thread/MSHXCrashFrame.h"

#include "crash-engine/support/MachOTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <regex>
#include <string>
#include <vector>

using namespace hxcrash::MS::async;

namespace {

struct ListedEntry {
  std::uint64_t function;
  std::uint32_t encoding;
};

// The second-level entries of `llvm-objdump --macho --unwind-info`.
std::vector<ListedEntry> listedEntries(const std::string& text) {
  std::vector<ListedEntry> entries;
  const std::regex line(R"(function offset=0x([0-9a-f]+), encoding(\[\d+\])?=0x([0-9a-f]+))");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it) {
    entries.push_back({std::stoull((*it)[1].str(), nullptr, 16),
                       static_cast<std::uint32_t>(std::stoul((*it)[3].str(), nullptr, 16))});
  }
  return entries;
}

#ifdef CE_MACHO_FIXTURE_DIR
// A fixture image loaded into memory and its record on an image list.
class UnwindImage {
 public:
  explicit UnwindImage(const std::string& arch)
      : path_(std::string(CE_MACHO_FIXTURE_DIR) + "/unwind-" + arch + ".macho"), loaded_(cetest::readFile(path_)) {
    MShxcrash_nasync_image_list_init(&list_, vx::mach_task_self());
    MShxcrash_nasync_image_list_append(&list_, loaded_.header(), path_.c_str());
    MShxcrash_async_image_list_set_reading(&list_, true);
    image_ = MShxcrash_async_image_list_next(&list_, nullptr);
    MShxcrash_async_image_list_set_reading(&list_, false);
  }
  ~UnwindImage() { MShxcrash_nasync_image_list_free(&list_); }

  MShxcrash_async_macho* image() { return image_; }
  MShxcrash_async_image_list* list() { return &list_; }
  std::string listing() const { return cetest::readText(path_ + ".unwind.txt"); }
  // The address of a global function, from the image's symbol table.
  std::uint64_t function(const char* name) {
    hxcrash_vm_address_t address = 0;
    EXPECT_EQ(MShxcrash_async_macho_find_symbol_by_name(image_, name, &address), hxcrash_error_none) << name;
    return address;
  }

 private:
  std::string path_;
  cetest::LoadedImage loaded_;
  MShxcrash_async_image_list list_{};
  MShxcrash_async_macho* image_ = nullptr;
};

class CompactUnwindImageTest : public ::testing::TestWithParam<const char*> {};

// Every entry llvm-objdump lists is found at its function's first byte and inside it, with the
// same encoding, and decodes (DWARF and none entries included).
TEST_P(CompactUnwindImageTest, EveryEntryMatchesObjdump) {
  UnwindImage fixture(GetParam());
  ASSERT_NE(fixture.image(), nullptr);
  const auto entries = listedEntries(fixture.listing());
  ASSERT_GE(entries.size(), 5u) << fixture.listing();
  hxcrash_async_mobject section;
  ASSERT_EQ(MShxcrash_async_macho_map_section(fixture.image(), "__TEXT", "__unwind_info", &section),
            hxcrash_error_none);
  const auto cpu = static_cast<std::uint32_t>(MShxcrash_async_macho_cpu_type(fixture.image()));
  MShxcrash_async_cfe_reader reader;
  ASSERT_EQ(MShxcrash_async_cfe_reader_init(&reader, &section, cpu), hxcrash_error_none);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ListedEntry& e = entries[i];
    SCOPED_TRACE(testing::Message() << "function 0x" << std::hex << e.function);
    const std::uint64_t end = i + 1 < entries.size() ? entries[i + 1].function : e.function + 4;
    for (const std::uint64_t pc : {e.function, e.function + (end - e.function) / 2, end - 1}) {
      std::uint64_t base = 0;
      std::uint32_t encoding = 0;
      ASSERT_EQ(MShxcrash_async_cfe_reader_find_pc(&reader, pc, &base, &encoding), hxcrash_error_none);
      EXPECT_EQ(base, e.function);
      EXPECT_EQ(encoding, e.encoding);
    }
    MShxcrash_async_cfe_entry entry;
    EXPECT_EQ(MShxcrash_async_cfe_entry_init(&entry, cpu, e.encoding), hxcrash_error_none);
  }
  // Below the first function nothing is found.
  std::uint64_t base = 0;
  std::uint32_t encoding = 0;
  EXPECT_EQ(MShxcrash_async_cfe_reader_find_pc(&reader, entries.front().function - 1, &base, &encoding),
            hxcrash_error_not_found);
  MShxcrash_async_cfe_reader_free(&reader);
  MShxcrash_async_mobject_free(&section);
}

INSTANTIATE_TEST_SUITE_P(Images, CompactUnwindImageTest, ::testing::Values("x86_64", "arm64"));

// The x86-64 image's encodings cover every kind this test is about.
TEST(CompactUnwindImageKindsTest, X86ImageHoldsEveryKind) {
  UnwindImage fixture("x86_64");
  bool framePointerWithRegisters = false, immediate = false, indirect = false, severalFrameless = false;
  for (const ListedEntry& e : listedEntries(fixture.listing())) {
    MShxcrash_async_cfe_entry entry;
    ASSERT_EQ(MShxcrash_async_cfe_entry_init(&entry, MSHXCRASH_CFE_CPU_TYPE_X86_64, e.encoding), hxcrash_error_none);
    const auto type = MShxcrash_async_cfe_entry_type(&entry);
    const auto count = MShxcrash_async_cfe_entry_register_count(&entry);
    if (type == MShxcrash_async_cfe_entry_frame_ptr && count >= 3) framePointerWithRegisters = true;
    if (type == MShxcrash_async_cfe_entry_frameless_immd) immediate = true;
    if (type == MShxcrash_async_cfe_entry_frameless_indirect) indirect = true;
    if (type != MShxcrash_async_cfe_entry_frame_ptr && count >= 3) severalFrameless = true;
  }
  EXPECT_TRUE(framePointerWithRegisters);
  EXPECT_TRUE(immediate);
  EXPECT_TRUE(indirect);
  EXPECT_TRUE(severalFrameless);
}

// The frame reader over the loaded x86-64 image: a frameless function with an indirect stack
// size (read from its own code) and one with a frame pointer and saved registers, each stopped
// inside its body, with a stack held in a buffer laid out as the function's prologue leaves it.
TEST(CompactUnwindFrameReaderTest, UnwindsRealFunctionsOverBufferStacks) {
  UnwindImage fixture("x86_64");
  const auto entries = listedEntries(fixture.listing());
  const std::uint64_t header = fixture.image()->header_addr;
  auto encodingOf = [&](std::uint64_t address) {
    std::uint32_t encoding = 0;
    for (const ListedEntry& e : entries) {
      if (e.function <= address - header) encoding = e.encoding;
    }
    return encoding;
  };

  // Frameless, indirect: the size is the 32-bit immediate of the function's `sub $n, %rsp`.
  const std::uint64_t big = fixture.function("_nofp_big_stack");
  const std::uint32_t bigEncoding = encodingOf(big);
  ASSERT_EQ((bigEncoding >> 24) & 0xF, 3u);
  std::uint32_t immediate = 0;
  std::memcpy(&immediate, reinterpret_cast<const void*>(big + ((bigEncoding >> 16) & 0xFF)), 4);
  const std::uint32_t adjust = 8 * ((bigEncoding >> 13) & 7);
  const std::uint32_t stackSize = immediate + adjust;
  const std::uint32_t saved = (bigEncoding >> 10) & 7;
  std::vector<std::uint64_t> stack(stackSize / 8 + 4, 0);
  const auto sp = reinterpret_cast<std::uint64_t>(stack.data());
  const std::uint64_t newSp = sp + stackSize;
  *reinterpret_cast<std::uint64_t*>(newSp - 8) = 0xCA11E2;
  std::uint32_t kinds[6] = {};
  ASSERT_EQ(MShxcrash_async_cfe_register_decode(bigEncoding & 0x3FF, saved, kinds), hxcrash_error_none);
  for (std::uint32_t i = 0; i < saved; ++i) {
    *reinterpret_cast<std::uint64_t*>(newSp - 8 - 8 * saved + 8 * i) = 0x5A000 + i;
  }
  hxcrash_async_thread_state current;
  MShxcrash_async_thread_state_init(&current, MShxcrash_CPU_TYPE_X86_64);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_REG_IP, big + 8);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_REG_SP, sp);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_X86_64_RAX, 1);
  hxcrash_async_thread_state next;
  ASSERT_EQ(MSplframe_cursor_read_compact_unwind(vx::mach_task_self(), fixture.list(), &current, nullptr, &next),
            MSPLFRAME_OK);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_IP), 0xCA11E2u);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_SP), newSp);
  EXPECT_FALSE(MShxcrash_async_thread_state_has_reg(&next, MSHXCRASH_X86_64_RAX));  // volatile
  static const hxcrash_regnum_t ids[7] = {0,
                                          MSHXCRASH_X86_64_RBX,
                                          MSHXCRASH_X86_64_R12,
                                          MSHXCRASH_X86_64_R13,
                                          MSHXCRASH_X86_64_R14,
                                          MSHXCRASH_X86_64_R15,
                                          MSHXCRASH_X86_64_RBP};
  for (std::uint32_t i = 0; i < saved; ++i) {
    EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, ids[kinds[i]]), 0x5A000u + i);
  }

  // Frame pointer with saved registers: [fp] saved fp, [fp + 8] return address, registers below.
  const std::uint64_t many = fixture.function("_fp_many_regs");
  const std::uint32_t manyEncoding = encodingOf(many);
  ASSERT_EQ((manyEncoding >> 24) & 0xF, 1u);
  std::vector<std::uint64_t> frame(64, 0);
  const auto fp = reinterpret_cast<std::uint64_t>(frame.data()) + 32 * 8;
  reinterpret_cast<std::uint64_t*>(fp)[0] = fp + 0x100;
  reinterpret_cast<std::uint64_t*>(fp)[1] = 0xCA11E3;
  const std::uint64_t base = fp - 8 * ((manyEncoding >> 16) & 0xFF);
  for (std::uint32_t i = 0; i < 5; ++i) reinterpret_cast<std::uint64_t*>(base)[i] = 0x7B000 + i;
  MShxcrash_async_thread_state_init(&current, MShxcrash_CPU_TYPE_X86_64);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_REG_IP, many + 20);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_REG_FP, fp);
  ASSERT_EQ(MSplframe_cursor_read_compact_unwind(vx::mach_task_self(), fixture.list(), &current, nullptr, &next),
            MSPLFRAME_OK);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_IP), 0xCA11E3u);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_FP), fp + 0x100);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_SP), fp + 16);
  const std::uint32_t registers = manyEncoding & 0x7FFF;
  for (std::uint32_t i = 0; i < 5; ++i) {
    const std::uint32_t kind = (registers >> (3 * i)) & 7;
    if (kind != 0) {
      EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, ids[kind]), 0x7B000u + i);
    }
  }
}
#endif

// ELF images have no compact unwind information: the reader answers "not supported".
TEST(CompactUnwindFrameReaderTest, ElfImagesAreNotSupported) {
  MShxcrash_async_image_list list;
  MShxcrash_nasync_image_list_init(&list, vx::mach_task_self());
  MShxcrash_nasync_image_list_track(&list);
  hxcrash_async_thread_state current;
  MShxcrash_async_thread_state_init(&current, MShxcrash_CPU_TYPE_X86_64);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_REG_IP, reinterpret_cast<std::uint64_t>(&listedEntries) + 4);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_REG_SP, 0x7000);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_REG_FP, 0x7100);
  hxcrash_async_thread_state next;
  EXPECT_EQ(MSplframe_cursor_read_compact_unwind(vx::mach_task_self(), &list, &current, nullptr, &next),
            MSPLFRAME_NOT_SUPPORTED);
  MShxcrash_nasync_image_list_free(&list);
}

// ---- entries applied to stacks held in buffers -----------------------------------------------

namespace {

hxcrash_async_thread_state stateAt(std::uint64_t sp, std::uint64_t fp) {
  hxcrash_async_thread_state state;
  MShxcrash_async_thread_state_init(&state, MShxcrash_CPU_TYPE_X86_64);
  MShxcrash_async_thread_state_set_reg(&state, MSHXCRASH_REG_IP, 0x1234);
  if (sp != 0) MShxcrash_async_thread_state_set_reg(&state, MSHXCRASH_REG_SP, sp);
  if (fp != 0) MShxcrash_async_thread_state_set_reg(&state, MSHXCRASH_REG_FP, fp);
  return state;
}

}  // namespace

TEST(CompactUnwindApplyTest, FramelessImmediateWithoutRegisters) {
  std::uint64_t stack[4] = {1, 2, 0xAAAA, 4};
  const auto sp = reinterpret_cast<std::uint64_t>(stack);
  MShxcrash_async_cfe_entry entry;
  ASSERT_EQ(MShxcrash_async_cfe_entry_init(&entry, MSHXCRASH_CFE_CPU_TYPE_X86_64, 0x02030000), hxcrash_error_none);
  const auto current = stateAt(sp, 0);
  hxcrash_async_thread_state next;
  ASSERT_EQ(MShxcrash_async_cfe_entry_apply(vx::mach_task_self(), 0, &current, &entry, &next), hxcrash_error_none);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_SP), sp + 24);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_IP), 0xAAAAu);
}

TEST(CompactUnwindApplyTest, FramePointerWithTwoRegisters) {
  std::uint64_t stack[6] = {0x12, 0xBB, 0x5000, 0xCCCC, 0, 0};  // r12, rbx, fp, ra
  const auto fp = reinterpret_cast<std::uint64_t>(&stack[2]);
  MShxcrash_async_cfe_entry entry;
  ASSERT_EQ(MShxcrash_async_cfe_entry_init(&entry, MSHXCRASH_CFE_CPU_TYPE_X86_64, 0x0102000A), hxcrash_error_none);
  const auto current = stateAt(0, fp);
  hxcrash_async_thread_state next;
  ASSERT_EQ(MShxcrash_async_cfe_entry_apply(vx::mach_task_self(), 0, &current, &entry, &next), hxcrash_error_none);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_X86_64_R12), 0x12u);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_X86_64_RBX), 0xBBu);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_FP), 0x5000u);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_IP), 0xCCCCu);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_SP), fp + 16);
}

// The function's code holds the size (at the entry's offset); the adjustment adds the pushes.
TEST(CompactUnwindApplyTest, FramelessIndirectReadsTheSizeFromTheFunction) {
  std::uint8_t code[16] = {0x48, 0x81, 0xEC, 0x10, 0x00, 0x00, 0x00};  // sub $0x10, %rsp
  std::uint64_t stack[8] = {0, 0xBB, 0x77, 0xDDDD, 0, 0, 0, 0};        // locals, rbx, return address
  const auto sp = reinterpret_cast<std::uint64_t>(stack);
  // Offset 3, adjustment 1 word (one push), one register: rbx (permutation 0).
  const std::uint32_t encoding = 0x03000000 | (3u << 16) | (1u << 13) | (1u << 10) | 0;
  MShxcrash_async_cfe_entry entry;
  ASSERT_EQ(MShxcrash_async_cfe_entry_init(&entry, MSHXCRASH_CFE_CPU_TYPE_X86_64, encoding), hxcrash_error_none);
  EXPECT_EQ(MShxcrash_async_cfe_entry_stack_offset(&entry), 3);
  EXPECT_EQ(MShxcrash_async_cfe_entry_stack_adjustment(&entry), 8u);
  const auto current = stateAt(sp, 0);
  hxcrash_async_thread_state next;
  ASSERT_EQ(MShxcrash_async_cfe_entry_apply(vx::mach_task_self(), reinterpret_cast<std::uint64_t>(code), &current,
                                            &entry, &next),
            hxcrash_error_none);
  // 0x10 + 8 (the push): the caller's stack starts 24 bytes up, the return address below it and
  // the pushed rbx below that.
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_SP), sp + 24);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_IP), 0x77u);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_X86_64_RBX), 0xBBu);
}

TEST(CompactUnwindApplyTest, MissingRegistersAndUnappliableEntriesFail) {
  MShxcrash_async_cfe_entry entry;
  hxcrash_async_thread_state next;
  ASSERT_EQ(MShxcrash_async_cfe_entry_init(&entry, MSHXCRASH_CFE_CPU_TYPE_X86_64, 0x01000000), hxcrash_error_none);
  auto noFp = stateAt(0x1000, 0);
  EXPECT_EQ(MShxcrash_async_cfe_entry_apply(vx::mach_task_self(), 0, &noFp, &entry, &next), hxcrash_error_not_found);
  ASSERT_EQ(MShxcrash_async_cfe_entry_init(&entry, MSHXCRASH_CFE_CPU_TYPE_X86_64, 0x02010000), hxcrash_error_none);
  auto noSp = stateAt(0, 0x1000);
  EXPECT_EQ(MShxcrash_async_cfe_entry_apply(vx::mach_task_self(), 0, &noSp, &entry, &next), hxcrash_error_not_found);
  // A frame pointer at the top of the address space: fp + 16 overflows.
  ASSERT_EQ(MShxcrash_async_cfe_entry_init(&entry, MSHXCRASH_CFE_CPU_TYPE_X86_64, 0x01000000), hxcrash_error_none);
  auto top = stateAt(0, ~std::uint64_t{0} - 4);
  EXPECT_EQ(MShxcrash_async_cfe_entry_apply(vx::mach_task_self(), 0, &top, &entry, &next),
            hxcrash_error_invalid_argument);
  // An unreadable frame: the read's error.
  auto unmapped = stateAt(0, 0x10);
  EXPECT_NE(MShxcrash_async_cfe_entry_apply(vx::mach_task_self(), 0, &unmapped, &entry, &next), hxcrash_error_none);
  // DWARF entries and arm64 entries are not applied here.
  ASSERT_EQ(MShxcrash_async_cfe_entry_init(&entry, MSHXCRASH_CFE_CPU_TYPE_X86_64, 0x04000123), hxcrash_error_none);
  EXPECT_EQ(MShxcrash_async_cfe_entry_apply(vx::mach_task_self(), 0, &noFp, &entry, &next),
            hxcrash_error_not_supported);
  ASSERT_EQ(MShxcrash_async_cfe_entry_init(&entry, MSHXCRASH_CFE_CPU_TYPE_ARM64, 0x02001000), hxcrash_error_none);
  EXPECT_EQ(MShxcrash_async_cfe_entry_apply(vx::mach_task_self(), 0, &noFp, &entry, &next),
            hxcrash_error_not_supported);
}

// ---- decoding --------------------------------------------------------------------------------

TEST(CompactUnwindEntryTest, DecodesEveryModeOfEveryCpu) {
  struct Case {
    std::uint32_t cpu;
    std::uint32_t encoding;
    hxcrash_error_t err;
    enum MShxcrash_async_cfe_entry_type type;
    std::int64_t offset;
    std::uint32_t adjust;
    std::uint32_t ra;
    std::vector<std::uint32_t> registers;
  };
  const std::uint32_t none = MSHXCRASH_CFE_NO_REGISTER;
  const Case cases[] = {
      {MSHXCRASH_CFE_CPU_TYPE_X86_64, 0x00000000, hxcrash_error_none, MShxcrash_async_cfe_entry_none, 0, 0, none, {}},
      {MSHXCRASH_CFE_CPU_TYPE_X86_64,
       0x0102000A,
       hxcrash_error_none,
       MShxcrash_async_cfe_entry_frame_ptr,
       -16,
       0,
       none,
       {13, 4}},
      {MSHXCRASH_CFE_CPU_TYPE_X86_64,
       0x01000201,
       hxcrash_error_none,  // kinds 1, 0, 0, 1
       MShxcrash_async_cfe_entry_frame_ptr,
       0,
       0,
       none,
       {4, none, none, 4}},
      {MSHXCRASH_CFE_CPU_TYPE_X86_64,
       0x01000007,
       hxcrash_error_invalid_argument,
       MShxcrash_async_cfe_entry_frame_ptr,
       0,
       0,
       none,
       {}},
      {MSHXCRASH_CFE_CPU_TYPE_X86_64,
       0x02031800,
       hxcrash_error_none,  // 6 registers, P = 0
       MShxcrash_async_cfe_entry_frameless_immd,
       24,
       0,
       none,
       {4, 13, 14, 15, 16, 1}},
      {MSHXCRASH_CFE_CPU_TYPE_X86_64,
       0x03044400,
       hxcrash_error_none,
       MShxcrash_async_cfe_entry_frameless_indirect,
       4,
       16,
       none,
       {4}},
      {MSHXCRASH_CFE_CPU_TYPE_X86_64,
       0x04000123,
       hxcrash_error_none,
       MShxcrash_async_cfe_entry_dwarf,
       0x123,
       0,
       none,
       {}},
      {MSHXCRASH_CFE_CPU_TYPE_X86_64,
       0x05000000,
       hxcrash_error_not_supported,
       MShxcrash_async_cfe_entry_none,
       0,
       0,
       none,
       {}},
      {MSHXCRASH_CFE_CPU_TYPE_X86,
       0x0102000A,
       hxcrash_error_none,
       MShxcrash_async_cfe_entry_frame_ptr,
       -8,
       0,
       none,
       {5, 6}},
      {MSHXCRASH_CFE_CPU_TYPE_X86,
       0x03042400,
       hxcrash_error_none,
       MShxcrash_async_cfe_entry_frameless_indirect,
       4,
       4,
       none,
       {6}},
      {MSHXCRASH_CFE_CPU_TYPE_ARM64,
       0x02001011,
       hxcrash_error_none,
       MShxcrash_async_cfe_entry_frameless_immd,
       16,
       0,
       32,
       {31, 30, 23, 22}},
      {MSHXCRASH_CFE_CPU_TYPE_ARM64,
       0x04000006,
       hxcrash_error_none,
       MShxcrash_async_cfe_entry_frame_ptr,
       -32,
       0,
       none,
       {27, 26, 25, 24}},
      {MSHXCRASH_CFE_CPU_TYPE_ARM64,
       0x03000040,
       hxcrash_error_none,
       MShxcrash_async_cfe_entry_dwarf,
       0x40,
       0,
       none,
       {}},
      {MSHXCRASH_CFE_CPU_TYPE_ARM64,
       0x01000000,
       hxcrash_error_not_supported,
       MShxcrash_async_cfe_entry_none,
       0,
       0,
       none,
       {}},
      {0x12, 0x01000000, hxcrash_error_not_supported, MShxcrash_async_cfe_entry_none, 0, 0, none, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.cpu << " 0x" << c.encoding);
    MShxcrash_async_cfe_entry entry;
    ASSERT_EQ(MShxcrash_async_cfe_entry_init(&entry, c.cpu, c.encoding), c.err);
    if (c.err != hxcrash_error_none) continue;
    EXPECT_EQ(MShxcrash_async_cfe_entry_type(&entry), c.type);
    EXPECT_EQ(MShxcrash_async_cfe_entry_stack_offset(&entry), c.offset);
    EXPECT_EQ(MShxcrash_async_cfe_entry_stack_adjustment(&entry), c.adjust);
    EXPECT_EQ(MShxcrash_async_cfe_entry_return_address_register(&entry), c.ra);
    std::vector<std::uint32_t> ids(MShxcrash_async_cfe_entry_register_count(&entry));
    MShxcrash_async_cfe_entry_register_list(&entry, ids.data());
    EXPECT_EQ(ids, c.registers);
  }
}

// Every ordered choice of 1 to 6 kinds encodes into a permutation that decodes back to it.
TEST(CompactUnwindEntryTest, RegisterPermutationsRoundTrip) {
  std::uint32_t kinds[6];
  ASSERT_EQ(MShxcrash_async_cfe_register_decode(0, 3, kinds), hxcrash_error_none);
  EXPECT_EQ(std::vector<std::uint32_t>(kinds, kinds + 3), (std::vector<std::uint32_t>{1, 2, 3}));
  ASSERT_EQ(MShxcrash_async_cfe_register_decode(719, 6, kinds), hxcrash_error_none);
  EXPECT_EQ(std::vector<std::uint32_t>(kinds, kinds + 6), (std::vector<std::uint32_t>{6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(MShxcrash_async_cfe_register_decode(0, 7, kinds), hxcrash_error_invalid_argument);
  std::size_t checked = 0;
  for (std::uint32_t count = 1; count <= 6; ++count) {
    std::vector<std::uint32_t> all{1, 2, 3, 4, 5, 6};
    do {
      // Each distinct prefix of length count once: the rest stays sorted.
      if (!std::is_sorted(all.begin() + count, all.end())) continue;
      const std::uint32_t p = MShxcrash_async_cfe_register_encode(all.data(), count);
      ASSERT_LE(p, 0x3FFu);
      std::uint32_t decoded[6] = {};
      ASSERT_EQ(MShxcrash_async_cfe_register_decode(p, count, decoded), hxcrash_error_none);
      EXPECT_TRUE(std::equal(all.begin(), all.begin() + count, decoded));
      ++checked;
    } while (std::next_permutation(all.begin(), all.end()));
  }
  EXPECT_EQ(checked, 6u + 30u + 120u + 360u + 720u + 720u);
}

// ---- hand-made sections ---------------------------------------------------------------------

namespace {

// A section: header, common encodings, an index of first-level entries and pages.
struct Section {
  std::vector<std::uint8_t> bytes;
  void u32(std::size_t at, std::uint32_t v) {
    if (bytes.size() < at + 4) bytes.resize(at + 4);
    std::memcpy(bytes.data() + at, &v, 4);
  }
  void u16(std::size_t at, std::uint16_t v) {
    if (bytes.size() < at + 2) bytes.resize(at + 2);
    std::memcpy(bytes.data() + at, &v, 2);
  }
  hxcrash_error_t find(std::uint64_t pc, std::uint64_t* base, std::uint32_t* encoding) const {
    const buffer_memory mem{bytes.data(), bytes.size(), reinterpret_cast<std::uint64_t>(bytes.data())};
    cfe_reader<buffer_memory> reader;
    const hxcrash_error_t err = cfe_reader_init(&reader, &mem, MSHXCRASH_CFE_CPU_TYPE_X86_64);
    if (err != hxcrash_error_none) return err;
    return cfe_reader_find_pc(&reader, pc, base, encoding);
  }
};

// Index: [0] 0x1000 -> regular page at 0x100, [1] 0x2000 -> compressed page at 0x200,
// [2] end sentinel 0x3000. Common encodings: none. Regular page: 0x1000 -> A, 0x1800 -> B.
// Compressed page: (0x0, index 0), (0x400, index 1), page encodings C, D.
Section makeSection() {
  Section s;
  s.u32(0, 1);
  s.u32(4, 28);  // common encodings at 28, count 0
  s.u32(8, 0);
  s.u32(12, 28);
  s.u32(16, 0);
  s.u32(20, 0x40);  // index at 0x40, 3 entries
  s.u32(24, 3);
  const std::uint32_t index[3][3] = {{0x1000, 0x100, 0}, {0x2000, 0x200, 0}, {0x3000, 0, 0}};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) s.u32(0x40 + i * 12 + j * 4, index[i][j]);
  }
  s.u32(0x100, 2);
  s.u16(0x104, 8);
  s.u16(0x106, 2);
  s.u32(0x108, 0x1000);
  s.u32(0x10C, 0xA);
  s.u32(0x110, 0x1800);
  s.u32(0x114, 0xB);
  s.u32(0x200, 3);
  s.u16(0x204, 12);
  s.u16(0x206, 2);
  s.u16(0x208, 20);
  s.u16(0x20A, 2);
  s.u32(0x20C, 0x000000);
  s.u32(0x210, 0x01000400);
  s.u32(0x214, 0xC);
  s.u32(0x218, 0xD);
  return s;
}

}  // namespace

TEST(CompactUnwindSectionTest, FindsEntriesInRegularAndCompressedPages) {
  const Section s = makeSection();
  struct Case {
    std::uint64_t pc;
    hxcrash_error_t err;
    std::uint64_t base;
    std::uint32_t encoding;
  };
  const Case cases[] = {
      {0x0fff, hxcrash_error_not_found, 0, 0},   {0x1000, hxcrash_error_none, 0x1000, 0xA},
      {0x17ff, hxcrash_error_none, 0x1000, 0xA}, {0x1800, hxcrash_error_none, 0x1800, 0xB},
      {0x2000, hxcrash_error_none, 0x2000, 0xC},  // index 0 with no common encodings: page 0
      {0x23ff, hxcrash_error_none, 0x2000, 0xC}, {0x2400, hxcrash_error_none, 0x2400, 0xD},
      {0x9000, hxcrash_error_none, 0x2400, 0xD},  // beyond the last entry: its page
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pc);
    std::uint64_t base = 0;
    std::uint32_t encoding = 0;
    ASSERT_EQ(s.find(c.pc, &base, &encoding), c.err);
    if (c.err != hxcrash_error_none) continue;
    EXPECT_EQ(base, c.base);
    EXPECT_EQ(encoding, c.encoding);
  }
}

// Damage of every table gives its error; no read leaves the section (the sanitizer build checks
// the buffer's bounds).
TEST(CompactUnwindSectionTest, DamagedSectionsGiveErrors) {
  struct Case {
    const char* what;
    void (*damage)(Section&);
    std::uint64_t pc;
    hxcrash_error_t expected;
  };
  const Case cases[] = {
      {"cut header", [](Section& s) { s.bytes.resize(20); }, 0x1000, hxcrash_error_invalid_argument},
      {"version 2", [](Section& s) { s.u32(0, 2); }, 0x1000, hxcrash_error_not_supported},
      {"common table outside", [](Section& s) { s.u32(8, 0x40000000); }, 0x1000, hxcrash_error_invalid_argument},
      {"empty index", [](Section& s) { s.u32(24, 0); }, 0x1000, hxcrash_error_not_found},
      {"only the sentinel", [](Section& s) { s.u32(24, 1); }, 0x1000, hxcrash_error_not_found},
      {"index outside", [](Section& s) { s.u32(24, 0x10000000); }, 0x1000, hxcrash_error_invalid_argument},
      {"page outside", [](Section& s) { s.u32(0x44, 0x7fff0000); }, 0x1000, hxcrash_error_invalid_argument},
      {"page kind 4", [](Section& s) { s.u32(0x100, 4); }, 0x1000, hxcrash_error_invalid_argument},
      {"regular entries outside", [](Section& s) { s.u16(0x106, 0xffff); }, 0x1000, hxcrash_error_invalid_argument},
      {"regular page empty", [](Section& s) { s.u16(0x106, 0); }, 0x1000, hxcrash_error_not_found},
      {"compressed entries outside", [](Section& s) { s.u16(0x206, 0xffff); }, 0x2000, hxcrash_error_invalid_argument},
      {"page encodings outside", [](Section& s) { s.u16(0x208, 0xfff0); }, 0x2000, hxcrash_error_invalid_argument},
      {"encoding index too large", [](Section& s) { s.u32(0x210, 0x05000400); }, 0x2400,
       hxcrash_error_invalid_argument},
      {"page header cut", [](Section& s) { s.u32(0x44, static_cast<std::uint32_t>(s.bytes.size() - 4)); }, 0x1000,
       hxcrash_error_invalid_argument},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Section s = makeSection();
    c.damage(s);
    std::uint64_t base = 0;
    std::uint32_t encoding = 0;
    EXPECT_EQ(s.find(c.pc, &base, &encoding), c.expected);
  }
  // Only the known CPU types are read.
  const Section s = makeSection();
  const buffer_memory mem{s.bytes.data(), s.bytes.size(), reinterpret_cast<std::uint64_t>(s.bytes.data())};
  cfe_reader<buffer_memory> reader;
  EXPECT_EQ(cfe_reader_init(&reader, &mem, 18), hxcrash_error_not_supported);
}

}  // namespace
