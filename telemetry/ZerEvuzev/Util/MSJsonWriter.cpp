#include "telemetry/ZerEvuzev/Util/MSJson.h"

#include "platform/foundation/JSONLimits.h"
#include "platform/foundation/UTF8.h"

#include <utility>
#include <vector>

namespace {

// Scalars and strings are written by nlohmann (strict UTF-8 check, shortest round-tripping
// numbers); only the layout of containers is ours.
void writePretty(const MSJson& json, std::string& out, int depth) {
  const auto indent = [&out](int level) { out.append(static_cast<std::size_t>(level) * 2, ' '); };
  if (json.is_object()) {
    if (json.empty()) {
      out += "{}";
      return;
    }
    out += "{\n";
    bool first = true;
    for (auto it = json.begin(); it != json.end(); ++it) {
      if (!first) out += ",\n";
      first = false;
      indent(depth + 1);
      out += MSJson(it.key()).dump(-1, ' ', false, nlohmann::detail::error_handler_t::strict);
      out += " : ";
      writePretty(it.value(), out, depth + 1);
    }
    out += "\n";
    indent(depth);
    out += "}";
  } else if (json.is_array()) {
    if (json.empty()) {
      out += "[]";
      return;
    }
    out += "[\n";
    bool first = true;
    for (const auto& element : json) {
      if (!first) out += ",\n";
      first = false;
      indent(depth + 1);
      writePretty(element, out, depth + 1);
    }
    out += "\n";
    indent(depth);
    out += "]";
  } else {
    out += json.dump(-1, ' ', false, nlohmann::detail::error_handler_t::strict);
  }
}

}  // namespace

namespace {

// True when no array or object nests deeper than `limit`; walks with its own stack, so a value
// of any depth is measured without recursion.
bool nestingWithin(const MSJson& json, std::size_t limit) {
  std::vector<std::pair<const MSJson*, std::size_t>> pending{{&json, 0}};
  while (!pending.empty()) {
    const auto [value, depth] = pending.back();
    pending.pop_back();
    if (!value->is_structured()) continue;
    if (depth + 1 > limit) return false;
    for (const auto& element : *value) {
      if (element.is_structured()) pending.emplace_back(&element, depth + 1);
    }
  }
  return true;
}

std::string writeText(const MSJson& json, bool pretty) {
  if (!pretty) return json.dump(-1, ' ', false, nlohmann::detail::error_handler_t::strict);
  std::string out;
  writePretty(json, out, 0);
  return out;
}

}  // namespace

vx::Result<std::string> MSJsonWriter::write(const MSJson& json, bool pretty) {
  if (!nestingWithin(json, vx::kMaxJSONNesting)) {
    return vx::Error(kErrorDomain, 1,
                     "JSON value nests deeper than " + std::to_string(vx::kMaxJSONNesting) + " levels");
  }
  try {
    return writeText(json, pretty);
  } catch (const nlohmann::json::type_error&) {
    // Text that is not UTF-8 (a file name is bytes on Linux) is repaired, not refused: one such
    // log would otherwise make its whole batch unsendable for ever.
  } catch (const nlohmann::json::exception& error) {
    return vx::Error(kErrorDomain, 1, error.what());
  }
  MSJson repaired = json;
  vx::utf8::sanitizeJson(repaired);
  try {
    return writeText(repaired, pretty);
  } catch (const nlohmann::json::exception& error) {
    return vx::Error(kErrorDomain, 1, error.what());
  }
}
