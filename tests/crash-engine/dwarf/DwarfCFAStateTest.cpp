// The rule table, CFA programs and the apply step, on byte tables and a pretend stack.
#include "crash-engine/dwarf/HXCrashAsyncDwarfCFAState.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstdint>
#include <vector>

using namespace hxcrash::MS::async;

namespace {

using Bytes = std::vector<std::uint8_t>;
using State64 = dwarf_cfa_state<std::uint64_t, std::int64_t>;

hxcrash_async_dwarf_cie_info x86_64Cie() {
  hxcrash_async_dwarf_cie_info cie{};
  cie.code_alignment_factor = 1;
  cie.data_alignment_factor = -8;
  cie.return_address_register = 16;
  return cie;
}

const MShxcrash_async_byteorder* le() { return MShxcrash_async_byteorder_little_endian(); }

hxcrash_error_t run(State64* state, const Bytes& program, std::uint64_t pc, std::uint64_t start = 0x1000,
                    const hxcrash_async_dwarf_cie_info* cie = nullptr) {
  static const Bytes empty(1, 0);
  const Bytes& storage = program.empty() ? empty : program;
  const buffer_memory mem{storage.data(), storage.size(), reinterpret_cast<std::uint64_t>(storage.data())};
  const hxcrash_async_dwarf_cie_info fallback = x86_64Cie();
  const gnu_ehptr_reader<std::uint64_t> reader(le());
  return state->eval_program(mem, pc, start, cie != nullptr ? cie : &fallback, &reader, le(), mem.address, 0,
                             static_cast<hxcrash_vm_off_t>(program.size()));
}

const Bytes kCieProgram = {0x0c, 0x07, 0x08, 0x90, 0x01};  // def_cfa r7+8; r16 at cfa-8
// advance 1; def_cfa_offset 16; r6 at cfa-16; advance 3; def_cfa_register r6
const Bytes kFdeProgram = {0x41, 0x0e, 0x10, 0x86, 0x02, 0x43, 0x0d, 0x06};

TEST(DwarfCfaStateTest, RuleTableSetsReplacesRemovesAndRunsOutOfEntries) {
  State64 state;
  EXPECT_EQ(state.get_register_count(), 0);
  EXPECT_TRUE(state.set_register(3, HXCRASH_DWARF_CFA_REG_RULE_OFFSET, 8));
  EXPECT_TRUE(state.set_register(17, HXCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, 16));  // same bucket
  EXPECT_TRUE(state.set_register(3, HXCRASH_DWARF_CFA_REG_RULE_REGISTER, 5));
  EXPECT_EQ(state.get_register_count(), 2);
  hxcrash_dwarf_cfa_reg_rule_t rule{};
  std::uint64_t value = 0;
  ASSERT_TRUE(state.get_register_rule(3, &rule, &value));
  EXPECT_EQ(rule, HXCRASH_DWARF_CFA_REG_RULE_REGISTER);
  EXPECT_EQ(value, 5u);
  state.remove_register(3);
  EXPECT_FALSE(state.get_register_rule(3, &rule, &value));
  ASSERT_TRUE(state.get_register_rule(17, &rule, &value));
  EXPECT_EQ(state.get_register_count(), 1);
  state.remove_register(99);
  EXPECT_EQ(state.get_register_count(), 1);

  State64 full;
  for (std::uint32_t r = 0; r < 100; ++r) {
    ASSERT_TRUE(full.set_register(r, HXCRASH_DWARF_CFA_REG_RULE_OFFSET, r));
  }
  EXPECT_FALSE(full.set_register(100, HXCRASH_DWARF_CFA_REG_RULE_OFFSET, 0));
  // The iterator visits buckets in order, chains in insertion order.
  dwarf_cfa_state_iterator<std::uint64_t, std::int64_t> it(&full);
  std::uint32_t regnum = 0;
  std::vector<std::uint32_t> seen;
  while (it.next(&regnum, &rule, &value)) seen.push_back(regnum);
  ASSERT_EQ(seen.size(), 100u);
  EXPECT_EQ(seen[0], 0u);
  EXPECT_EQ(seen[1], 14u);
  EXPECT_EQ(seen[7], 98u);
  EXPECT_EQ(seen[8], 1u);
}

TEST(DwarfCfaStateTest, TypicalProgramGivesCfaAndSavedRegisters) {
  State64 state;
  ASSERT_EQ(run(&state, kCieProgram, 0x1004), hxcrash_error_none);
  ASSERT_EQ(run(&state, kFdeProgram, 0x1004), hxcrash_error_none);
  const auto cfa = state.get_cfa_rule();
  EXPECT_EQ(cfa.cfa_type, DWARF_CFA_STATE_CFA_TYPE_REGISTER);
  EXPECT_EQ(cfa.reg_num, 6u);
  EXPECT_EQ(cfa.offset, 16u);

  // A pretend frame: [rbp] the caller's rbp, [rbp + 8] the return address.
  std::uint64_t frame[2] = {0x7ffd00001000u, 0x401234u};
  hxcrash_async_thread_state current;
  MShxcrash_async_thread_state_init(&current, MShxcrash_CPU_TYPE_X86_64);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_X86_64_RBP, reinterpret_cast<std::uint64_t>(frame));
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_X86_64_RIP, 0x1004);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_X86_64_RAX, 1);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_X86_64_R12, 12);
  const hxcrash_async_dwarf_cie_info cie = x86_64Cie();
  hxcrash_async_thread_state next;
  ASSERT_EQ(state.apply_state(vx::mach_task_self(), &cie, &current, le(), &next), hxcrash_error_none);
  const std::uint64_t expectedCfa = reinterpret_cast<std::uint64_t>(frame) + 16;
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_SP), expectedCfa);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_FP), 0x7ffd00001000u);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_IP), 0x401234u);
  EXPECT_FALSE(MShxcrash_async_thread_state_has_reg(&next, MSHXCRASH_X86_64_RAX));
  EXPECT_TRUE(MShxcrash_async_thread_state_has_reg(&next, MSHXCRASH_X86_64_R12));
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_X86_64_R12), 12u);
}

