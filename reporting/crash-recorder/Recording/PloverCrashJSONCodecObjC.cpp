#include "reporting/crash-recorder/Recording/PloverCrashJSONCodecObjC.h"

#include "reporting/crash-recorder/Recording/PloverCrashDate.h"
#include "reporting/crash-recorder/Recording/PloverCrashJSONCodec.h"
#include "reporting/crash-recorder/Recording/PloverCrashString.h"

#include <algorithm>
#include <climits>
#include <string>

namespace {

vx::Error codecError(std::string description) {
  return vx::Error(PloverCrashJSONCodec::kErrorDomain, 0, std::move(description));
}

// ---- Encoding --------------------------------------------------------------------------------

struct EncodeState {
  PloverCrashJSONEncodeContext context;
  std::vector<std::uint8_t> output;
  bool sorted;
  std::optional<vx::Error> error;
};

int appendBytes(const char* data, int length, void* userData) {
  auto* output = static_cast<std::vector<std::uint8_t>*>(userData);
  output->insert(output->end(), data, data + length);
  return PloverCrashJSON_OK;
}

template <class Json>
int encodeValue(EncodeState& state, const char* name, const Json& value) {
  PloverCrashJSONEncodeContext* context = &state.context;
  switch (value.type()) {
    case nlohmann::json::value_t::string: {
      const auto& text = value.template get_ref<const std::string&>();
      if (text.size() > INT_MAX) {
        state.error = codecError("Data too long");
        return PloverCrashJSON_ERROR_DATA_TOO_LONG;
      }
      const int result = plovercrashjson_addStringElement(context, name, text.data(), static_cast<int>(text.size()));
      if (result == PloverCrashJSON_ERROR_INVALID_CHARACTER) {
        state.error = codecError("Invalid character in " + text);
      }
      return result;
    }
    case nlohmann::json::value_t::boolean:
      return plovercrashjson_addBooleanElement(context, name, value.template get<bool>());
    case nlohmann::json::value_t::number_integer:
      return plovercrashjson_addIntegerElement(context, name, value.template get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned:
      return plovercrashjson_addUIntegerElement(context, name, value.template get<std::uint64_t>());
    case nlohmann::json::value_t::number_float:
      return plovercrashjson_addFloatingPointElement(context, name, value.template get<double>());
    case nlohmann::json::value_t::null:
      return plovercrashjson_addNullElement(context, name);
    case nlohmann::json::value_t::array: {
      int result = plovercrashjson_beginArray(context, name);
      for (const auto& member : value) {
        if (result != PloverCrashJSON_OK) {
          break;
        }
        result = encodeValue(state, nullptr, member);
      }
      if (result != PloverCrashJSON_OK) {
        return result;
      }
      return plovercrashjson_endContainer(context);
    }
    case nlohmann::json::value_t::object: {
      int result = plovercrashjson_beginObject(context, name);
      std::vector<std::pair<const std::string*, const Json*>> members;
      members.reserve(value.size());
      for (auto it = value.begin(); it != value.end(); ++it) {
        members.emplace_back(&it.key(), &it.value());
      }
      if (state.sorted) {
        std::sort(members.begin(), members.end(), [](const auto& a, const auto& b) { return *a.first < *b.first; });
      }
      for (const auto& [key, member] : members) {
        if (result != PloverCrashJSON_OK) {
          break;
        }
        result = encodeValue(state, key->c_str(), *member);
        if (result == PloverCrashJSON_ERROR_INVALID_CHARACTER && !state.error) {
          state.error = codecError("Invalid character in " + *key);  // the name itself
        }
      }
      if (result != PloverCrashJSON_OK) {
        return result;
      }
      return plovercrashjson_endContainer(context);
    }
    case nlohmann::json::value_t::binary: {
      const auto& bytes = value.get_binary();
      if (bytes.has_subtype() && bytes.subtype() == PloverCrashJSONCodec::kDateSubtype) {
        if (bytes.size() == 8) {
          std::uint64_t seconds = 0;
          for (std::uint8_t byte : bytes) {
            seconds = (seconds << 8) | byte;
          }
          char text[21];
          if (plovercrashdate_utcStringFromTimestamp(static_cast<std::int64_t>(seconds), text)) {
            return plovercrashjson_addStringElement(context, name, text, -1);
          }
        }
        state.error = codecError("Could not determine type of date outside the years 0000-9999");
        return PloverCrashJSON_ERROR_INVALID_DATA;
      }
      if (bytes.size() > INT_MAX / 2) {
        state.error = codecError("Data too long");
        return PloverCrashJSON_ERROR_DATA_TOO_LONG;
      }
      return plovercrashjson_addDataElement(context, name, reinterpret_cast<const char*>(bytes.data()),
                                            static_cast<int>(bytes.size()));
    }
    default:
      state.error = codecError(std::string("Could not determine type of ") + value.type_name());
      return PloverCrashJSON_ERROR_INVALID_DATA;
  }
}

template <class Json>
std::optional<std::vector<std::uint8_t>> encodeObject(const Json& object, int options, vx::Error* error) {
  const PloverCrashJSONCodec codec(options, 0);
  EncodeState state{};
  state.sorted = codec.sorted();
  plovercrashjson_beginEncode(&state.context, codec.prettyPrint(), appendBytes, &state.output);
  int result = encodeValue(state, nullptr, object);
  if (result == PloverCrashJSON_OK) {
    result = plovercrashjson_endEncode(&state.context);
  }
  if (result != PloverCrashJSON_OK) {
    if (!state.error) {
      state.error = codecError(plovercrashjson_stringForError(result));
    }
    if (error != nullptr) {
      *error = *state.error;
    }
    return std::nullopt;
  }
  return std::move(state.output);
}

// ---- Decoding --------------------------------------------------------------------------------

using Json = nlohmann::ordered_json;

struct DecodeState {
  std::optional<Json> topLevelContainer;
  Json* currentContainer = nullptr;
  std::vector<Json*> containerStack;
  bool ignoreNullsInArrays = false;
  bool ignoreNullsInObjects = false;
  std::optional<vx::Error> error;
};

// Bad bytes become U+FFFD so one corrupted string does not cost the whole report.
std::string textFromUTF8(const char* text) {
  const auto length = static_cast<int>(std::char_traits<char>::length(text));
  if (plovercrashstring_isValidUTF8(text, length)) {
    return std::string(text, static_cast<std::size_t>(length));
  }
  std::string result;
  result.reserve(static_cast<std::size_t>(length) + 8);
  int i = 0;
  while (i < length) {
    int sequence = 1;
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead >= 0xc2 && lead <= 0xdf) {
      sequence = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      sequence = 3;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      sequence = 4;
    }
    if (lead < 0x80) {
      result.push_back(text[i]);
      ++i;
    } else if (i + sequence <= length && sequence > 1 && plovercrashstring_isValidUTF8(text + i, sequence)) {
      result.append(text + i, static_cast<std::size_t>(sequence));
      i += sequence;
    } else {
      result.append("\xef\xbf\xbd");
      ++i;
    }
  }
  return result;
}

int addElement(DecodeState* state, const char* name, Json value) {
  if (state->currentContainer == nullptr) {
    state->error = codecError(std::string("Type ") + value.type_name() + " not allowed as top level container");
    return PloverCrashJSON_ERROR_INVALID_DATA;
  }
  if (state->currentContainer->is_object()) {
    (*state->currentContainer)[textFromUTF8(name != nullptr ? name : "")] = std::move(value);
  } else {
    state->currentContainer->push_back(std::move(value));
  }
  return PloverCrashJSON_OK;
}

int onBoolean(const char* name, bool value, void* userData) {
  return addElement(static_cast<DecodeState*>(userData), name, Json(value));
}
int onFloat(const char* name, double value, void* userData) {
  return addElement(static_cast<DecodeState*>(userData), name, Json(value));
}
int onInteger(const char* name, std::int64_t value, void* userData) {
  return addElement(static_cast<DecodeState*>(userData), name, Json(value));
}
int onNull(const char* name, void* userData) {
  auto* state = static_cast<DecodeState*>(userData);
  if (state->currentContainer != nullptr) {
    if ((state->currentContainer->is_array() && state->ignoreNullsInArrays) ||
        (state->currentContainer->is_object() && state->ignoreNullsInObjects)) {
      return PloverCrashJSON_OK;
    }
  }
  return addElement(state, name, Json(nullptr));
}
int onString(const char* name, const char* value, void* userData) {
  return addElement(static_cast<DecodeState*>(userData), name, Json(textFromUTF8(value)));
}
int onBegin(DecodeState* state, const char* name, Json container) {
  if (!state->topLevelContainer) {
    state->topLevelContainer = std::move(container);
    state->currentContainer = &*state->topLevelContainer;
  } else {
    if (state->currentContainer == nullptr) {
      state->error = codecError("Already at the top level; no container left to end");
      return PloverCrashJSON_ERROR_INVALID_DATA;
    }
    // The parent is not touched again while this child is open, so the pointer stays valid.
    Json* parent = state->currentContainer;
    if (parent->is_object()) {
      Json& slot = (*parent)[textFromUTF8(name != nullptr ? name : "")];
      slot = std::move(container);
      state->currentContainer = &slot;
    } else {
      parent->push_back(std::move(container));
      state->currentContainer = &parent->back();
    }
  }
  state->containerStack.push_back(state->currentContainer);
  return PloverCrashJSON_OK;
}
int onBeginObject(const char* name, void* userData) {
  return onBegin(static_cast<DecodeState*>(userData), name, Json::object());
}
int onBeginArray(const char* name, void* userData) {
  return onBegin(static_cast<DecodeState*>(userData), name, Json::array());
}
int onEndContainer(void* userData) {
  auto* state = static_cast<DecodeState*>(userData);
  if (state->containerStack.empty()) {
    state->error = codecError("Already at the top level; no container left to end");
    return PloverCrashJSON_ERROR_INVALID_DATA;
  }
  state->containerStack.pop_back();
  state->currentContainer = state->containerStack.empty() ? nullptr : state->containerStack.back();
  return PloverCrashJSON_OK;
}
int onEndData(void*) { return PloverCrashJSON_OK; }

constexpr PloverCrashJSONDecodeCallbacks kCodecCallbacks = {
    onBoolean, onFloat, onInteger, onNull, onString, onBeginObject, onBeginArray, onEndContainer, onEndData,
};

}  // namespace

