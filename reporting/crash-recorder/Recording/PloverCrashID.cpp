#include "reporting/crash-recorder/Recording/PloverCrashID.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

bool randomBytes(unsigned char* bytes, int count) {
  int got = 0;
  while (got < count) {
    const long result = syscall(SYS_getrandom, bytes + got, static_cast<size_t>(count - got), 0);
    if (result < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    got += static_cast<int>(result);
  }
  if (got == count) {
    return true;
  }
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  while (got < count) {
    const ssize_t result = read(fd, bytes + got, static_cast<size_t>(count - got));
    if (result <= 0) {
      if (result < 0 && errno == EINTR) {
        continue;
      }
      break;
    }
    got += static_cast<int>(result);
  }
  close(fd);
  return got == count;
}

}  // namespace

void plovercrashid_generate(char* destinationBuffer37Bytes) {
  unsigned char bytes[16] = {};
  if (!randomBytes(bytes, sizeof bytes)) {
    // Without a random source, time and process id still keep ids of different runs apart.
    std::uint64_t seed = static_cast<std::uint64_t>(getpid()) * 0x9e3779b97f4a7c15ULL;
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    seed ^= static_cast<std::uint64_t>(now.tv_sec) * 1000000007ULL + static_cast<std::uint64_t>(now.tv_nsec);
    for (unsigned char& b : bytes) {
      seed ^= seed << 13;
      seed ^= seed >> 7;
      seed ^= seed << 17;
      b = static_cast<unsigned char>(seed);
    }
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
  static const char kHex[] = "0123456789ABCDEF";
  char* out = destinationBuffer37Bytes;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) {
      *out++ = '-';
    }
    *out++ = kHex[bytes[i] >> 4];
    *out++ = kHex[bytes[i] & 0xf];
  }
  *out = '\0';
}
