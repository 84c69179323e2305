// Archive helpers for the collection fields of the telemetry models: string dictionaries, string
// arrays and JSON trees travel as Value trees; a value of the wrong shape makes the whole
// unarchiving fail cleanly (a kArchiveErrorWrongType error), never a crash.
#pragma once

#include "platform/foundation/KeyedArchiver.h"
#include "telemetry/ZerEvuzev/Util/MSJson.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

void MSEncodeStringDictionary(vx::KeyedArchiver& coder, const std::optional<std::map<std::string, std::string>>& value,
                              std::string_view key);
std::optional<std::map<std::string, std::string>> MSDecodeStringDictionary(vx::KeyedUnarchiver& coder,
                                                                           std::string_view key);

void MSEncodeStringArray(vx::KeyedArchiver& coder, const std::optional<std::vector<std::string>>& value,
                         std::string_view key);
std::optional<std::vector<std::string>> MSDecodeStringArray(vx::KeyedUnarchiver& coder, std::string_view key);

// A JSON object (or any JSON value) kept with its key order.
void MSEncodeJson(vx::KeyedArchiver& coder, const std::optional<MSJson>& value, std::string_view key);
// `requireObject`: anything but an object is a wrong-type error.
std::optional<MSJson> MSDecodeJson(vx::KeyedUnarchiver& coder, std::string_view key, bool requireObject);

// Records a wrong-type error for the key.
void MSFailWrongType(vx::KeyedUnarchiver& coder, std::string_view key, const char* expected);

// Equality and hash of JSON trees in which object key order does not matter.
bool MSJsonEqualUnordered(const std::optional<MSJson>& a, const std::optional<MSJson>& b);
std::size_t MSJsonHashUnordered(const std::optional<MSJson>& json);
