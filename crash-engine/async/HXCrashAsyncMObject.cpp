#include "crash-engine/async/HXCrashAsyncMObject.h"

using namespace vx;

namespace {

void releaseEntry(mach_port_t entry) {
  const kern_return_t kr = mach_port_mod_refs(mach_task_self(), entry, MACH_PORT_RIGHT_SEND, -1);
  if (kr != KERN_SUCCESS) MSHXCF_DEBUG("mach_port_mod_refs(-1) failed: %d", kr);
}

}  // namespace

// Maps the pages of [task_address, task_address + length) piece by piece into one local
// reservation. Named after the workaround it stands for: a memory entry may grant less than
// asked, so the mapping advances by what each entry grants.
static hxcrash_error_t hxcrash_async_mobject_remap_pages_workaround(task_t task, hxcrash_vm_address_t task_address,
                                                                    hxcrash_vm_size_t length, bool require_full,
                                                                    hxcrash_vm_address_t* result,
                                                                    hxcrash_vm_size_t* result_length) {
  const hxcrash_vm_address_t start = task_address & ~vm_page_mask;
  hxcrash_vm_size_t total = ((task_address + length + vm_page_mask) - start) & ~vm_page_mask;

  if (require_full) {
    // Every page must be readable: found out before a local range of that size is reserved, so
    // a length that no mapping backs fails here instead of exhausting memory.
    hxcrash_vm_size_t granted = 0;
    while (granted < total) {
      memory_object_size_t size = total - granted;
      mach_port_t entry = MACH_PORT_NULL;
      const kern_return_t kr =
          mach_make_memory_entry_64(task, &size, start + granted, VM_PROT_READ, &entry, MACH_PORT_NULL);
      if (kr != KERN_SUCCESS) {
        MSHXCF_DEBUG("mach_make_memory_entry_64() failed: %d", kr);
        MSHXCF_DEBUG("Only 0x%llx of 0x%llx bytes at 0x%llx can be mapped", static_cast<unsigned long long>(granted),
                     static_cast<unsigned long long>(total), static_cast<unsigned long long>(start));
        return hxcrash_error_no_memory;
      }
      releaseEntry(entry);
      granted += size;
    }
  }

  if (!require_full) {
    hxcrash_vm_size_t granted = 0;
    while (granted < total) {
      memory_object_size_t size = total - granted;
      mach_port_t entry = MACH_PORT_NULL;
      if (mach_make_memory_entry_64(task, &size, start + granted, VM_PROT_READ, &entry, MACH_PORT_NULL) !=
          KERN_SUCCESS) {
        break;
      }
      releaseEntry(entry);
      granted += size;
    }
    if (granted == 0) {
      MSHXCF_DEBUG("No mappable pages found at 0x%llx", static_cast<unsigned long long>(task_address));
      return hxcrash_error_no_memory;
    }
    total = granted;
  }

  mach_vm_address_t target = 0;
  kern_return_t kr = mach_vm_allocate(mach_task_self(), &target, total, VM_FLAGS_ANYWHERE);
  if (kr != KERN_SUCCESS) {
    MSHXCF_DEBUG("Failed to allocate a target page range for the page remapping: %d", kr);
    return hxcrash_error_internal;
  }

  hxcrash_vm_size_t mapped = 0;
  while (mapped < total) {
    memory_object_size_t size = total - mapped;
    mach_port_t entry = MACH_PORT_NULL;
    kr = mach_make_memory_entry_64(task, &size, start + mapped, VM_PROT_READ, &entry, MACH_PORT_NULL);
    if (kr != KERN_SUCCESS) {
      MSHXCF_DEBUG("mach_make_memory_entry_64() failed: %d", kr);
      kr = mach_vm_deallocate(mach_task_self(), target, total);
      if (kr != KERN_SUCCESS) MSHXCF_DEBUG("vm_deallocate() failed: %d", kr);
      return hxcrash_error_no_memory;
    }
    mach_vm_address_t pieceAddress = target + mapped;
    kr = mach_vm_map(mach_task_self(), &pieceAddress, size, 0, VM_FLAGS_FIXED | VM_FLAGS_OVERWRITE, entry, 0, true,
                     VM_PROT_READ, VM_PROT_READ, VM_INHERIT_COPY);
    if (kr != KERN_SUCCESS) {
      MSHXCF_DEBUG("vm_map() failure: %d", kr);
      kr = mach_vm_deallocate(mach_task_self(), target, total);
      if (kr != KERN_SUCCESS) MSHXCF_DEBUG("vm_deallocate() failed: %d", kr);
      releaseEntry(entry);
      return hxcrash_error_no_memory;
    }
    releaseEntry(entry);
    mapped += size;
  }
  *result = target;
  *result_length = mapped;
  return hxcrash_error_none;
}

