// Atomic operations and the spin lock that the crash engine's lock-free lists and flags use.
// Safe at crash time: they are single instructions or loops of them.
#pragma once

#include <cstdint>

namespace vx {

using OSSpinLock = std::int32_t;
inline constexpr OSSpinLock OS_SPINLOCK_INIT = 0;

// Adds amount with a full barrier and returns the new value.
inline std::int32_t OSAtomicAdd32Barrier(std::int32_t amount, volatile std::int32_t* value) {
  return __atomic_add_fetch(value, amount, __ATOMIC_SEQ_CST);
}

inline bool OSAtomicCompareAndSwap32(std::int32_t oldValue, std::int32_t newValue, volatile std::int32_t* value) {
  return __atomic_compare_exchange_n(value, &oldValue, newValue, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
}

inline bool OSAtomicCompareAndSwap32Barrier(std::int32_t oldValue, std::int32_t newValue,
                                            volatile std::int32_t* value) {
  return __atomic_compare_exchange_n(value, &oldValue, newValue, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

template <class T>
inline bool OSAtomicCompareAndSwapPtrBarrier(T* oldValue, T* newValue, T* volatile* value) {
  return __atomic_compare_exchange_n(value, &oldValue, newValue, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

inline void OSMemoryBarrier() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }

inline void OSSpinLockLock(volatile OSSpinLock* lock) {
  while (__atomic_exchange_n(lock, 1, __ATOMIC_ACQUIRE) != 0) {
    while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0) __builtin_ia32_pause();
  }
}

inline bool OSSpinLockTry(volatile OSSpinLock* lock) { return __atomic_exchange_n(lock, 1, __ATOMIC_ACQUIRE) == 0; }

inline void OSSpinLockUnlock(volatile OSSpinLock* lock) { __atomic_store_n(lock, 0, __ATOMIC_RELEASE); }

}  // namespace vx
