// Real unwinds: chains of functions (with and without frame pointers) stop in a trap inside a
// forked child, and the frame cursor's program counters are compared frame for frame with
// libgcc's unwinder (_Unwind_Backtrace) walking the same stack. Also: the FDE search against
// readelf's listing of this very binary, and the capture of the calling thread and of other
// threads.
#include "crash-engine/dwarf/HXCrashAsyncDwarfCIE.h"
#include "crash-engine/dwarf/HXCrashFrameDWARFUnwind.h"
#include "crash-engine/thread/MSHXCrashFrame.h"
#include "crash-engine/thread/MSHXCrashThreadCapture.h"
#include "crash-engine/thread/MSHXCrashThreadState.h"

#include <gtest/gtest.h>

#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <unwind.h>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's allocation hooks (exported by its runtime library).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, std::size_t),
                                                         void (*free_hook)(const volatile void*));
#define CE_COUNT_ALLOCATIONS 1
#endif

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern "C" {
int ce_nofp_level0(int value);
void ce_nofp_level3(int value);
void ce_nofp_level4(int value);
int ce_fp_level0(int value);
int ce_fp_level4(int value);
int ce_fp_recurse(int depth, void (*fn)(void*), void* context);
void ce_bad_cfi_call(void (*fn)(void*), void* arg);
void ce_cfi_stuck_call(void (*fn)(void*), void* arg);
void ce_cfi_flat_call(void (*fn)(void*), void* arg);
int ce_fp_call_bad(void (*bad)(void (*)(void*), void*), void (*fn)(void*), void* arg);
// The test program's main, by its symbol name.
int ce_program_main(int argc, char** argv) __asm__("main");
}

using namespace hxcrash::MS::async;

namespace {

constexpr std::size_t kMaxFrames = 160;

struct Trace {
  std::uint64_t pcs[kMaxFrames];
  std::size_t count = 0;
  MSplframe_error_t end = MSPLFRAME_OK;
};

MShxcrash_async_image_list gImages;
bool gImagesReady = false;

void prepareImages() {
  if (gImagesReady) return;
  MShxcrash_nasync_image_list_init(&gImages, vx::mach_task_self());
  MShxcrash_nasync_image_list_track(&gImages);
  gImagesReady = true;
}

const MSplframe_cursor_frame_reader_t kDwarfOnly[] = {MSplframe_cursor_read_dwarf_unwind};
const MSplframe_cursor_frame_reader_t kFramePointerOnly[] = {MSplframe_cursor_read_frame_ptr};

void walk(const hxcrash_async_thread_state* start, const MSplframe_cursor_frame_reader_t* readers,
          std::size_t readerCount, Trace* out) {
  MSplframe_cursor cursor;
  MSplframe_cursor_init(&cursor, vx::mach_task_self(), start, &gImages);
  out->count = 0;
  while (out->count < kMaxFrames) {
    const MSplframe_error_t err = MSplframe_cursor_next_with_readers(&cursor, readers, readerCount);
    if (err != MSPLFRAME_OK) {
      out->end = err;
      break;
    }
    std::uint64_t pc = 0;
    MSplframe_cursor_get_reg(&cursor, MSHXCRASH_REG_IP, &pc);
    out->pcs[out->count++] = pc;
  }
  MSplframe_cursor_free(&cursor);
}

_Unwind_Reason_Code collect(_Unwind_Context* context, void* arg) {
  auto* trace = static_cast<Trace*>(arg);
  if (trace->count >= kMaxFrames) return _URC_END_OF_STACK;
  trace->pcs[trace->count++] = _Unwind_GetIP(context);
  return _URC_NO_REASON;
}

void reference(Trace* out) {
  out->count = 0;
  _Unwind_Backtrace(collect, out);
}

void dump(const char* name, const Trace& trace) {
  std::fprintf(stderr, "%s (%zu frames, end %d):", name, trace.count, trace.end);
  for (std::size_t i = 0; i < trace.count; ++i) {
    std::fprintf(stderr, " %llx", static_cast<unsigned long long>(trace.pcs[i]));
  }
  std::fprintf(stderr, "\n");
}

// Our walk must appear inside the reference walk, from our first frame on, frame for frame, for
// at least minFrames frames. Returns the number of matched frames, or 0.
std::size_t compare(const Trace& ours, const Trace& theirs, std::size_t minFrames) {
  if (ours.count == 0) return 0;
  for (std::size_t k = 0; k < theirs.count; ++k) {
    if (theirs.pcs[k] != ours.pcs[0]) continue;
    const std::size_t n = std::min(ours.count, theirs.count - k);
    for (std::size_t i = 0; i < n; ++i) {
      if (ours.pcs[i] != theirs.pcs[k + i]) {
        std::fprintf(stderr, "frame %zu differs\n", i);
        return 0;
      }
    }
    return n >= minFrames ? n : 0;
  }
  std::fprintf(stderr, "first frame not in the reference walk\n");
  return 0;
}

Trace gOurs;
Trace gTheirs;

void finish(std::size_t minFrames, const char* extra = "") {
  const std::size_t matched = compare(gOurs, gTheirs, minFrames);
  if (matched == 0) {
    dump("ours", gOurs);
    dump("reference", gTheirs);
    _exit(1);
  }
  std::fprintf(stderr, "matched %zu frames%s\n", matched, extra);
  _exit(0);
}

void installTrapHandler(void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action {};
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGILL, &action, nullptr);
  sigaction(SIGTRAP, &action, nullptr);
}

