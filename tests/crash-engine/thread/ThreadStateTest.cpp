// The register record, its register tables, the frame cursor and the frame-pointer reader.
#include "crash-engine/thread/MSHXCrashFrame.h"
#include "crash-engine/thread/MSHXCrashThreadState.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

hxcrash_async_thread_state make(std::int32_t cpu) {
  hxcrash_async_thread_state state;
  EXPECT_EQ(MShxcrash_async_thread_state_init(&state, cpu), hxcrash_error_none);
  return state;
}

TEST(ThreadStateTest, InitSetsFlavorsCountsAndWidth) {
  const hxcrash_async_thread_state s64 = make(MShxcrash_CPU_TYPE_X86_64);
  EXPECT_EQ(s64.x86_state.tsh.flavor, 4u);
  EXPECT_EQ(s64.x86_state.tsh.count, 42u);
  EXPECT_EQ(s64.x86_exception.esh.flavor, 6u);
  EXPECT_EQ(s64.x86_exception.esh.count, 4u);
  EXPECT_EQ(MShxcrash_async_thread_state_get_greg_size(&s64), 8u);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg_count(&s64), 21u);
  EXPECT_EQ(MShxcrash_async_thread_state_get_stack_direction(&s64), MShxcrash_async_thread_stack_direction_down);
  EXPECT_EQ(s64.valid_regs, 0u);

  const hxcrash_async_thread_state s32 = make(MShxcrash_CPU_TYPE_X86);
  EXPECT_EQ(s32.x86_state.tsh.flavor, 1u);
  EXPECT_EQ(s32.x86_state.tsh.count, 16u);
  EXPECT_EQ(s32.x86_exception.esh.flavor, 3u);
  EXPECT_EQ(s32.x86_exception.esh.count, 3u);
  EXPECT_EQ(MShxcrash_async_thread_state_get_greg_size(&s32), 4u);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg_count(&s32), 16u);

  hxcrash_async_thread_state other;
  EXPECT_EQ(MShxcrash_async_thread_state_init(&other, 0x100000c), hxcrash_error_not_supported);
}

TEST(ThreadStateTest, NamesAndDwarfNumbers) {
  const hxcrash_async_thread_state s64 = make(MShxcrash_CPU_TYPE_X86_64);
  const std::vector<std::string> names64 = {"rip", "rbp", "rsp", "rax",    "rbx", "rcx", "rdx",
                                            "rdi", "rsi", "r8",  "r9",     "r10", "r11", "r12",
                                            "r13", "r14", "r15", "rflags", "cs",  "fs",  "gs"};
  for (hxcrash_regnum_t id = 0; id < names64.size(); ++id) {
    EXPECT_EQ(MShxcrash_async_thread_state_get_reg_name(&s64, id), names64[id]);
  }
  const std::vector<std::pair<std::uint64_t, hxcrash_regnum_t>> dwarf64 = {
      {6, 1}, {7, 2}, {0, 3},   {3, 4},   {2, 5},   {1, 6},   {5, 7},
      {4, 8}, {8, 9}, {15, 16}, {49, 17}, {51, 18}, {54, 19}, {55, 20}};
  for (const auto& [dwarf, id] : dwarf64) {
    hxcrash_regnum_t got = 99;
    ASSERT_TRUE(MShxcrash_async_thread_state_map_dwarf_to_reg(&s64, dwarf, &got)) << dwarf;
    EXPECT_EQ(got, id);
    std::uint64_t back = 99;
    ASSERT_TRUE(MShxcrash_async_thread_state_map_reg_to_dwarf(&s64, id, &back));
    EXPECT_EQ(back, dwarf);
  }
  hxcrash_regnum_t got = 0;
  EXPECT_FALSE(MShxcrash_async_thread_state_map_dwarf_to_reg(&s64, 16, &got));
  std::uint64_t dwarf = 0;
  EXPECT_FALSE(MShxcrash_async_thread_state_map_reg_to_dwarf(&s64, MSHXCRASH_REG_IP, &dwarf));

  const hxcrash_async_thread_state s32 = make(MShxcrash_CPU_TYPE_X86);
  EXPECT_STREQ(MShxcrash_async_thread_state_get_reg_name(&s32, 4), "edx");
  EXPECT_STREQ(MShxcrash_async_thread_state_get_reg_name(&s32, 10), "trapno");
  ASSERT_TRUE(MShxcrash_async_thread_state_map_dwarf_to_reg(&s32, 8, &got));
  EXPECT_EQ(got, MSHXCRASH_X86_EIP);
  ASSERT_TRUE(MShxcrash_async_thread_state_map_dwarf_to_reg(&s32, 4, &got));
  EXPECT_EQ(got, MSHXCRASH_X86_EBP);
  ASSERT_TRUE(MShxcrash_async_thread_state_map_dwarf_to_reg(&s32, 5, &got));
  EXPECT_EQ(got, MSHXCRASH_X86_ESP);
  EXPECT_FALSE(MShxcrash_async_thread_state_map_dwarf_to_reg(&s32, 9, &got));
}

