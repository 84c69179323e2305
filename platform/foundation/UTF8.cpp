#include "platform/foundation/UTF8.h"

namespace vx::utf8 {
namespace {

// Length of the longest prefix of `text` (from `at`) that starts a well-formed sequence, and
// whether it is complete. Ranges after the table of well-formed byte sequences in the Unicode
// standard (chapter 3, "UTF-8").
struct Scan {
  std::size_t length;  // bytes taken: a whole character, or the maximal invalid subpart (>= 1)
  bool valid;
};

Scan scan(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return {1, true};
  std::size_t needed = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return {1, false};  // continuation byte, C0/C1 (always overlong) or F5..FF
  }
  std::size_t taken = 1;
  for (std::size_t k = 0; k < needed; ++k) {
    const std::size_t i = at + taken;
    if (i >= text.size()) return {taken, false};  // cut off
    const unsigned char c = byte(i);
    const unsigned char min = k == 0 ? low : 0x80;
    const unsigned char max = k == 0 ? high : 0xBF;
    if (c < min || c > max) return {taken, false};
    ++taken;
  }
  return {taken, true};
}

}  // namespace

bool isValid(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    // ASCII runs are the common case.
    if (static_cast<unsigned char>(text[at]) < 0x80) {
      ++at;
      continue;
    }
    const Scan step = scan(text, at);
    if (!step.valid) return false;
    at += step.length;
  }
  return true;
}

std::string sanitized(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const Scan step = scan(text, at);
    if (step.valid) {
      out.append(text.substr(at, step.length));
    } else {
      out.append(kReplacementCharacter);
    }
    at += step.length;
  }
  return out;
}

bool sanitize(std::string& text) {
  if (isValid(text)) return false;
  text = sanitized(text);
  return true;
}

bool isValidValue(const Value& value) {
  if (const auto* text = value.stringValue()) return isValid(*text);
  if (const auto* array = value.arrayValue()) {
    for (const auto& item : *array) {
      if (!isValidValue(item)) return false;
    }
    return true;
  }
  if (const auto* map = value.mapValue()) {
    for (const auto& [key, item] : *map) {
      if (!isValid(key) || !isValidValue(item)) return false;
    }
    return true;
  }
  return true;
}

ValueMap sanitizedMap(const ValueMap& map) {
  ValueMap out;
  for (const auto& [key, item] : map) out.set(sanitized(key), sanitizedValue(item));
  return out;
}

Value sanitizedValue(const Value& value) {
  if (const auto* text = value.stringValue()) {
    return isValid(*text) ? value : Value(sanitized(*text));
  }
  if (const auto* array = value.arrayValue()) {
    ValueArray out;
    out.reserve(array->size());
    for (const auto& item : *array) out.push_back(sanitizedValue(item));
    return out;
  }
  if (const auto* map = value.mapValue()) return sanitizedMap(*map);
  return value;
}

}  // namespace vx::utf8
