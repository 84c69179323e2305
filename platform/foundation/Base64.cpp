#include "platform/foundation/Base64.h"

#include <array>

namespace vx {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0..63 for alphabet characters, -1 for anything else (including '=').
constexpr std::array<int, 256> makeDecodeTable() {
  std::array<int, 256> table{};
  for (auto& entry : table) entry = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}
constexpr std::array<int, 256> kDecodeTable = makeDecodeTable();

Error base64Error(std::string description) {
  return Error(kBase64ErrorDomain, kBase64ErrorInvalid, "invalid Base64: " + std::move(description));
}

}  // namespace

std::string base64Encode(ByteView data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  const std::uint8_t* p = data.data();
  for (; i + 3 <= data.size(); i += 3) {
    const std::uint32_t n = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8) | p[i + 2];
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(kAlphabet[(n >> 6) & 63]);
    out.push_back(kAlphabet[n & 63]);
  }
  const std::size_t rest = data.size() - i;
  if (rest > 0) {
    std::uint32_t n = std::uint32_t{p[i]} << 16;
    if (rest == 2) n |= std::uint32_t{p[i + 1]} << 8;
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(n >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

Result<Bytes> base64Decode(std::string_view text, Base64DecodeMode mode) {
  const bool strict = mode == Base64DecodeMode::strict;
  Bytes out;
  out.reserve(text.size() / 4 * 3 + 3);
  std::uint32_t accumulator = 0;
  int pending = 0;          // alphabet characters in the current group of four
  std::size_t padding = 0;  // '=' seen; once set, only more '=' (or skipped characters) may follow
  std::size_t symbols = 0;  // alphabet characters plus padding, for strict length checking
  for (std::size_t position = 0; position < text.size(); ++position) {
    const unsigned char c = static_cast<unsigned char>(text[position]);
    if (c == '=') {
      ++padding;
      ++symbols;
      continue;
    }
    const int value = kDecodeTable[c];
    if (value < 0) {
      if (strict) return base64Error("character " + std::to_string(c) + " at " + std::to_string(position));
      continue;
    }
    if (padding > 0) return base64Error("data after '=' padding at " + std::to_string(position));
    ++symbols;
    accumulator = (accumulator << 6) | static_cast<std::uint32_t>(value);
    if (++pending == 4) {
      out.push_back(static_cast<std::uint8_t>(accumulator >> 16));
      out.push_back(static_cast<std::uint8_t>(accumulator >> 8));
      out.push_back(static_cast<std::uint8_t>(accumulator));
      accumulator = 0;
      pending = 0;
    }
  }
  if (pending == 1) return base64Error("a single dangling character at the end");
  if (padding > 2) return base64Error("more than two '=' padding characters");
  if (padding > 0 && pending == 0) return base64Error("'=' padding after a complete group");
  if (padding > 0 && static_cast<std::size_t>(pending) + padding != 4) {
    return base64Error("wrong amount of '=' padding");
  }
  if (strict && symbols % 4 != 0) return base64Error("length is not a multiple of 4");
  if (pending == 2) {
    out.push_back(static_cast<std::uint8_t>(accumulator >> 4));
  } else if (pending == 3) {
    out.push_back(static_cast<std::uint8_t>(accumulator >> 10));
    out.push_back(static_cast<std::uint8_t>(accumulator >> 2));
  }
  return out;
}

}  // namespace vx
