#include "crash-engine/dwarf/HXCrashAsyncDwarfPrimitives.h"

namespace hxcrash::MS::async {

hxcrash_error_t hxcrash_async_dwarf_read_uleb128(const hxcrash_async_mobject* mobj, hxcrash_vm_address_t location,
                                                 hxcrash_vm_off_t offset, std::uint64_t* result,
                                                 hxcrash_vm_size_t* size) {
  return hxcrash_async_dwarf_read_uleb128(mobject_memory{mobj}, location, offset, result, size);
}

hxcrash_error_t hxcrash_async_dwarf_read_sleb128(const hxcrash_async_mobject* mobj, hxcrash_vm_address_t location,
                                                 hxcrash_vm_off_t offset, std::int64_t* result,
                                                 hxcrash_vm_size_t* size) {
  return hxcrash_async_dwarf_read_sleb128(mobject_memory{mobj}, location, offset, result, size);
}

namespace {

template <typename Value, typename Reader>
hxcrash_error_t readTaskLeb(vx::task_t task, hxcrash_vm_address_t location, hxcrash_vm_off_t offset, Value* result,
                            hxcrash_vm_size_t* size, Reader reader) {
  hxcrash_vm_address_t target = 0;
  if (!MShxcrash_async_address_apply_offset(location, offset, &target)) {
    MSHXCF_DEBUG("Applying the  offset of 0x%lld to base address %llx exceeds PL_VM_ADDRESS_MAX",
                 static_cast<long long>(offset), static_cast<unsigned long long>(location));
    return hxcrash_error_invalid_argument;
  }
  hxcrash_async_mobject mobj;
  const hxcrash_error_t err = MShxcrash_async_mobject_init(&mobj, task, target, 4096, false);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("Failed to map uleb128 page");
    return err;
  }
  const hxcrash_error_t result_err = reader(mobject_memory{&mobj}, target, result, size);
  MShxcrash_async_mobject_free(&mobj);
  return result_err;
}

}  // namespace

hxcrash_error_t hxcrash_async_dwarf_read_task_uleb128(vx::task_t task, hxcrash_vm_address_t location,
                                                      hxcrash_vm_off_t offset, std::uint64_t* result,
                                                      hxcrash_vm_size_t* size) {
  return readTaskLeb(task, location, offset, result, size,
                     [](const mobject_memory& mem, hxcrash_vm_address_t at, std::uint64_t* out, hxcrash_vm_size_t* n) {
                       return hxcrash_async_dwarf_read_uleb128(mem, at, 0, out, n);
                     });
}

hxcrash_error_t hxcrash_async_dwarf_read_task_sleb128(vx::task_t task, hxcrash_vm_address_t location,
                                                      hxcrash_vm_off_t offset, std::int64_t* result,
                                                      hxcrash_vm_size_t* size) {
  return readTaskLeb(task, location, offset, result, size,
                     [](const mobject_memory& mem, hxcrash_vm_address_t at, std::int64_t* out, hxcrash_vm_size_t* n) {
                       return hxcrash_async_dwarf_read_sleb128(mem, at, 0, out, n);
                     });
}

}  // namespace hxcrash::MS::async
