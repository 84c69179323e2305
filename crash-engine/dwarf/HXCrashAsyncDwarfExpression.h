// The DWARF expression evaluator that computes a canonical frame address or a saved register
// given by an expression in call-frame information. A template over the target's unsigned and
// signed machine words (arithmetic wraps at that width) and over the memory-access type of
// HXCrashAsyncDwarfPrimitives.h.
//
// Safe at crash time: the operand stack (100 values) lives on the caller's stack, every operand
// read is bounded by the stream, every dereference is a checked task read; no allocation, no
// locks. Division of the most negative value by -1 yields the most negative value (the wrapped
// quotient) without executing the trapping instruction; shifts and negation run in unsigned
// arithmetic.
#pragma once

#include "crash-engine/dwarf/HXCrashAsyncDwarfPrimitives.h"
#include "crash-engine/thread/MSHXCrashThreadState.h"

#include <limits>

namespace hxcrash::MS::async {

namespace detail {

template <typename machine_ptr>
class dwarf_stack {
 public:
  static constexpr std::size_t capacity = 100;

  bool push(machine_ptr value) {
    if (depth_ == capacity) {
      MSHXCF_DEBUG("Hit stack limit; cannot push further values");
      return false;
    }
    values_[depth_++] = value;
    return true;
  }
  bool pop(machine_ptr* value) {
    if (depth_ == 0) {
      MSHXCF_DEBUG("Pop on an empty stack");
      return false;
    }
    *value = values_[--depth_];
    return true;
  }
  std::size_t depth() const { return depth_; }
  // 0 is the top.
  machine_ptr& at(std::size_t index) { return values_[depth_ - 1 - index]; }

 private:
  machine_ptr values_[capacity];
  std::size_t depth_ = 0;
};

}  // namespace detail

// Operations one expression may execute; DW_OP_bra and DW_OP_skip can jump backwards.
inline constexpr std::size_t HXCRASH_DWARF_EXPRESSION_MAX_STEPS = 10000;

// Takes one step of a stack walk's budget (walk_steps may be null: no walk-wide budget); false,
// with a debug line, once it is used up. CFA programs and expressions share it.
inline bool hxcrash_dwarf_walk_take_step(std::size_t* walk_steps) {
  if (walk_steps == nullptr) return true;
  if (*walk_steps == 0) {
    MSHXCF_DEBUG("The stack walk used up its budget of DWARF instructions");
    return false;
  }
  *walk_steps -= 1;
  return true;
}

// Evaluates the expression at [base + offset, + length) of mem. Registers come from
// thread_state, dereferences read task. initial values are pushed first (bottom first). On
// success *result is the final top of the stack. Errors (all logged): invalid_argument for
// malformed expressions (short operands, bad jumps and sizes, too few values for a named
// operation, division by zero, no result, more than HXCRASH_DWARF_EXPRESSION_MAX_STEPS
// operations), internal for the generic stack overflow and
// underflow, not_supported for opcodes and registers outside the supported set, not_found for a
// register the state lacks, the task read's code for a failed dereference. walk_steps (may be
// null) is a stack walk's budget: one per operation, invalid_argument once it is used up.
template <typename machine_ptr, typename machine_ptr_s, typename Memory>
hxcrash_error_t hxcrash_async_dwarf_expression_eval(const Memory& mem, vx::task_t task,
                                                    const hxcrash_async_thread_state* thread_state,
                                                    const MShxcrash_async_byteorder* byteorder,
                                                    hxcrash_vm_address_t base, hxcrash_vm_off_t offset,
                                                    hxcrash_vm_off_t length, const machine_ptr* initial_values,
                                                    std::size_t initial_count, machine_ptr* result,
                                                    std::uint64_t* walk_steps = nullptr) {
  static_assert(sizeof(machine_ptr) == sizeof(machine_ptr_s));
  constexpr unsigned kBits = sizeof(machine_ptr) * 8;
  constexpr machine_ptr kSignBit = machine_ptr{1} << (kBits - 1);

  dwarf_opstream<Memory> stream;
  hxcrash_error_t err = stream.init(&mem, byteorder, base, offset, length);
  if (err != hxcrash_error_none) return err;

  detail::dwarf_stack<machine_ptr> stack;
  for (std::size_t i = 0; i < initial_count; ++i) {
    if (!stack.push(initial_values[i])) return hxcrash_error_internal;
  }

#define HXC_PUSH(v)                                                              \
  do {                                                                           \
    if (!stack.push(static_cast<machine_ptr>(v))) return hxcrash_error_internal; \
  } while (0)
#define HXC_POP(v)                                       \
  do {                                                   \
    if (!stack.pop(&(v))) return hxcrash_error_internal; \
  } while (0)
#define HXC_READ(type, v)                                                  \
  do {                                                                     \
    if (!stream.template read_intU<type>(&(v))) {                          \
      MSHXCF_DEBUG("Read of size %zu exceeds mapped range", sizeof(type)); \
      return hxcrash_error_invalid_argument;                               \
    }                                                                      \
  } while (0)
#define HXC_NEED(count, text)                \
  do {                                       \
    if (stack.depth() < (count)) {           \
      MSHXCF_DEBUG(text);                    \
      return hxcrash_error_invalid_argument; \
    }                                        \
  } while (0)

  auto readRegister = [&](std::uint64_t dwarfReg, machine_ptr* value) -> hxcrash_error_t {
    hxcrash_regnum_t regnum = 0;
    if (!MShxcrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarfReg, &regnum)) {
      MSHXCF_DEBUG("Unsupported DWARF register value of 0x%llx", static_cast<unsigned long long>(dwarfReg));
      return hxcrash_error_not_supported;
    }
    if (!MShxcrash_async_thread_state_has_reg(thread_state, regnum)) {
      MSHXCF_DEBUG("Register value of %s unavailable in the current frame.",
                   MShxcrash_async_thread_state_get_reg_name(thread_state, regnum));
      return hxcrash_error_not_found;
    }
    *value = static_cast<machine_ptr>(MShxcrash_async_thread_state_get_reg(thread_state, regnum));
    return hxcrash_error_none;
  };
  auto toSigned = [](machine_ptr v) { return static_cast<machine_ptr_s>(v); };

