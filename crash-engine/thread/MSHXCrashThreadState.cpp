#include "crash-engine/thread/MSHXCrashThreadState.h"

#include "crash-engine/thread/MSHXCrashThreadCapture.h"

namespace {

// Register id -> index of the 64-bit block's fields (rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp,
// r8-r15, rip, rflags, cs, fs, gs).
constexpr std::uint8_t kIndex64[MSHXCRASH_X86_64_REG_COUNT] = {16, 6,  7,  0,  1,  2,  3,  4,  5,  8, 9,
                                                               10, 11, 12, 13, 14, 15, 17, 18, 19, 20};
// Register id -> index of the 32-bit block's fields (eax, ebx, ecx, edx, edi, esi, ebp, esp,
// ss, eflags, eip, cs, ds, es, fs, gs); 0xff is the exception state's trap number.
constexpr std::uint8_t kIndex32[MSHXCRASH_X86_REG_COUNT] = {10, 6, 7, 0, 3, 2, 1, 5, 4, 9, 0xff, 11, 12, 13, 14, 15};

constexpr const char* kNames64[MSHXCRASH_X86_64_REG_COUNT] = {"rip", "rbp", "rsp", "rax",    "rbx", "rcx", "rdx",
                                                              "rdi", "rsi", "r8",  "r9",     "r10", "r11", "r12",
                                                              "r13", "r14", "r15", "rflags", "cs",  "fs",  "gs"};
constexpr const char* kNames32[MSHXCRASH_X86_REG_COUNT] = {"eip", "ebp",    "esp",    "eax", "edx", "ecx", "ebx", "esi",
                                                           "edi", "eflags", "trapno", "cs",  "ds",  "es",  "fs",  "gs"};

struct DwarfRow {
  std::uint64_t dwarf;
  hxcrash_regnum_t reg;
};

constexpr DwarfRow kDwarf64[] = {
    {6, MSHXCRASH_X86_64_RBP},     {7, MSHXCRASH_X86_64_RSP},  {0, MSHXCRASH_X86_64_RAX},  {3, MSHXCRASH_X86_64_RBX},
    {2, MSHXCRASH_X86_64_RCX},     {1, MSHXCRASH_X86_64_RDX},  {5, MSHXCRASH_X86_64_RDI},  {4, MSHXCRASH_X86_64_RSI},
    {8, MSHXCRASH_X86_64_R8},      {9, MSHXCRASH_X86_64_R9},   {10, MSHXCRASH_X86_64_R10}, {11, MSHXCRASH_X86_64_R11},
    {12, MSHXCRASH_X86_64_R12},    {13, MSHXCRASH_X86_64_R13}, {14, MSHXCRASH_X86_64_R14}, {15, MSHXCRASH_X86_64_R15},
    {49, MSHXCRASH_X86_64_RFLAGS}, {51, MSHXCRASH_X86_64_CS},  {54, MSHXCRASH_X86_64_FS},  {55, MSHXCRASH_X86_64_GS},
};
static_assert(sizeof kDwarf64 / sizeof kDwarf64[0] == 20);

constexpr DwarfRow kDwarf32[] = {
    {8, MSHXCRASH_X86_EIP}, {4, MSHXCRASH_X86_EBP}, {5, MSHXCRASH_X86_ESP},
    {0, MSHXCRASH_X86_EAX}, {2, MSHXCRASH_X86_EDX}, {1, MSHXCRASH_X86_ECX},
    {3, MSHXCRASH_X86_EBX}, {6, MSHXCRASH_X86_ESI}, {7, MSHXCRASH_X86_EDI},
};

constexpr hxcrash_regnum_t kCalleeSaved64[] = {MSHXCRASH_X86_64_RBX, MSHXCRASH_X86_64_RSP, MSHXCRASH_X86_64_RBP,
                                               MSHXCRASH_X86_64_R12, MSHXCRASH_X86_64_R13, MSHXCRASH_X86_64_R14,
                                               MSHXCRASH_X86_64_R15};
constexpr hxcrash_regnum_t kCalleeSaved32[] = {MSHXCRASH_X86_EBX, MSHXCRASH_X86_EBP, MSHXCRASH_X86_ESI,
                                               MSHXCRASH_X86_EDI, MSHXCRASH_X86_ESP};

bool is64(const hxcrash_async_thread_state* state) {
  return state->x86_state.tsh.flavor == MShxcrash_x86_THREAD_STATE64;
}

std::uint64_t* field64(hxcrash_async_thread_state* state, hxcrash_regnum_t regnum) {
  return reinterpret_cast<std::uint64_t*>(&state->x86_state.uts.ts64) + kIndex64[regnum];
}

std::uint32_t* field32(hxcrash_async_thread_state* state, hxcrash_regnum_t regnum) {
  return reinterpret_cast<std::uint32_t*>(&state->x86_state.uts.ts32) + kIndex32[regnum];
}

void checkRegnum(const hxcrash_async_thread_state* state, hxcrash_regnum_t regnum) {
  MSHXCF_ASSERT(regnum < MShxcrash_async_thread_state_get_reg_count(state), "register id outside the register count");
}

void setup64(hxcrash_async_thread_state* state) {
  state->x86_state.tsh.flavor = MShxcrash_x86_THREAD_STATE64;
  state->x86_state.tsh.count = MShxcrash_x86_THREAD_STATE64_COUNT;
  state->x86_exception.esh.flavor = MShxcrash_x86_EXCEPTION_STATE64;
  state->x86_exception.esh.count = MShxcrash_x86_EXCEPTION_STATE64_COUNT;
  state->greg_size = 8;
  state->stack_direction = MShxcrash_async_thread_stack_direction_down;
}

}  // namespace