TEST(DwarfCfaStateTest, RowsApplyFromTheirLocationOn) {
  State64 at;
  ASSERT_EQ(run(&at, kCieProgram, 0x1001), hxcrash_error_none);
  ASSERT_EQ(run(&at, kFdeProgram, 0x1001), hxcrash_error_none);
  EXPECT_EQ(at.get_cfa_rule().reg_num, 7u);
  EXPECT_EQ(at.get_cfa_rule().offset, 16u);
  State64 before;
  ASSERT_EQ(run(&before, kCieProgram, 0x1000), hxcrash_error_none);
  ASSERT_EQ(run(&before, kFdeProgram, 0x1000), hxcrash_error_none);
  EXPECT_EQ(before.get_cfa_rule().offset, 8u);
  State64 whole;                                                                   // pc 0 runs everything
  ASSERT_EQ(run(&whole, kFdeProgram, 0, 0x1000), hxcrash_error_invalid_argument);  // no CFA yet
  State64 whole2;
  ASSERT_EQ(run(&whole2, kCieProgram, 0), hxcrash_error_none);
  ASSERT_EQ(run(&whole2, kFdeProgram, 0), hxcrash_error_none);
  EXPECT_EQ(whole2.get_cfa_rule().reg_num, 6u);
}

TEST(DwarfCfaStateTest, RememberAndRestoreState) {
  State64 state;
  ASSERT_EQ(run(&state, {0x0c, 0x07, 0x08, 0x86, 0x02, 0x0a, 0x0e, 0x20, 0x07, 0x06, 0x0b}, 0), hxcrash_error_none);
  EXPECT_EQ(state.get_cfa_rule().offset, 8u);
  hxcrash_dwarf_cfa_reg_rule_t rule{};
  std::uint64_t value = 0;
  EXPECT_TRUE(state.get_register_rule(6, &rule, &value));
  EXPECT_EQ(state.depth(), 0);

  State64 deep;
  EXPECT_EQ(run(&deep, {0x0c, 0x07, 0x08, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a}, 0), hxcrash_error_none);
  State64 tooDeep;
  EXPECT_EQ(run(&tooDeep, {0x0c, 0x07, 0x08, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a}, 0), hxcrash_error_no_memory);
  State64 empty;
  EXPECT_EQ(run(&empty, {0x0b}, 0), hxcrash_error_invalid_argument);
}

