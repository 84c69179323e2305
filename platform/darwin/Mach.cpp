#include "platform/darwin/Mach.h"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace vx {

namespace {

constexpr task_t kTaskSelfName = 0x103;
constexpr mach_port_name_t kMemoryEntryBase = 0x40000000;
constexpr int kMemoryEntryCount = 64;

// A memory entry is a granted range of our own memory; the table is static so entries can be
// made and released inside a signal handler.
struct MemoryEntry {
  int used;
  mach_vm_address_t address;
  mach_vm_size_t size;
};
MemoryEntry gMemoryEntries[kMemoryEntryCount];

std::int32_t gTaskSelfReferences = 1;

std::uint64_t readPageSize() {
  const long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<std::uint64_t>(size) : 4096;
}

pid_t currentPid() { return static_cast<pid_t>(syscall(SYS_getpid)); }

// Reads with one system call; returns the bytes copied, or -1 with errno set.
ssize_t checkedRead(mach_vm_address_t address, void* target, std::uint64_t size) {
  iovec local{target, static_cast<size_t>(size)};
  iovec remote{reinterpret_cast<void*>(address), static_cast<size_t>(size)};
  return process_vm_readv(currentPid(), &local, 1, &remote, 1, 0);
}

MemoryEntry* entryForName(mach_port_name_t name) {
  if (name < kMemoryEntryBase || name >= kMemoryEntryBase + kMemoryEntryCount) return nullptr;
  MemoryEntry* entry = &gMemoryEntries[name - kMemoryEntryBase];
  return __atomic_load_n(&entry->used, __ATOMIC_ACQUIRE) ? entry : nullptr;
}

}  // namespace

const std::uint64_t vm_page_size = readPageSize();
const std::uint64_t vm_page_mask = vm_page_size - 1;

task_t mach_task_self() { return kTaskSelfName; }

thread_t mach_thread_self() { return static_cast<thread_t>(syscall(SYS_gettid)); }

kern_return_t mach_port_deallocate(task_t task, mach_port_name_t name) {
  return mach_port_mod_refs(task, name, MACH_PORT_RIGHT_SEND, -1);
}

kern_return_t mach_port_mod_refs(task_t task, mach_port_name_t name, mach_port_right_t right, mach_port_delta_t delta) {
  if (task != kTaskSelfName || right != MACH_PORT_RIGHT_SEND) return KERN_INVALID_ARGUMENT;
  if (name == kTaskSelfName) {
    std::int32_t current = __atomic_load_n(&gTaskSelfReferences, __ATOMIC_RELAXED);
    do {
      if (current + delta < 1) return KERN_INVALID_VALUE;
    } while (!__atomic_compare_exchange_n(&gTaskSelfReferences, &current, current + delta, true, __ATOMIC_SEQ_CST,
                                          __ATOMIC_RELAXED));
    return KERN_SUCCESS;
  }
  if (MemoryEntry* entry = entryForName(name)) {
    if (delta >= 0) return KERN_SUCCESS;
    if (delta != -1) return KERN_INVALID_VALUE;
    __atomic_store_n(&entry->used, 0, __ATOMIC_RELEASE);
    return KERN_SUCCESS;
  }
  if (name >= kMemoryEntryBase && name < kMemoryEntryBase + kMemoryEntryCount) {
    return KERN_INVALID_NAME;
  }
  // Thread ports: the kernel thread id names the thread; nothing is counted.
  if (name != MACH_PORT_NULL) return KERN_SUCCESS;
  return KERN_INVALID_NAME;
}

std::int32_t task_self_user_references() { return __atomic_load_n(&gTaskSelfReferences, __ATOMIC_SEQ_CST); }

std::uint64_t task_readable_pages(mach_vm_address_t address, std::uint64_t page_count) {
  // One byte from each page in one vectored read: the kernel stops at the first page that
  // faults and tells how many bytes it copied, i.e. how many pages lead the range.
  constexpr std::uint64_t kBatch = 256;
  char sink[kBatch];
  iovec local{sink, kBatch};
  iovec remote[kBatch];
  std::uint64_t readable = 0;
  while (readable < page_count) {
    const std::uint64_t batch = page_count - readable < kBatch ? page_count - readable : kBatch;
    for (std::uint64_t i = 0; i < batch; ++i) {
      remote[i].iov_base = reinterpret_cast<void*>(address + (readable + i) * vm_page_size);
      remote[i].iov_len = 1;
    }
    local.iov_len = batch;
    const ssize_t copied = process_vm_readv(currentPid(), &local, 1, remote, static_cast<unsigned long>(batch), 0);
    if (copied <= 0) break;
    readable += static_cast<std::uint64_t>(copied);
    if (static_cast<std::uint64_t>(copied) < batch) break;
  }
  return readable;
}