// Heap allocations made while the crash path runs (counted through the sanitizer's hooks).
std::atomic<bool> gInCrashPath{false};
std::atomic<int> gCrashPathAllocations{0};

[[maybe_unused]] void countAllocation(const volatile void*, std::size_t) {
  if (gInCrashPath.load()) gCrashPathAllocations.fetch_add(1);
}
[[maybe_unused]] void countFree(const volatile void*) {
  if (gInCrashPath.load()) gCrashPathAllocations.fetch_add(1);
}

void watchAllocations() {
#ifdef CE_COUNT_ALLOCATIONS
  __sanitizer_install_malloc_and_free_hooks(countAllocation, countFree);
#endif
}

// From the signal's machine context, with the DWARF reader only.
void dwarfFromContext(int, siginfo_t*, void* uap) {
  hxcrash_async_thread_state state;
  MShxcrash_async_thread_state_mcontext_init(&state, &static_cast<ucontext_t*>(uap)->uc_mcontext);
  gInCrashPath = true;
  walk(&state, kDwarfOnly, 1, &gOurs);
  gInCrashPath = false;
  if (gCrashPathAllocations.load() != 0) {
    std::fprintf(stderr, "the walk allocated %d times\n", gCrashPathAllocations.load());
    _exit(4);
  }
  reference(&gTheirs);
  // The trap is in level4; level3's call to it is its last instruction, so level3's return
  // address is level4's first byte and only a pc - 1 lookup finds level3's FDE.
  const bool edge = gOurs.count > 1 && gOurs.pcs[1] == reinterpret_cast<std::uint64_t>(&ce_nofp_level4);
  finish(6, edge ? " edge" : " noedge");
}

hxcrash_error_t walkCurrent(hxcrash_async_thread_state* state, void*) {
  walk(state, kDwarfOnly, 1, &gOurs);
  reference(&gTheirs);
  return hxcrash_error_none;
}

// From the handler's own registers: through the signal trampoline into the chain.
void dwarfThroughTrampoline(int, siginfo_t*, void* uap) {
  MShxcrash_async_thread_state_current(walkCurrent, nullptr);
  const std::uint64_t faultPc = static_cast<std::uint64_t>(static_cast<ucontext_t*>(uap)->uc_mcontext.gregs[REG_RIP]);
  bool sawFault = false;
  for (std::size_t i = 0; i < gOurs.count; ++i) sawFault = sawFault || gOurs.pcs[i] == faultPc;
  if (!sawFault) {
    std::fprintf(stderr, "the walk never reached the faulting instruction\n");
    dump("ours", gOurs);
    _exit(2);
  }
  finish(9);
}

void framePointerFromContext(int, siginfo_t*, void* uap) {
  hxcrash_async_thread_state state;
  MShxcrash_async_thread_state_mcontext_init(&state, &static_cast<ucontext_t*>(uap)->uc_mcontext);
  walk(&state, kFramePointerOnly, 1, &gOurs);
  reference(&gTheirs);
  // The chain (5 frames) and the test body that called it, all with frame pointers.
  if (gOurs.count > 6) gOurs.count = 6;
  finish(6);
}

