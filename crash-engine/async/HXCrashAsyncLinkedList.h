// A list that a signal handler may walk while other threads change it. Writers (append,
// prepend, remove; never at crash time, they allocate) serialise on a spin lock; readers take
// no lock: they count themselves in (set_reading), follow the compare-and-swap-published links
// and rely on removed nodes being parked, not freed, while any reader is counted.
//
// A header with static storage is ready before any constructor runs (all fields zero), so
// lists that signal code walks can be static.
#pragma once

#include "crash-engine/async/HXCrashAsync.h"
#include "platform/darwin/Atomics.h"

#include <cstdlib>
#include <new>

template <class V>
class HXCrashAsyncLinkedList {
 public:
  struct node {
    V value;
    node* prev;
    node* next;
  };

  constexpr HXCrashAsyncLinkedList() = default;
  HXCrashAsyncLinkedList(const HXCrashAsyncLinkedList&) = delete;
  HXCrashAsyncLinkedList& operator=(const HXCrashAsyncLinkedList&) = delete;

  // Nodes are never freed by destruction: a static list may still be walked by a signal
  // handler while the process exits. Owners that know no reader remains call
  // nasync_free_all_nodes.
  ~HXCrashAsyncLinkedList() = default;

  // Adds value at the tail.
  void nasync_append(V value) {
    vx::OSSpinLockLock(&_lock);
    node* fresh = take_node(value);
    vx::OSMemoryBarrier();
    if (_tail != nullptr) {
      if (!vx::OSAtomicCompareAndSwapPtrBarrier<node>(nullptr, fresh, &_tail->next)) {
        MSHXCF_DEBUG("Failed to append to image list despite holding lock");
      }
      fresh->prev = _tail;
      _tail = fresh;
    } else {
      _tail = fresh;
      if (!vx::OSAtomicCompareAndSwapPtrBarrier<node>(nullptr, fresh, &_head)) {
        MSHXCF_DEBUG("An async image head was set with tail == NULL despite holding lock.");
      }
    }
    vx::OSSpinLockUnlock(&_lock);
  }

  // Adds value at the head.
  void nasync_prepend(V value) {
    vx::OSSpinLockLock(&_lock);
    node* fresh = take_node(value);
    vx::OSMemoryBarrier();
    if (_head != nullptr) {
      node* oldHead = _head;
      fresh->next = oldHead;
      fresh->prev = nullptr;
      oldHead->prev = fresh;
      vx::OSMemoryBarrier();
      if (!vx::OSAtomicCompareAndSwapPtrBarrier<node>(oldHead, fresh, &_head)) {
        MSHXCF_DEBUG("Failed to prepend to image list despite holding lock");
      }
    } else {
      _tail = fresh;
      if (!vx::OSAtomicCompareAndSwapPtrBarrier<node>(nullptr, fresh, &_head)) {
        MSHXCF_DEBUG("An async image head was set with tail == NULL despite holding lock.");
      }
    }
    vx::OSSpinLockUnlock(&_lock);
  }

  // Unlinks deleted_node (found by identity; nothing happens when it is not on the list). It
  // is freed when no reader is counted, else parked: a reader that holds it still finds valid
  // memory and a valid next link.
  void nasync_remove_node(node* deleted_node) {
    vx::OSSpinLockLock(&_lock);
    node* item = _head;
    while (item != nullptr && item != deleted_node) item = item->next;
    if (item == nullptr) {
      vx::OSSpinLockUnlock(&_lock);
      return;
    }
    if (item == _head) {
      if (!vx::OSAtomicCompareAndSwapPtrBarrier<node>(item, item->next, &_head)) {
        MSHXCF_DEBUG("Failed to remove image list head despite holding lock");
      }
    } else if (!vx::OSAtomicCompareAndSwapPtrBarrier<node>(item, item->next, &item->prev->next)) {
      MSHXCF_DEBUG("Failed to remove image list item despite holding lock");
    }
    if (item->next != nullptr) {
      item->next->prev = item->prev;
    } else {
      _tail = item->prev;
    }
    if (__atomic_load_n(&_refcount, __ATOMIC_SEQ_CST) < 1) {
      item->~node();
      std::free(item);
    } else {
      // Keep item->next: a reader standing on this node can still walk on to the live list.
      park(item);
    }
    vx::OSSpinLockUnlock(&_lock);
  }

  // Crash time. Counts a reader in (true) or out (false), with a full barrier.
  void set_reading(bool enable) { vx::OSAtomicAdd32Barrier(enable ? 1 : -1, &_refcount); }

  // Crash time. The node after current, or the head when current is null. Only inside a
  // reader section; outside one it stops the process ("_refcount > 0").
  node* next(node* current) {
    MSHXCF_ASSERT(__atomic_load_n(&_refcount, __ATOMIC_SEQ_CST) > 0, "_refcount > 0");
    if (current != nullptr) return __atomic_load_n(&current->next, __ATOMIC_ACQUIRE);
    return __atomic_load_n(&_head, __ATOMIC_ACQUIRE);
  }

  // Removes every node (parked nodes stay parked until no reader is counted).
  void nasync_remove_all() {
    for (;;) {
      set_reading(true);
      node* first = next(nullptr);
      set_reading(false);
      if (first == nullptr) return;
      nasync_remove_node(first);
    }
  }

  // Frees every live and parked node. Only for teardown, when no reader can reach the list.
  void nasync_free_all_nodes() {
    vx::OSSpinLockLock(&_lock);
    for (node* item = _head; item != nullptr;) {
      node* following = item->next;
      item->~node();
      std::free(item);
      item = following;
    }
    for (node* item = _free; item != nullptr;) {
      node* following = item->prev;
      item->~node();
      std::free(item);
      item = following;
    }
    _head = _tail = _free = nullptr;
    vx::OSSpinLockUnlock(&_lock);
  }

  // For tests and diagnostics: the first parked node, and the number of parked nodes.
  node* parked_head() const { return _free; }
  int parked_count() const {
    int count = 0;
    for (node* item = _free; item != nullptr; item = item->prev) ++count;
    return count;
  }

 private:
  // Reuses a parked node only when no reader is counted: a reader counted now may still hold
  // one (it was on the list when the reader started), and reusing it would rewrite its value
  // and links under that reader. Readers that start later cannot reach a parked node.
  node* take_node(const V& value) {
    node* fresh = nullptr;
    if (_free != nullptr && __atomic_load_n(&_refcount, __ATOMIC_SEQ_CST) == 0) {
      fresh = _free;
      _free = fresh->prev;
    } else {
      void* memory = std::malloc(sizeof(node));
      MSHXCF_ASSERT(memory != nullptr, "ptr != __null");
      fresh = new (memory) node{};
    }
    fresh->value = value;
    fresh->prev = nullptr;
    fresh->next = nullptr;
    return fresh;
  }

  // Parked nodes are linked through prev, which readers never follow; next stays as it was
  // so a reader standing on the node still reaches the rest of the list.
  void park(node* item) {
    item->prev = _free;
    _free = item;
  }

  volatile vx::OSSpinLock _lock = vx::OS_SPINLOCK_INIT;
  node* volatile _head = nullptr;
  node* _tail = nullptr;
  volatile std::int32_t _refcount = 0;
  node* _free = nullptr;
};
