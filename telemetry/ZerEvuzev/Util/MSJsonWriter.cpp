#include "telemetry/ZerEvuzev/Util/MSJson.h"

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

vx::Result<std::string> MSJsonWriter::write(const MSJson& json, bool pretty) {
  try {
    if (!pretty) return json.dump(-1, ' ', false, nlohmann::detail::error_handler_t::strict);
    std::string out;
    writePretty(json, out, 0);
    return out;
  } catch (const nlohmann::json::exception& error) {
    return vx::Error(kErrorDomain, 1, error.what());
  }
}