TEST(ThreadStateTest, SetTruncatesToTheRegisterWidthAndMarksValid) {
  hxcrash_async_thread_state s32 = make(MShxcrash_CPU_TYPE_X86);
  MShxcrash_async_thread_state_set_reg(&s32, MSHXCRASH_X86_EAX, 0x1122334455667788u);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&s32, MSHXCRASH_X86_EAX), 0x55667788u);
  EXPECT_EQ(s32.x86_state.uts.ts32.eax, 0x55667788u);
  MShxcrash_async_thread_state_set_reg(&s32, MSHXCRASH_X86_TRAPNO, 0x12345);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&s32, MSHXCRASH_X86_TRAPNO), 0x2345u);
  EXPECT_TRUE(MShxcrash_async_thread_state_has_reg(&s32, MSHXCRASH_X86_TRAPNO));
  MShxcrash_async_thread_state_clear_reg(&s32, MSHXCRASH_X86_TRAPNO);
  EXPECT_FALSE(MShxcrash_async_thread_state_has_reg(&s32, MSHXCRASH_X86_TRAPNO));

  hxcrash_async_thread_state s64 = make(MShxcrash_CPU_TYPE_X86_64);
  MShxcrash_async_thread_state_set_reg(&s64, MSHXCRASH_X86_64_R15, 0x1122334455667788u);
  EXPECT_EQ(s64.x86_state.uts.ts64.r15, 0x1122334455667788u);
  MShxcrash_async_thread_state_set_reg(&s64, MSHXCRASH_REG_IP, 0x401000);
  EXPECT_EQ(s64.x86_state.uts.ts64.rip, 0x401000u);
  hxcrash_async_thread_state copy;
  MShxcrash_async_thread_state_copy(&copy, &s64);
  EXPECT_EQ(std::memcmp(&copy, &s64, sizeof copy), 0);
  MShxcrash_async_thread_state_clear_all_regs(&copy);
  EXPECT_EQ(copy.valid_regs, 0u);
  EXPECT_EQ(copy.x86_state.uts.ts64.rip, 0x401000u);
}

TEST(ThreadStateTest, ClearingVolatileRegistersKeepsTheCalleeSavedOnes) {
  hxcrash_async_thread_state s64 = make(MShxcrash_CPU_TYPE_X86_64);
  for (hxcrash_regnum_t id = 0; id < 21; ++id) MShxcrash_async_thread_state_set_reg(&s64, id, id);
  MShxcrash_async_thread_state_clear_volatile_regs(&s64);
  EXPECT_EQ(s64.valid_regs, (1u << 4) | (1u << 2) | (1u << 1) | (1u << 13) | (1u << 14) | (1u << 15) | (1u << 16));
  hxcrash_async_thread_state s32 = make(MShxcrash_CPU_TYPE_X86);
  for (hxcrash_regnum_t id = 0; id < 16; ++id) MShxcrash_async_thread_state_set_reg(&s32, id, id);
  MShxcrash_async_thread_state_clear_volatile_regs(&s32);
  EXPECT_EQ(s32.valid_regs, (1u << 6) | (1u << 1) | (1u << 7) | (1u << 8) | (1u << 2));
}

