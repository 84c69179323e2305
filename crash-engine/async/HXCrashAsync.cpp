#include "crash-engine/async/HXCrashAsync.h"

#include "platform/darwin/AsyncFormat.h"

#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

std::uint16_t direct16(std::uint16_t value) { return value; }
std::uint32_t direct32(std::uint32_t value) { return value; }
std::uint64_t direct64(std::uint64_t value) { return value; }
std::uint16_t swap16(std::uint16_t value) { return __builtin_bswap16(value); }
std::uint32_t swap32(std::uint32_t value) { return __builtin_bswap32(value); }
std::uint64_t swap64(std::uint64_t value) { return __builtin_bswap64(value); }

}  // namespace

const MShxcrash_async_byteorder MShxcrash_async_byteorder_direct = {direct16, direct32, direct64};
const MShxcrash_async_byteorder MShxcrash_async_byteorder_swapped = {swap16, swap32, swap64};

const char* MShxcrash_async_strerror(hxcrash_error_t error) {
  switch (error) {
    case hxcrash_error_none:
      return "No error";
    case hxcrash_error_unknown:
      return "Unknown error";
    case hxcrash_error_output:
      return "Output file can not be opened (or written to)";
    case hxcrash_error_no_memory:
      return "No memory available";
    case hxcrash_error_not_supported:
      return "Operation not supported";
    case hxcrash_error_invalid_argument:
      return "Invalid argument";
    case hxcrash_error_internal:
      return "Internal error";
    case hxcrash_error_access_denied:
      return "Access denied";
    case hxcrash_error_not_found:
      return "Not found";
    case hxcrash_error_invalid_data:
      return "The input data is in an unknown or invalid format.";
  }
  return "Unhandled error code";
}

const MShxcrash_async_byteorder* MShxcrash_async_byteorder_little_endian() { return &MShxcrash_async_byteorder_direct; }

const MShxcrash_async_byteorder* MShxcrash_async_byteorder_big_endian() { return &MShxcrash_async_byteorder_swapped; }

bool MShxcrash_async_address_apply_offset(hxcrash_vm_address_t base, hxcrash_vm_off_t offset,
                                          hxcrash_vm_address_t* result) {
  if (offset > 0) {
    if (static_cast<std::uint64_t>(offset) > UINT64_MAX - base) return false;
  } else if (offset < 0) {
    const std::uint64_t magnitude = 0 - static_cast<std::uint64_t>(offset);
    if (magnitude > base) return false;
  }
  if (result != nullptr) *result = base + static_cast<std::uint64_t>(offset);
  return true;
}

vx::thread_t MSpl_mach_thread_self() {
  const vx::thread_t thread = vx::mach_thread_self();
  vx::mach_port_deallocate(vx::mach_task_self(), thread);
  return thread;
}

vx::kern_return_t MShxcrash_async_read_addr(vx::task_t task, hxcrash_vm_address_t source, void* target,
                                            hxcrash_vm_size_t length) {
  vx::mach_vm_size_t read = 0;
  return vx::mach_vm_read_overwrite(task, source, length, reinterpret_cast<vx::mach_vm_address_t>(target), &read);
}

hxcrash_error_t MShxcrash_async_task_memcpy(vx::task_t task, hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
                                            void* target, hxcrash_vm_size_t length) {
  hxcrash_vm_address_t source = 0;
  if (!MShxcrash_async_address_apply_offset(address, offset, &source)) {
    return hxcrash_error_no_memory;
  }
  vx::mach_vm_size_t read = 0;
  const vx::kern_return_t kr =
      vx::mach_vm_read_overwrite(task, source, length, reinterpret_cast<vx::mach_vm_address_t>(target), &read);
  switch (kr) {
    case vx::KERN_SUCCESS:
      return hxcrash_error_none;
    case vx::KERN_INVALID_ADDRESS:
      return hxcrash_error_not_found;
    case vx::KERN_PROTECTION_FAILURE:
      return hxcrash_error_access_denied;
    default:
      MSHXCF_DEBUG("Unexpected error from vm_read_overwrite: %d", kr);
      return hxcrash_error_unknown;
  }
}

hxcrash_error_t MShxcrash_async_task_read_uint8(vx::task_t task, hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
                                                std::uint8_t* out) {
  return MShxcrash_async_task_memcpy(task, address, offset, out, sizeof *out);
}

hxcrash_error_t MShxcrash_async_task_read_uint16(vx::task_t task, const MShxcrash_async_byteorder* byteorder,
                                                 hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
                                                 std::uint16_t* out) {
  const hxcrash_error_t err = MShxcrash_async_task_memcpy(task, address, offset, out, sizeof *out);
  if (err == hxcrash_error_none) *out = byteorder->swap16(*out);
  return err;
}

