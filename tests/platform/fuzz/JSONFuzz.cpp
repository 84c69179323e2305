// JSON from the input (text and CBOR) into Values and back; descriptions of any bytes.
#include "platform/foundation/Value.h"
#include "tests/platform/fuzz/PlatformFuzz.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <string_view>

VX_FUZZ_TARGET(json) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // nlohmann's own parser recurses too; a bounded depth is what the system reads.
  std::size_t depth = 0;
  std::size_t deepest = 0;
  for (char c : text) {
    if (c == '[' || c == '{') deepest = std::max(deepest, ++depth);
    if ((c == ']' || c == '}') && depth > 0) --depth;
  }
  if (deepest > 2000) return 0;
  const auto json = nlohmann::json::parse(text, nullptr, false);
  if (!json.is_discarded()) {
    const auto value = vx::Value::fromJson(json);
    (void)value.description();
    (void)value.toJson().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (!(value == value)) std::abort();  // NOLINT(misc-redundant-expression): checks reflexivity
  }
  const auto ordered = nlohmann::ordered_json::parse(text, nullptr, false);
  if (!ordered.is_discarded()) (void)vx::Value::fromJson(ordered).toOrderedJson();
  // The CBOR reader throws on sizes beyond what it can hold even when asked not to; the keyed
  // archive reader catches it the same way.
  try {
    const auto cbor = nlohmann::json::from_cbor(text.begin(), text.end(), true, false);
    if (!cbor.is_discarded()) (void)vx::Value::fromJson(cbor).description();
  } catch (const nlohmann::json::exception&) {
  }
  return 0;
}