TEST(ThreadStateTest, MachineContextFillsEveryRegisterAndTheExceptionState) {
  mcontext_t context;
  std::memset(&context, 0, sizeof context);
  for (int i = 0; i < NGREG; ++i) context.gregs[i] = 0x100 + i;
  context.gregs[REG_CSGSFS] = 0x0000002b00000033;  // fs 0x2b, gs 0, cs 0x33
  context.gregs[REG_TRAPNO] = 14;
  context.gregs[REG_ERR] = 6;
  context.gregs[REG_CR2] = 0xdead;
  hxcrash_async_thread_state state;
  ASSERT_EQ(MShxcrash_async_thread_state_mcontext_init(&state, &context), hxcrash_error_none);
  EXPECT_EQ(state.valid_regs, ~std::uint64_t{0});
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&state, MSHXCRASH_REG_IP), 0x100u + REG_RIP);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&state, MSHXCRASH_REG_SP), 0x100u + REG_RSP);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&state, MSHXCRASH_REG_FP), 0x100u + REG_RBP);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&state, MSHXCRASH_X86_64_RAX), 0x100u + REG_RAX);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&state, MSHXCRASH_X86_64_R8), 0x100u + REG_R8);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&state, MSHXCRASH_X86_64_RFLAGS), 0x100u + REG_EFL);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&state, MSHXCRASH_X86_64_CS), 0x33u);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&state, MSHXCRASH_X86_64_FS), 0x2bu);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&state, MSHXCRASH_X86_64_GS), 0u);
  EXPECT_EQ(state.x86_exception.ues.es64.trapno, 14);
  EXPECT_EQ(state.x86_exception.ues.es64.err, 6u);
  EXPECT_EQ(state.x86_exception.ues.es64.faultvaddr, 0xdeadu);
}