TEST(DwarfCfaStateTest, RestoreGoesBackToTheRulesBeforeTheProgram) {
  State64 state;
  ASSERT_EQ(run(&state, kCieProgram, 0), hxcrash_error_none);
  // r3 at cfa-24, r16 at cfa-32; restore_extended r3 (no initial rule); restore r16 (cfa-8).
  ASSERT_EQ(run(&state, {0x83, 0x03, 0x90, 0x04, 0x06, 0x03, 0xd0}, 0), hxcrash_error_none);
  hxcrash_dwarf_cfa_reg_rule_t rule{};
  std::uint64_t value = 0;
  EXPECT_FALSE(state.get_register_rule(3, &rule, &value));
  ASSERT_TRUE(state.get_register_rule(16, &rule, &value));
  EXPECT_EQ(static_cast<std::int64_t>(value), -8);
}

struct OpcodeCase {
  const char* name;
  Bytes program;
  hxcrash_error_t error;
};

TEST(DwarfCfaStateTest, OpcodeTable) {
  const std::vector<OpcodeCase> cases = {
      {"GNU_args_size is skipped with its operand",
       {0x0c, 0x07, 0x08, 0x2e, 0x80, 0x01, 0x0e, 0x10},
       hxcrash_error_none},
      {"GNU_negative_offset_extended", {0x2f, 0x03, 0x01}, hxcrash_error_not_supported},
      {"unknown 0x17", {0x17}, hxcrash_error_not_supported},
      {"def_cfa_register on undefined CFA", {0x0d, 0x06}, hxcrash_error_invalid_argument},
      {"def_cfa_offset on expression CFA", {0x0f, 0x01, 0x30, 0x0e, 0x08}, hxcrash_error_invalid_argument},
      {"register number too large", {0x05, 0x80, 0x80, 0x80, 0x80, 0x10, 0x01}, hxcrash_error_not_supported},
      {"short ULEB operand", {0x0c, 0x07}, hxcrash_error_invalid_argument},
      {"short advance_loc2", {0x03, 0x01}, hxcrash_error_invalid_argument},
      {"all register rules",
       {0x0c, 0x07, 0x08, 0x05, 0x03, 0x02, 0x07, 0x03, 0x08, 0x0c, 0x09,
        0x0d, 0x03, 0x11, 0x0e, 0x7e, 0x14, 0x0f, 0x01, 0x15, 0x0f, 0x7f},
       hxcrash_error_none},
      {"def_cfa_sf and def_cfa_offset_sf", {0x12, 0x07, 0x7e, 0x13, 0x7c}, hxcrash_error_none},
      {"huge factored offsets wrap",
       {0x11, 0x03, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7f,
        0x05, 0x04, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01},
       hxcrash_error_none},
      {"set_loc in absptr", {0x01, 0, 0, 0, 0, 0, 0, 0, 0}, hxcrash_error_none},
      {"set_loc short", {0x01, 0, 0}, hxcrash_error_invalid_argument},
  };
  for (const OpcodeCase& c : cases) {
    State64 state;
    EXPECT_EQ(run(&state, c.program, 0), c.error) << c.name;
  }
  State64 sf;
  ASSERT_EQ(run(&sf, {0x12, 0x07, 0x7e, 0x13, 0x7c}, 0), hxcrash_error_none);
  EXPECT_EQ(sf.get_cfa_rule().cfa_type, DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED);
  EXPECT_EQ(static_cast<std::int64_t>(sf.get_cfa_rule().offset), 32);
}

