// The DWARF expression evaluator on byte tables, in its 64-bit and 32-bit instances.
#include "crash-engine/dwarf/HXCrashAsyncDwarfExpression.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace hxcrash::MS::async;

namespace {

using Bytes = std::vector<std::uint8_t>;

hxcrash_async_thread_state state64() {
  hxcrash_async_thread_state state;
  MShxcrash_async_thread_state_init(&state, MShxcrash_CPU_TYPE_X86_64);
  return state;
}

template <typename machine_ptr, typename machine_ptr_s>
hxcrash_error_t eval(const Bytes& bytes, machine_ptr* result, const hxcrash_async_thread_state* state = nullptr,
                     std::vector<machine_ptr> initial = {}) {
  static const Bytes empty(1, 0);
  const Bytes& storage = bytes.empty() ? empty : bytes;
  const buffer_memory mem{storage.data(), storage.size(), reinterpret_cast<std::uint64_t>(storage.data())};
  const hxcrash_async_thread_state fallback = state64();
  return hxcrash_async_dwarf_expression_eval<machine_ptr, machine_ptr_s>(
      mem, vx::mach_task_self(), state != nullptr ? state : &fallback, MShxcrash_async_byteorder_little_endian(),
      mem.address, 0, static_cast<hxcrash_vm_off_t>(bytes.size()), initial.data(), initial.size(), result);
}

hxcrash_error_t eval64(const Bytes& bytes, std::uint64_t* result, const hxcrash_async_thread_state* state = nullptr,
                       std::vector<std::uint64_t> initial = {}) {
  return eval<std::uint64_t, std::int64_t>(bytes, result, state, std::move(initial));
}

hxcrash_error_t eval32(const Bytes& bytes, std::uint32_t* result) {
  return eval<std::uint32_t, std::int32_t>(bytes, result);
}

struct Case {
  const char* name;
  Bytes bytes;
  hxcrash_error_t error;
  std::uint64_t value;
};

constexpr std::uint64_t kMin64 = 0x8000000000000000u;

TEST(DwarfExpressionTest, OperationTable64) {
  const std::vector<Case> cases = {
      {"lit31", {0x4f}, hxcrash_error_none, 31},
      {"const1u", {0x08, 0xff}, hxcrash_error_none, 0xff},
      {"const1s", {0x09, 0xff}, hxcrash_error_none, ~std::uint64_t{0}},
      {"const2u", {0x0a, 0x34, 0x12}, hxcrash_error_none, 0x1234},
      {"const2s", {0x0b, 0xfe, 0xff}, hxcrash_error_none, static_cast<std::uint64_t>(-2)},
      {"const4u", {0x0c, 1, 0, 0, 0x80}, hxcrash_error_none, 0x80000001u},
      {"const4s", {0x0d, 0xfc, 0xff, 0xff, 0xff}, hxcrash_error_none, static_cast<std::uint64_t>(-4)},
      {"const8u", {0x0e, 8, 7, 6, 5, 4, 3, 2, 1}, hxcrash_error_none, 0x0102030405060708u},
      {"const8s short", {0x0f, 1, 2}, hxcrash_error_invalid_argument, 0},
      {"constu", {0x10, 0x80, 0x01}, hxcrash_error_none, 128},
      {"consts", {0x11, 0x7f}, hxcrash_error_none, ~std::uint64_t{0}},
      {"dup plus", {0x35, 0x12, 0x22}, hxcrash_error_none, 10},
      {"drop", {0x31, 0x32, 0x13}, hxcrash_error_none, 1},
      {"over", {0x31, 0x32, 0x14}, hxcrash_error_none, 1},
      {"pick 2", {0x31, 0x32, 0x33, 0x15, 0x02}, hxcrash_error_none, 1},
      {"pick past depth", {0x31, 0x15, 0x01}, hxcrash_error_invalid_argument, 0},
      {"swap minus", {0x35, 0x32, 0x16, 0x1c}, hxcrash_error_none, static_cast<std::uint64_t>(-3)},
      {"rot", {0x31, 0x32, 0x33, 0x17}, hxcrash_error_none, 2},
      {"rot short", {0x31, 0x32, 0x17}, hxcrash_error_invalid_argument, 0},
      {"dup empty", {0x12}, hxcrash_error_invalid_argument, 0},
      {"drop empty", {0x13}, hxcrash_error_invalid_argument, 0},
      {"over short", {0x31, 0x14}, hxcrash_error_invalid_argument, 0},
      {"swap short", {0x31, 0x16}, hxcrash_error_invalid_argument, 0},
      {"abs", {0x11, 0x7b, 0x19}, hxcrash_error_none, 5},
      {"neg", {0x35, 0x1f}, hxcrash_error_none, static_cast<std::uint64_t>(-5)},
      {"neg MIN wraps", {0x0e, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x1f}, hxcrash_error_none, kMin64},
      {"not", {0x30, 0x20}, hxcrash_error_none, ~std::uint64_t{0}},
      {"and or xor", {0x3c, 0x3a, 0x1a, 0x31, 0x21, 0x3f, 0x27}, hxcrash_error_none, 6},
      {"mul", {0x36, 0x37, 0x1e}, hxcrash_error_none, 42},
      {"div signed", {0x11, 0x79, 0x32, 0x1b}, hxcrash_error_none, static_cast<std::uint64_t>(-3)},
      {"div MIN by -1", {0x0e, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x11, 0x7f, 0x1b}, hxcrash_error_none, kMin64},
      {"div by zero", {0x31, 0x30, 0x1b}, hxcrash_error_invalid_argument, 0},
      {"mod unsigned", {0x11, 0x7f, 0x3a, 0x1d}, hxcrash_error_none, 5},
      {"mod by zero", {0x31, 0x30, 0x1d}, hxcrash_error_invalid_argument, 0},
      {"plus_uconst", {0x31, 0x23, 0x80, 0x01}, hxcrash_error_none, 129},
      {"shl", {0x31, 0x10, 0x3f, 0x24}, hxcrash_error_none, kMin64},
      {"shl modulo width", {0x31, 0x10, 0xc1, 0x00, 0x24}, hxcrash_error_none, 2},
      {"shr -1 by 63", {0x11, 0x7f, 0x10, 0x3f, 0x25}, hxcrash_error_none, 1},
      {"shra -1 by 63", {0x11, 0x7f, 0x10, 0x3f, 0x26}, hxcrash_error_none, ~std::uint64_t{0}},
      {"shra positive", {0x40, 0x31, 0x26}, hxcrash_error_none, 8},
      {"lt -1 1", {0x11, 0x7f, 0x31, 0x2d}, hxcrash_error_none, 1},
      {"gt -1 1", {0x11, 0x7f, 0x31, 0x2b}, hxcrash_error_none, 0},
      {"eq ge le ne",
       {0x32, 0x32, 0x29, 0x32, 0x31, 0x2a, 0x22, 0x33, 0x33, 0x2c, 0x22, 0x31, 0x32, 0x2e, 0x22},
       hxcrash_error_none,
       4},
      {"skip over lit", {0x31, 0x2f, 0x01, 0x00, 0x32}, hxcrash_error_none, 1},
      {"bra taken", {0x35, 0x31, 0x28, 0x01, 0x00, 0x13}, hxcrash_error_none, 5},
      {"bra not taken", {0x35, 0x30, 0x28, 0x01, 0x00, 0x13}, hxcrash_error_invalid_argument, 0},
      {"bra to end", {0x31, 0x28, 0x00, 0x00}, hxcrash_error_invalid_argument, 0},
      {"skip past end", {0x31, 0x2f, 0x01, 0x00}, hxcrash_error_invalid_argument, 0},
      {"skip before start", {0x31, 0x2f, 0xf0, 0xff}, hxcrash_error_invalid_argument, 0},
      {"nop", {0x96, 0x33}, hxcrash_error_none, 3},
      {"deref_size 3", {0x31, 0x94, 0x03}, hxcrash_error_invalid_argument, 0},
      {"deref_size 9", {0x31, 0x94, 0x09}, hxcrash_error_invalid_argument, 0},
      {"deref of unmapped", {0x31, 0x06}, hxcrash_error_not_found, 0},
      {"xderef short", {0x31, 0x18}, hxcrash_error_invalid_argument, 0},
      {"reg0", {0x50}, hxcrash_error_not_supported, 0},
      {"addr", {0x03, 0, 0, 0, 0, 0, 0, 0, 0}, hxcrash_error_not_supported, 0},
      {"call_frame_cfa", {0x9c}, hxcrash_error_not_supported, 0},
      {"breg16 unmapped", {0x80, 0x00}, hxcrash_error_not_supported, 0},
      {"breg0 absent", {0x70, 0x00}, hxcrash_error_not_found, 0},
  };
  for (const Case& c : cases) {
    std::uint64_t value = 0;
    ASSERT_EQ(eval64(c.bytes, &value), c.error) << c.name;
    if (c.error == hxcrash_error_none) {
      EXPECT_EQ(value, c.value) << c.name;
    }
  }
}

TEST(DwarfExpressionTest, EmptyExpressionNeedsAnInitialValue) {
  std::uint64_t value = 0;
  EXPECT_EQ(eval64({}, &value), hxcrash_error_invalid_argument);
  ASSERT_EQ(eval64({}, &value, nullptr, {0x1234}), hxcrash_error_none);
  EXPECT_EQ(value, 0x1234u);
  ASSERT_EQ(eval64({0x23, 0x08}, &value, nullptr, {0x1000}), hxcrash_error_none);
  EXPECT_EQ(value, 0x1008u);
}

TEST(DwarfExpressionTest, StackHoldsOneHundredValues) {
  std::uint64_t value = 1;
  ASSERT_EQ(eval64(Bytes(100, 0x30), &value), hxcrash_error_none);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(eval64(Bytes(101, 0x30), &value), hxcrash_error_internal);
}

TEST(DwarfExpressionTest, RegistersAndDereferencesReadTheThreadAndTheTask) {
  std::uint64_t stack[4] = {0x11, 0x2222222222222222u, 0x33, 0x44};
  hxcrash_async_thread_state state = state64();
  MShxcrash_async_thread_state_set_reg(&state, MSHXCRASH_X86_64_RSP, reinterpret_cast<std::uint64_t>(stack));
  std::uint64_t value = 0;
  // DW_OP_breg7 8; DW_OP_deref: the word at rsp + 8.
  ASSERT_EQ(eval64({0x77, 0x08, 0x06}, &value, &state), hxcrash_error_none);
  EXPECT_EQ(value, 0x2222222222222222u);
  // DW_OP_bregx 7 9 (one byte into the second word), then DW_OP_deref_size 1 / 4.
  ASSERT_EQ(eval64({0x92, 0x07, 0x09, 0x94, 0x01}, &value, &state), hxcrash_error_none);
  EXPECT_EQ(value, 0x22u);
  ASSERT_EQ(eval64({0x77, 0x08, 0x94, 0x04}, &value, &state), hxcrash_error_none);
  EXPECT_EQ(value, 0x22222222u);
  // DW_OP_xderef_size: address space id below the address.
  ASSERT_EQ(eval64({0x30, 0x77, 0x10, 0x95, 0x02}, &value, &state), hxcrash_error_none);
  EXPECT_EQ(value, 0x33u);
  ASSERT_EQ(eval64({0x30, 0x77, 0x18, 0x18}, &value, &state), hxcrash_error_none);
  EXPECT_EQ(value, 0x44u);
  // A register the state does not hold.
  MShxcrash_async_thread_state_clear_reg(&state, MSHXCRASH_X86_64_RSP);
  EXPECT_EQ(eval64({0x77, 0x08}, &value, &state), hxcrash_error_not_found);
}

TEST(DwarfExpressionTest, ThirtyTwoBitInstanceWrapsAtItsWidth) {
  std::uint32_t value = 0;
  ASSERT_EQ(eval32({0x0c, 0xff, 0xff, 0xff, 0xff, 0x31, 0x22}, &value), hxcrash_error_none);
  EXPECT_EQ(value, 0u);
  ASSERT_EQ(eval32({0x0c, 0, 0, 0, 0x80, 0x11, 0x7f, 0x1b}, &value), hxcrash_error_none);
  EXPECT_EQ(value, 0x80000000u);
  ASSERT_EQ(eval32({0x11, 0x7f, 0x10, 0x1f, 0x25}, &value), hxcrash_error_none);
  EXPECT_EQ(value, 1u);
  ASSERT_EQ(eval32({0x11, 0x7f, 0x10, 0x1f, 0x26}, &value), hxcrash_error_none);
  EXPECT_EQ(value, 0xffffffffu);
  EXPECT_EQ(eval32({0x31, 0x94, 0x08}, &value), hxcrash_error_invalid_argument);
}

}  // namespace

