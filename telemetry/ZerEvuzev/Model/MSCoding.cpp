#include "telemetry/ZerEvuzev/Model/MSCoding.h"

void MSFailWrongType(vx::KeyedUnarchiver& coder, std::string_view key, const char* expected) {
  coder.failWithError(vx::Error(vx::kArchiveErrorDomain, vx::kArchiveErrorWrongType,
                                "The value for \"" + std::string(key) + "\" is not " + expected + "."));
}

void MSEncodeStringDictionary(vx::KeyedArchiver& coder, const std::optional<std::map<std::string, std::string>>& value,
                              std::string_view key) {
  if (!value) return;
  vx::ValueMap map;
  for (const auto& [name, text] : *value) map.set(name, vx::Value(text));
  coder.encodeValue(vx::Value(std::move(map)), key);
}

std::optional<std::map<std::string, std::string>> MSDecodeStringDictionary(vx::KeyedUnarchiver& coder,
                                                                           std::string_view key) {
  const auto value = coder.decodeValue(key);
  if (!value) return std::nullopt;
  const vx::ValueMap* map = value->mapValue();
  if (map == nullptr) {
    MSFailWrongType(coder, key, "a dictionary of strings");
    return std::nullopt;
  }
  std::map<std::string, std::string> result;
  for (const auto& [name, entry] : *map) {
    const std::string* text = entry.stringValue();
    if (text == nullptr) {
      MSFailWrongType(coder, key, "a dictionary of strings");
      return std::nullopt;
    }
    result[name] = *text;
  }
  return result;
}

void MSEncodeStringArray(vx::KeyedArchiver& coder, const std::optional<std::vector<std::string>>& value,
                         std::string_view key) {
  if (!value) return;
  vx::ValueArray array;
  array.reserve(value->size());
  for (const auto& text : *value) array.emplace_back(text);
  coder.encodeValue(vx::Value(std::move(array)), key);
}

std::optional<std::vector<std::string>> MSDecodeStringArray(vx::KeyedUnarchiver& coder, std::string_view key) {
  const auto value = coder.decodeValue(key);
  if (!value) return std::nullopt;
  const vx::ValueArray* array = value->arrayValue();
  if (array == nullptr) {
    MSFailWrongType(coder, key, "an array of strings");
    return std::nullopt;
  }
  std::vector<std::string> result;
  result.reserve(array->size());
  for (const auto& entry : *array) {
    const std::string* text = entry.stringValue();
    if (text == nullptr) {
      MSFailWrongType(coder, key, "an array of strings");
      return std::nullopt;
    }
    result.push_back(*text);
  }
  return result;
}

void MSEncodeJson(vx::KeyedArchiver& coder, const std::optional<MSJson>& value, std::string_view key) {
  if (!value || value->is_null()) return;
  coder.encodeValue(vx::Value::fromJson(*value), key);
}

std::optional<MSJson> MSDecodeJson(vx::KeyedUnarchiver& coder, std::string_view key, bool requireObject) {
  const auto value = coder.decodeValue(key);
  if (!value) return std::nullopt;
  if (requireObject && !value->isMap()) {
    MSFailWrongType(coder, key, "a dictionary");
    return std::nullopt;
  }
  return value->toOrderedJson();
}

bool MSJsonEqualUnordered(const std::optional<MSJson>& a, const std::optional<MSJson>& b) {
  if (!a || !b) return !a && !b;
  return vx::Value::fromJson(*a) == vx::Value::fromJson(*b);
}

std::size_t MSJsonHashUnordered(const std::optional<MSJson>& json) {
  if (!json) return 0;
  // nlohmann::json keeps object keys sorted, so its text is the same for any insertion order.
  // Replacing bad UTF-8 keeps a log with a stray byte hashable instead of throwing.
  constexpr auto replace = nlohmann::json::error_handler_t::replace;
  return std::hash<std::string>{}(
      nlohmann::json::parse(json->dump(-1, ' ', false, replace)).dump(-1, ' ', false, replace));
}