TEST(DwarfCfaStateTest, ApplyFailures) {
  hxcrash_async_thread_state current;
  MShxcrash_async_thread_state_init(&current, MShxcrash_CPU_TYPE_X86_64);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_X86_64_RSP, 0x7000);
  const hxcrash_async_dwarf_cie_info cie = x86_64Cie();
  hxcrash_async_thread_state next;

  State64 undefined;
  EXPECT_EQ(undefined.apply_state(vx::mach_task_self(), &cie, &current, le(), &next), hxcrash_error_invalid_argument);

  State64 unmappedRule;  // xmm0 (DWARF 17) has no thread-state register
  ASSERT_EQ(run(&unmappedRule, {0x0c, 0x07, 0x08, 0x09, 0x11, 0x03}, 0), hxcrash_error_none);
  EXPECT_EQ(unmappedRule.apply_state(vx::mach_task_self(), &cie, &current, le(), &next),
            hxcrash_error_invalid_argument);

  State64 unmappedCfa;
  ASSERT_EQ(run(&unmappedCfa, {0x0c, 0x11, 0x08}, 0), hxcrash_error_none);
  EXPECT_EQ(unmappedCfa.apply_state(vx::mach_task_self(), &cie, &current, le(), &next), hxcrash_error_not_supported);

  State64 absentCfa;  // rbp is not in the state
  ASSERT_EQ(run(&absentCfa, {0x0c, 0x06, 0x10}, 0), hxcrash_error_none);
  EXPECT_EQ(absentCfa.apply_state(vx::mach_task_self(), &cie, &current, le(), &next), hxcrash_error_not_found);

  State64 unreadable;  // the return address would be read at 0x7000
  ASSERT_EQ(run(&unreadable, kCieProgram, 0), hxcrash_error_none);
  EXPECT_NE(unreadable.apply_state(vx::mach_task_self(), &cie, &current, le(), &next), hxcrash_error_none);
}

TEST(DwarfCfaStateTest, ExpressionRulesReadTheTask) {
  std::uint64_t stack[4] = {0, 0x1111, 0x2222, 0x401000};
  const auto sp = reinterpret_cast<std::uint64_t>(stack);
  // CFA = rsp + 32 (expression); rbx = [CFA - 16] (expression); r12 = CFA - 8 (val_expression);
  // return address at CFA - 8 (offset rule).
  const Bytes program = {0x0f, 0x02, 0x77, 0x20,              // def_cfa_expression breg7 32
                         0x10, 0x03, 0x03, 0x11, 0x70, 0x22,  // expression rbx: consts -16, plus
                         0x16, 0x0c, 0x03, 0x11, 0x78, 0x22,  // val_expression r12
                         0x90, 0x01};                         // r16 at cfa-8
  State64 state;
  ASSERT_EQ(run(&state, program, 0), hxcrash_error_none);
  EXPECT_EQ(state.get_cfa_rule().cfa_type, DWARF_CFA_STATE_CFA_TYPE_EXPRESSION);
  hxcrash_async_thread_state current;
  MShxcrash_async_thread_state_init(&current, MShxcrash_CPU_TYPE_X86_64);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_X86_64_RSP, sp);
  const hxcrash_async_dwarf_cie_info cie = x86_64Cie();
  hxcrash_async_thread_state next;
  ASSERT_EQ(state.apply_state(vx::mach_task_self(), &cie, &current, le(), &next), hxcrash_error_none);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_SP), sp + 32);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_X86_64_RBX), 0x2222u);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_X86_64_R12), sp + 24);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_IP), 0x401000u);
}

}  // namespace

