// The rule table that a DWARF CFA program builds (the canonical frame address rule and one
// rule per saved register, with the DW_CFA_remember_state stack), the evaluator of CFA
// programs and the step that applies a table to a register state to give the caller's
// registers. Templates over the target's unsigned and signed machine words (arithmetic wraps at
// that width) and, for the program, over the memory-access type of HXCrashAsyncDwarfPrimitives.h.
//
// Safe at crash time: fixed-capacity tables on the caller's stack (6 levels, 100 register
// entries, 14 buckets per level), bounded reads; no allocation, no locks. Failures return
// hxcrash_error_t and are logged.
#pragma once

#include "crash-engine/dwarf/HXCrashAsyncDwarfCIE.h"
#include "crash-engine/dwarf/HXCrashAsyncDwarfExpression.h"
#include "crash-engine/dwarf/HXCrashAsyncDwarfWalkCache.h"
#include "crash-engine/thread/MSHXCrashThreadState.h"

namespace hxcrash::MS::async {

enum dwarf_cfa_state_cfa_type : std::uint8_t {
  DWARF_CFA_STATE_CFA_TYPE_UNDEFINED = 0,
  DWARF_CFA_STATE_CFA_TYPE_EXPRESSION = 1,
  DWARF_CFA_STATE_CFA_TYPE_REGISTER = 2,
  DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED = 3,
};

enum hxcrash_dwarf_cfa_reg_rule_t : std::uint8_t {
  HXCRASH_DWARF_CFA_REG_RULE_OFFSET = 0,
  HXCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET = 1,
  HXCRASH_DWARF_CFA_REG_RULE_REGISTER = 2,
  HXCRASH_DWARF_CFA_REG_RULE_EXPRESSION = 3,
  HXCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION = 4,
  HXCRASH_DWARF_CFA_REG_RULE_SAME_VALUE = 5,
};

inline constexpr std::uint64_t DWARF_CFA_STATE_REGNUM_MAX = 0xffffffffu;

template <typename machine_ptr>
struct dwarf_cfa_rule {
  dwarf_cfa_state_cfa_type cfa_type;
  std::uint32_t reg_num;             // register types
  machine_ptr offset;                // register types; the signed type reads it as signed
  std::uint64_t expression_address;  // expression type: task address of the expression bytes
  std::uint64_t expression_length;
};

template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state_iterator;

// Instructions one CFA program may execute before it fails.
inline constexpr std::size_t HXCRASH_DWARF_CFA_PROGRAM_MAX_STEPS = 65536;

template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state {
 public:
  static constexpr std::uint8_t kLevels = 6;
  static constexpr std::uint8_t kEntries = 100;
  static constexpr std::uint8_t kBuckets = 14;
  static constexpr std::uint8_t kEnd = 255;

  // Built once per frame: entries are handed out from never_used_ on and only released ones go
  // to the free list, and levels above 0 are cleared when pushed, so nothing else is set up.
  dwarf_cfa_state() {
    free_list_ = kEnd;
    never_used_ = 0;
    _table_depth = 0;
    reset_level(0);
  }

  // Sets (or replaces) the register's rule on the current level; false when no entry is free.
  bool set_register(std::uint32_t regnum, hxcrash_dwarf_cfa_reg_rule_t rule, machine_ptr value) {
    std::uint8_t* link = &buckets_[_table_depth][regnum % kBuckets];
    while (*link != kEnd) {
      entry& e = entries_[*link];
      if (e.regnum == regnum) {
        e.rule = rule;
        e.value = value;
        return true;
      }
      link = &e.next;
    }
    std::uint8_t index = kEnd;
    if (free_list_ != kEnd) {
      index = free_list_;
      free_list_ = entries_[index].next;
    } else if (never_used_ < kEntries) {
      index = never_used_++;
    } else {
      return false;
    }
    entries_[index] = entry{value, regnum, rule, kEnd};
    *link = index;
    register_count_[_table_depth] += 1;
    return true;
  }

  bool get_register_rule(std::uint32_t regnum, hxcrash_dwarf_cfa_reg_rule_t* rule, machine_ptr* value) const {
    for (std::uint8_t i = buckets_[_table_depth][regnum % kBuckets]; i != kEnd; i = entries_[i].next) {
      if (entries_[i].regnum == regnum) {
        *rule = entries_[i].rule;
        *value = entries_[i].value;
        return true;
      }
    }
    return false;
  }

  void remove_register(std::uint32_t regnum) {
    std::uint8_t* link = &buckets_[_table_depth][regnum % kBuckets];
    while (*link != kEnd) {
      const std::uint8_t index = *link;
      if (entries_[index].regnum == regnum) {
        *link = entries_[index].next;
        entries_[index].next = free_list_;
        free_list_ = index;
        register_count_[_table_depth] -= 1;
        return;
      }
      link = &entries_[index].next;
    }
  }

  std::uint8_t get_register_count() const { return register_count_[_table_depth]; }

  void set_cfa_register(std::uint32_t regnum, machine_ptr offset) {
    cfa_[_table_depth] = dwarf_cfa_rule<machine_ptr>{DWARF_CFA_STATE_CFA_TYPE_REGISTER, regnum, offset, 0, 0};
  }
  void set_cfa_register_signed(std::uint32_t regnum, machine_ptr_s offset) {
    cfa_[_table_depth] = dwarf_cfa_rule<machine_ptr>{DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED, regnum,
                                                     static_cast<machine_ptr>(offset), 0, 0};
  }
  void set_cfa_expression(std::uint64_t address, std::uint64_t length) {
    cfa_[_table_depth] = dwarf_cfa_rule<machine_ptr>{DWARF_CFA_STATE_CFA_TYPE_EXPRESSION, 0, 0, address, length};
  }
  dwarf_cfa_rule<machine_ptr> get_cfa_rule() const { return cfa_[_table_depth]; }

  // Remembers the current level: the new level starts as a copy of it. False when five levels
  // are already remembered or the entries run out.
  bool push_state() {
    if (_table_depth + 1 >= kLevels) return false;
    std::uint8_t freeCount = static_cast<std::uint8_t>(kEntries - never_used_);
    for (std::uint8_t i = free_list_; i != kEnd; i = entries_[i].next) ++freeCount;
    if (freeCount < register_count_[_table_depth]) return false;
    const std::uint8_t from = _table_depth;
    const std::uint8_t to = static_cast<std::uint8_t>(from + 1);
    reset_level(to);
    cfa_[to] = cfa_[from];
    _table_depth = to;
    for (std::uint8_t bucket = 0; bucket < kBuckets; ++bucket) {
      for (std::uint8_t i = buckets_[from][bucket]; i != kEnd; i = entries_[i].next) {
        set_register(entries_[i].regnum, entries_[i].rule, entries_[i].value);
      }
    }
    return true;
  }

  bool pop_state() {
    if (_table_depth == 0) return false;
    _table_depth -= 1;
    return true;
  }

  std::uint8_t depth() const { return _table_depth; }

  // Runs the CFA program at [base + offset, + length) of mem, applying the rows up to pc (every
  // row when pc is 0), from initial_location on. reader may be null. More than
  // HXCRASH_DWARF_CFA_PROGRAM_MAX_STEPS instructions fail with invalid_argument, and so does an
  // exhausted walk budget (walk_steps, when given, loses one per instruction).
  // location_moved (may be null) tells whether an instruction changed the location, i.e.
  // whether the result can depend on pc.
  template <typename Memory>
  hxcrash_error_t eval_program(const Memory& mem, machine_ptr pc, machine_ptr initial_location,
                               const hxcrash_async_dwarf_cie_info* cie, const gnu_ehptr_reader<machine_ptr>* reader,
                               const MShxcrash_async_byteorder* byteorder, hxcrash_vm_address_t base,
                               hxcrash_vm_off_t offset, hxcrash_vm_off_t length, std::uint64_t* walk_steps = nullptr,
                               bool* location_moved = nullptr);

  // Computes the caller's registers from this table and the current frame's registers. window
  // (may be null) serves the saved registers' words and is refilled as needed; walk_steps (may
  // be null) is the walk budget the rule expressions draw on; expressions that lie inside
  // section (may be null: the call-frame section, readable in place) are read there.
  hxcrash_error_t apply_state(vx::task_t task, const hxcrash_async_dwarf_cie_info* cie,
                              const hxcrash_async_thread_state* thread_state,
                              const MShxcrash_async_byteorder* byteorder, hxcrash_async_thread_state* new_thread_state,
                              hxcrash_dwarf_stack_window* window = nullptr, std::uint64_t* walk_steps = nullptr,
                              const buffer_memory* section = nullptr) const;

  // Keeps the base level's rules in out when the table can be rebuilt from them exactly (one
  // level, no released or dropped entries, few rules); false otherwise.
  bool save_rules(hxcrash_dwarf_cie_rules* out) const {
    if (_table_depth != 0 || free_list_ != kEnd || never_used_ != register_count_[0] ||
        register_count_[0] > hxcrash_dwarf_cie_rules::kRules) {
      return false;
    }
    const dwarf_cfa_rule<machine_ptr>& cfa = cfa_[0];
    out->cfa_type = cfa.cfa_type;
    out->cfa_reg = cfa.reg_num;
    out->cfa_offset = cfa.offset;
    out->cfa_expression_address = cfa.expression_address;
    out->cfa_expression_length = cfa.expression_length;
    out->count = 0;
    for (std::uint8_t bucket = 0; bucket < kBuckets; ++bucket) {
      for (std::uint8_t i = buckets_[0][bucket]; i != kEnd; i = entries_[i].next) {
        out->rules[out->count++] =
            hxcrash_dwarf_cie_rules::rule{entries_[i].value, entries_[i].regnum, entries_[i].rule};
      }
    }
    return true;
  }

  // Rebuilds, in a table just constructed, the rules save_rules kept.
  void load_rules(const hxcrash_dwarf_cie_rules& rules) {
    cfa_[0] = dwarf_cfa_rule<machine_ptr>{static_cast<dwarf_cfa_state_cfa_type>(rules.cfa_type), rules.cfa_reg,
                                          static_cast<machine_ptr>(rules.cfa_offset), rules.cfa_expression_address,
                                          rules.cfa_expression_length};
    for (std::uint8_t i = 0; i < rules.count; ++i) {
      set_register(rules.rules[i].regnum, static_cast<hxcrash_dwarf_cfa_reg_rule_t>(rules.rules[i].kind),
                   static_cast<machine_ptr>(rules.rules[i].value));
    }
  }

 private:
  friend class dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s>;

  struct entry {
    machine_ptr value;
    std::uint32_t regnum;
    hxcrash_dwarf_cfa_reg_rule_t rule;
    std::uint8_t next;
  };

  void reset_level(std::uint8_t level) {
    cfa_[level] = dwarf_cfa_rule<machine_ptr>{DWARF_CFA_STATE_CFA_TYPE_UNDEFINED, 0, 0, 0, 0};
    register_count_[level] = 0;
    for (std::uint8_t b = 0; b < kBuckets; ++b) buckets_[level][b] = kEnd;
  }

  dwarf_cfa_rule<machine_ptr> cfa_[kLevels];
  std::uint8_t register_count_[kLevels];
  std::uint8_t buckets_[kLevels][kBuckets];
  std::uint8_t _table_depth;
  std::uint8_t free_list_;
  std::uint8_t never_used_;
  entry entries_[kEntries];
};

// Visits the current level's rules: buckets 0 to 13, each chain in insertion order.
template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state_iterator {
 public:
  explicit dwarf_cfa_state_iterator(const dwarf_cfa_state<machine_ptr, machine_ptr_s>* state) : state_(state) {}

  bool next(std::uint32_t* regnum, hxcrash_dwarf_cfa_reg_rule_t* rule, machine_ptr* value) {
    using table = dwarf_cfa_state<machine_ptr, machine_ptr_s>;
    if (entry_ != table::kEnd) entry_ = state_->entries_[entry_].next;
    while (entry_ == table::kEnd) {
      if (bucket_ >= table::kBuckets) return false;
      entry_ = state_->buckets_[state_->_table_depth][bucket_++];
    }
    const auto& e = state_->entries_[entry_];
    *regnum = e.regnum;
    *rule = e.rule;
    *value = e.value;
    return true;
  }

 private:
  std::uint8_t bucket_ = 0;
  std::uint8_t entry_ = 255;
  const dwarf_cfa_state<machine_ptr, machine_ptr_s>* state_;
};

template <typename machine_ptr, typename machine_ptr_s>
template <typename Memory>
hxcrash_error_t dwarf_cfa_state<machine_ptr, machine_ptr_s>::eval_program(
    const Memory& mem, machine_ptr pc, machine_ptr initial_location, const hxcrash_async_dwarf_cie_info* cie,
    const gnu_ehptr_reader<machine_ptr>* reader, const MShxcrash_async_byteorder* byteorder, hxcrash_vm_address_t base,
    hxcrash_vm_off_t offset, hxcrash_vm_off_t length, std::uint64_t* walk_steps, bool* location_moved) {
  if (location_moved != nullptr) *location_moved = false;
  // The rules in force before the program: what DW_CFA_restore goes back to. A plain list (the
  // CIE's few rules, at most kEntries): building a whole table per program cost more than the
  // program.
  struct initial_rule {
    std::uint32_t regnum;
    hxcrash_dwarf_cfa_reg_rule_t rule;
    machine_ptr value;
  };
  initial_rule initialRules[kEntries];
  std::size_t initialCount = 0;
  {
    dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s> it(this);
    std::uint32_t regnum = 0;
    hxcrash_dwarf_cfa_reg_rule_t rule{};
    machine_ptr value = 0;
    while (it.next(&regnum, &rule, &value)) {
      if (initialCount == kEntries) {
        MSHXCF_DEBUG("Hit register allocation limit while saving initial state");
        return hxcrash_error_no_memory;
      }
      initialRules[initialCount++] = initial_rule{regnum, rule, value};
    }
  }

  const gnu_ehptr_reader<machine_ptr> absolute(byteorder);
  std::uint8_t setLocEncoding = DW_EH_PE_absptr;
  if (cie->has_eh_augmentation && reader != nullptr && cie->eh_augmentation.has_pointer_encoding) {
    setLocEncoding = cie->eh_augmentation.pointer_encoding;
  }
  const gnu_ehptr_reader<machine_ptr>* pointerReader = reader != nullptr ? reader : &absolute;

  if (!MShxcrash_async_address_apply_offset(base, offset, nullptr)) {
    MSHXCF_DEBUG("Offset overflows base address");
    return hxcrash_error_invalid_argument;
  }
  dwarf_opstream<Memory> stream;
  hxcrash_error_t err = stream.init(&mem, byteorder, base, offset, length);
  if (err != hxcrash_error_none) return err;

  const machine_ptr caf = static_cast<machine_ptr>(cie->code_alignment_factor);
  // Factored offsets wrap at the word width instead of overflowing a signed product.
  const std::uint64_t daf = static_cast<std::uint64_t>(cie->data_alignment_factor);
  auto scaled = [daf](std::uint64_t factor) { return static_cast<machine_ptr>(factor * daf); };
  machine_ptr location = initial_location;

#define HXC_ULEB(v)                                                \
  do {                                                             \
    if ((err = stream.read_uleb128(&(v))) != hxcrash_error_none) { \
      MSHXCF_DEBUG("Read of ULEB128 value failed");                \
      return hxcrash_error_invalid_argument;                       \
    }                                                              \
  } while (0)
#define HXC_SLEB(v)                                                \
  do {                                                             \
    if ((err = stream.read_sleb128(&(v))) != hxcrash_error_none) { \
      MSHXCF_DEBUG("Read of SLEB128 value failed");                \
      return hxcrash_error_invalid_argument;                       \
    }                                                              \
  } while (0)
#define HXC_FIXED(type, v)                                                 \
  do {                                                                     \
    if (!stream.template read_intU<type>(&(v))) {                          \
      MSHXCF_DEBUG("Read of size %zu exceeds mapped range", sizeof(type)); \
      return hxcrash_error_invalid_argument;                               \
    }                                                                      \
  } while (0)
#define HXC_REGNUM(r)                                                                                              \
  do {                                                                                                             \
    if ((r) > DWARF_CFA_STATE_REGNUM_MAX) {                                                                        \
      MSHXCF_DEBUG("Register number %llu exceeds DWARF_CFA_STATE_REGNUM_MAX", static_cast<unsigned long long>(r)); \
      return hxcrash_error_not_supported;                                                                          \
    }                                                                                                              \
  } while (0)
#define HXC_SET(r, kind, v)                                                                \
  do {                                                                                     \
    HXC_REGNUM(r);                                                                         \
    if (!set_register(static_cast<std::uint32_t>(r), kind, static_cast<machine_ptr>(v))) { \
      MSHXCF_DEBUG("Exhausted available register slots while evaluating CFA opcodes");     \
      return hxcrash_error_no_memory;                                                      \
    }                                                                                      \
  } while (0)

  auto restore = [&](std::uint64_t regnum) -> hxcrash_error_t {
    HXC_REGNUM(regnum);
    for (std::size_t i = 0; i < initialCount; ++i) {
      if (initialRules[i].regnum == regnum) {
        HXC_SET(regnum, initialRules[i].rule, initialRules[i].value);
        return hxcrash_error_none;
      }
    }
    remove_register(static_cast<std::uint32_t>(regnum));
    return hxcrash_error_none;
  };

  // The expression's bytes follow its ULEB128 length at the current position.
  auto expressionAt = [&](hxcrash_vm_address_t* address, const char* rangeText) -> hxcrash_error_t {
    const hxcrash_vm_off_t relative = stream.position();
    if (relative < 0) {
      MSHXCF_DEBUG("%s", rangeText);
      return hxcrash_error_not_supported;
    }
    if (!MShxcrash_async_address_apply_offset(stream.start_address(), relative, address)) {
      MSHXCF_DEBUG("Offset overflows base address");
      return hxcrash_error_invalid_argument;
    }
    return hxcrash_error_none;
  };
  auto skipExpression = [&](std::uint64_t exprLength) {
    if (exprLength <= stream.remaining()) stream.skip(static_cast<hxcrash_vm_off_t>(exprLength));
  };

  // Every instruction moves forward, so a program ends with its bytes; the budget also bounds
  // the time a huge (damaged) program can take at crash time.
  std::size_t steps = 0;
  while (true) {
    if (pc != 0 && location > pc) break;
    if (stream.at_end()) break;
    if (++steps > HXCRASH_DWARF_CFA_PROGRAM_MAX_STEPS) {
      MSHXCF_DEBUG("CFA program did not finish within %zu instructions", HXCRASH_DWARF_CFA_PROGRAM_MAX_STEPS);
      return hxcrash_error_invalid_argument;
    }
    if (!hxcrash_dwarf_walk_take_step(walk_steps)) return hxcrash_error_invalid_argument;
    std::uint8_t opcode = 0;
    HXC_FIXED(std::uint8_t, opcode);
    const std::uint8_t operand = opcode & 0x3f;
    switch (opcode & 0xc0) {
      case 0x40:  // DW_CFA_advance_loc
        if (location_moved != nullptr) *location_moved = true;
        location = static_cast<machine_ptr>(location + operand * caf);
        continue;
      case 0x80: {  // DW_CFA_offset
        std::uint64_t n = 0;
        HXC_ULEB(n);
        // Widened first: the register check compares against a 32-bit limit.
        const std::uint64_t r = operand;
        HXC_SET(r, HXCRASH_DWARF_CFA_REG_RULE_OFFSET, scaled(n));
        continue;
      }
      case 0xc0:  // DW_CFA_restore
        if ((err = restore(operand)) != hxcrash_error_none) return err;
        continue;
      default:
        break;
    }

    switch (opcode) {
      case 0x00:  // DW_CFA_nop
        break;
      case 0x01: {  // DW_CFA_set_loc
        if (location_moved != nullptr) *location_moved = true;
        if (cie->segment_size != 0) {
          MSHXCF_DEBUG("Segment support has not been implemented");
          return hxcrash_error_not_supported;
        }
        machine_ptr target = 0;
        if (stream.read_gnueh_ptr(pointerReader, setLocEncoding, &target) != hxcrash_error_none) {
          MSHXCF_DEBUG("DW_CFA_set_loc failed to read the target pointer value");
          return hxcrash_error_invalid_argument;
        }
        location = target;
        break;
      }
      case 0x02: {
        if (location_moved != nullptr) *location_moved = true;
        std::uint8_t delta = 0;
        HXC_FIXED(std::uint8_t, delta);
        location = static_cast<machine_ptr>(location + delta * caf);
        break;
      }
      case 0x03: {
        if (location_moved != nullptr) *location_moved = true;
        std::uint16_t delta = 0;
        HXC_FIXED(std::uint16_t, delta);
        location = static_cast<machine_ptr>(location + delta * caf);
        break;
      }
      case 0x04: {
        if (location_moved != nullptr) *location_moved = true;
        std::uint32_t delta = 0;
        HXC_FIXED(std::uint32_t, delta);
        location = static_cast<machine_ptr>(location + delta * caf);
        break;
      }
      case 0x05: {  // DW_CFA_offset_extended
        std::uint64_t r = 0, n = 0;
        HXC_ULEB(r);
        HXC_ULEB(n);
        HXC_SET(r, HXCRASH_DWARF_CFA_REG_RULE_OFFSET, scaled(n));
        break;
      }
      case 0x06: {  // DW_CFA_restore_extended
        std::uint64_t r = 0;
        HXC_ULEB(r);
        if ((err = restore(r)) != hxcrash_error_none) return err;
        break;
      }
      case 0x07: {  // DW_CFA_undefined
        std::uint64_t r = 0;
        HXC_ULEB(r);
        HXC_REGNUM(r);
        remove_register(static_cast<std::uint32_t>(r));
        break;
      }
      case 0x08: {  // DW_CFA_same_value
        std::uint64_t r = 0;
        HXC_ULEB(r);
        HXC_SET(r, HXCRASH_DWARF_CFA_REG_RULE_SAME_VALUE, 0);
        break;
      }
      case 0x09: {  // DW_CFA_register
        std::uint64_t r = 0, r2 = 0;
        HXC_ULEB(r);
        HXC_ULEB(r2);
        HXC_SET(r, HXCRASH_DWARF_CFA_REG_RULE_REGISTER, r2);
        break;
      }
      case 0x0a:  // DW_CFA_remember_state
        if (!push_state()) {
          MSHXCF_DEBUG("DW_CFA_remember_state exeeded the allocated CFA stack size");
          return hxcrash_error_no_memory;
        }
        break;
      case 0x0b:  // DW_CFA_restore_state
        if (!pop_state()) {
          MSHXCF_DEBUG("DW_CFA_restore_state was issued on an empty CFA stack");
          return hxcrash_error_invalid_argument;
        }
        break;
      case 0x0c: {  // DW_CFA_def_cfa
        std::uint64_t r = 0, n = 0;
        HXC_ULEB(r);
        HXC_ULEB(n);
        HXC_REGNUM(r);
        set_cfa_register(static_cast<std::uint32_t>(r), static_cast<machine_ptr>(n));
        break;
      }
      case 0x0d:    // DW_CFA_def_cfa_register
      case 0x0e:    // DW_CFA_def_cfa_offset
      case 0x13: {  // DW_CFA_def_cfa_offset_sf
        std::uint64_t value = 0;
        std::int64_t signedValue = 0;
        if (opcode == 0x13) {
          HXC_SLEB(signedValue);
        } else {
          HXC_ULEB(value);
        }
        dwarf_cfa_rule<machine_ptr> rule = get_cfa_rule();
        if (rule.cfa_type != DWARF_CFA_STATE_CFA_TYPE_REGISTER &&
            rule.cfa_type != DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED) {
          MSHXCF_DEBUG("DW_CFA_def_cfa_register emitted for a non-register CFA rule state");
          return hxcrash_error_invalid_argument;
        }
        if (opcode == 0x0d) {
          HXC_REGNUM(value);
          rule.reg_num = static_cast<std::uint32_t>(value);
          cfa_[_table_depth] = rule;
        } else if (opcode == 0x0e) {
          set_cfa_register(rule.reg_num, static_cast<machine_ptr>(value));
        } else {
          set_cfa_register_signed(rule.reg_num,
                                  static_cast<machine_ptr_s>(scaled(static_cast<std::uint64_t>(signedValue))));
        }
        break;
      }
      case 0x0f: {  // DW_CFA_def_cfa_expression
        std::uint64_t exprLength = 0;
        HXC_ULEB(exprLength);
        if (static_cast<std::int64_t>(exprLength) < 0) {
          MSHXCF_DEBUG(
              "DWARF expression length exceeds PL_VM_SIZE_MAX/PL_VM_OFF_MAX in "
              "DW_CFA_def_cfa_expression operand");
          return hxcrash_error_not_supported;
        }
        hxcrash_vm_address_t address = 0;
        if ((err = expressionAt(&address,
                                "DWARF expression position exceeds "
                                "PL_VM_ADDRESS_MAX/PL_VM_OFF_MAX in CFA opcode "
                                "stream")) != hxcrash_error_none) {
          return err;
        }
        set_cfa_expression(address, exprLength);
        skipExpression(exprLength);
        break;
      }
      case 0x10:    // DW_CFA_expression
      case 0x16: {  // DW_CFA_val_expression
        std::uint64_t r = 0;
        HXC_ULEB(r);
        hxcrash_vm_address_t address = 0;
        if ((err = expressionAt(&address,
                                "DWARF expression position exceeds "
                                "PL_VM_ADDRESS_MAX/PL_VM_OFF_MAX in DW_CFA_expression "
                                "evaluation")) != hxcrash_error_none) {
          return err;
        }
        std::uint64_t exprLength = 0;
        HXC_ULEB(exprLength);
        HXC_SET(r, opcode == 0x10 ? HXCRASH_DWARF_CFA_REG_RULE_EXPRESSION : HXCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION,
                address);
        skipExpression(exprLength);
        break;
      }
      case 0x11: {  // DW_CFA_offset_extended_sf
        std::uint64_t r = 0;
        std::int64_t n = 0;
        HXC_ULEB(r);
        HXC_SLEB(n);
        HXC_SET(r, HXCRASH_DWARF_CFA_REG_RULE_OFFSET, scaled(static_cast<std::uint64_t>(n)));
        break;
      }
      case 0x12: {  // DW_CFA_def_cfa_sf
        std::uint64_t r = 0;
        std::int64_t n = 0;
        HXC_ULEB(r);
        HXC_SLEB(n);
        HXC_REGNUM(r);
        set_cfa_register_signed(static_cast<std::uint32_t>(r),
                                static_cast<machine_ptr_s>(scaled(static_cast<std::uint64_t>(n))));
        break;
      }
      case 0x14: {  // DW_CFA_val_offset
        std::uint64_t r = 0, n = 0;
        HXC_ULEB(r);
        HXC_ULEB(n);
        HXC_SET(r, HXCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, scaled(n));
        break;
      }
      case 0x15: {  // DW_CFA_val_offset_sf
        std::uint64_t r = 0;
        std::int64_t n = 0;
        HXC_ULEB(r);
        HXC_SLEB(n);
        HXC_SET(r, HXCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, scaled(static_cast<std::uint64_t>(n)));
        break;
      }
      case 0x2e: {  // DW_CFA_GNU_args_size: outgoing argument bytes; nothing to unwind
        std::uint64_t ignored = 0;
        HXC_ULEB(ignored);
        break;
      }
      default:
        MSHXCF_DEBUG("Unsupported opcode 0x%hhx", opcode);
        return hxcrash_error_not_supported;
    }
  }
#undef HXC_ULEB
#undef HXC_SLEB
#undef HXC_FIXED
#undef HXC_REGNUM
#undef HXC_SET
  return hxcrash_error_none;
}

namespace detail {

// Maps [address, + length) of the task and evaluates the expression there. An expression inside
// section (bytes known readable in place, may be null) is read there instead: the same bytes,
// without mapping them.
template <typename machine_ptr, typename machine_ptr_s>
hxcrash_error_t eval_mapped_expression(vx::task_t task, const hxcrash_async_thread_state* thread_state,
                                       const MShxcrash_async_byteorder* byteorder, std::uint64_t address,
                                       std::uint64_t length, const machine_ptr* initial, std::size_t initial_count,
                                       machine_ptr* result, std::uint64_t* walk_steps, const buffer_memory* section) {
  if (section != nullptr && length != 0 && task == vx::mach_task_self() &&
      length <= static_cast<std::uint64_t>(INT64_MAX) && section->remap(address, 0, length) != nullptr) {
    return hxcrash_async_dwarf_expression_eval<machine_ptr, machine_ptr_s>(
        *section, task, thread_state, byteorder, address, 0, static_cast<hxcrash_vm_off_t>(length), initial,
        initial_count, result, walk_steps);
  }
  hxcrash_async_mobject mobj;
  hxcrash_error_t err = MShxcrash_async_mobject_init(&mobj, task, address, length, true);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("Could not map CFA expression range");
    return err;
  }
  const mobject_memory mem{&mobj};
  err = hxcrash_async_dwarf_expression_eval<machine_ptr, machine_ptr_s>(mem, task, thread_state, byteorder, address, 0,
                                                                        static_cast<hxcrash_vm_off_t>(length), initial,
                                                                        initial_count, result, walk_steps);
  MShxcrash_async_mobject_free(&mobj);
  return err;
}

}  // namespace detail