// Every general register of a signal's context: its id, name, DWARF number, the field of the
// 64-bit block it lands in, and the value read back by id, each set to a distinct value.
TEST(ThreadStateTest, EveryGeneralRegisterKeepsItsNameNumberAndValue) {
  struct Row {
    int greg;
    hxcrash_regnum_t id;
    const char* name;
    int dwarf;  // -1: no DWARF number
    std::uint64_t MShxcrash_x86_thread_state64::*field;
  };
  const Row rows[] = {
      {REG_RIP, MSHXCRASH_X86_64_RIP, "rip", -1, &MShxcrash_x86_thread_state64::rip},
      {REG_RBP, MSHXCRASH_X86_64_RBP, "rbp", 6, &MShxcrash_x86_thread_state64::rbp},
      {REG_RSP, MSHXCRASH_X86_64_RSP, "rsp", 7, &MShxcrash_x86_thread_state64::rsp},
      {REG_RAX, MSHXCRASH_X86_64_RAX, "rax", 0, &MShxcrash_x86_thread_state64::rax},
      {REG_RBX, MSHXCRASH_X86_64_RBX, "rbx", 3, &MShxcrash_x86_thread_state64::rbx},
      {REG_RCX, MSHXCRASH_X86_64_RCX, "rcx", 2, &MShxcrash_x86_thread_state64::rcx},
      {REG_RDX, MSHXCRASH_X86_64_RDX, "rdx", 1, &MShxcrash_x86_thread_state64::rdx},
      {REG_RDI, MSHXCRASH_X86_64_RDI, "rdi", 5, &MShxcrash_x86_thread_state64::rdi},
      {REG_RSI, MSHXCRASH_X86_64_RSI, "rsi", 4, &MShxcrash_x86_thread_state64::rsi},
      {REG_R8, MSHXCRASH_X86_64_R8, "r8", 8, &MShxcrash_x86_thread_state64::r8},
      {REG_R9, MSHXCRASH_X86_64_R9, "r9", 9, &MShxcrash_x86_thread_state64::r9},
      {REG_R10, MSHXCRASH_X86_64_R10, "r10", 10, &MShxcrash_x86_thread_state64::r10},
      {REG_R11, MSHXCRASH_X86_64_R11, "r11", 11, &MShxcrash_x86_thread_state64::r11},
      {REG_R12, MSHXCRASH_X86_64_R12, "r12", 12, &MShxcrash_x86_thread_state64::r12},
      {REG_R13, MSHXCRASH_X86_64_R13, "r13", 13, &MShxcrash_x86_thread_state64::r13},
      {REG_R14, MSHXCRASH_X86_64_R14, "r14", 14, &MShxcrash_x86_thread_state64::r14},
      {REG_R15, MSHXCRASH_X86_64_R15, "r15", 15, &MShxcrash_x86_thread_state64::r15},
      {REG_EFL, MSHXCRASH_X86_64_RFLAGS, "rflags", 49, &MShxcrash_x86_thread_state64::rflags},
  };
  mcontext_t context;
  std::memset(&context, 0, sizeof context);
  for (const Row& row : rows) {
    context.gregs[row.greg] = static_cast<greg_t>(0x1111000000000000u + 0x1010u * row.greg);
  }
  hxcrash_async_thread_state state;
  ASSERT_EQ(MShxcrash_async_thread_state_mcontext_init(&state, &context), hxcrash_error_none);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto expected = static_cast<std::uint64_t>(context.gregs[row.greg]);
    EXPECT_STREQ(MShxcrash_async_thread_state_get_reg_name(&state, row.id), row.name);
    EXPECT_EQ(state.x86_state.uts.ts64.*row.field, expected);
    EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&state, row.id), expected);
    std::uint64_t dwarf = 99;
    if (row.dwarf < 0) {
      EXPECT_FALSE(MShxcrash_async_thread_state_map_reg_to_dwarf(&state, row.id, &dwarf));
      continue;
    }
    ASSERT_TRUE(MShxcrash_async_thread_state_map_reg_to_dwarf(&state, row.id, &dwarf));
    EXPECT_EQ(dwarf, static_cast<std::uint64_t>(row.dwarf));
    hxcrash_regnum_t id = 99;
    ASSERT_TRUE(MShxcrash_async_thread_state_map_dwarf_to_reg(&state, dwarf, &id));
    EXPECT_EQ(id, row.id);
    // Setting by id writes the named field and nothing else.
    hxcrash_async_thread_state edited;
    MShxcrash_async_thread_state_copy(&edited, &state);
    MShxcrash_async_thread_state_set_reg(&edited, id, 0x5a5a);
    EXPECT_EQ(edited.x86_state.uts.ts64.*row.field, 0x5a5au);
    for (const Row& other : rows) {
      if (other.id == row.id) continue;
      EXPECT_EQ(edited.x86_state.uts.ts64.*other.field, state.x86_state.uts.ts64.*other.field) << other.name;
    }
  }
}

TEST(FrameCursorTest, ErrorTexts) {
  const std::vector<std::string> texts = {"No error",        "Unknown error",           "No frames are available",
                                          "Corrupted frame", "Operation not supported", "Invalid argument",
                                          "Internal error",  "Invalid register"};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(MSplframe_strerror(static_cast<MSplframe_error_t>(i)), texts[i]);
  }
  EXPECT_STREQ(MSplframe_strerror(static_cast<MSplframe_error_t>(8)), "Unhandled error code");
}

// Scripted readers: each answers from a table and counts its calls.
int gCalls[3];
std::uint64_t gNextIp = 0x2000;
bool gGiveIp = true;