namespace {

// A CFA program whose rules are endless expressions (DW_OP_lit11; DW_OP_bra -4): applying them
// fails at the expression's step budget instead of freezing the unwinder.
TEST(DwarfCfaStateTest, EndlessExpressionRulesFailWhenApplied) {
  std::uint64_t stack[4] = {0, 0x1111, 0x2222, 0x401000};
  const auto sp = reinterpret_cast<std::uint64_t>(stack);
  const Bytes endlessCfa = {0x0f, 0x04, 0x3b, 0x28, 0xfc, 0xff,  // def_cfa_expression <loop>
                            0x90, 0x01};
  const Bytes endlessRegister = {0x0c, 0x07, 0x20,                          // def_cfa rsp+32
                                 0x10, 0x03, 0x04, 0x3b, 0x28, 0xfc, 0xff,  // rbx: <loop>
                                 0x90, 0x01};
  const Bytes endlessValue = {0x0c, 0x07, 0x20,                          // def_cfa rsp+32
                              0x16, 0x0c, 0x04, 0x3b, 0x28, 0xfc, 0xff,  // r12: <loop>
                              0x90, 0x01};
  hxcrash_async_thread_state current;
  MShxcrash_async_thread_state_init(&current, MShxcrash_CPU_TYPE_X86_64);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_X86_64_RSP, sp);
  const hxcrash_async_dwarf_cie_info cie = x86_64Cie();
  for (const Bytes* program : {&endlessCfa, &endlessRegister, &endlessValue}) {
    State64 state;
    ASSERT_EQ(run(&state, *program, 0), hxcrash_error_none);
    hxcrash_async_thread_state next;
    EXPECT_EQ(state.apply_state(vx::mach_task_self(), &cie, &current, le(), &next), hxcrash_error_invalid_argument);
  }
}

// A program longer than the instruction budget (nothing but DW_CFA_nop) fails; one just within
// it runs.
TEST(DwarfCfaStateTest, ProgramBeyondTheInstructionBudgetFails) {
  const Bytes within(HXCRASH_DWARF_CFA_PROGRAM_MAX_STEPS, 0x00);
  const Bytes beyond(HXCRASH_DWARF_CFA_PROGRAM_MAX_STEPS + 1, 0x00);
  State64 state;
  EXPECT_EQ(run(&state, within, 0), hxcrash_error_none);
  EXPECT_EQ(run(&state, beyond, 0), hxcrash_error_invalid_argument);
}

}  // namespace

namespace {

// ---- what a stack walk keeps between frames ---------------------------------------------------

// The walk's budget is shared by the programs of every frame: a program fails once it is used
// up, whatever its own budget says, and an expression rule draws on it too.
TEST(DwarfCfaStateTest, WalkBudgetEndsProgramsAndExpressionsOnceUsedUp) {
  const Bytes nops(10, 0x00);
  const buffer_memory mem{nops.data(), nops.size(), reinterpret_cast<std::uint64_t>(nops.data())};
  const hxcrash_async_dwarf_cie_info cie = x86_64Cie();
  const gnu_ehptr_reader<std::uint64_t> reader(le());
  struct Case {
    std::uint64_t budget;
    hxcrash_error_t expected;
    std::uint64_t left;
  };
  for (const Case& c : {Case{10, hxcrash_error_none, 0}, Case{25, hxcrash_error_none, 15},
                        Case{9, hxcrash_error_invalid_argument, 0}}) {
    State64 state;
    std::uint64_t steps = c.budget;
    EXPECT_EQ(state.eval_program(mem, 0, 0x1000, &cie, &reader, le(), mem.address, 0, 10, &steps), c.expected)
        << c.budget;
    EXPECT_EQ(steps, c.left) << c.budget;
  }

  // DW_OP_breg7 0 (rsp) as the CFA: one operation, so an empty budget fails in apply.
  std::uint64_t stack[2] = {0x401000, 0};
  hxcrash_async_thread_state current;
  MShxcrash_async_thread_state_init(&current, MShxcrash_CPU_TYPE_X86_64);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_X86_64_RSP, reinterpret_cast<std::uint64_t>(stack));
  const Bytes program = {0x0f, 0x02, 0x77, 0x00, 0x90, 0x00};  // def_cfa_expression; r16 at cfa
  for (std::uint64_t budget : {0u, 1u}) {
    State64 state;
    ASSERT_EQ(run(&state, program, 0), hxcrash_error_none);
    std::uint64_t steps = budget;
    hxcrash_async_thread_state next;
    const hxcrash_error_t err = state.apply_state(vx::mach_task_self(), &cie, &current, le(), &next, nullptr, &steps);
    if (budget == 0) {
      EXPECT_EQ(err, hxcrash_error_invalid_argument);
    } else {
      ASSERT_EQ(err, hxcrash_error_none);
      EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_IP), 0x401000u);
      EXPECT_EQ(steps, 0u);
    }
  }
}