TEST(FrameUnwindDeathTest, DwarfReaderWalksTheChainFromTheSignalContext) {
  EXPECT_EXIT(
      {
        prepareImages();
        watchAllocations();
        installTrapHandler(dwarfFromContext);
        ce_nofp_level0(1);
        _exit(3);
      },
      ::testing::ExitedWithCode(0), "matched [0-9]+ frames edge");
}

TEST(FrameUnwindDeathTest, DwarfReaderWalksThroughTheSignalTrampoline) {
  EXPECT_EXIT(
      {
        prepareImages();
        installTrapHandler(dwarfThroughTrampoline);
        ce_nofp_level0(1);
        _exit(3);
      },
      ::testing::ExitedWithCode(0), "matched [0-9]+ frames");
}

TEST(FrameUnwindDeathTest, FramePointerReaderWalksTheChainFromTheSignalContext) {
  EXPECT_EXIT(
      {
        prepareImages();
        installTrapHandler(framePointerFromContext);
        ce_fp_level0(1);
        _exit(3);
      },
      ::testing::ExitedWithCode(0), "matched 6 frames");
}

TEST(FrameUnwindDeathTest, FullCursorPrefersDwarfAndMatchesTheReference) {
  EXPECT_EXIT(
      {
        prepareImages();
        installTrapHandler([](int, siginfo_t*, void* uap) {
          hxcrash_async_thread_state state;
          MShxcrash_async_thread_state_mcontext_init(&state, &static_cast<ucontext_t*>(uap)->uc_mcontext);
          MSplframe_cursor cursor;
          MSplframe_cursor_init(&cursor, vx::mach_task_self(), &state, &gImages);
          gOurs.count = 0;
          while (gOurs.count < kMaxFrames && MSplframe_cursor_next(&cursor) == MSPLFRAME_OK) {
            MSplframe_cursor_get_reg(&cursor, MSHXCRASH_REG_IP, &gOurs.pcs[gOurs.count++]);
          }
          MSplframe_cursor_free(&cursor);
          reference(&gTheirs);
          finish(6);
        });
        ce_nofp_level0(1);
        _exit(3);
      },
      ::testing::ExitedWithCode(0), "matched [0-9]+ frames");
}

void checkFaultState(int, siginfo_t* info, void* uap) {
  hxcrash_async_thread_state state;
  MShxcrash_async_thread_state_mcontext_init(&state, &static_cast<ucontext_t*>(uap)->uc_mcontext);
  const auto& es = state.x86_exception.ues.es64;
  const bool ok = es.trapno == 14 && es.faultvaddr == reinterpret_cast<std::uint64_t>(info->si_addr) &&
                  es.faultvaddr == 0x18 && (es.err & 2) == 0 &&
                  state.x86_exception.esh.flavor == MShxcrash_x86_EXCEPTION_STATE64;
  std::fprintf(stderr, ok ? "fault state ok\n" : "fault state wrong: trap %u addr %llx err %u\n", es.trapno,
               static_cast<unsigned long long>(es.faultvaddr), es.err);
  _exit(ok ? 0 : 1);
}

TEST(FrameUnwindDeathTest, PageFaultFillsTheExceptionState) {
  EXPECT_EXIT(
      {
        struct sigaction action {};
        action.sa_sigaction = checkFaultState;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, nullptr);
        // Through a volatile word, so the compiler sees no constant out-of-bounds access.
        volatile std::uintptr_t badAddress = 0x18;
        volatile int* bad = reinterpret_cast<volatile int*>(badAddress);
        std::fprintf(stderr, "%d\n", *bad);
        _exit(3);
      },
      ::testing::ExitedWithCode(0), "fault state ok");
}

struct DeepResult {
  Trace fp;
};

void deepBottom(void* context) {
  auto* result = static_cast<DeepResult*>(context);
  MShxcrash_async_thread_state_current(
      [](hxcrash_async_thread_state* state, void* ctx) {
        walk(state, kDwarfOnly, 1, &gOurs);
        walk(state, kFramePointerOnly, 1, &static_cast<DeepResult*>(ctx)->fp);
        reference(&gTheirs);
        return hxcrash_error_none;
      },
      result);
}