hxcrash_error_t MShxcrash_async_thread_state_init(hxcrash_async_thread_state* state, std::int32_t cpu_type) {
  MShxcrash_async_memset(state, 0, sizeof *state);
  if (cpu_type == MShxcrash_CPU_TYPE_X86) {
    state->x86_state.tsh.flavor = MShxcrash_x86_THREAD_STATE32;
    state->x86_state.tsh.count = MShxcrash_x86_THREAD_STATE32_COUNT;
    state->x86_exception.esh.flavor = MShxcrash_x86_EXCEPTION_STATE32;
    state->x86_exception.esh.count = MShxcrash_x86_EXCEPTION_STATE32_COUNT;
    state->greg_size = 4;
    state->stack_direction = MShxcrash_async_thread_stack_direction_down;
    return hxcrash_error_none;
  }
  if (cpu_type == MShxcrash_CPU_TYPE_X86_64) {
    setup64(state);
    return hxcrash_error_none;
  }
  return hxcrash_error_not_supported;
}

hxcrash_error_t MShxcrash_async_thread_state_mcontext_init(hxcrash_async_thread_state* state,
                                                           const mcontext_t* mcontext) {
  MShxcrash_async_memset(state, 0, sizeof *state);
  setup64(state);
  const greg_t* g = mcontext->gregs;
  MShxcrash_x86_thread_state64& ts = state->x86_state.uts.ts64;
  ts.rax = static_cast<std::uint64_t>(g[REG_RAX]);
  ts.rbx = static_cast<std::uint64_t>(g[REG_RBX]);
  ts.rcx = static_cast<std::uint64_t>(g[REG_RCX]);
  ts.rdx = static_cast<std::uint64_t>(g[REG_RDX]);
  ts.rdi = static_cast<std::uint64_t>(g[REG_RDI]);
  ts.rsi = static_cast<std::uint64_t>(g[REG_RSI]);
  ts.rbp = static_cast<std::uint64_t>(g[REG_RBP]);
  ts.rsp = static_cast<std::uint64_t>(g[REG_RSP]);
  ts.r8 = static_cast<std::uint64_t>(g[REG_R8]);
  ts.r9 = static_cast<std::uint64_t>(g[REG_R9]);
  ts.r10 = static_cast<std::uint64_t>(g[REG_R10]);
  ts.r11 = static_cast<std::uint64_t>(g[REG_R11]);
  ts.r12 = static_cast<std::uint64_t>(g[REG_R12]);
  ts.r13 = static_cast<std::uint64_t>(g[REG_R13]);
  ts.r14 = static_cast<std::uint64_t>(g[REG_R14]);
  ts.r15 = static_cast<std::uint64_t>(g[REG_R15]);
  ts.rip = static_cast<std::uint64_t>(g[REG_RIP]);
  ts.rflags = static_cast<std::uint64_t>(g[REG_EFL]);
  // cs, gs and fs share one word: cs in bits 0-15, gs in 16-31, fs in 32-47.
  const std::uint64_t segments = static_cast<std::uint64_t>(g[REG_CSGSFS]);
  ts.cs = segments & 0xffff;
  ts.gs = (segments >> 16) & 0xffff;
  ts.fs = (segments >> 32) & 0xffff;
  MShxcrash_x86_exception_state64& es = state->x86_exception.ues.es64;
  es.trapno = static_cast<std::uint16_t>(g[REG_TRAPNO]);
  es.cpu = 0;
  es.err = static_cast<std::uint32_t>(g[REG_ERR]);
  es.faultvaddr = static_cast<std::uint64_t>(g[REG_CR2]);
  state->valid_regs = ~std::uint64_t{0};
  return hxcrash_error_none;
}