std::vector<std::pair<std::uint32_t, std::uint64_t>> rulesOf(const State64& state) {
  dwarf_cfa_state_iterator<std::uint64_t, std::int64_t> it(&state);
  std::vector<std::pair<std::uint32_t, std::uint64_t>> rules;
  std::uint32_t regnum = 0;
  hxcrash_dwarf_cfa_reg_rule_t rule{};
  std::uint64_t value = 0;
  while (it.next(&regnum, &rule, &value)) {
    rules.emplace_back(regnum * 8 + rule, value);
  }
  return rules;
}

// The rules a CIE program leaves are kept and rebuilt exactly (same rules, same visiting order,
// same CFA); a program that moves the location says so; a table with remembered levels or
// released entries is not kept.
TEST(DwarfCfaStateTest, InitialRulesAreKeptAndRebuiltExactly) {
  // def_cfa r7+8; r16 at cfa-8; r3, r17 and r31 (one bucket) at cfa-16, -24, -32; r6 same value
  const Bytes cie = {0x0c, 0x07, 0x08, 0x90, 0x01, 0x83, 0x02, 0x91, 0x03, 0x9f, 0x04, 0x08, 0x06};
  State64 original;
  const buffer_memory mem{cie.data(), cie.size(), reinterpret_cast<std::uint64_t>(cie.data())};
  const hxcrash_async_dwarf_cie_info info = x86_64Cie();
  const gnu_ehptr_reader<std::uint64_t> reader(le());
  bool moved = true;
  ASSERT_EQ(original.eval_program(mem, 0x1234, 0x1000, &info, &reader, le(), mem.address, 0,
                                  static_cast<hxcrash_vm_off_t>(cie.size()), nullptr, &moved),
            hxcrash_error_none);
  EXPECT_FALSE(moved);
  hxcrash_dwarf_cie_rules kept{};
  ASSERT_TRUE(original.save_rules(&kept));
  EXPECT_EQ(kept.count, 5);
  State64 rebuilt;
  rebuilt.load_rules(kept);
  EXPECT_EQ(rulesOf(rebuilt), rulesOf(original));
  EXPECT_EQ(rebuilt.get_register_count(), original.get_register_count());
  const auto cfa = rebuilt.get_cfa_rule();
  EXPECT_EQ(cfa.cfa_type, DWARF_CFA_STATE_CFA_TYPE_REGISTER);
  EXPECT_EQ(cfa.reg_num, 7u);
  EXPECT_EQ(cfa.offset, 8u);
  // The same FDE program on both gives the same table.
  ASSERT_EQ(run(&original, kFdeProgram, 0x1004), hxcrash_error_none);
  ASSERT_EQ(run(&rebuilt, kFdeProgram, 0x1004), hxcrash_error_none);
  EXPECT_EQ(rulesOf(rebuilt), rulesOf(original));

  State64 advancing;
  ASSERT_EQ(run(&advancing, kCieProgram, 0), hxcrash_error_none);
  const buffer_memory fde{kFdeProgram.data(), kFdeProgram.size(), reinterpret_cast<std::uint64_t>(kFdeProgram.data())};
  ASSERT_EQ(advancing.eval_program(fde, 0x1004, 0x1000, &info, &reader, le(), fde.address, 0,
                                   static_cast<hxcrash_vm_off_t>(kFdeProgram.size()), nullptr, &moved),
            hxcrash_error_none);
  EXPECT_TRUE(moved);

  State64 remembered;
  ASSERT_EQ(run(&remembered, {0x0c, 0x07, 0x08, 0x0a}, 0), hxcrash_error_none);  // remember
  EXPECT_FALSE(remembered.save_rules(&kept));
  State64 released;
  ASSERT_EQ(run(&released, {0x0c, 0x07, 0x08, 0x83, 0x02, 0x07, 0x03}, 0),  // r3 then undefined
            hxcrash_error_none);
  EXPECT_FALSE(released.save_rules(&kept));
}

