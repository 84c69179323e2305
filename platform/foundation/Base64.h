// Bytes and their Base64 text: the one codec shared by the foundation (settings files, dynamic
// values) and everything above it (keychain items, signatures, stored logs).
#pragma once

#include "platform/foundation/Error.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vx {

using Bytes = std::vector<std::uint8_t>;

// Base64 failures keep the error domain and code callers already know from the crypto layer.
inline constexpr const char* kBase64ErrorDomain = "vx.crypto";
inline constexpr std::int64_t kBase64ErrorInvalid = 6;

// A read-only view of bytes that text and byte buffers convert to without a copy, so each
// function below takes text ("abc", std::string) and data (Bytes) alike.
class ByteView {
 public:
  ByteView() = default;
  ByteView(std::span<const std::uint8_t> bytes) : data_(bytes.data()), size_(bytes.size()) {}  // NOLINT
  ByteView(const Bytes& bytes) : data_(bytes.data()), size_(bytes.size()) {}                   // NOLINT
  ByteView(std::string_view text)                                                              // NOLINT
      : data_(reinterpret_cast<const std::uint8_t*>(text.data())), size_(text.size()) {}
  ByteView(const std::string& text) : ByteView(std::string_view(text)) {}  // NOLINT
  ByteView(const char* text) : ByteView(std::string_view(text)) {}         // NOLINT
  ByteView(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const std::uint8_t* begin() const { return data_; }
  const std::uint8_t* end() const { return data_ + size_; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// Standard Base64 ("+/", "=" padding) without line breaks.
std::string base64Encode(ByteView data);

enum class Base64DecodeMode {
  // Only alphabet characters, "=" padding at the end, total length a multiple of 4.
  strict,
  // Characters outside the alphabet (line breaks, blanks, anything else) are skipped; padding
  // may be left out. "=" may still only end the text.
  ignoreUnknownCharacters,
};

// Decodes Base64 text. Fails with kBase64ErrorInvalid (domain kBase64ErrorDomain) on text the mode does not accept
// (an unknown character in strict mode, misplaced padding, a dangling final character).
Result<Bytes> base64Decode(std::string_view text, Base64DecodeMode mode = Base64DecodeMode::strict);

}  // namespace vx