hxcrash_error_t MShxcrash_async_thread_state_mach_thread_init(hxcrash_async_thread_state* state, vx::thread_t thread) {
  mcontext_t context;
  const int kr = MShxcrash_async_thread_capture_get_context(thread, &context);
  if (kr != 0) {
    MSHXCF_DEBUG("Fetch of x86 thread state failed with Mach error: %d", kr);
    return hxcrash_error_internal;
  }
  return MShxcrash_async_thread_state_mcontext_init(state, &context);
}

// Called by the assembly routine with the machine context it built on its stack.
extern "C" hxcrash_error_t MShxcrash_async_thread_state_current_finish(
    const mcontext_t* mcontext, MShxcrash_async_thread_state_current_callback callback, void* context) {
  hxcrash_async_thread_state state;
  MShxcrash_async_thread_state_mcontext_init(&state, mcontext);
  return callback(&state, context);
}

void MShxcrash_async_thread_state_copy(hxcrash_async_thread_state* dest, const hxcrash_async_thread_state* source) {
  MShxcrash_async_memcpy(dest, source, sizeof *dest);
}

bool MShxcrash_async_thread_state_has_reg(const hxcrash_async_thread_state* state, hxcrash_regnum_t regnum) {
  return regnum < 64 && (state->valid_regs & (std::uint64_t{1} << regnum)) != 0;
}

std::uint64_t MShxcrash_async_thread_state_get_reg(const hxcrash_async_thread_state* state, hxcrash_regnum_t regnum) {
  checkRegnum(state, regnum);
  auto* mutableState = const_cast<hxcrash_async_thread_state*>(state);
  if (is64(state)) return *field64(mutableState, regnum);
  if (regnum == MSHXCRASH_X86_TRAPNO) return state->x86_exception.ues.es32.trapno;
  return *field32(mutableState, regnum);
}

void MShxcrash_async_thread_state_set_reg(hxcrash_async_thread_state* state, hxcrash_regnum_t regnum,
                                          std::uint64_t value) {
  checkRegnum(state, regnum);
  if (is64(state)) {
    *field64(state, regnum) = value;
  } else if (regnum == MSHXCRASH_X86_TRAPNO) {
    state->x86_exception.ues.es32.trapno = static_cast<std::uint16_t>(value);
  } else {
    *field32(state, regnum) = static_cast<std::uint32_t>(value);
  }
  state->valid_regs |= std::uint64_t{1} << regnum;
}