// The window serves what it holds, refills from the lowest address asked for, keeps only the
// readable leading bytes, and refuses a span wider than itself or another task.
TEST(DwarfCfaStateTest, StackWindowRefillsWithCheckedReadsOnly) {
  const std::size_t page = vx::vm_page_size;
  void* mapping = mmap(nullptr, page * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapping, MAP_FAILED);
  auto* bytes = static_cast<std::uint8_t*>(mapping);
  for (std::size_t i = 0; i < page; ++i) bytes[i] = static_cast<std::uint8_t>(i);
  ASSERT_EQ(mprotect(bytes + page, page, PROT_NONE), 0);
  const auto base = reinterpret_cast<std::uint64_t>(bytes);

  hxcrash_dwarf_walk_cache walk;
  hxcrash_dwarf_walk_cache_reset(&walk);
  hxcrash_dwarf_stack_window& window = walk.stack;
  ASSERT_TRUE(window.cover(vx::mach_task_self(), base + 16, base + 32));
  EXPECT_EQ(window.start, base + 16);
  EXPECT_EQ(window.length, hxcrash_dwarf_stack_window::kBytes);
  EXPECT_EQ(window.bytes[0], 16);
  EXPECT_TRUE(window.cover(vx::mach_task_self(), base + 100, base + 200));  // already held
  EXPECT_EQ(window.start, base + 16);
  // Near the unreadable page: only the readable bytes are kept.
  ASSERT_TRUE(window.cover(vx::mach_task_self(), base + page - 64, base + page - 48));
  EXPECT_EQ(window.length, 64u);
  EXPECT_FALSE(window.cover(vx::mach_task_self(), base + page - 8, base + page + 8));
  EXPECT_EQ(window.length, 0u);
  EXPECT_FALSE(window.cover(vx::mach_task_self(), base, base + hxcrash_dwarf_stack_window::kBytes + 8));
  EXPECT_FALSE(window.cover(vx::mach_task_self() + 1, base, base + 8));
  EXPECT_FALSE(window.cover(vx::mach_task_self(), 0, 8));
  munmap(mapping, page * 2);
}

}  // namespace

namespace {

// Expressions inside the call-frame section (read in place) are evaluated from its bytes; at an
// address no mapping backs, the mapped path can only fail.
TEST(DwarfCfaStateTest, ExpressionsInsideTheSectionAreReadInPlace) {
  std::uint64_t stack[2] = {0x401000, 0x402000};
  hxcrash_async_thread_state current;
  MShxcrash_async_thread_state_init(&current, MShxcrash_CPU_TYPE_X86_64);
  MShxcrash_async_thread_state_set_reg(&current, MSHXCRASH_X86_64_RSP, reinterpret_cast<std::uint64_t>(stack));
  // def_cfa_expression (DW_OP_breg7 8); r16 (the return address) at the CFA - 8, and r3 by the
  // expression DW_OP_breg7 0 (the word at rsp).
  const Bytes program = {0x0f, 0x02, 0x77, 0x08, 0x90, 0x01, 0x10, 0x03, 0x02, 0x77, 0x00};
  constexpr std::uint64_t kUnmapped = 0x1000;  // the first pages are never mapped
  const buffer_memory section{program.data(), program.size(), kUnmapped};
  const hxcrash_async_dwarf_cie_info cie = x86_64Cie();
  const gnu_ehptr_reader<std::uint64_t> reader(le());
  State64 state;
  ASSERT_EQ(state.eval_program(section, 0, 0x1000, &cie, &reader, le(), kUnmapped, 0,
                               static_cast<hxcrash_vm_off_t>(program.size())),
            hxcrash_error_none);
  hxcrash_async_thread_state next;
  ASSERT_EQ(state.apply_state(vx::mach_task_self(), &cie, &current, le(), &next, nullptr, nullptr, &section),
            hxcrash_error_none);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_SP), reinterpret_cast<std::uint64_t>(stack) + 8);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_REG_IP), 0x401000u);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(&next, MSHXCRASH_X86_64_RBX), 0x401000u);
  EXPECT_NE(state.apply_state(vx::mach_task_self(), &cie, &current, le(), &next), hxcrash_error_none);
}

}  // namespace