template <int N, MSplframe_error_t Result>
MSplframe_error_t scripted(vx::task_t, MShxcrash_async_image_list*, const hxcrash_async_thread_state* current,
                           const hxcrash_async_thread_state* previous, hxcrash_async_thread_state* next) {
  gCalls[N] += 1;
  if (Result != MSPLFRAME_OK) return Result;
  EXPECT_EQ(previous == nullptr, MShxcrash_async_thread_state_get_reg(current, 0) == 0x5000);
  MShxcrash_async_thread_state_copy(next, current);
  MShxcrash_async_thread_state_clear_all_regs(next);
  if (gGiveIp) MShxcrash_async_thread_state_set_reg(next, MSHXCRASH_REG_IP, gNextIp);
  return MSPLFRAME_OK;
}

class FrameCursorScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gCalls[0] = gCalls[1] = gCalls[2] = 0;
    gNextIp = 0x2000;
    gGiveIp = true;
    state_ = make(MShxcrash_CPU_TYPE_X86_64);
    MShxcrash_async_thread_state_set_reg(&state_, MSHXCRASH_REG_IP, 0x5000);
    MSplframe_cursor_init(&cursor_, vx::mach_task_self(), &state_, nullptr);
  }
  void TearDown() override { MSplframe_cursor_free(&cursor_); }

  hxcrash_async_thread_state state_;
  MSplframe_cursor cursor_;
};

TEST_F(FrameCursorScriptTest, FirstStepYieldsTheInitialStateWithoutAskingReaders) {
  const MSplframe_cursor_frame_reader_t readers[] = {scripted<0, MSPLFRAME_OK>};
  ASSERT_EQ(MSplframe_cursor_next_with_readers(&cursor_, readers, 1), MSPLFRAME_OK);
  EXPECT_EQ(gCalls[0], 0);
  std::uint64_t ip = 0;
  ASSERT_EQ(MSplframe_cursor_get_reg(&cursor_, MSHXCRASH_REG_IP, &ip), MSPLFRAME_OK);
  EXPECT_EQ(ip, 0x5000u);
  EXPECT_EQ(MSplframe_cursor_get_reg(&cursor_, MSHXCRASH_REG_SP, &ip), MSPLFRAME_NOT_SUPPORTED);
  EXPECT_STREQ(MSplframe_cursor_get_regname(&cursor_, 2), "rsp");
  EXPECT_EQ(MSplframe_cursor_get_regcount(&cursor_), 21u);
  EXPECT_EQ(MSplframe_cursor_next_with_readers(&cursor_, readers, 0), MSPLFRAME_INVALID_ARG);
}

TEST_F(FrameCursorScriptTest, ReadersAreAskedInOrderUntilOneAnswers) {
  const MSplframe_cursor_frame_reader_t readers[] = {scripted<0, MSPLFRAME_NOT_SUPPORTED>, scripted<1, MSPLFRAME_OK>,
                                                     scripted<2, MSPLFRAME_OK>};
  ASSERT_EQ(MSplframe_cursor_next_with_readers(&cursor_, readers, 3), MSPLFRAME_OK);
  ASSERT_EQ(MSplframe_cursor_next_with_readers(&cursor_, readers, 3), MSPLFRAME_OK);
  EXPECT_EQ(gCalls[0], 1);
  EXPECT_EQ(gCalls[1], 1);
  EXPECT_EQ(gCalls[2], 0);
  EXPECT_EQ(cursor_.depth, 2u);
  std::uint64_t ip = 0;
  MSplframe_cursor_get_reg(&cursor_, MSHXCRASH_REG_IP, &ip);
  EXPECT_EQ(ip, 0x2000u);

  const MSplframe_cursor_frame_reader_t failing[] = {scripted<0, MSPLFRAME_NOT_SUPPORTED>,
                                                     scripted<1, MSPLFRAME_BAD_FRAME>};
  EXPECT_EQ(MSplframe_cursor_next_with_readers(&cursor_, failing, 2), MSPLFRAME_BAD_FRAME);
  EXPECT_EQ(cursor_.depth, 2u);
}