void MShxcrash_async_thread_state_clear_reg(hxcrash_async_thread_state* state, hxcrash_regnum_t regnum) {
  if (regnum < 64) state->valid_regs &= ~(std::uint64_t{1} << regnum);
}

void MShxcrash_async_thread_state_clear_all_regs(hxcrash_async_thread_state* state) { state->valid_regs = 0; }

void MShxcrash_async_thread_state_clear_volatile_regs(hxcrash_async_thread_state* state) {
  const bool wide = is64(state);
  const hxcrash_regnum_t* saved = wide ? kCalleeSaved64 : kCalleeSaved32;
  const std::size_t savedCount =
      wide ? sizeof kCalleeSaved64 / sizeof kCalleeSaved64[0] : sizeof kCalleeSaved32 / sizeof kCalleeSaved32[0];
  const std::size_t count = MShxcrash_async_thread_state_get_reg_count(state);
  for (hxcrash_regnum_t id = 0; id < count; ++id) {
    if (!MShxcrash_async_thread_state_has_reg(state, id)) continue;
    bool keep = false;
    for (std::size_t i = 0; i < savedCount; ++i) {
      if (saved[i] == id) keep = true;
    }
    if (!keep) MShxcrash_async_thread_state_clear_reg(state, id);
  }
}

std::size_t MShxcrash_async_thread_state_get_reg_count(const hxcrash_async_thread_state* state) {
  return is64(state) ? MSHXCRASH_X86_64_REG_COUNT : MSHXCRASH_X86_REG_COUNT;
}

const char* MShxcrash_async_thread_state_get_reg_name(const hxcrash_async_thread_state* state,
                                                      hxcrash_regnum_t regnum) {
  if (regnum >= MShxcrash_async_thread_state_get_reg_count(state)) {
    MSHXCF_DEBUG("Missing register name for register id: %d", static_cast<int>(regnum));
    MShxcrash_async_assert_fail(__func__, __LINE__, "register id outside the register count");
  }
  return is64(state) ? kNames64[regnum] : kNames32[regnum];
}

MShxcrash_async_thread_stack_direction MShxcrash_async_thread_state_get_stack_direction(
    const hxcrash_async_thread_state* state) {
  return static_cast<MShxcrash_async_thread_stack_direction>(state->stack_direction);
}

std::size_t MShxcrash_async_thread_state_get_greg_size(const hxcrash_async_thread_state* state) {
  return static_cast<std::size_t>(state->greg_size);
}

bool MShxcrash_async_thread_state_map_dwarf_to_reg(const hxcrash_async_thread_state* state, std::uint64_t dwarf_reg,
                                                   hxcrash_regnum_t* regnum) {
  const bool wide = is64(state);
  const DwarfRow* rows = wide ? kDwarf64 : kDwarf32;
  const std::size_t count = wide ? sizeof kDwarf64 / sizeof kDwarf64[0] : sizeof kDwarf32 / sizeof kDwarf32[0];
  for (std::size_t i = 0; i < count; ++i) {
    if (rows[i].dwarf == dwarf_reg) {
      *regnum = rows[i].reg;
      return true;
    }
  }
  return false;
}

bool MShxcrash_async_thread_state_map_reg_to_dwarf(const hxcrash_async_thread_state* state, hxcrash_regnum_t regnum,
                                                   std::uint64_t* dwarf_reg) {
  const bool wide = is64(state);
  const DwarfRow* rows = wide ? kDwarf64 : kDwarf32;
  const std::size_t count = wide ? sizeof kDwarf64 / sizeof kDwarf64[0] : sizeof kDwarf32 / sizeof kDwarf32[0];
  for (std::size_t i = 0; i < count; ++i) {
    if (rows[i].reg == regnum) {
      *dwarf_reg = rows[i].dwarf;
      return true;
    }
  }
  return false;
}