TEST(FrameUnwindTest, CurrentThreadStateUnwindsA64DeepStackLikeTheReference) {
  prepareImages();
  DeepResult result;
  ce_fp_recurse(64, deepBottom, &result);
  EXPECT_GE(compare(gOurs, gTheirs, 66), 66u);
  // The frame-pointer chain agrees too for the 64 recursion frames.
  Trace fp = result.fp;
  fp.count = std::min<std::size_t>(fp.count, 66);
  EXPECT_GE(compare(fp, gTheirs, 66), 66u);
}

// The cursor hands the DWARF reader what earlier steps of the walk left (stack bytes, the last
// CIE, its rules and the last FDE): every step must give the very registers the reader gives
// for that frame on its own.
struct StepCheck {
  std::size_t steps = 0;
  std::size_t mismatches = 0;
  MSplframe_error_t end = MSPLFRAME_OK;
};

bool sameRegisters(const hxcrash_async_thread_state* a, const hxcrash_async_thread_state* b) {
  const std::size_t count = MShxcrash_async_thread_state_get_reg_count(a);
  for (std::size_t i = 0; i < count; ++i) {
    const auto id = static_cast<hxcrash_regnum_t>(i);
    const bool inA = MShxcrash_async_thread_state_has_reg(a, id);
    if (inA != MShxcrash_async_thread_state_has_reg(b, id)) return false;
    if (inA && MShxcrash_async_thread_state_get_reg(a, id) != MShxcrash_async_thread_state_get_reg(b, id)) {
      return false;
    }
  }
  return true;
}

void stepAlongside(void* context) {
  MShxcrash_async_thread_state_current(
      [](hxcrash_async_thread_state* state, void* ctx) {
        auto* check = static_cast<StepCheck*>(ctx);
        MSplframe_cursor cursor;
        MSplframe_cursor_init(&cursor, vx::mach_task_self(), state, &gImages);
        MSplframe_cursor_next_with_readers(&cursor, kDwarfOnly, 1);
        while (check->steps < kMaxFrames) {
          hxcrash_async_thread_state alone;
          const MSplframe_error_t aloneResult = MSplframe_cursor_read_dwarf_unwind(
              vx::mach_task_self(), &gImages, &cursor.frame, cursor.depth == 1 ? nullptr : &cursor.prev_frame, &alone);
          const MSplframe_error_t err = MSplframe_cursor_next_with_readers(&cursor, kDwarfOnly, 1);
          if (err != MSPLFRAME_OK) {
            check->end = err;
            break;
          }
          check->steps += 1;
          if (aloneResult != MSPLFRAME_OK || !sameRegisters(&alone, &cursor.frame)) {
            check->mismatches += 1;
          }
        }
        MSplframe_cursor_free(&cursor);
        return hxcrash_error_none;
      },
      context);
}

TEST(FrameUnwindTest, EveryCursorStepGivesWhatTheReaderGivesAlone) {
  prepareImages();
  StepCheck check;
  ce_fp_recurse(64, stepAlongside, &check);
  EXPECT_GE(check.steps, 64u);
  EXPECT_EQ(check.mismatches, 0u);
  EXPECT_EQ(check.end, MSPLFRAME_NO_FRAME);
}

// A walk whose instruction budget is used up stops at the DWARF reader instead of going on.
TEST(FrameUnwindTest, WalkBudgetStopsTheDwarfReader) {
  prepareImages();
  struct Run {
    std::uint64_t budget;
    std::size_t frames = 0;
    MSplframe_error_t end = MSPLFRAME_OK;
  };
  static Run runs[3] = {{0}, {40}, {HXCRASH_DWARF_WALK_MAX_STEPS}};
  ce_fp_recurse(
      64,
      [](void*) {
        MShxcrash_async_thread_state_current(
            [](hxcrash_async_thread_state* state, void*) {
              for (Run& run : runs) {
                MSplframe_cursor cursor;
                MSplframe_cursor_init(&cursor, vx::mach_task_self(), state, &gImages);
                cursor.dwarf_walk.steps_left = run.budget;
                while (run.frames < kMaxFrames &&
                       (run.end = MSplframe_cursor_next_with_readers(&cursor, kDwarfOnly, 1)) == MSPLFRAME_OK) {
                  run.frames += 1;
                }
                MSplframe_cursor_free(&cursor);
              }
              return hxcrash_error_none;
            },
            nullptr);
      },
      nullptr);
  EXPECT_EQ(runs[0].frames, 1u);  // the initial frame only
  EXPECT_EQ(runs[0].end, MSPLFRAME_NOT_SUPPORTED);
  EXPECT_GT(runs[1].frames, 1u);
  EXPECT_LT(runs[1].frames, runs[2].frames);
  EXPECT_EQ(runs[1].end, MSPLFRAME_NOT_SUPPORTED);
  EXPECT_GE(runs[2].frames, 66u);
  EXPECT_EQ(runs[2].end, MSPLFRAME_NO_FRAME);
}

