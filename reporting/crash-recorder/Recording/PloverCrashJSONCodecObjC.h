// The object-level JSON codec: converts an object graph (nlohmann::json values: objects, arrays,
// strings, numbers, booleans, nulls, binary data and dates) to JSON bytes and back, over the
// recorder's own encoder and decoder so files written at crash time read back the same way.
// Not for crash time: it allocates.
#pragma once

#include "platform/foundation/Error.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

enum PloverCrashJSONEncodeOption {
  PloverCrashJSONEncodeOptionNone = 0,
  PloverCrashJSONEncodeOptionPretty = 1,  // newlines and four spaces per level
  PloverCrashJSONEncodeOptionSorted = 2,  // object keys in byte order at every depth
};

enum PloverCrashJSONDecodeOption {
  PloverCrashJSONDecodeOptionNone = 0,
  PloverCrashJSONDecodeOptionIgnoreNullInArray = 1,
  PloverCrashJSONDecodeOptionIgnoreNullInObject = 2,
  // Return what was built before a decoding error (with the error) instead of nothing.
  PloverCrashJSONDecodeOptionKeepPartialObject = 4,
};

class PloverCrashJSONCodec {
 public:
  // Domain of every error this codec hands out; their code is 0.
  static constexpr const char* kErrorDomain = "PloverCrashJSONCodecObjC";
  // Binary values with this subtype and 8 bytes (big-endian seconds since 1970) are dates; they
  // are written as UTC text ("2026-12-09T21:45:41Z"). Other binary values are written as hex text.
  static constexpr std::uint8_t kDateSubtype = 0xd7;

  // Encodes the value. On failure returns nothing and fills *error (when given): "Invalid
  // character in <text>" for a string holding a control character, "Could not determine type of
  // <type>" for a value that has no JSON form. NaN and infinities are written as null; integers
  // above INT64_MAX keep their unsigned value.
  static std::optional<std::vector<std::uint8_t>> encode(const nlohmann::ordered_json& object, int options,
                                                         vx::Error* error = nullptr);
  static std::optional<std::vector<std::uint8_t>> encode(const nlohmann::json& object, int options,
                                                         vx::Error* error = nullptr);

  // Decodes JSON bytes into their top-level container (an object or an array, keys in document
  // order). Strings and names that are not valid UTF-8 get U+FFFD for each bad byte. On failure
  // returns nothing (or, with KeepPartialObject, what was built) and fills *error: the decoder's
  // error text with " (offset N)", or "Type <type> not allowed as top level container".
  static std::optional<nlohmann::ordered_json> decode(std::string_view data, int options, vx::Error* error = nullptr);
  static std::optional<nlohmann::ordered_json> decode(const std::vector<std::uint8_t>& data, int options,
                                                      vx::Error* error = nullptr);

  // A date value for encode (whole seconds are written).
  static nlohmann::ordered_json dateValue(std::chrono::system_clock::time_point date);
  // A data value for encode, written as upper-case hex text.
  static nlohmann::ordered_json dataValue(const std::vector<std::uint8_t>& bytes);

  PloverCrashJSONCodec(int encodeOptions, int decodeOptions);

  bool prettyPrint() const { return prettyPrint_; }
  bool sorted() const { return sorted_; }
  bool ignoreNullsInArrays() const { return ignoreNullsInArrays_; }
  bool ignoreNullsInObjects() const { return ignoreNullsInObjects_; }

 private:
  bool prettyPrint_;
  bool sorted_;
  bool ignoreNullsInArrays_;
  bool ignoreNullsInObjects_;
};