namespace {

// DW_OP_lit11; DW_OP_bra -4: the branch always jumps back to the literal, for ever.
TEST(DwarfExpressionTest, BackwardBranchLoopEndsAtTheStepBudget) {
  const Bytes endless = {0x3b, 0x28, 0xfc, 0xff};
  std::uint64_t result = 0;
  EXPECT_EQ(eval64(endless, &result), hxcrash_error_invalid_argument);
  std::uint32_t narrow = 0;
  EXPECT_EQ(eval32(endless, &narrow), hxcrash_error_invalid_argument);
  // The same through DW_OP_skip -3.
  EXPECT_EQ(eval64({0x2f, 0xfd, 0xff}, &result), hxcrash_error_invalid_argument);
}

// A counting loop (lit1; minus; dup; bra -6) from n down to 0: backward branches are fine while
// the expression stays within its budget of operations (four per turn).
TEST(DwarfExpressionTest, CountingLoopFinishesWithinTheBudgetAndFailsBeyondIt) {
  const Bytes countdown = {0x31, 0x1c, 0x12, 0x28, 0xfa, 0xff};
  std::uint64_t result = 1;
  ASSERT_EQ(eval64(countdown, &result, nullptr, {100}), hxcrash_error_none);
  EXPECT_EQ(result, 0u);
  const std::uint64_t turns = HXCRASH_DWARF_EXPRESSION_MAX_STEPS / 4 + 1;
  EXPECT_EQ(eval64(countdown, &result, nullptr, {turns}), hxcrash_error_invalid_argument);
}

}  // namespace