hxcrash_error_t checkCurrent(hxcrash_async_thread_state* state, void* context) {
  auto* expected = static_cast<std::pair<std::uint64_t, std::uint64_t>*>(context);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(state, MSHXCRASH_REG_FP), expected->first);
  EXPECT_EQ(MShxcrash_async_thread_state_get_reg(state, MSHXCRASH_X86_64_RBX), expected->second);
  EXPECT_EQ(state->x86_state.tsh.flavor, MShxcrash_x86_THREAD_STATE64);
  EXPECT_EQ(state->valid_regs, ~std::uint64_t{0});
  return hxcrash_error_not_found;
}

TEST(FrameUnwindTest, CurrentThreadStateHoldsTheCallersFramePointerAndPassesTheResultBack) {
  std::pair<std::uint64_t, std::uint64_t> expected{reinterpret_cast<std::uint64_t>(__builtin_frame_address(0)),
                                                   0x1234567890abcdefull};
  std::uint64_t rbx = expected.second;
  hxcrash_error_t result = hxcrash_error_none;
  // rbx holds a known value when the routine starts.
  asm volatile(
      "movq %[rbx], %%rbx\n\t"
      "movq %[cb], %%rdi\n\t"
      "movq %[ctx], %%rsi\n\t"
      "call MShxcrash_async_thread_state_current\n\t"
      "movl %%eax, %[res]\n\t"
      : [res] "=m"(result)
      : [rbx] "r"(rbx), [cb] "r"(&checkCurrent), [ctx] "r"(&expected)
      : "rax", "rbx", "rcx", "rdx", "rdi", "rsi", "r8", "r9", "r10", "r11", "memory", "cc");
  EXPECT_EQ(result, hxcrash_error_not_found);
}

__attribute__((noinline)) void walkFromHere(void* context) {
  MShxcrash_async_thread_state_current(
      [](hxcrash_async_thread_state* state, void* ctx) {
        walk(state, kDwarfOnly, 1, static_cast<Trace*>(ctx));
        return hxcrash_error_none;
      },
      context);
  // Not a tail call: this frame, called from the bad frame, is the walk's first.
  asm volatile("" ::: "memory");
}

// The full cursor (every reader, as the report writer walks) from the calling thread.
__attribute__((noinline)) void walkAllFromHere(void* context) {
  MShxcrash_async_thread_state_current(
      [](hxcrash_async_thread_state* state, void* ctx) {
        auto* trace = static_cast<Trace*>(ctx);
        MSplframe_cursor cursor;
        MSplframe_cursor_init(&cursor, vx::mach_task_self(), state, &gImages);
        trace->count = 0;
        trace->end = MSPLFRAME_OK;
        while (trace->count < kMaxFrames) {
          const MSplframe_error_t err = MSplframe_cursor_next(&cursor);
          if (err != MSPLFRAME_OK) {
            trace->end = err;
            break;
          }
          MSplframe_cursor_get_reg(&cursor, MSHXCRASH_REG_IP, &trace->pcs[trace->count++]);
        }
        MSplframe_cursor_free(&cursor);
        return hxcrash_error_none;
      },
      context);
  asm volatile("" ::: "memory");
}

struct WrongCfiRun {
  Trace ours;
  Trace reference;
};

// Takes the reference walk here, then walks with the real cursor from below a frame whose
// unwind information is wrong on purpose.
__attribute__((noinline)) void runUnderWrongCfi(void (*bad)(void (*)(void*), void*), WrongCfiRun* run) {
  reference(&run->reference);
  ce_fp_call_bad(bad, walkAllFromHere, &run->ours);
  asm volatile("" ::: "memory");
}

bool within(std::uint64_t pc, const void* function, std::uint64_t size) {
  const auto begin = reinterpret_cast<std::uint64_t>(function);
  return pc > begin && pc < begin + size;
}

