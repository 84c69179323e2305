// A range of a task's memory mapped read-only into the engine's own address space once, so
// Mach-O headers, symbol tables and unwind sections can be read many times without a system
// call per read. On Linux the pages are a private read-only copy taken at init. The object is
// owned by its caller. Every function here is safe at crash time.
#pragma once

#include "crash-engine/async/HXCrashAsync.h"

struct hxcrash_async_mobject {
  vx::task_t task;                    // holds one user reference from init to free
  std::uintptr_t address;             // local address matching task_address
  hxcrash_vm_address_t task_address;  // the task address asked for
  hxcrash_vm_size_t length;           // bytes usable from task_address on
  hxcrash_vm_off_t vm_slide;          // task_address - address
  hxcrash_vm_address_t vm_address;    // page-aligned start of the local mapping
  hxcrash_vm_size_t vm_length;        // bytes mapped
};

// Maps length bytes at task_address of task. Without require_full, maps as many leading
// pages as are readable (hxcrash_error_no_memory when none is); with it, all must map.
// hxcrash_error_invalid_argument for a zero length or a range whose end overflows;
// hxcrash_error_internal when no local range can be reserved. Failures write a diagnostic.
hxcrash_error_t MShxcrash_async_mobject_init(hxcrash_async_mobject* mobj, vx::task_t task,
                                             hxcrash_vm_address_t task_address, hxcrash_vm_size_t length,
                                             bool require_full);

hxcrash_vm_address_t MShxcrash_async_mobject_base_address(const hxcrash_async_mobject* mobj);
hxcrash_vm_size_t MShxcrash_async_mobject_length(const hxcrash_async_mobject* mobj);
vx::task_t MShxcrash_async_mobject_task(const hxcrash_async_mobject* mobj);

// True when [address + offset, address + offset + length) lies inside the object's usable
// local range (false on any overflow).
bool MShxcrash_async_mobject_verify_local_pointer(const hxcrash_async_mobject* mobj, std::uintptr_t address,
                                                  hxcrash_vm_off_t offset, hxcrash_vm_size_t length);

// The local pointer for task_address + offset when length bytes from there are mapped, else
// null.
void* MShxcrash_async_mobject_remap_address(const hxcrash_async_mobject* mobj, hxcrash_vm_address_t task_address,
                                            hxcrash_vm_off_t offset, hxcrash_vm_size_t length);

// Read one value through the mapping, swapped by the byte order. hxcrash_error_invalid_argument
// (out untouched) when the bytes are not mapped.
hxcrash_error_t MShxcrash_async_mobject_read_uint8(const hxcrash_async_mobject* mobj, hxcrash_vm_address_t address,
                                                   hxcrash_vm_off_t offset, std::uint8_t* out);
hxcrash_error_t MShxcrash_async_mobject_read_uint16(const hxcrash_async_mobject* mobj,
                                                    const MShxcrash_async_byteorder* byteorder,
                                                    hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
                                                    std::uint16_t* out);
hxcrash_error_t MShxcrash_async_mobject_read_uint32(const hxcrash_async_mobject* mobj,
                                                    const MShxcrash_async_byteorder* byteorder,
                                                    hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
                                                    std::uint32_t* out);
hxcrash_error_t MShxcrash_async_mobject_read_uint64(const hxcrash_async_mobject* mobj,
                                                    const MShxcrash_async_byteorder* byteorder,
                                                    hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
                                                    std::uint64_t* out);

// Releases the local mapping and the object's task reference.
void MShxcrash_async_mobject_free(hxcrash_async_mobject* mobj);
