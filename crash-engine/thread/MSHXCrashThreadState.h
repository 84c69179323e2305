// The register record that every unwinder of the engine shares, the ways to fill it (a signal's
// machine context, another thread of the process, the calling thread), the register numbering
// with names and DWARF numbers, and the edits the unwinders make to it.
//
// Every function here is safe at crash time (no allocation, no locks, no library string
// functions) except MShxcrash_nasync_*. On Linux "another thread" is captured by the signal
// based layer of MSHXCrashThreadCapture.h.
#pragma once

#include "crash-engine/async/HXCrashAsync.h"

#include <ucontext.h>

#include <cstdint>

// The x86 thread and exception state blocks, laid out as the kernel interface of the other
// system lays them out, so reports and unwinders read the same record on every host.
enum : std::uint32_t {
  MShxcrash_x86_THREAD_STATE32 = 1,
  MShxcrash_x86_EXCEPTION_STATE32 = 3,
  MShxcrash_x86_THREAD_STATE64 = 4,
  MShxcrash_x86_EXCEPTION_STATE64 = 6,
  MShxcrash_x86_THREAD_STATE = 7,
  MShxcrash_x86_EXCEPTION_STATE = 9,
  MShxcrash_x86_THREAD_STATE32_COUNT = 16,
  MShxcrash_x86_THREAD_STATE64_COUNT = 42,
  MShxcrash_x86_EXCEPTION_STATE32_COUNT = 3,
  MShxcrash_x86_EXCEPTION_STATE64_COUNT = 4,
};

struct MShxcrash_x86_state_hdr {
  std::uint32_t flavor;
  std::uint32_t count;
};

struct MShxcrash_x86_thread_state32 {
  std::uint32_t eax, ebx, ecx, edx, edi, esi, ebp, esp, ss, eflags, eip, cs, ds, es, fs, gs;
};

struct MShxcrash_x86_thread_state64 {
  std::uint64_t rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp, r8, r9, r10, r11, r12, r13, r14, r15, rip, rflags, cs, fs, gs;
};
static_assert(sizeof(MShxcrash_x86_thread_state64) == 168);

struct MShxcrash_x86_thread_state {
  MShxcrash_x86_state_hdr tsh;
  union {
    MShxcrash_x86_thread_state32 ts32;
    MShxcrash_x86_thread_state64 ts64;
  } uts;
};

struct MShxcrash_x86_exception_state32 {
  std::uint16_t trapno;
  std::uint16_t cpu;
  std::uint32_t err;
  std::uint32_t faultvaddr;
};

struct MShxcrash_x86_exception_state64 {
  std::uint16_t trapno;
  std::uint16_t cpu;
  std::uint32_t err;
  std::uint64_t faultvaddr;
};
static_assert(sizeof(MShxcrash_x86_exception_state64) == 16);

struct MShxcrash_x86_exception_state {
  MShxcrash_x86_state_hdr esh;
  union {
    MShxcrash_x86_exception_state32 es32;
    MShxcrash_x86_exception_state64 es64;
  } ues;
};

enum MShxcrash_async_thread_stack_direction : std::uint32_t {
  MShxcrash_async_thread_stack_direction_up = 1,
  MShxcrash_async_thread_stack_direction_down = 2,
};

// A plain value, copied bytewise; it owns nothing.
struct hxcrash_async_thread_state {
  std::uint32_t stack_direction;
  std::uint64_t greg_size;
  std::uint64_t valid_regs;  // bit n: register id n holds a value
  MShxcrash_x86_thread_state x86_state;
  MShxcrash_x86_exception_state x86_exception;
};

using hxcrash_regnum_t = std::uint32_t;

// Register ids shared by every unwinder: 0 is always the instruction pointer, 1 the frame
// pointer, 2 the stack pointer.
enum : hxcrash_regnum_t {
  MSHXCRASH_REG_IP = 0,
  MSHXCRASH_REG_FP = 1,
  MSHXCRASH_REG_SP = 2,

  MSHXCRASH_X86_64_RIP = 0,
  MSHXCRASH_X86_64_RBP = 1,
  MSHXCRASH_X86_64_RSP = 2,
  MSHXCRASH_X86_64_RAX = 3,
  MSHXCRASH_X86_64_RBX = 4,
  MSHXCRASH_X86_64_RCX = 5,
  MSHXCRASH_X86_64_RDX = 6,
  MSHXCRASH_X86_64_RDI = 7,
  MSHXCRASH_X86_64_RSI = 8,
  MSHXCRASH_X86_64_R8 = 9,
  MSHXCRASH_X86_64_R9 = 10,
  MSHXCRASH_X86_64_R10 = 11,
  MSHXCRASH_X86_64_R11 = 12,
  MSHXCRASH_X86_64_R12 = 13,
  MSHXCRASH_X86_64_R13 = 14,
  MSHXCRASH_X86_64_R14 = 15,
  MSHXCRASH_X86_64_R15 = 16,
  MSHXCRASH_X86_64_RFLAGS = 17,
  MSHXCRASH_X86_64_CS = 18,
  MSHXCRASH_X86_64_FS = 19,
  MSHXCRASH_X86_64_GS = 20,
  MSHXCRASH_X86_64_REG_COUNT = 21,