TEST(FrameUnwindTest, WrongUnwindInformationStopsTheWalkCleanly) {
  prepareImages();
  Trace trace;
  ce_bad_cfi_call(walkFromHere, &trace);
  EXPECT_EQ(trace.end, MSPLFRAME_NO_FRAME);
  ASSERT_GE(trace.count, 2u);
  // The last frame produced is the bad frame itself; nothing beyond it.
  const std::uint64_t last = trace.pcs[trace.count - 1];
  const auto begin = reinterpret_cast<std::uint64_t>(&ce_bad_cfi_call);
  EXPECT_GT(last, begin);
  EXPECT_LT(last, begin + 32);
}

// Unwind information that does not move the stack: the cursor refuses the DWARF reader's
// frame, steps over the bad frame with the frame-pointer reader, and from there walks every
// caller of the reference walk, main included, to the end of the stack: no repeated frames,
// no 512-frame cap.
TEST(FrameUnwindTest, UnwindInformationThatDoesNotMoveTheStackFallsBackToFramePointers) {
  prepareImages();
  const std::pair<const char*, void (*)(void (*)(void*), void*)> cases[] = {
      {"same-value return address", ce_cfi_stuck_call},
      {"CFA at the stack pointer", ce_cfi_flat_call},
  };
  for (const auto& [name, bad] : cases) {
    SCOPED_TRACE(name);
    WrongCfiRun run;
    runUnderWrongCfi(bad, &run);
    const Trace& ours = run.ours;
    EXPECT_EQ(ours.end, MSPLFRAME_NO_FRAME);
    ASSERT_LT(ours.count, kMaxFrames);
    bool sawBad = false;
    bool sawCaller = false;
    for (std::size_t i = 0; i < ours.count; ++i) {
      sawBad = sawBad || within(ours.pcs[i], reinterpret_cast<const void*>(bad), 32);
      sawCaller = sawCaller || within(ours.pcs[i], reinterpret_cast<const void*>(&ce_fp_call_bad), 64);
      if (i > 0) {
        EXPECT_NE(ours.pcs[i], ours.pcs[i - 1]) << "frame " << i << " repeats";
      }
    }
    EXPECT_TRUE(sawBad);
    EXPECT_TRUE(sawCaller);
    // The reference walk's callers (from the test body on) end our walk, frame for frame.
    Trace& theirs = run.reference;
    // libgcc ends its walk with the outermost frame's empty return address.
    while (theirs.count > 0 && theirs.pcs[theirs.count - 1] == 0) --theirs.count;
    std::size_t first = theirs.count;
    for (std::size_t k = 0; k < theirs.count && first == theirs.count; ++k) {
      for (std::size_t i = 0; i < ours.count; ++i) {
        if (ours.pcs[i] == theirs.pcs[k]) {
          first = k;
          break;
        }
      }
    }
    ASSERT_LE(first, 3u);
    const std::size_t tail = theirs.count - first;
    ASSERT_GE(ours.count, tail);
    bool reachesMain = false;
    for (std::size_t k = 0; k < tail; ++k) {
      EXPECT_EQ(ours.pcs[ours.count - tail + k], theirs.pcs[first + k]) << "caller " << k;
      reachesMain = reachesMain || within(theirs.pcs[first + k], reinterpret_cast<const void*>(&ce_program_main), 4096);
    }
    EXPECT_TRUE(reachesMain);
    if (HasFailure()) {
      dump("ours", ours);
      dump("reference", theirs);
    }
  }
}

// The end of a stack (the entry point's undefined return address) ends the walk as the normal
// end, with no diagnostic line: the child's whole standard error is the one line it prints.
__attribute__((noinline)) void walkToTheEndAndReport(void*) {
  MShxcrash_async_thread_state_current(
      [](hxcrash_async_thread_state* state, void*) {
        Trace trace;
        MSplframe_cursor cursor;
        MSplframe_cursor_init(&cursor, vx::mach_task_self(), state, &gImages);
        trace.end = MSPLFRAME_OK;
        while (trace.count < kMaxFrames) {
          const MSplframe_error_t err = MSplframe_cursor_next(&cursor);
          if (err != MSPLFRAME_OK) {
            trace.end = err;
            break;
          }
          ++trace.count;
        }
        MSplframe_cursor_free(&cursor);
        std::fprintf(stderr, "walk ended with %d after %s frames\n", static_cast<int>(trace.end),
                     trace.count >= 3 && trace.count < kMaxFrames ? "some" : "too few or many");
        return hxcrash_error_none;
      },
      nullptr);
  asm volatile("" ::: "memory");  // not a tail call: this frame stays in the walk
}

