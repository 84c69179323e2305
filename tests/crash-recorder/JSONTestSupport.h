// Helpers for the JSON codec tests: an encoder sink that collects text (and can be told to fail
// after a number of bytes) and a decoder that records every callback as text.
#pragma once

#include "reporting/crash-recorder/Recording/PloverCrashJSONCodec.h"
#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"

#include <cstdio>
#include <string>
#include <vector>

struct JSONSink {
  std::string text;
  long failAfter = -1;  // bytes accepted before every further write fails; -1: never

  static int add(const char* data, int length, void* userData) {
    auto* sink = static_cast<JSONSink*>(userData);
    if (sink->failAfter >= 0 && static_cast<long>(sink->text.size()) + length > sink->failAfter) {
      return PloverCrashJSON_ERROR_CANNOT_ADD_DATA;
    }
    sink->text.append(data, static_cast<std::size_t>(length));
    return PloverCrashJSON_OK;
  }
};

class JSONRecorder {
 public:
  std::vector<std::string> events;
  int endDataCalls = 0;
  int failOnEvent = -1;  // index of the event whose callback returns an error

  static PloverCrashJSONDecodeCallbacks callbacks() {
    return {
        [](const char* name, bool value, void* user) { return self(user)->record(name, value ? "true" : "false"); },
        [](const char* name, double value, void* user) {
          char text[40];
          if (plovercrashformat_double(value, text, sizeof text) < 0) {
            std::snprintf(text, sizeof text, "%s", value != value ? "nan" : value < 0 ? "-inf" : "inf");
          }
          return self(user)->record(name, std::string("float ") + text);
        },
        [](const char* name, std::int64_t value, void* user) {
          return self(user)->record(name, "int " + std::to_string(value));
        },
        [](const char* name, void* user) { return self(user)->record(name, "null"); },
        [](const char* name, const char* value, void* user) {
          return self(user)->record(name, std::string("string ") + value);
        },
        [](const char* name, void* user) { return self(user)->record(name, "{"); },
        [](const char* name, void* user) { return self(user)->record(name, "["); },
        [](void* user) { return self(user)->record(nullptr, "end"); },
        [](void* user) {
          self(user)->endDataCalls++;
          return 0;
        },
    };
  }

  int decode(const std::string& json, int scratchSize = 1000, int* errorOffset = nullptr) {
    std::vector<char> scratch(static_cast<std::size_t>(scratchSize));
    const PloverCrashJSONDecodeCallbacks table = callbacks();
    return plovercrashjson_decode(json.data(), static_cast<int>(json.size()), scratch.data(), scratchSize, &table, this,
                                  errorOffset);
  }

  std::string joined() const {
    std::string all;
    for (const std::string& e : events) {
      if (!all.empty()) all += " | ";
      all += e;
    }
    return all;
  }

 private:
  static JSONRecorder* self(void* user) { return static_cast<JSONRecorder*>(user); }
  int record(const char* name, const std::string& what) {
    events.push_back(name != nullptr ? std::string(name) + ": " + what : what);
    return static_cast<int>(events.size()) - 1 == failOnEvent ? PloverCrashJSON_ERROR_INVALID_DATA : 0;
  }
};
