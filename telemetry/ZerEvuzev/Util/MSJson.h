// JSON values of the telemetry model and the one writer every log, container and debug print
// goes through. Objects keep their keys in insertion order, so a model's JSON shows its keys in
// the order the model writes them.
#pragma once

#include "platform/foundation/Error.h"

#include <nlohmann/json.hpp>

#include <string>

using MSJson = nlohmann::ordered_json;

class MSJsonWriter {
 public:
  MSJsonWriter() = delete;

  // Error domain of the writer: code 1 when the value cannot be written at all.
  static constexpr const char* kErrorDomain = "MSJsonWriter";

  // Compact text ({"a":1,"b":[2]}) or, with `pretty`, two-space indented text whose members read
  //   "key" : value
  // (blank, colon, blank) as the masking patterns of the ingestion logs expect. Slashes are never
  // escaped, so no caller needs to undo "\/" afterwards. Strings and keys that are not valid
  // UTF-8 are written with each invalid sequence replaced by U+FFFD; nothing is logged. A value
  // whose arrays and objects nest deeper than vx::kMaxJSONNesting is refused (code 1): writing
  // it would recurse once per level.
  static vx::Result<std::string> write(const MSJson& json, bool pretty);
};