PloverCrashJSONCodec::PloverCrashJSONCodec(int encodeOptions, int decodeOptions)
    : prettyPrint_((encodeOptions & PloverCrashJSONEncodeOptionPretty) != 0),
      sorted_((encodeOptions & PloverCrashJSONEncodeOptionSorted) != 0),
      ignoreNullsInArrays_((decodeOptions & PloverCrashJSONDecodeOptionIgnoreNullInArray) != 0),
      ignoreNullsInObjects_((decodeOptions & PloverCrashJSONDecodeOptionIgnoreNullInObject) != 0) {}

std::optional<std::vector<std::uint8_t>> PloverCrashJSONCodec::encode(const nlohmann::ordered_json& object, int options,
                                                                      vx::Error* error) {
  return encodeObject(object, options, error);
}

std::optional<std::vector<std::uint8_t>> PloverCrashJSONCodec::encode(const nlohmann::json& object, int options,
                                                                      vx::Error* error) {
  return encodeObject(object, options, error);
}

std::optional<nlohmann::ordered_json> PloverCrashJSONCodec::decode(std::string_view data, int options,
                                                                   vx::Error* error) {
  const PloverCrashJSONCodec codec(0, options);
  DecodeState state;
  state.ignoreNullsInArrays = codec.ignoreNullsInArrays();
  state.ignoreNullsInObjects = codec.ignoreNullsInObjects();
  if (data.size() > INT_MAX) {
    if (error != nullptr) {
      *error = codecError("Data too long");
    }
    return std::nullopt;
  }
  std::vector<char> scratch(10001);
  int errorOffset = 0;
  const int result = plovercrashjson_decode(data.data(), static_cast<int>(data.size()), scratch.data(),
                                            static_cast<int>(scratch.size()), &kCodecCallbacks, &state, &errorOffset);
  if (result != PloverCrashJSON_OK && !state.error) {
    state.error = codecError(std::string(plovercrashjson_stringForError(result)) + " (offset " +
                             std::to_string(errorOffset) + ")");
  }
  if (state.error && error != nullptr) {
    *error = *state.error;
  }
  if (!state.error || (options & PloverCrashJSONDecodeOptionKeepPartialObject) != 0) {
    return std::move(state.topLevelContainer);
  }
  return std::nullopt;
}

std::optional<nlohmann::ordered_json> PloverCrashJSONCodec::decode(const std::vector<std::uint8_t>& data, int options,
                                                                   vx::Error* error) {
  return decode(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), options, error);
}

nlohmann::ordered_json PloverCrashJSONCodec::dateValue(std::chrono::system_clock::time_point date) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(date.time_since_epoch()).count();
  std::vector<std::uint8_t> bytes(8);
  auto value = static_cast<std::uint64_t>(seconds);
  for (int i = 7; i >= 0; --i) {
    bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value & 0xff);
    value >>= 8;
  }
  return nlohmann::ordered_json::binary(std::move(bytes), kDateSubtype);
}

nlohmann::ordered_json PloverCrashJSONCodec::dataValue(const std::vector<std::uint8_t>& bytes) {
  return nlohmann::ordered_json::binary(bytes);
}