TEST_F(FrameCursorScriptTest, LowOrMissingInstructionPointersEndTheWalk) {
  const MSplframe_cursor_frame_reader_t readers[] = {scripted<0, MSPLFRAME_OK>};
  MSplframe_cursor_next_with_readers(&cursor_, readers, 1);
  gNextIp = 0x1000;
  EXPECT_EQ(MSplframe_cursor_next_with_readers(&cursor_, readers, 1), MSPLFRAME_NO_FRAME);
  EXPECT_EQ(cursor_.depth, 1u);
  gGiveIp = false;
  EXPECT_EQ(MSplframe_cursor_next_with_readers(&cursor_, readers, 1), MSPLFRAME_NO_FRAME);
  gGiveIp = true;
  gNextIp = 0x1001;
  EXPECT_EQ(MSplframe_cursor_next_with_readers(&cursor_, readers, 1), MSPLFRAME_OK);
  EXPECT_EQ(cursor_.depth, 2u);
}

// A reader's frame must move up the stack; otherwise the next reader is asked.
std::uint64_t gStepIp = 0;
std::uint64_t gStepSp = 0;  // 0: the frame has no stack pointer
std::uint64_t gStepFp = 0;  // 0: the frame has no frame pointer

MSplframe_error_t stepTo(vx::task_t, MShxcrash_async_image_list*, const hxcrash_async_thread_state* current,
                         const hxcrash_async_thread_state*, hxcrash_async_thread_state* next) {
  gCalls[0] += 1;
  MShxcrash_async_thread_state_copy(next, current);
  MShxcrash_async_thread_state_clear_all_regs(next);
  MShxcrash_async_thread_state_set_reg(next, MSHXCRASH_REG_IP, gStepIp);
  if (gStepSp != 0) MShxcrash_async_thread_state_set_reg(next, MSHXCRASH_REG_SP, gStepSp);
  if (gStepFp != 0) MShxcrash_async_thread_state_set_reg(next, MSHXCRASH_REG_FP, gStepFp);
  return MSPLFRAME_OK;
}

MSplframe_error_t fallback(vx::task_t, MShxcrash_async_image_list*, const hxcrash_async_thread_state* current,
                           const hxcrash_async_thread_state*, hxcrash_async_thread_state* next) {
  gCalls[1] += 1;
  MShxcrash_async_thread_state_copy(next, current);
  MShxcrash_async_thread_state_clear_all_regs(next);
  MShxcrash_async_thread_state_set_reg(next, MSHXCRASH_REG_IP, 0x7777);
  return MSPLFRAME_OK;
}