hxcrash_error_t MShxcrash_async_task_read_uint32(vx::task_t task, const MShxcrash_async_byteorder* byteorder,
                                                 hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
                                                 std::uint32_t* out) {
  const hxcrash_error_t err = MShxcrash_async_task_memcpy(task, address, offset, out, sizeof *out);
  if (err == hxcrash_error_none) *out = byteorder->swap32(*out);
  return err;
}

hxcrash_error_t MShxcrash_async_task_read_uint64(vx::task_t task, const MShxcrash_async_byteorder* byteorder,
                                                 hxcrash_vm_address_t address, hxcrash_vm_off_t offset,
                                                 std::uint64_t* out) {
  const hxcrash_error_t err = MShxcrash_async_task_memcpy(task, address, offset, out, sizeof *out);
  if (err == hxcrash_error_none) *out = byteorder->swap64(*out);
  return err;
}

int MShxcrash_async_strcmp(const char* a, const char* b) {
  const auto* left = reinterpret_cast<const unsigned char*>(a);
  const auto* right = reinterpret_cast<const unsigned char*>(b);
  while (*left != '\0' && *left == *right) {
    ++left;
    ++right;
  }
  return static_cast<int>(*left) - static_cast<int>(*right);
}

int MShxcrash_async_strncmp(const char* a, const char* b, std::size_t n) {
  const auto* left = reinterpret_cast<const unsigned char*>(a);
  const auto* right = reinterpret_cast<const unsigned char*>(b);
  for (; n > 0; --n, ++left, ++right) {
    if (*left != *right) return static_cast<int>(*left) - static_cast<int>(*right);
    if (*left == '\0') return 0;
  }
  return 0;
}

void* MShxcrash_async_memcpy(void* target, const void* source, std::size_t n) {
  // Eight bytes per step (thread states are copied per frame); the volatile stores keep the
  // compiler from turning the loop into a library call.
  typedef std::uint64_t word_t __attribute__((aligned(1), may_alias));
  auto* to = static_cast<volatile std::uint8_t*>(target);
  const auto* from = static_cast<const std::uint8_t*>(source);
  std::size_t i = 0;
  for (; i + sizeof(std::uint64_t) <= n; i += sizeof(std::uint64_t)) {
    const std::uint64_t word = *reinterpret_cast<const word_t*>(from + i);
    *reinterpret_cast<volatile word_t*>(to + i) = word;
  }
  for (; i < n; ++i) to[i] = from[i];
  return target;
}

void* MShxcrash_async_memset(void* buffer, int value, std::size_t n) {
  if (n == 0) return buffer;
  return std::memset(buffer, value & 0xff, n);
}

ssize_t MShxcrash_async_writen(int fd, const void* data, std::size_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::size_t left = length;
  while (left > 0) {
    const ssize_t written = write(fd, bytes, left);
    if (written <= 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    left -= static_cast<std::size_t>(written);
    bytes += written;
  }
  return static_cast<ssize_t>(length);
}

std::size_t MShxcrash_async_snprintf(char* buffer, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::size_t used = vx::async_vformat(buffer, size, format, args);
  va_end(args);
  return used;
}

void MShxcrash_async_debug(const char* function, int line, const char* format, ...) {
  const int saved = errno;
  static const char kPrefix[] = "[HXCrashReport] ";
  char buffer[128];
  MShxcrash_async_writen(STDERR_FILENO, kPrefix, sizeof kPrefix - 1);
  MShxcrash_async_writen(STDERR_FILENO, function, vx::async_strlen(function));
  std::size_t length = MShxcrash_async_snprintf(buffer, sizeof buffer, ":%d: ", line);
  MShxcrash_async_writen(STDERR_FILENO, buffer, length);
  va_list args;
  va_start(args, format);
  length = vx::async_vformat(buffer, sizeof buffer, format, args);
  va_end(args);
  MShxcrash_async_writen(STDERR_FILENO, buffer, length);
  MShxcrash_async_writen(STDERR_FILENO, "\n", 1);
  errno = saved;
}

const char* MShxcrash_async_errno_text(int error) {
  const char* text = strerrordesc_np(error);
  return text != nullptr ? text : "Unknown error";
}

void MShxcrash_async_assert_fail(const char* function, int line, const char* condition) {
  MShxcrash_async_debug(function, line, "Assertion failed: (%s)", condition);
  abort();
}
