// The part of the Mach task, port and virtual-memory interface that the crash engine needs,
// built on Linux for our own process only. A "task" is our own process (mach_task_self()); a
// thread port name is the kernel thread id. Memory reads are checked reads through
// process_vm_readv, so a bad address yields an error code instead of a fault, and an unmapped
// page is told apart from a protected one with mincore.
//
// Every function here is safe at crash time (no allocation, no locks, raw system calls only)
// unless its comment says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vx {

using kern_return_t = int;
using mach_port_t = std::uint32_t;
using mach_port_name_t = std::uint32_t;
using task_t = mach_port_t;
using thread_t = mach_port_t;
using mach_port_right_t = std::uint32_t;
using mach_port_delta_t = std::int32_t;
using vm_prot_t = int;
using vm_inherit_t = unsigned int;
using mach_vm_address_t = std::uint64_t;
using mach_vm_size_t = std::uint64_t;
using mach_vm_offset_t = std::uint64_t;
using memory_object_size_t = std::uint64_t;
using memory_object_offset_t = std::uint64_t;

inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr kern_return_t KERN_INVALID_ADDRESS = 1;
inline constexpr kern_return_t KERN_PROTECTION_FAILURE = 2;
inline constexpr kern_return_t KERN_NO_SPACE = 3;
inline constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
inline constexpr kern_return_t KERN_FAILURE = 5;
inline constexpr kern_return_t KERN_RESOURCE_SHORTAGE = 6;
inline constexpr kern_return_t KERN_INVALID_NAME = 15;
inline constexpr kern_return_t KERN_INVALID_VALUE = 18;

inline constexpr mach_port_t MACH_PORT_NULL = 0;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_SEND = 0;

inline constexpr vm_prot_t VM_PROT_NONE = 0;
inline constexpr vm_prot_t VM_PROT_READ = 1;
inline constexpr vm_prot_t VM_PROT_WRITE = 2;
inline constexpr int VM_FLAGS_FIXED = 0x0;
inline constexpr int VM_FLAGS_ANYWHERE = 0x1;
inline constexpr int VM_FLAGS_OVERWRITE = 0x4000;
inline constexpr vm_inherit_t VM_INHERIT_COPY = 1;

// The system page size and mask, read once when the library loads.
extern const std::uint64_t vm_page_size;
extern const std::uint64_t vm_page_mask;

// The port name of our own task. No reference is added.
task_t mach_task_self();

// The calling thread's port name (its kernel thread id). Like the real call, it hands the
// caller one send-right reference, which mach_port_deallocate gives back.
thread_t mach_thread_self();

// Drops one user reference on a send right. Thread ports and our task port are accepted;
// other names give KERN_INVALID_NAME.
kern_return_t mach_port_deallocate(task_t task, mach_port_name_t name);

// Adds delta user references to a send right: our task port (refused with KERN_INVALID_VALUE
// when its count would fall below the one reference the task holds on itself), a memory entry
// (a delta of -1 releases it) or a thread port (counted by nobody; always accepted).
kern_return_t mach_port_mod_refs(task_t task, mach_port_name_t name, mach_port_right_t right, mach_port_delta_t delta);

// Number of user references on our task port's send right now (1 when nobody holds an extra
// one). Lets tests check that every taken reference is given back.
std::int32_t task_self_user_references();

// Copies size bytes at address of task into data. KERN_INVALID_ADDRESS when a page of the range
// is not mapped (or the range wraps), KERN_PROTECTION_FAILURE when it is mapped but not
// readable, KERN_INVALID_ARGUMENT for a task other than our own, KERN_FAILURE when the kernel
// refuses the read for another reason. Never faults.
kern_return_t mach_vm_read_overwrite(task_t task, mach_vm_address_t address, mach_vm_size_t size,
                                     mach_vm_address_t data, mach_vm_size_t* outsize);

// Makes a read-only memory entry for the range [offset, offset + *size) of task. On Linux the
// entry grants the readable pages at the start of the range: *size is set to their byte count
// (a whole number of pages). KERN_INVALID_ADDRESS when the first page cannot be read,
// KERN_RESOURCE_SHORTAGE when too many entries are alive at once (at most 64). The entry is
// released with mach_port_mod_refs(..., -1).
kern_return_t mach_make_memory_entry_64(task_t task, memory_object_size_t* size, memory_object_offset_t offset,
                                        vm_prot_t permission, mach_port_t* object_handle, mach_port_t parent_entry);

// Reserves size bytes of fresh, zeroed memory anywhere in our task (VM_FLAGS_ANYWHERE only).
kern_return_t mach_vm_allocate(task_t task, mach_vm_address_t* address, mach_vm_size_t size, int flags);

// Releases memory obtained from mach_vm_allocate (or any whole pages of it).
kern_return_t mach_vm_deallocate(task_t task, mach_vm_address_t address, mach_vm_size_t size);

// Maps size bytes of a memory entry, from object offset on, at *address in target_task, which
// must lie inside memory reserved with mach_vm_allocate (VM_FLAGS_FIXED | VM_FLAGS_OVERWRITE).
// Linux cannot alias another range of our own private memory, so only copy = true is offered:
// the bytes are copied (a snapshot, as a copy-on-write mapping would give) and the pages are
// then protected to cur_protection.
kern_return_t mach_vm_map(task_t target_task, mach_vm_address_t* address, mach_vm_size_t size, mach_vm_offset_t mask,
                          int flags, mach_port_t object, memory_object_offset_t offset, bool copy,
                          vm_prot_t cur_protection, vm_prot_t max_protection, vm_inherit_t inheritance);

// Counts the readable pages from page-aligned address on, at most page_count of them, and
// returns how many lead the range before the first unreadable page.
std::uint64_t task_readable_pages(mach_vm_address_t address, std::uint64_t page_count);

}  // namespace vx