TEST(FrameCursorTest, FramesThatDoNotMoveUpTheStackAreRefused) {
  // The signal return trampoline as code the current frame stands on.
  static const std::uint8_t trampoline[] = {0x48, 0xc7, 0xc0, 0x0f, 0x00, 0x00, 0x00, 0x0f, 0x05};
  static const std::uint8_t other[] = {0x48, 0xc7, 0xc0, 0x3c, 0x00, 0x00, 0x00, 0x0f, 0x05};
  const auto atTrampoline = reinterpret_cast<std::uint64_t>(trampoline);
  const auto atOther = reinterpret_cast<std::uint64_t>(other);
  struct Case {
    const char* name;
    std::uint64_t ip, sp, fp;  // the current frame (sp, fp 0: absent)
    std::uint64_t nextIp, nextSp, nextFp;
    bool accepted;  // the first reader's frame is taken
  };
  const Case cases[] = {
      {"higher stack pointer", 0x5000, 0x8000, 0, 0x6000, 0x8008, 0, true},
      {"same stack pointer", 0x5000, 0x8000, 0, 0x6000, 0x8000, 0, false},
      {"lower stack pointer", 0x5000, 0x8000, 0, 0x6000, 0x7ff8, 0, false},
      {"the same frame again", 0x5000, 0x8000, 0x9000, 0x5000, 0x8000, 0x9000, false},
      {"same frame without a stack pointer", 0x5000, 0, 0x9000, 0x5000, 0, 0x9000, false},
      {"same instruction, higher frame", 0x5000, 0x8000, 0x9000, 0x5000, 0x8100, 0x9100, true},
      {"no stack pointer to compare", 0x5000, 0, 0x9000, 0x6000, 0, 0x9100, true},
      {"lower stack pointer above the trampoline", atTrampoline, 0x8000, 0, 0x6000, 0x100, 0, true},
      {"lower stack pointer above other code", atOther, 0x8000, 0, 0x6000, 0x100, 0, false},
  };
  const MSplframe_cursor_frame_reader_t readers[] = {stepTo, fallback};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hxcrash_async_thread_state state = make(MShxcrash_CPU_TYPE_X86_64);
    MShxcrash_async_thread_state_set_reg(&state, MSHXCRASH_REG_IP, c.ip);
    if (c.sp != 0) MShxcrash_async_thread_state_set_reg(&state, MSHXCRASH_REG_SP, c.sp);
    if (c.fp != 0) MShxcrash_async_thread_state_set_reg(&state, MSHXCRASH_REG_FP, c.fp);
    gStepIp = c.nextIp;
    gStepSp = c.nextSp;
    gStepFp = c.nextFp;
    gCalls[0] = gCalls[1] = 0;
    MSplframe_cursor cursor;
    MSplframe_cursor_init(&cursor, vx::mach_task_self(), &state, nullptr);
    ASSERT_EQ(MSplframe_cursor_next_with_readers(&cursor, readers, 2), MSPLFRAME_OK);
    ASSERT_EQ(MSplframe_cursor_next_with_readers(&cursor, readers, 2), MSPLFRAME_OK);
    std::uint64_t ip = 0;
    MSplframe_cursor_get_reg(&cursor, MSHXCRASH_REG_IP, &ip);
    EXPECT_EQ(ip, c.accepted ? c.nextIp : 0x7777u);
    EXPECT_EQ(gCalls[1], c.accepted ? 0 : 1);
    // With no reader left the walk ends as a corrupted frame, where it was.
    MSplframe_cursor_free(&cursor);
    if (!c.accepted) {
      MSplframe_cursor_init(&cursor, vx::mach_task_self(), &state, nullptr);
      MSplframe_cursor_next_with_readers(&cursor, readers, 1);
      EXPECT_EQ(MSplframe_cursor_next_with_readers(&cursor, readers, 1), MSPLFRAME_BAD_FRAME);
      EXPECT_EQ(cursor.depth, 1u);
      MSplframe_cursor_free(&cursor);
    }
  }
}

TEST(FrameCursorTest, CursorHoldsOneTaskReferenceUntilFreed) {
  const std::int32_t before = vx::task_self_user_references();
  hxcrash_async_thread_state state = make(MShxcrash_CPU_TYPE_X86_64);
  MSplframe_cursor cursor;
  MSplframe_cursor_init(&cursor, vx::mach_task_self(), &state, nullptr);
  EXPECT_EQ(vx::task_self_user_references(), before + 1);
  MSplframe_cursor_free(&cursor);
  EXPECT_EQ(vx::task_self_user_references(), before);
}

TEST(FrameCursorTest, CompactUnwindAnswersNotSupportedOnElfImages) {
  hxcrash_async_thread_state state = make(MShxcrash_CPU_TYPE_X86_64);
  hxcrash_async_thread_state next;
  EXPECT_EQ(MSplframe_cursor_read_compact_unwind(vx::mach_task_self(), nullptr, &state, nullptr, &next),
            MSPLFRAME_NOT_SUPPORTED);
}

