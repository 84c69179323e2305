// UTF-8 checks and repair for text that comes from outside: file names (Linux names are bytes),
// messages, tags and whatever a caller passes on. JSON writers refuse text that is not UTF-8,
// so every writer that must not lose a record repairs the text first with these helpers, and
// every check of "is this a JSON value" asks isValid.
//
// Repair replaces each maximal invalid subsequence by U+FFFD, the way the Unicode standard
// recommends (and browsers decode): an overlong form, a surrogate, a code point above U+10FFFF,
// a stray continuation byte and a cut-off sequence each become one replacement character per
// maximal subpart, and every valid character around them is kept.
#pragma once

#include "platform/foundation/Value.h"

#include <string>
#include <string_view>

namespace vx::utf8 {

// U+FFFD as UTF-8.
inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// True when the bytes are well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool isValid(std::string_view text);

// The text with every maximal invalid subsequence replaced by U+FFFD.
std::string sanitized(std::string_view text);

// Repairs the text in place; true when something was replaced.
bool sanitize(std::string& text);

// True when every string and every map key in the value (recursively) is valid UTF-8.
bool isValidValue(const Value& value);

// The value with every string and map key repaired. Two keys that repair to the same text keep
// the first one's place and the last one's value.
Value sanitizedValue(const Value& value);
ValueMap sanitizedMap(const ValueMap& map);

// Repairs every string and object key of a nlohmann JSON value in place (json or ordered_json);
// true when something was replaced. Object order is kept.
template <class Json>
bool sanitizeJson(Json& json) {
  bool changed = false;
  if (json.is_string()) {
    changed = sanitize(json.template get_ref<typename Json::string_t&>());
  } else if (json.is_array()) {
    for (auto& element : json) changed = sanitizeJson(element) || changed;
  } else if (json.is_object()) {
    bool keysValid = true;
    for (auto it = json.begin(); it != json.end(); ++it) {
      if (!isValid(it.key())) keysValid = false;
      changed = sanitizeJson(it.value()) || changed;
    }
    if (!keysValid) {
      Json rebuilt = Json::object();
      for (auto it = json.begin(); it != json.end(); ++it) {
        rebuilt[sanitized(it.key())] = std::move(it.value());
      }
      json = std::move(rebuilt);
      changed = true;
    }
  }
  return changed;
}

}  // namespace vx::utf8
