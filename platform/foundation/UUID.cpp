#include "platform/foundation/UUID.h"

#include <openssl/rand.h>

#include <mutex>

namespace vx {

namespace {

std::mutex& randomSourceMutex() {
  static std::mutex mutex;
  return mutex;
}

UUID::RandomSource& randomSourceOverride() {
  static UUID::RandomSource source;
  return source;
}

bool fillRandom(std::uint8_t* buffer, std::size_t size) {
  {
    std::lock_guard lock(randomSourceMutex());
    if (randomSourceOverride()) return randomSourceOverride()(buffer, size);
  }
  return RAND_bytes(buffer, static_cast<int>(size)) == 1;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Result<UUID> UUID::random() {
  Bytes bytes{};
  if (!fillRandom(bytes.data(), bytes.size())) {
    return Error("vx.UUID", 1, "The random source failed; no identifier was made.");
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return UUID(bytes);
}

UUID UUID::make() {
  auto uuid = random();
  if (!uuid) fatalError(uuid.error().description);
  return uuid.value();
}

std::optional<UUID> UUID::parse(std::string_view text) {
  const bool hyphenated = text.size() == 36;
  if (!hyphenated && text.size() != 32) return std::nullopt;
  Bytes bytes{};
  std::size_t out = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (hyphenated && (i == 8 || i == 13 || i == 18 || i == 23)) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    const int high = hexValue(text[i]);
    const int low = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
    if (high < 0 || low < 0 || out >= bytes.size()) return std::nullopt;
    bytes[out++] = static_cast<std::uint8_t>(high << 4 | low);
    i += 2;
  }
  if (out != bytes.size()) return std::nullopt;
  return UUID(bytes);
}

std::string UUID::string(LetterCase letterCase, bool hyphens) const {
  const char* digits = letterCase == LetterCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (hyphens && (i == 4 || i == 6 || i == 8 || i == 10)) text.push_back('-');
    text.push_back(digits[bytes_[i] >> 4]);
    text.push_back(digits[bytes_[i] & 0x0F]);
  }
  return text;
}

bool UUID::isNil() const {
  for (auto byte : bytes_) {
    if (byte != 0) return false;
  }
  return true;
}

void UUID::setRandomSourceForTesting(RandomSource source) {
  std::lock_guard lock(randomSourceMutex());
  randomSourceOverride() = std::move(source);
}

}  // namespace vx

std::size_t std::hash<vx::UUID>::operator()(const vx::UUID& uuid) const noexcept {
  // The bytes are random already; fold them.
  std::size_t value = 0;
  for (auto byte : uuid.bytes()) value = value * 131 + byte;
  return value;
}