TEST(FrameUnwindDeathTest, TheEndOfTheStackEndsTheWalkQuietly) {
  EXPECT_EXIT(
      {
        prepareImages();
        walkToTheEndAndReport(nullptr);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "^walk ended with 2 after some frames\n$");
  EXPECT_EXIT(
      {
        prepareImages();
        std::thread(walkToTheEndAndReport, nullptr).join();
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "^walk ended with 2 after some frames\n$");
}

// The FDE search against readelf's listing of the .eh_frame of this test program.// The FDE search against readelf's
// listing of the .eh_frame of this test program.
struct ElfRange {
  std::uint64_t start;
  std::uint64_t end;
};

std::vector<ElfRange> readelfFdes() {
  std::vector<ElfRange> result;
  const std::string command =
      std::string(CE_READELF) + " --debug-dump=frames /proc/" + std::to_string(getpid()) + "/exe 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char line[512];
  bool inEhFrame = false;
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    if (std::strstr(line, "Contents of the") != nullptr) {
      inEhFrame = std::strstr(line, ".eh_frame section") != nullptr;
      continue;
    }
    const char* pc = std::strstr(line, " pc=");
    if (!inEhFrame || std::strstr(line, " FDE ") == nullptr || pc == nullptr) continue;
    unsigned long long start = 0, end = 0;
    if (std::sscanf(pc, " pc=%llx..%llx", &start, &end) == 2) result.push_back({start, end});
  }
  pclose(pipe);
  return result;
}

std::uint64_t loadBias() {
  struct Find {
    std::uint64_t address;
    std::uint64_t bias;
  } find{reinterpret_cast<std::uint64_t>(&ce_nofp_level0), 0};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* f = static_cast<Find*>(data);
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const auto& ph = info->dlpi_phdr[i];
          const std::uint64_t begin = info->dlpi_addr + ph.p_vaddr;
          if (ph.p_type == PT_LOAD && f->address >= begin && f->address < begin + ph.p_memsz) {
            f->bias = info->dlpi_addr;
            return 1;
          }
        }
        return 0;
      },
      &find);
  return find.bias;
}

TEST(FrameUnwindTest, FdeSearchAgreesWithReadelf) {
  prepareImages();
  const std::vector<ElfRange> fdes = readelfFdes();
  ASSERT_GT(fdes.size(), 100u);
  const std::uint64_t bias = loadBias();

  MShxcrash_async_image_list_set_reading(&gImages, true);
  MShxcrash_async_macho* image =
      MShxcrash_async_image_containing_address(&gImages, reinterpret_cast<std::uint64_t>(&ce_nofp_level0));
  ASSERT_NE(image, nullptr);
  hxcrash_async_mobject section;
  ASSERT_EQ(MShxcrash_async_macho_map_section(image, "__TEXT", "__eh_frame", &section), hxcrash_error_none);
  const mobject_memory mem{&section};
  dwarf_frame_reader<mobject_memory> reader;
  reader.init(&mem, image->byteorder, true, false);

  auto expectedFor = [&](std::uint64_t linkPc) -> const ElfRange* {
    for (const ElfRange& r : fdes) {
      if (r.start <= linkPc && linkPc < r.end) return &r;
    }
    return nullptr;
  };
  std::vector<std::uint64_t> samples;
  for (std::size_t i = 0; i < fdes.size(); i += fdes.size() / 60 + 1) {
    samples.push_back(fdes[i].start);
    if (fdes[i].end > fdes[i].start) samples.push_back(fdes[i].end - 1);
  }
  for (auto fn : {reinterpret_cast<std::uint64_t>(&ce_nofp_level0), reinterpret_cast<std::uint64_t>(&ce_nofp_level4),
                  reinterpret_cast<std::uint64_t>(&ce_fp_level4)}) {
    samples.push_back(fn - bias);
  }
  std::size_t checked = 0;
  for (std::uint64_t linkPc : samples) {
    const ElfRange* expected = expectedFor(linkPc);
    ASSERT_NE(expected, nullptr) << std::hex << linkPc;
    hxcrash_async_dwarf_fde_info fde;
    ASSERT_EQ(reader.find_fde(0, linkPc + bias, &fde), hxcrash_error_none) << std::hex << linkPc;
    EXPECT_EQ(fde.pc_start - bias, expected->start) << std::hex << linkPc;
    EXPECT_EQ(fde.pc_end - bias, expected->end) << std::hex << linkPc;
    ++checked;
  }
  EXPECT_GT(checked, 60u);
  // Past the last FDE: nothing covers the address.
  std::uint64_t highest = 0;
  for (const ElfRange& r : fdes) highest = std::max(highest, r.end);
  hxcrash_async_dwarf_fde_info fde;
  EXPECT_EQ(reader.find_fde(0, highest + bias + 0x100000, &fde), hxcrash_error_not_found);
  MShxcrash_async_mobject_free(&section);
  MShxcrash_async_image_list_set_reading(&gImages, false);
}

