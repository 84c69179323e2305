#include "reporting/crash-recorder/Recording/PloverCrashMemory.h"

#include "crash-engine/async/HXCrashAsync.h"

#include <cstdint>

namespace {

constexpr int kChunkSize = 10240;

// Only the kernel writes into it and nothing reads it back, so sharing it between threads
// is harmless.
char g_scratch[kChunkSize];

bool readWhole(const void* src, void* dst, int length) {
  if (length <= 0) return false;
  return MShxcrash_async_read_addr(vx::mach_task_self(), reinterpret_cast<hxcrash_vm_address_t>(src), dst,
                                   static_cast<hxcrash_vm_size_t>(length)) == vx::KERN_SUCCESS;
}

const char* advance(const void* pointer, int bytes) { return static_cast<const char*>(pointer) + bytes; }

// The longest readable run from src, at most length bytes; copies it to dst when given.
int searchReadable(const void* src, char* dst, int length) {
  if (length <= 0) return 0;
  char probe;
  if (!readWhole(src, dst != nullptr ? dst : &probe, 1)) return 0;
  int done = 1;
  int attempt = length - done;
  while (attempt > 0 && done < length) {
    if (attempt > length - done) attempt = length - done;
    char* target = dst != nullptr ? dst + done : nullptr;
    bool ok;
    if (target != nullptr) {
      ok = readWhole(advance(src, done), target, attempt);
    } else {
      ok = true;
      for (int offset = 0; ok && offset < attempt; offset += kChunkSize) {
        const int piece = attempt - offset < kChunkSize ? attempt - offset : kChunkSize;
        ok = readWhole(advance(src, done + offset), g_scratch, piece);
      }
    }
    if (ok) {
      done += attempt;
      attempt = (length - done) / 2;
      if (attempt == 0 && done < length) attempt = 1;
    } else {
      if (attempt < 2) break;
      attempt /= 2;
    }
  }
  return done;
}

}  // namespace

bool plovercrashmem_copySafely(const void* src, void* dst, int byteCount) { return readWhole(src, dst, byteCount); }

bool plovercrashmem_isMemoryReadable(const void* memory, int byteCount) {
  if (byteCount <= 0) return false;
  for (int offset = 0; offset < byteCount; offset += kChunkSize) {
    const int piece = byteCount - offset < kChunkSize ? byteCount - offset : kChunkSize;
    if (!readWhole(advance(memory, offset), g_scratch, piece)) return false;
  }
  return true;
}

int plovercrashmem_maxReadableBytes(const void* memory, int tryByteCount) {
  int done = 0;
  while (tryByteCount - done > kChunkSize) {
    if (!readWhole(advance(memory, done), g_scratch, kChunkSize)) break;
    done += kChunkSize;
  }
  return done + searchReadable(advance(memory, done), nullptr, tryByteCount - done);
}

int plovercrashmem_copyMaxPossible(const void* src, void* dst, int byteCount) {
  if (byteCount <= 1) {
    if (byteCount == 1 && !readWhole(src, dst, 1)) return 0;
    return byteCount < 0 ? 0 : byteCount;
  }
  return searchReadable(src, static_cast<char*>(dst), byteCount);
}