  auto derefSized = [&](machine_ptr address, std::uint8_t size, machine_ptr* out, const char* what) -> hxcrash_error_t {
    std::uint64_t value = 0;
    const hxcrash_error_t readErr = MShxcrash_async_task_memcpy(task, address, 0, &value, size);
    if (readErr != hxcrash_error_none) {
      MSHXCF_DEBUG("%s referenced an invalid target address 0x%llx", what, static_cast<unsigned long long>(address));
      return readErr;
    }
    // Little-endian host: the low `size` bytes of value hold the read bytes.
    *out = static_cast<machine_ptr>(value);
    return hxcrash_error_none;
  };

  // Branches can go backwards: a budget of operations ends an expression that loops (at crash
  // time it would freeze the crashing process for ever).
  std::size_t steps = 0;
  while (!stream.at_end()) {
    if (++steps > HXCRASH_DWARF_EXPRESSION_MAX_STEPS) {
      MSHXCF_DEBUG("DWARF expression did not finish within %zu operations", HXCRASH_DWARF_EXPRESSION_MAX_STEPS);
      return hxcrash_error_invalid_argument;
    }
    if (!hxcrash_dwarf_walk_take_step(walk_steps)) return hxcrash_error_invalid_argument;
    std::uint8_t opcode = 0;
    HXC_READ(std::uint8_t, opcode);
    switch (opcode) {
      case 0x06: {  // DW_OP_deref
        machine_ptr address = 0, value = 0;
        HXC_POP(address);
        err = derefSized(address, sizeof(machine_ptr), &value, "DW_OP_deref");
        if (err != hxcrash_error_none) return err;
        HXC_PUSH(value);
        break;
      }
      case 0x08: {
        std::uint8_t v = 0;
        HXC_READ(std::uint8_t, v);
        HXC_PUSH(v);
        break;
      }
      case 0x09: {
        std::int8_t v = 0;
        HXC_READ(std::int8_t, v);
        HXC_PUSH(static_cast<machine_ptr_s>(v));
        break;
      }
      case 0x0a: {
        std::uint16_t v = 0;
        HXC_READ(std::uint16_t, v);
        HXC_PUSH(v);
        break;
      }
      case 0x0b: {
        std::int16_t v = 0;
        HXC_READ(std::int16_t, v);
        HXC_PUSH(static_cast<machine_ptr_s>(v));
        break;
      }
      case 0x0c: {
        std::uint32_t v = 0;
        HXC_READ(std::uint32_t, v);
        HXC_PUSH(v);
        break;
      }
      case 0x0d: {
        std::int32_t v = 0;
        HXC_READ(std::int32_t, v);
        HXC_PUSH(static_cast<machine_ptr_s>(v));
        break;
      }
      case 0x0e: {
        std::uint64_t v = 0;
        HXC_READ(std::uint64_t, v);
        HXC_PUSH(v);
        break;
      }
      case 0x0f: {
        std::int64_t v = 0;
        HXC_READ(std::int64_t, v);
        HXC_PUSH(static_cast<std::uint64_t>(v));
        break;
      }
      case 0x10: {  // DW_OP_constu
        std::uint64_t v = 0;
        if ((err = stream.read_uleb128(&v)) != hxcrash_error_none) return err;
        HXC_PUSH(v);
        break;
      }
      case 0x11: {  // DW_OP_consts
        std::int64_t v = 0;
        if ((err = stream.read_sleb128(&v)) != hxcrash_error_none) return err;
        HXC_PUSH(static_cast<std::uint64_t>(v));
        break;
      }
      case 0x12:  // DW_OP_dup
        HXC_NEED(1, "DW_OP_dup on an empty stack");
        HXC_PUSH(stack.at(0));
        break;
      case 0x13: {  // DW_OP_drop
        HXC_NEED(1, "DW_OP_drop on an empty stack");
        machine_ptr ignored = 0;
        HXC_POP(ignored);
        break;
      }
      case 0x14:  // DW_OP_over
        HXC_NEED(2, "DW_OP_over on stack with < 2 elements");
        HXC_PUSH(stack.at(1));
        break;
      case 0x15: {  // DW_OP_pick
        std::uint8_t index = 0;
        HXC_READ(std::uint8_t, index);
        if (index >= stack.depth()) {
          MSHXCF_DEBUG("DW_OP_pick on invalid index");
          return hxcrash_error_invalid_argument;
        }
        HXC_PUSH(stack.at(index));
        break;
      }
      case 0x16: {  // DW_OP_swap
        HXC_NEED(2, "DW_OP_swap on stack with < 2 elements");
        const machine_ptr top = stack.at(0);
        stack.at(0) = stack.at(1);
        stack.at(1) = top;
        break;
      }
      case 0x17: {  // DW_OP_rot: top -> third, second -> top, third -> second
        HXC_NEED(3, "DW_OP_rot on stack with < 3 elements");
        const machine_ptr top = stack.at(0);
        stack.at(0) = stack.at(1);
        stack.at(1) = stack.at(2);
        stack.at(2) = top;
        break;
      }
      case 0x18: {  // DW_OP_xderef
        HXC_NEED(2, "DW_OP_xderef on stack with < 2 elements");
        machine_ptr address = 0, space = 0, value = 0;
        HXC_POP(address);
        HXC_POP(space);
        err = derefSized(address, sizeof(machine_ptr), &value, "DW_OP_xderef");
        if (err != hxcrash_error_none) return err;
        HXC_PUSH(value);
        break;
      }
      case 0x19: {  // DW_OP_abs
        machine_ptr v = 0;
        HXC_POP(v);
        HXC_PUSH((v & kSignBit) != 0 ? static_cast<machine_ptr>(machine_ptr{0} - v) : v);
        break;
      }
      case 0x1f: {  // DW_OP_neg
        machine_ptr v = 0;
        HXC_POP(v);
        HXC_PUSH(static_cast<machine_ptr>(machine_ptr{0} - v));
        break;
      }
      case 0x20: {  // DW_OP_not
        machine_ptr v = 0;
        HXC_POP(v);
        HXC_PUSH(static_cast<machine_ptr>(~v));
        break;
      }
      case 0x1a:
      case 0x1b:
      case 0x1c:
      case 0x1d:
      case 0x1e:
      case 0x21:
      case 0x22:
      case 0x24:
      case 0x25:
      case 0x26:
      case 0x27:
      case 0x29:
      case 0x2a:
      case 0x2b:
      case 0x2c:
      case 0x2d:
      case 0x2e: {
        machine_ptr top = 0, second = 0;
        HXC_POP(top);
        HXC_POP(second);
        machine_ptr value = 0;
        const unsigned shift = static_cast<unsigned>(top % kBits);
        switch (opcode) {
          case 0x1a:
            value = second & top;
            break;
          case 0x1c:
            value = static_cast<machine_ptr>(second - top);
            break;
          case 0x1e:
            value = static_cast<machine_ptr>(second * top);
            break;
          case 0x21:
            value = second | top;
            break;
          case 0x22:
            value = static_cast<machine_ptr>(second + top);
            break;
          case 0x27:
            value = second ^ top;
            break;
          case 0x1b:  // DW_OP_div, signed
            if (top == 0) {
              MSHXCF_DEBUG("DW_OP_div attempted divide by zero");
              return hxcrash_error_invalid_argument;
            }
            if (second == kSignBit && top == static_cast<machine_ptr>(~machine_ptr{0})) {
              value = kSignBit;  // MIN / -1 wraps to MIN; the machine instruction would trap
            } else {
              value = static_cast<machine_ptr>(toSigned(second) / toSigned(top));
            }
            break;
          case 0x1d:  // DW_OP_mod, unsigned
            if (top == 0) {
              MSHXCF_DEBUG("DW_OP_mod attempted divide by zero");
              return hxcrash_error_invalid_argument;
            }
            value = second % top;
            break;
          case 0x24:
            value = static_cast<machine_ptr>(second << shift);
            break;
          case 0x25:
            value = static_cast<machine_ptr>(second >> shift);
            break;
          case 0x26:  // arithmetic shift, built from logical shifts
            value = (second & kSignBit) != 0 ? static_cast<machine_ptr>(~(static_cast<machine_ptr>(~second) >> shift))
                                             : static_cast<machine_ptr>(second >> shift);
            break;
          case 0x29:
            value = toSigned(second) == toSigned(top);
            break;
          case 0x2a:
            value = toSigned(second) >= toSigned(top);
            break;
          case 0x2b:
            value = toSigned(second) > toSigned(top);
            break;
          case 0x2c:
            value = toSigned(second) <= toSigned(top);
            break;
          case 0x2d:
            value = toSigned(second) < toSigned(top);
            break;
          case 0x2e:
            value = toSigned(second) != toSigned(top);
            break;
          default:
            break;
        }
        HXC_PUSH(value);
        break;
      }
      case 0x23: {  // DW_OP_plus_uconst
        std::uint64_t addend = 0;
        if ((err = stream.read_uleb128(&addend)) != hxcrash_error_none) return err;
        machine_ptr v = 0;
        HXC_POP(v);
        HXC_PUSH(static_cast<machine_ptr>(v + static_cast<machine_ptr>(addend)));
        break;
      }
      case 0x28: {  // DW_OP_bra
        std::int16_t jump = 0;
        HXC_READ(std::int16_t, jump);
        machine_ptr condition = 0;
        HXC_POP(condition);
        if (condition != 0 && !stream.skip(jump)) {
          MSHXCF_DEBUG("DW_OP_bra offset %hd falls outside of opcode range", jump);
          return hxcrash_error_invalid_argument;
        }
        break;
      }
      case 0x2f: {  // DW_OP_skip
        std::int16_t jump = 0;
        HXC_READ(std::int16_t, jump);
        if (!stream.skip(jump)) {
          MSHXCF_DEBUG("DW_OP_skip offset %hd falls outside of opcode range", jump);
          return hxcrash_error_invalid_argument;
        }
        break;
      }
      case 0x92: {  // DW_OP_bregx
        std::uint64_t reg = 0;
        std::int64_t addend = 0;
        if ((err = stream.read_uleb128(&reg)) != hxcrash_error_none) return err;
        if ((err = stream.read_sleb128(&addend)) != hxcrash_error_none) return err;
        machine_ptr value = 0;
        if ((err = readRegister(reg, &value)) != hxcrash_error_none) return err;
        HXC_PUSH(static_cast<machine_ptr>(value + static_cast<machine_ptr>(addend)));
        break;
      }
      case 0x94:    // DW_OP_deref_size
      case 0x95: {  // DW_OP_xderef_size
        std::uint8_t size = 0;
        HXC_READ(std::uint8_t, size);
        if (size > sizeof(machine_ptr)) {
          MSHXCF_DEBUG("DW_OP_deref_size specified a size larger than the native machine word");
          return hxcrash_error_invalid_argument;
        }
        if (opcode == 0x95) HXC_NEED(2, "DW_OP_xderef_size on stack with < 2 elements");
        machine_ptr address = 0, value = 0;
        HXC_POP(address);
        if (opcode == 0x95) {
          machine_ptr space = 0;
          HXC_POP(space);
        }
        if (size != 1 && size != 2 && size != 4 && size != 8) {
          MSHXCF_DEBUG("DW_OP_deref_size specified an unsupported size of %hhu", size);
          return hxcrash_error_invalid_argument;
        }
        err = derefSized(address, size, &value, opcode == 0x94 ? "DW_OP_deref_size" : "DW_OP_xderef_size");
        if (err != hxcrash_error_none) return err;
        HXC_PUSH(value);
        break;
      }
      case 0x96:  // DW_OP_nop
        break;
      default:
        if (opcode >= 0x30 && opcode <= 0x4f) {  // DW_OP_lit0-31
          HXC_PUSH(opcode - 0x30);
          break;
        }
        if (opcode >= 0x70 && opcode <= 0x8f) {  // DW_OP_breg0-31
          std::int64_t addend = 0;
          if ((err = stream.read_sleb128(&addend)) != hxcrash_error_none) return err;
          machine_ptr value = 0;
          if ((err = readRegister(opcode - 0x70u, &value)) != hxcrash_error_none) return err;
          HXC_PUSH(static_cast<machine_ptr>(value + static_cast<machine_ptr>(addend)));
          break;
        }
        MSHXCF_DEBUG("Unsupported opcode 0x%hhx", opcode);
        return hxcrash_error_not_supported;
    }
  }
#undef HXC_PUSH
#undef HXC_POP
#undef HXC_READ
#undef HXC_NEED

  if (stack.depth() == 0) {
    MSHXCF_DEBUG("Expression did not provide a result value.");
    return hxcrash_error_invalid_argument;
  }
  machine_ptr value = 0;
  stack.pop(&value);
  *result = value;
  return hxcrash_error_none;
}

}  // namespace hxcrash::MS::async