hxcrash_error_t MShxcrash_async_mobject_init(hxcrash_async_mobject* mobj, task_t task,
                                             hxcrash_vm_address_t task_address, hxcrash_vm_size_t length,
                                             bool require_full) {
  // The page arithmetic below needs the end of the range, rounded up to a page, to exist.
  hxcrash_vm_address_t end = 0;
  if (length == 0 || length > static_cast<hxcrash_vm_size_t>(INT64_MAX) ||
      !MShxcrash_async_address_apply_offset(task_address, static_cast<hxcrash_vm_off_t>(length), &end) ||
      end + vm_page_mask < end) {
    MSHXCF_DEBUG("Refusing to map a range of 0x%llx bytes at 0x%llx", static_cast<unsigned long long>(length),
                 static_cast<unsigned long long>(task_address));
    return hxcrash_error_invalid_argument;
  }
  hxcrash_vm_address_t mapping = 0;
  hxcrash_vm_size_t mappingLength = 0;
  const hxcrash_error_t err =
      hxcrash_async_mobject_remap_pages_workaround(task, task_address, length, require_full, &mapping, &mappingLength);
  if (err != hxcrash_error_none) return err;

  const hxcrash_vm_address_t pageOffset = task_address & vm_page_mask;
  mobj->vm_address = mapping;
  mobj->vm_length = mappingLength;
  mobj->address = static_cast<std::uintptr_t>(mapping + pageOffset);
  const hxcrash_vm_size_t usable = mappingLength - pageOffset;
  mobj->length = usable < length ? usable : length;
  mobj->vm_slide = static_cast<hxcrash_vm_off_t>(task_address - mobj->address);
  mobj->task_address = task_address;
  mobj->task = task;
  mach_port_mod_refs(mach_task_self(), task, MACH_PORT_RIGHT_SEND, 1);
  return hxcrash_error_none;
}

hxcrash_vm_address_t MShxcrash_async_mobject_base_address(const hxcrash_async_mobject* mobj) {
  return mobj->task_address;
}

hxcrash_vm_size_t MShxcrash_async_mobject_length(const hxcrash_async_mobject* mobj) { return mobj->length; }

task_t MShxcrash_async_mobject_task(const hxcrash_async_mobject* mobj) { return mobj->task; }

bool MShxcrash_async_mobject_verify_local_pointer(const hxcrash_async_mobject* mobj, std::uintptr_t address,
                                                  hxcrash_vm_off_t offset, hxcrash_vm_size_t length) {
  hxcrash_vm_address_t begin = 0;
  if (!MShxcrash_async_address_apply_offset(address, offset, &begin)) return false;
  if (length > UINT64_MAX - begin) return false;
  return begin >= mobj->address && begin + length <= mobj->address + mobj->length;
}

void* MShxcrash_async_mobject_remap_address(const hxcrash_async_mobject* mobj, hxcrash_vm_address_t task_address,
                                            hxcrash_vm_off_t offset, hxcrash_vm_size_t length) {
  const std::uintptr_t local =
      static_cast<std::uintptr_t>(task_address - static_cast<hxcrash_vm_address_t>(mobj->vm_slide));
  if (!MShxcrash_async_mobject_verify_local_pointer(mobj, local, offset, length)) return nullptr;
  return reinterpret_cast<void*>(local + static_cast<std::uintptr_t>(offset));
}

namespace {

template <class T>
hxcrash_error_t readMapped(const hxcrash_async_mobject* mobj, hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
                           T* out) {
  const void* local = MShxcrash_async_mobject_remap_address(mobj, address, offset, sizeof(T));
  if (local == nullptr) return hxcrash_error_invalid_argument;
  T value;
  MShxcrash_async_memcpy(&value, local, sizeof value);
  *out = value;
  return hxcrash_error_none;
}

}  // namespace

hxcrash_error_t MShxcrash_async_mobject_read_uint8(const hxcrash_async_mobject* mobj, hxcrash_vm_address_t address,
                                                   hxcrash_vm_off_t offset, std::uint8_t* out) {
  return readMapped(mobj, address, offset, out);
}

hxcrash_error_t MShxcrash_async_mobject_read_uint16(const hxcrash_async_mobject* mobj,
                                                    const MShxcrash_async_byteorder* byteorder,
                                                    hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
                                                    std::uint16_t* out) {
  std::uint16_t value = 0;
  const hxcrash_error_t err = readMapped(mobj, address, offset, &value);
  if (err == hxcrash_error_none) *out = byteorder->swap16(value);
  return err;
}

hxcrash_error_t MShxcrash_async_mobject_read_uint32(const hxcrash_async_mobject* mobj,
                                                    const MShxcrash_async_byteorder* byteorder,
                                                    hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
                                                    std::uint32_t* out) {
  std::uint32_t value = 0;
  const hxcrash_error_t err = readMapped(mobj, address, offset, &value);
  if (err == hxcrash_error_none) *out = byteorder->swap32(value);
  return err;
}

hxcrash_error_t MShxcrash_async_mobject_read_uint64(const hxcrash_async_mobject* mobj,
                                                    const MShxcrash_async_byteorder* byteorder,
                                                    hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
                                                    std::uint64_t* out) {
  std::uint64_t value = 0;
  const hxcrash_error_t err = readMapped(mobj, address, offset, &value);
  if (err == hxcrash_error_none) *out = byteorder->swap64(value);
  return err;
}

void MShxcrash_async_mobject_free(hxcrash_async_mobject* mobj) {
  const kern_return_t kr = mach_vm_deallocate(mach_task_self(), mobj->vm_address, mobj->vm_length);
  if (kr != KERN_SUCCESS) MSHXCF_DEBUG("vm_deallocate() failure: %d", kr);
  mach_port_mod_refs(mach_task_self(), mobj->task, MACH_PORT_RIGHT_SEND, -1);
}