kern_return_t mach_vm_read_overwrite(task_t task, mach_vm_address_t address, mach_vm_size_t size,
                                     mach_vm_address_t data, mach_vm_size_t* outsize) {
  if (task != kTaskSelfName) return KERN_INVALID_ARGUMENT;
  if (outsize != nullptr) *outsize = 0;
  if (size == 0) return KERN_SUCCESS;
  if (address + size < address) return KERN_INVALID_ADDRESS;
  std::uint64_t done = 0;
  while (done < size) {
    const ssize_t copied = checkedRead(address + done, reinterpret_cast<void*>(data + done), size - done);
    if (copied > 0) {
      done += static_cast<std::uint64_t>(copied);
      continue;
    }
    if (copied < 0 && errno != EFAULT) return KERN_FAILURE;
    break;
  }
  if (outsize != nullptr) *outsize = done;
  if (done == size) return KERN_SUCCESS;
  // Find the first page that cannot be read; mincore fails with ENOMEM only for a page that
  // is not mapped at all, so a mapped page that still faults is protected.
  const mach_vm_address_t firstPage = (address + done) & ~vm_page_mask;
  const mach_vm_address_t lastPage = (address + size - 1) & ~vm_page_mask;
  const std::uint64_t pages = (lastPage - firstPage) / vm_page_size + 1;
  const std::uint64_t readable = task_readable_pages(firstPage, pages);
  const mach_vm_address_t failing = firstPage + readable * vm_page_size;
  unsigned char residency = 0;
  if (mincore(reinterpret_cast<void*>(failing), vm_page_size, &residency) != 0 && errno == ENOMEM) {
    return KERN_INVALID_ADDRESS;
  }
  return KERN_PROTECTION_FAILURE;
}

kern_return_t mach_make_memory_entry_64(task_t task, memory_object_size_t* size, memory_object_offset_t offset,
                                        vm_prot_t permission, mach_port_t* object_handle, mach_port_t parent_entry) {
  if (task != kTaskSelfName || size == nullptr || object_handle == nullptr || parent_entry != MACH_PORT_NULL ||
      (permission & VM_PROT_WRITE) != 0) {
    return KERN_INVALID_ARGUMENT;
  }
  const mach_vm_address_t start = offset & ~vm_page_mask;
  const std::uint64_t end = offset + *size;
  if (*size == 0 || end < offset || end + vm_page_mask < end) return KERN_INVALID_ARGUMENT;
  const std::uint64_t pages = ((end + vm_page_mask) & ~vm_page_mask) / vm_page_size - start / vm_page_size;
  const std::uint64_t readable = task_readable_pages(start, pages);
  if (readable == 0) return KERN_INVALID_ADDRESS;
  for (int i = 0; i < kMemoryEntryCount; ++i) {
    int expected = 0;
    if (__atomic_compare_exchange_n(&gMemoryEntries[i].used, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
      gMemoryEntries[i].address = start;
      gMemoryEntries[i].size = readable * vm_page_size;
      __atomic_thread_fence(__ATOMIC_RELEASE);
      *size = readable * vm_page_size;
      *object_handle = kMemoryEntryBase + static_cast<mach_port_t>(i);
      return KERN_SUCCESS;
    }
  }
  return KERN_RESOURCE_SHORTAGE;
}

kern_return_t mach_vm_allocate(task_t task, mach_vm_address_t* address, mach_vm_size_t size, int flags) {
  if (task != kTaskSelfName || address == nullptr || (flags & VM_FLAGS_ANYWHERE) == 0) {
    return KERN_INVALID_ARGUMENT;
  }
  if (size == 0) return KERN_INVALID_ARGUMENT;
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) return KERN_NO_SPACE;
  *address = reinterpret_cast<mach_vm_address_t>(memory);
  return KERN_SUCCESS;
}

kern_return_t mach_vm_deallocate(task_t task, mach_vm_address_t address, mach_vm_size_t size) {
  if (task != kTaskSelfName) return KERN_INVALID_ARGUMENT;
  if (size == 0) return KERN_SUCCESS;
  if ((address & vm_page_mask) != 0) return KERN_INVALID_ARGUMENT;
  if (munmap(reinterpret_cast<void*>(address), size) != 0) return KERN_INVALID_ADDRESS;
  return KERN_SUCCESS;
}

kern_return_t mach_vm_map(task_t target_task, mach_vm_address_t* address, mach_vm_size_t size, mach_vm_offset_t mask,
                          int flags, mach_port_t object, memory_object_offset_t offset, bool copy,
                          vm_prot_t cur_protection, vm_prot_t max_protection, vm_inherit_t inheritance) {
  (void)max_protection;
  (void)inheritance;
  if (target_task != kTaskSelfName || address == nullptr || mask != 0 || !copy || (flags & VM_FLAGS_ANYWHERE) != 0 ||
      (*address & vm_page_mask) != 0) {
    return KERN_INVALID_ARGUMENT;
  }
  MemoryEntry* entry = entryForName(object);
  if (entry == nullptr) return KERN_INVALID_ARGUMENT;
  if (size == 0 || offset > entry->size || size > entry->size - offset) {
    return KERN_INVALID_ARGUMENT;
  }
  mach_vm_size_t copied = 0;
  const kern_return_t kr = mach_vm_read_overwrite(target_task, entry->address + offset, size, *address, &copied);
  if (kr != KERN_SUCCESS) return kr;
  int protection = PROT_NONE;
  if (cur_protection & VM_PROT_READ) protection |= PROT_READ;
  if (cur_protection & VM_PROT_WRITE) protection |= PROT_WRITE;
  const std::uint64_t pages = (size + vm_page_mask) & ~vm_page_mask;
  if (mprotect(reinterpret_cast<void*>(*address), pages, protection) != 0) {
    return KERN_PROTECTION_FAILURE;
  }
  return KERN_SUCCESS;
}

}  // namespace vx
