// The small operations that the crash path is built from: the engine's error codes and their
// texts, byte-order descriptors, checked reads of task memory, string and memory routines and
// the diagnostic line. Everything here is safe at crash time (no allocation, no locks, no
// library string functions) and keeps its state in the caller's records.
#pragma once

#include "platform/darwin/Mach.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Result of most operations of the engine's C core. MShxcrash_async_strerror gives the texts.
enum hxcrash_error_t : std::int32_t {
  hxcrash_error_none = 0,
  hxcrash_error_unknown = 1,
  hxcrash_error_output = 2,
  hxcrash_error_no_memory = 3,
  hxcrash_error_not_supported = 4,
  hxcrash_error_invalid_argument = 5,
  hxcrash_error_internal = 6,
  hxcrash_error_access_denied = 7,
  hxcrash_error_not_found = 8,
  hxcrash_error_invalid_data = 9,
};

// Addresses and sizes in a task are always 64 bits wide.
using hxcrash_vm_address_t = std::uint64_t;
using hxcrash_vm_size_t = std::uint64_t;
using hxcrash_vm_off_t = std::int64_t;

// Crash time. The constant text of an error code; "Unhandled error code" for unknown values.
const char* MShxcrash_async_strerror(hxcrash_error_t error);

// Swaps values of an image's byte order into the host's (or leaves them as they are).
struct MShxcrash_async_byteorder {
  std::uint16_t (*swap16)(std::uint16_t);
  std::uint32_t (*swap32)(std::uint32_t);
  std::uint64_t (*swap64)(std::uint64_t);
};

extern const MShxcrash_async_byteorder MShxcrash_async_byteorder_direct;
extern const MShxcrash_async_byteorder MShxcrash_async_byteorder_swapped;

// Crash time. The descriptor for data stored little-endian (direct on this host) or big-endian.
const MShxcrash_async_byteorder* MShxcrash_async_byteorder_little_endian();
const MShxcrash_async_byteorder* MShxcrash_async_byteorder_big_endian();

// Crash time. False when base + offset leaves the unsigned 64-bit range; otherwise stores the
// sum in *result (when result is not null) and returns true.
bool MShxcrash_async_address_apply_offset(hxcrash_vm_address_t base, hxcrash_vm_off_t offset,
                                          hxcrash_vm_address_t* result);

// Crash time. The calling thread's port name; the caller owns no reference on it.
vx::thread_t MSpl_mach_thread_self();

// Crash time. Copies length bytes at source in task to target; the kernel's result unchanged.
vx::kern_return_t MShxcrash_async_read_addr(vx::task_t task, hxcrash_vm_address_t source, void* target,
                                            hxcrash_vm_size_t length);

// Crash time. Copies length bytes from address + offset in task into target.
// hxcrash_error_no_memory when address + offset overflows; hxcrash_error_not_found for an
// unmapped address, hxcrash_error_access_denied for a protected one, hxcrash_error_unknown
// (with a diagnostic line) for any other failure.
hxcrash_error_t MShxcrash_async_task_memcpy(vx::task_t task, hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
                                            void* target, hxcrash_vm_size_t length);

// Crash time. Read one value through MShxcrash_async_task_memcpy, swapped by the byte order.
// On a non-zero result *out holds no meaningful value.
hxcrash_error_t MShxcrash_async_task_read_uint8(vx::task_t task, hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
                                                std::uint8_t* out);
hxcrash_error_t MShxcrash_async_task_read_uint16(vx::task_t task, const MShxcrash_async_byteorder* byteorder,
                                                 hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
                                                 std::uint16_t* out);
hxcrash_error_t MShxcrash_async_task_read_uint32(vx::task_t task, const MShxcrash_async_byteorder* byteorder,
                                                 hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
                                                 std::uint32_t* out);
hxcrash_error_t MShxcrash_async_task_read_uint64(vx::task_t task, const MShxcrash_async_byteorder* byteorder,
                                                 hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
                                                 std::uint64_t* out);

// Crash time. Byte-wise comparison as unsigned characters: the difference of the first
// differing pair, 0 when both end together. The n variant looks at most at n bytes.
int MShxcrash_async_strcmp(const char* a, const char* b);
int MShxcrash_async_strncmp(const char* a, const char* b, std::size_t n);

// Crash time. Copies n bytes one at a time.
void* MShxcrash_async_memcpy(void* target, const void* source, std::size_t n);

// Crash time. Fills n bytes with the low 8 bits of value; returns buffer.
void* MShxcrash_async_memset(void* buffer, int value, std::size_t n);

// Crash time. Writes all length bytes to fd, retrying interrupted writes. Negative on failure,
// non-negative (the bytes written) on success.
ssize_t MShxcrash_async_writen(int fd, const void* data, std::size_t length);

// Crash time. Formats into buffer (always NUL-terminated when size > 0), cutting what does
// not fit: the shared crash-time formatter of platform/darwin/AsyncFormat.h (%d %i %u %x %X %o
// %c %s %p %% and the floating conversions, the flags 0 and -, a width (also *), a precision for
// strings, the length modifiers hh h l ll j z t). Returns the number of bytes stored before the
// NUL.
std::size_t MShxcrash_async_snprintf(char* buffer, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Crash time. Writes one diagnostic line to standard error:
// "[HXCrashReport] <function>:<line>: <message>\n"; the message is cut at 127 bytes.
void MShxcrash_async_debug(const char* function, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Crash time. The system's text for errno, from a constant table (no locale, no allocation).
const char* MShxcrash_async_errno_text(int error);

// Crash time. Writes a diagnostic line with the failed condition and aborts.
[[noreturn]] void MShxcrash_async_assert_fail(const char* function, int line, const char* condition);

#define MSHXCF_DEBUG(...) MShxcrash_async_debug(__func__, __LINE__, __VA_ARGS__)
#define MSHXCF_ASSERT(condition, text) ((condition) ? (void)0 : MShxcrash_async_assert_fail(__func__, __LINE__, text))
