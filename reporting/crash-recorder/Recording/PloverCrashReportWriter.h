// The writer handed to the report's sections and to the host's user-section callback: a table of
// element operations over the streaming JSON encoder, so a callback can add elements to the open
// "user" object without knowing the encoder.
#pragma once

#include <cstdint>

struct PloverCrashReportWriter {
  void (*addBooleanElement)(const PloverCrashReportWriter* writer, const char* name, bool value);
  void (*addFloatingPointElement)(const PloverCrashReportWriter* writer, const char* name, double value);
  void (*addIntegerElement)(const PloverCrashReportWriter* writer, const char* name, std::int64_t value);
  void (*addUIntegerElement)(const PloverCrashReportWriter* writer, const char* name, std::uint64_t value);
  void (*addStringElement)(const PloverCrashReportWriter* writer, const char* name, const char* value);
  void (*addTextFileElement)(const PloverCrashReportWriter* writer, const char* name, const char* filePath);
  void (*addTextFileLinesElement)(const PloverCrashReportWriter* writer, const char* name, const char* filePath);
  void (*addJSONFileElement)(const PloverCrashReportWriter* writer, const char* name, const char* filePath,
                             bool closeLastContainer);
  void (*addDataElement)(const PloverCrashReportWriter* writer, const char* name, const char* value, int length);
  void (*beginDataElement)(const PloverCrashReportWriter* writer, const char* name);
  void (*appendDataElement)(const PloverCrashReportWriter* writer, const char* value, int length);
  void (*endDataElement)(const PloverCrashReportWriter* writer);
  void (*addUUIDElement)(const PloverCrashReportWriter* writer, const char* name, const unsigned char* value);
  void (*addJSONElement)(const PloverCrashReportWriter* writer, const char* name, const char* jsonElement,
                         bool closeLastContainer);
  void (*beginObject)(const PloverCrashReportWriter* writer, const char* name);
  void (*beginArray)(const PloverCrashReportWriter* writer, const char* name);
  void (*endContainer)(const PloverCrashReportWriter* writer);
  // The JSON encoding context (PloverCrashJSONEncodeContext).
  void* context;
};

using PloverCrashReportWriteCallback = void (*)(const PloverCrashReportWriter* writer);