// Other threads: captured by the reserved signal, parked until resumed.
std::atomic<int> gSpinState{0};
std::atomic<long> gSpinTid{0};

void* spinner(void*) {
  gSpinTid = syscall(SYS_gettid);
  gSpinState = 1;
  while (gSpinState.load() == 1) {
  }
  return nullptr;
}

TEST(ThreadCaptureTest, ParkedThreadsRegistersUnwindToItsStartFunction) {
  prepareImages();
  ASSERT_EQ(MShxcrash_nasync_thread_capture_install(), hxcrash_error_none);
  gSpinState = 0;
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, spinner, nullptr), 0);
  while (gSpinState.load() != 1) {
  }
  const auto tid = static_cast<vx::thread_t>(gSpinTid.load());
  ASSERT_EQ(MShxcrash_async_thread_capture_suspend(tid, 2000), hxcrash_error_none);

  MSplframe_cursor cursor;
  ASSERT_EQ(MSplframe_cursor_thread_init(&cursor, vx::mach_task_self(), tid, &gImages), hxcrash_error_none);
  std::uint64_t sp = 0;
  EXPECT_EQ(MSplframe_cursor_get_reg(&cursor, MSHXCRASH_REG_SP, &sp), MSPLFRAME_OK);
  pthread_attr_t attr;
  void* stackBase = nullptr;
  std::size_t stackSize = 0;
  ASSERT_EQ(pthread_getattr_np(thread, &attr), 0);
  pthread_attr_getstack(&attr, &stackBase, &stackSize);
  pthread_attr_destroy(&attr);
  EXPECT_GE(sp, reinterpret_cast<std::uint64_t>(stackBase));
  EXPECT_LT(sp, reinterpret_cast<std::uint64_t>(stackBase) + stackSize);

  // The walk leaves the spin loop for pthread's start routine and beyond.
  std::size_t frames = 0;
  while (frames < 64 && MSplframe_cursor_next_with_readers(&cursor, kDwarfOnly, 1) == MSPLFRAME_OK) {
    ++frames;
  }
  MSplframe_cursor_free(&cursor);
  EXPECT_GE(frames, 3u);

  MShxcrash_async_thread_capture_resume(tid);
  gSpinState = 2;
  pthread_join(thread, nullptr);
}

TEST(ThreadCaptureTest, AThreadThatDoesNotAnswerTimesOutAndOurOwnThreadIsRefused) {
  ASSERT_EQ(MShxcrash_nasync_thread_capture_install(), hxcrash_error_none);
  hxcrash_async_thread_state state;
  EXPECT_EQ(MShxcrash_async_thread_state_mach_thread_init(&state, static_cast<vx::thread_t>(syscall(SYS_gettid))),
            hxcrash_error_internal);

  gSpinState = 0;
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, nullptr,
                [](void*) -> void* {
                  sigset_t set;
                  sigemptyset(&set);
                  sigaddset(&set, MShxcrash_async_thread_capture_signal());
                  pthread_sigmask(SIG_BLOCK, &set, nullptr);
                  return spinner(nullptr);
                },
                nullptr),
            0);
  while (gSpinState.load() != 1) {
  }
  const auto tid = static_cast<vx::thread_t>(gSpinTid.load());
  EXPECT_EQ(MShxcrash_async_thread_capture_suspend(tid, 100), hxcrash_error_internal);
  gSpinState = 2;
  pthread_join(thread, nullptr);
}

}  // namespace
