#include "crash-engine/host/HXCrashSysctl.h"

#include "platform/darwin/Sysctl.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

char* MShxcrash_sysctl_string(const char* name) {
  char* value = nullptr;
  for (;;) {
    std::size_t length = 0;
    if (vx::sysctlbyname(name, nullptr, &length, nullptr, 0) != 0) break;
    std::free(value);
    value = static_cast<char*>(std::malloc(length == 0 ? 1 : length));
    if (value == nullptr) {
      errno = ENOMEM;
      return nullptr;
    }
    if (vx::sysctlbyname(name, value, &length, nullptr, 0) == 0) return value;
    if (errno != ENOMEM) break;
  }
  const int saved = errno;
  std::free(value);
  errno = saved;
  return nullptr;
}

bool MShxcrash_sysctl_int(const char* name, std::int32_t* out) {
  std::size_t length = sizeof *out;
  return vx::sysctlbyname(name, out, &length, nullptr, 0) == 0;
}

std::size_t MShxcrash_sysctl_valid_utf8_bytes_max(const std::uint8_t* text, std::size_t maximum) {
  std::size_t index = 0;
  if (maximum >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF) index = 3;
  while (index < maximum) {
    const std::uint8_t lead = text[index];
    if (lead == 0) break;
    if (lead < 0x80) {
      ++index;
      continue;
    }
    std::size_t count = 0;
    if ((lead & 0xE0) == 0xC0)
      count = 1;
    else if ((lead & 0xF0) == 0xE0)
      count = 2;
    else if ((lead & 0xF8) == 0xF0)
      count = 3;
    else
      break;
    if (maximum - 1 - index < count) break;
    bool valid = true;
    for (std::size_t i = 1; i <= count; ++i) {
      const std::uint8_t next = text[index + i];
      if (next == 0 || (next & 0xC0) != 0x80) {
        valid = false;
        break;
      }
    }
    if (!valid) break;
    index += count + 1;
  }
  return index;
}

std::size_t MShxcrash_sysctl_valid_utf8_bytes(const std::uint8_t* text) {
  return MShxcrash_sysctl_valid_utf8_bytes_max(text, std::strlen(reinterpret_cast<const char*>(text)));
}