  MSHXCRASH_X86_EIP = 0,
  MSHXCRASH_X86_EBP = 1,
  MSHXCRASH_X86_ESP = 2,
  MSHXCRASH_X86_EAX = 3,
  MSHXCRASH_X86_EDX = 4,
  MSHXCRASH_X86_ECX = 5,
  MSHXCRASH_X86_EBX = 6,
  MSHXCRASH_X86_ESI = 7,
  MSHXCRASH_X86_EDI = 8,
  MSHXCRASH_X86_EFLAGS = 9,
  MSHXCRASH_X86_TRAPNO = 10,
  MSHXCRASH_X86_CS = 11,
  MSHXCRASH_X86_DS = 12,
  MSHXCRASH_X86_ES = 13,
  MSHXCRASH_X86_FS = 14,
  MSHXCRASH_X86_GS = 15,
  MSHXCRASH_X86_REG_COUNT = 16,
};

// Mach CPU types the record knows.
inline constexpr std::int32_t MShxcrash_CPU_TYPE_X86 = 7;
inline constexpr std::int32_t MShxcrash_CPU_TYPE_X86_64 = 0x1000007;

// Zeroes the record and sets the flavors, counts and register size for the CPU type (x86 or
// x86-64); hxcrash_error_not_supported (nothing logged) for any other.
hxcrash_error_t MShxcrash_async_thread_state_init(hxcrash_async_thread_state* state, std::int32_t cpu_type);

// Fills a 64-bit state from a signal's machine context, field by field from its general
// registers; the trap number, error code and fault address (cr2) become the exception state.
// Every register is valid. Always succeeds.
hxcrash_error_t MShxcrash_async_thread_state_mcontext_init(hxcrash_async_thread_state* state,
                                                           const mcontext_t* mcontext);

// The registers of another thread of our process (thread = its kernel thread id), taken by the
// signal capture layer, which must be installed (MShxcrash_nasync_thread_capture_install). A
// thread not yet parked by MShxcrash_async_thread_capture_suspend is parked now and stays
// parked until resumed. hxcrash_error_internal, with "Fetch of x86 thread state failed with
// Mach error: %d" logged, when the thread does not answer in time.
hxcrash_error_t MShxcrash_async_thread_state_mach_thread_init(hxcrash_async_thread_state* state, vx::thread_t thread);

typedef hxcrash_error_t (*MShxcrash_async_thread_state_current_callback)(hxcrash_async_thread_state* state,
                                                                         void* context);

// Captures the calling thread (x86-64 only; an assembly routine): the registers as they are
// on entry, rbp the caller's frame pointer, rsp the caller's stack pointer after the return,
// rip the return address. Calls callback(state, context) and returns its result.
extern "C" hxcrash_error_t MShxcrash_async_thread_state_current(MShxcrash_async_thread_state_current_callback callback,
                                                                void* context);

void MShxcrash_async_thread_state_copy(hxcrash_async_thread_state* dest, const hxcrash_async_thread_state* source);
bool MShxcrash_async_thread_state_has_reg(const hxcrash_async_thread_state* state, hxcrash_regnum_t regnum);
// The value zero-extended to 64 bits; ignores the valid bit. An id at or above the register
// count stops the process (a caller error).
std::uint64_t MShxcrash_async_thread_state_get_reg(const hxcrash_async_thread_state* state, hxcrash_regnum_t regnum);
// Stores the value truncated to the register's width and marks it valid.
void MShxcrash_async_thread_state_set_reg(hxcrash_async_thread_state* state, hxcrash_regnum_t regnum,
                                          std::uint64_t value);
void MShxcrash_async_thread_state_clear_reg(hxcrash_async_thread_state* state, hxcrash_regnum_t regnum);
void MShxcrash_async_thread_state_clear_all_regs(hxcrash_async_thread_state* state);
// Keeps only the callee-saved registers valid.
void MShxcrash_async_thread_state_clear_volatile_regs(hxcrash_async_thread_state* state);
std::size_t MShxcrash_async_thread_state_get_reg_count(const hxcrash_async_thread_state* state);
// "rip", "eax", ...; an id at or above the count logs "Missing register name for register id:
// %d" and stops the process.
const char* MShxcrash_async_thread_state_get_reg_name(const hxcrash_async_thread_state* state, hxcrash_regnum_t regnum);
MShxcrash_async_thread_stack_direction MShxcrash_async_thread_state_get_stack_direction(
    const hxcrash_async_thread_state* state);
std::size_t MShxcrash_async_thread_state_get_greg_size(const hxcrash_async_thread_state* state);
// False (nothing logged) when the number is not in the width's DWARF table.
bool MShxcrash_async_thread_state_map_dwarf_to_reg(const hxcrash_async_thread_state* state, std::uint64_t dwarf_reg,
                                                   hxcrash_regnum_t* regnum);
bool MShxcrash_async_thread_state_map_reg_to_dwarf(const hxcrash_async_thread_state* state, hxcrash_regnum_t regnum,
                                                   std::uint64_t* dwarf_reg);