template <typename machine_ptr, typename machine_ptr_s>
hxcrash_error_t dwarf_cfa_state<machine_ptr, machine_ptr_s>::apply_state(
    vx::task_t task, const hxcrash_async_dwarf_cie_info* cie, const hxcrash_async_thread_state* thread_state,
    const MShxcrash_async_byteorder* byteorder, hxcrash_async_thread_state* new_thread_state,
    hxcrash_dwarf_stack_window* window, std::uint64_t* walk_steps, const buffer_memory* section) const {
  MShxcrash_async_thread_state_copy(new_thread_state, thread_state);
  MShxcrash_async_thread_state_clear_volatile_regs(new_thread_state);

  machine_ptr cfa = 0;
  const dwarf_cfa_rule<machine_ptr> rule = get_cfa_rule();
  switch (rule.cfa_type) {
    case DWARF_CFA_STATE_CFA_TYPE_UNDEFINED:
      MSHXCF_DEBUG("No canonical frame address specified in the CFA state; can't apply state");
      return hxcrash_error_invalid_argument;
    case DWARF_CFA_STATE_CFA_TYPE_REGISTER:
    case DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED: {
      hxcrash_regnum_t regnum = 0;
      if (!MShxcrash_async_thread_state_map_dwarf_to_reg(thread_state, rule.reg_num, &regnum)) {
        MSHXCF_DEBUG("CFA rule references an unsupported DWARF register: 0x%x", static_cast<unsigned>(rule.reg_num));
        return hxcrash_error_not_supported;
      }
      if (!MShxcrash_async_thread_state_has_reg(thread_state, regnum)) {
        MSHXCF_DEBUG(
            "CFA rule references a register that is not available from the current "
            "thread state: %s",
            MShxcrash_async_thread_state_get_reg_name(thread_state, regnum));
        return hxcrash_error_not_found;
      }
      cfa = static_cast<machine_ptr>(
          static_cast<machine_ptr>(MShxcrash_async_thread_state_get_reg(thread_state, regnum)) + rule.offset);
      break;
    }
    case DWARF_CFA_STATE_CFA_TYPE_EXPRESSION: {
      const hxcrash_error_t err = detail::eval_mapped_expression<machine_ptr, machine_ptr_s>(
          task, thread_state, byteorder, rule.expression_address, rule.expression_length, nullptr, 0, &cfa, walk_steps,
          section);
      if (err != hxcrash_error_none) return err;
      break;
    }
  }
  MShxcrash_async_thread_state_set_reg(new_thread_state, MSHXCRASH_REG_SP, cfa);

  const std::size_t gregSize = MShxcrash_async_thread_state_get_greg_size(thread_state);

  // The registers saved at offsets from the CFA usually lie within a few words of each other:
  // they are read in one checked copy instead of one system call each. A walk's window keeps
  // the bytes above them too, where the callers' saved registers usually are.
  constexpr std::uint64_t kWindowBytes = 256;
  std::uint8_t ownWindow[kWindowBytes];
  const std::uint8_t* windowBytes = ownWindow;
  std::uint64_t windowStart = 0;
  std::uint64_t windowLength = 0;
  {
    dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s> it(this);
    std::uint32_t dwarfReg = 0;
    hxcrash_dwarf_cfa_reg_rule_t kind{};
    machine_ptr value = 0;
    std::uint64_t low = ~std::uint64_t{0};
    std::uint64_t high = 0;
    while (it.next(&dwarfReg, &kind, &value)) {
      if (kind != HXCRASH_DWARF_CFA_REG_RULE_OFFSET) continue;
      const std::uint64_t address = static_cast<machine_ptr>(cfa + value);
      if (address < low) low = address;
      if (address + gregSize > high) high = address + gregSize;
    }
    if (high > low && window != nullptr) {
      if (window->cover(task, low, high)) {
        windowBytes = window->bytes;
        windowStart = window->start;
        windowLength = window->length;
      }
    } else if (high > low && high - low <= kWindowBytes &&
               MShxcrash_async_task_memcpy(task, low, 0, ownWindow, high - low) == hxcrash_error_none) {
      windowStart = low;
      windowLength = high - low;
    }
  }
  auto readWord = [&](machine_ptr address, machine_ptr* out) -> hxcrash_error_t {
    std::uint64_t word = 0;
    const std::uint64_t at = address;
    if (windowLength >= gregSize && at >= windowStart && at - windowStart <= windowLength - gregSize) {
      const std::uint8_t* local = windowBytes + (at - windowStart);
      word =
          gregSize == 4 ? detail::load_unaligned<std::uint32_t>(local) : detail::load_unaligned<std::uint64_t>(local);
      *out = static_cast<machine_ptr>(word);
      return hxcrash_error_none;
    }
    const hxcrash_error_t err = MShxcrash_async_task_memcpy(task, address, 0, &word, gregSize);
    *out = static_cast<machine_ptr>(word);
    return err;
  };

  dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s> it(this);
  std::uint32_t dwarfReg = 0;
  hxcrash_dwarf_cfa_reg_rule_t kind{};
  machine_ptr value = 0;
  while (it.next(&dwarfReg, &kind, &value)) {
    hxcrash_regnum_t target = 0;
    if (!MShxcrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarfReg, &target)) {
      if (dwarfReg != cie->return_address_register) {
        MSHXCF_DEBUG("Register rule references an unsupported DWARF register: 0x%llx",
                     static_cast<unsigned long long>(dwarfReg));
        return hxcrash_error_invalid_argument;
      }
      target = MSHXCRASH_REG_IP;
    }
    machine_ptr result = 0;
    hxcrash_error_t err = hxcrash_error_none;
    switch (kind) {
      case HXCRASH_DWARF_CFA_REG_RULE_OFFSET:
        err = readWord(static_cast<machine_ptr>(cfa + value), &result);
        if (err != hxcrash_error_none) {
          MSHXCF_DEBUG("Failed to read offset(N) register value: %d", static_cast<int>(err));
          return err;
        }
        break;
      case HXCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET:
        result = static_cast<machine_ptr>(cfa + value);
        break;
      case HXCRASH_DWARF_CFA_REG_RULE_REGISTER: {
        hxcrash_regnum_t source = 0;
        if (!MShxcrash_async_thread_state_map_dwarf_to_reg(thread_state, value, &source)) {
          MSHXCF_DEBUG("Register rule references an unsupported DWARF register: 0x%llx",
                       static_cast<unsigned long long>(value));
          return hxcrash_error_invalid_argument;
        }
        if (!MShxcrash_async_thread_state_has_reg(thread_state, source)) {
          MSHXCF_DEBUG(
              "Register rule references a register that is not available from the "
              "current thread state: %s",
              MShxcrash_async_thread_state_get_reg_name(thread_state, source));
          return hxcrash_error_not_found;
        }
        result = static_cast<machine_ptr>(MShxcrash_async_thread_state_get_reg(thread_state, source));
        break;
      }
      case HXCRASH_DWARF_CFA_REG_RULE_EXPRESSION:
      case HXCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION: {
        std::uint64_t exprLength = 0;
        hxcrash_vm_size_t lengthSize = 0;
        // From the section when it holds the whole number, else (also for one cut at the
        // section's end) from the task, as before.
        err = hxcrash_error_invalid_argument;
        if (section != nullptr && task == vx::mach_task_self() && section->remap(value, 0, 1) != nullptr) {
          err = hxcrash_async_dwarf_read_uleb128(*section, value, 0, &exprLength, &lengthSize);
        }
        if (err != hxcrash_error_none) {
          err = hxcrash_async_dwarf_read_task_uleb128(task, value, 0, &exprLength, &lengthSize);
        }
        if (err != hxcrash_error_none) {
          MSHXCF_DEBUG("Failed to read uleb128 length header for rule expression");
          return err;
        }
        hxcrash_vm_address_t start = 0;
        if (!MShxcrash_async_address_apply_offset(value, static_cast<hxcrash_vm_off_t>(lengthSize), &start)) {
          MSHXCF_DEBUG("Overflow applying the ULEB128 length to our expression base address");
          return hxcrash_error_invalid_argument;
        }
        const machine_ptr initial[1] = {cfa};
        machine_ptr exprResult = 0;
        if (gregSize == 4) {
          std::uint32_t narrow = 0;
          const std::uint32_t narrowInitial[1] = {static_cast<std::uint32_t>(cfa)};
          err = detail::eval_mapped_expression<std::uint32_t, std::int32_t>(
              task, thread_state, byteorder, start, exprLength, narrowInitial, 1, &narrow, walk_steps, section);
          exprResult = narrow;
        } else {
          std::uint64_t wide = 0;
          const std::uint64_t wideInitial[1] = {static_cast<std::uint64_t>(initial[0])};
          err = detail::eval_mapped_expression<std::uint64_t, std::int64_t>(
              task, thread_state, byteorder, start, exprLength, wideInitial, 1, &wide, walk_steps, section);
          exprResult = static_cast<machine_ptr>(wide);
        }
        if (err != hxcrash_error_none) return err;
        if (kind == HXCRASH_DWARF_CFA_REG_RULE_EXPRESSION) {
          err = readWord(exprResult, &result);
          if (err != hxcrash_error_none) {
            MSHXCF_DEBUG("Failed to read register value from expression result: %d", static_cast<int>(err));
            return err;
          }
        } else {
          result = exprResult;
        }
        break;
      }
      case HXCRASH_DWARF_CFA_REG_RULE_SAME_VALUE:
        if (!MShxcrash_async_thread_state_has_reg(thread_state, target)) {
          MSHXCF_DEBUG(
              "Same-value rule references a register that is not available from the "
              "current thread state");
          return hxcrash_error_not_found;
        }
        result = static_cast<machine_ptr>(MShxcrash_async_thread_state_get_reg(thread_state, target));
        break;
    }
    MShxcrash_async_thread_state_set_reg(new_thread_state, target, result);
    if (dwarfReg == cie->return_address_register && target != MSHXCRASH_REG_IP) {
      MShxcrash_async_thread_state_set_reg(new_thread_state, MSHXCRASH_REG_IP, result);
    }
  }

  if (MShxcrash_async_thread_state_has_reg(new_thread_state, MSHXCRASH_REG_IP)) {
    return hxcrash_error_none;
  }
  hxcrash_regnum_t raReg = 0;
  if (!MShxcrash_async_thread_state_map_dwarf_to_reg(thread_state, cie->return_address_register, &raReg)) {
    MSHXCF_DEBUG("Return address register value references an unsupported DWARF register: 0x%llx",
                 static_cast<unsigned long long>(cie->return_address_register));
    return hxcrash_error_invalid_argument;
  }
  if (!MShxcrash_async_thread_state_has_reg(thread_state, raReg)) {
    MSHXCF_DEBUG(
        "CIE return_address_register references a register that is not available from "
        "the current thread state: %s",
        MShxcrash_async_thread_state_get_reg_name(thread_state, raReg));
    return hxcrash_error_invalid_argument;
  }
  MShxcrash_async_thread_state_set_reg(new_thread_state, MSHXCRASH_REG_IP,
                                       MShxcrash_async_thread_state_get_reg(thread_state, raReg));
  return hxcrash_error_none;
}

}  // namespace hxcrash::MS::async