TEST(FramePointerReaderTest, FollowsTheSavedChainAndChecksItsDirection) {
  std::uint64_t frames[4] = {0, 0x401111, 0, 0x402222};
  frames[0] = reinterpret_cast<std::uint64_t>(&frames[2]);
  hxcrash_async_thread_state current = make(MShxcrash_CPU_TYPE_X86_64);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_REG_FP, reinterpret_cast<std::uint64_t>(frames));
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_REG_SP, 0x1234);
  hxcrash_async_thread_state next;
  ASSERT_EQ(MSplframe_cursor_read_frame_ptr(vx::mach_task_self(), nullptr, &current, nullptr, &next), MSPLFRAME_OK);
  EXPECT_EQ(next.valid_regs, (1u << MSHXCRASH_REG_IP) | (1u << MSHXCRASH_REG_FP));
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_IP), 0x401111u);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_FP), reinterpret_cast<std::uint64_t>(&frames[2]));

  // The previous frame's pointer above the current one: the stack grows the wrong way.
  hxcrash_async_thread_state previous = make(MShxcrash_CPU_TYPE_X86_64);
  MShxcrash_async_thread_state_set_reg(&previous, MSHXCRASH_REG_FP, reinterpret_cast<std::uint64_t>(&frames[2]));
  EXPECT_EQ(MSplframe_cursor_read_frame_ptr(vx::mach_task_self(), nullptr, &current, &previous, &next),
            MSPLFRAME_BAD_FRAME);
  MShxcrash_async_thread_state_set_reg(&previous, MSHXCRASH_REG_FP, reinterpret_cast<std::uint64_t>(frames));
  EXPECT_EQ(MSplframe_cursor_read_frame_ptr(vx::mach_task_self(), nullptr, &current, &previous, &next), MSPLFRAME_OK);

  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_REG_FP, 0);
  EXPECT_EQ(MSplframe_cursor_read_frame_ptr(vx::mach_task_self(), nullptr, &current, nullptr, &next),
            MSPLFRAME_NO_FRAME);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_REG_FP, 0x10);
  EXPECT_EQ(MSplframe_cursor_read_frame_ptr(vx::mach_task_self(), nullptr, &current, nullptr, &next),
            MSPLFRAME_BAD_FRAME);
  MShxcrash_async_thread_state_clear_reg(&current, MSHXCRASH_REG_FP);
  EXPECT_EQ(MSplframe_cursor_read_frame_ptr(vx::mach_task_self(), nullptr, &current, nullptr, &next),
            MSPLFRAME_BAD_FRAME);
}

TEST(FramePointerReaderTest, ThirtyTwoBitFramesReadTwoFourByteWords) {
  // A page below 4 GiB, so its address fits a 32-bit frame pointer.
  void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  auto* words = static_cast<std::uint32_t*>(page);
  words[0] = 0x0badf00d;
  words[1] = 0x08041234;
  words[2] = 0xffffffff;
  hxcrash_async_thread_state current = make(MShxcrash_CPU_TYPE_X86);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_REG_FP, reinterpret_cast<std::uint64_t>(page));
  hxcrash_async_thread_state next;
  ASSERT_EQ(MSplframe_cursor_read_frame_ptr(vx::mach_task_self(), nullptr, &current, nullptr, &next), MSPLFRAME_OK);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_FP), 0x0badf00du);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_IP), 0x08041234u);
  munmap(page, 4096);
}

TEST(DwarfFrameReaderTest, FramesWithoutAnImageOrInstructionPointerAreRefused) {
  MShxcrash_async_image_list images;
  MShxcrash_nasync_image_list_init(&images, vx::mach_task_self());
  hxcrash_async_thread_state current = make(MShxcrash_CPU_TYPE_X86_64);
  hxcrash_async_thread_state next;
  EXPECT_EQ(MSplframe_cursor_read_dwarf_unwind(vx::mach_task_self(), &images, &current, nullptr, &next),
            MSPLFRAME_BAD_FRAME);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_REG_IP, 0x10);
  EXPECT_EQ(MSplframe_cursor_read_dwarf_unwind(vx::mach_task_self(), &images, &current, nullptr, &next),
            MSPLFRAME_NOT_SUPPORTED);
  MShxcrash_nasync_image_list_free(&images);
}

}  // namespace
