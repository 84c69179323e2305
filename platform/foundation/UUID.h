// UUID: a 128-bit identifier. Identifiers for installs, sessions and records are made here from
// OpenSSL's random source (version 4); a random source that fails is reported as an error and
// never turns into an all-zero or predictable identifier.
#pragma once

#include "platform/foundation/Error.h"

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vx {

class UUID {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  // The nil UUID (all zero). Only made on purpose; `random()` never returns it.
  UUID() = default;
  explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

  // A new version-4 UUID. Error (domain "vx.UUID", code 1) when the random source fails.
  static Result<UUID> random();
  // Same as random(), for callers that cannot go on without an identifier: a failing random
  // source stops the program through fatalError (it never yields a zero UUID).
  static UUID make();

  // Parses 36-character hyphenated ("8-4-4-4-12") or 32-character plain hex text, either case.
  // Anything else (wrong length, misplaced hyphen, non-hex digit) gives std::nullopt.
  static std::optional<UUID> parse(std::string_view text);

  enum class LetterCase { Upper, Lower };
  // Upper-case hyphenated text, the form the system shows and stores by default.
  std::string uuidString() const { return string(LetterCase::Upper, true); }
  std::string string(LetterCase letterCase, bool hyphens = true) const;

  const Bytes& bytes() const { return bytes_; }
  bool isNil() const;
  // 4 for identifiers made by random().
  int version() const { return bytes_[6] >> 4; }

  auto operator<=>(const UUID&) const = default;
  bool operator==(const UUID&) const = default;

  // Test hook: replaces the random source (nullptr restores OpenSSL). The function fills the
  // buffer and answers false to report a failure.
  using RandomSource = std::function<bool(std::uint8_t* buffer, std::size_t size)>;
  static void setRandomSourceForTesting(RandomSource source);

 private:
  Bytes bytes_{};
};

}  // namespace vx

template <>
struct std::hash<vx::UUID> {
  std::size_t operator()(const vx::UUID& uuid) const noexcept;
};
