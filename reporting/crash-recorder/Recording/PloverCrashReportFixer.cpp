#include "reporting/crash-recorder/Recording/PloverCrashReportFixer.h"

#include "reporting/crash-recorder/Recording/PloverCrashDate.h"
#include "reporting/crash-recorder/Recording/PloverCrashJSONCodec.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int kMaxDepth = 100;
constexpr int kMaxNameLength = 100;

const char* const kDatePaths[][5] = {
    {"", "report", "timestamp", nullptr},
    {"", "recrash_report", "report", "timestamp", nullptr},
};

struct FixupContext {
  PloverCrashJSONEncodeContext* encodeContext;
  char objectPath[kMaxDepth][kMaxNameLength];
  int currentDepth;
  std::vector<char>* output;
};

bool matchesPath(const FixupContext* context, const char* const* path, const char* finalName) {
  if (finalName == nullptr) finalName = "";
  int level = 0;
  for (; level < context->currentDepth; ++level) {
    if (path[level] == nullptr || std::strncmp(context->objectPath[level], path[level], kMaxNameLength) != 0) {
      return false;
    }
  }
  return path[level] != nullptr && std::strncmp(finalName, path[level], kMaxNameLength) == 0 &&
         path[level + 1] == nullptr;
}

bool isDateField(const FixupContext* context, const char* name) {
  for (const auto& path : kDatePaths) {
    if (matchesPath(context, path, name)) return true;
  }
  return false;
}

int onBoolean(const char* name, bool value, void* userData) {
  return plovercrashjson_addBooleanElement(static_cast<FixupContext*>(userData)->encodeContext, name, value);
}

int onFloatingPoint(const char* name, double value, void* userData) {
  return plovercrashjson_addFloatingPointElement(static_cast<FixupContext*>(userData)->encodeContext, name, value);
}

int onInteger(const char* name, std::int64_t value, void* userData) {
  auto* context = static_cast<FixupContext*>(userData);
  if (isDateField(context, name)) {
    char buffer[21];
    if (plovercrashdate_utcStringFromTimestamp(value, buffer)) {
      return plovercrashjson_addStringElement(context->encodeContext, name, buffer, -1);
    }
  }
  return plovercrashjson_addIntegerElement(context->encodeContext, name, value);
}

int onNull(const char* name, void* userData) {
  return plovercrashjson_addNullElement(static_cast<FixupContext*>(userData)->encodeContext, name);
}

int onString(const char* name, const char* value, void* userData) {
  return plovercrashjson_addStringElement(static_cast<FixupContext*>(userData)->encodeContext, name, value, -1);
}

int pushName(FixupContext* context, const char* name) {
  if (context->currentDepth >= kMaxDepth) return PloverCrashJSON_ERROR_DATA_TOO_LONG;
  std::strncpy(context->objectPath[context->currentDepth], name != nullptr ? name : "", kMaxNameLength - 1);
  context->objectPath[context->currentDepth][kMaxNameLength - 1] = '\0';
  context->currentDepth++;
  return PloverCrashJSON_OK;
}

int onBeginObject(const char* name, void* userData) {
  auto* context = static_cast<FixupContext*>(userData);
  const int result = plovercrashjson_beginObject(context->encodeContext, name);
  return result == PloverCrashJSON_OK ? pushName(context, name) : result;
}

int onBeginArray(const char* name, void* userData) {
  auto* context = static_cast<FixupContext*>(userData);
  const int result = plovercrashjson_beginArray(context->encodeContext, name);
  return result == PloverCrashJSON_OK ? pushName(context, name) : result;
}

int onEndContainer(void* userData) {
  auto* context = static_cast<FixupContext*>(userData);
  const int result = plovercrashjson_endContainer(context->encodeContext);
  if (context->currentDepth > 0) context->currentDepth--;
  return result;
}

int onEndData(void* userData) { return plovercrashjson_endEncode(static_cast<FixupContext*>(userData)->encodeContext); }

// The output grows as needed: pretty printing can more than double a compact report.
int addJSONData(const char* data, int length, void* userData) {
  auto* output = static_cast<std::vector<char>*>(userData);
  output->insert(output->end(), data, data + length);
  return PloverCrashJSON_OK;
}

}  // namespace

char* plovercrashcrf_fixupCrashReport(const char* crashReport) {
  if (crashReport == nullptr) return nullptr;
  const int length = static_cast<int>(std::strlen(crashReport));
  std::vector<char> output;
  output.reserve(static_cast<std::size_t>(length) * 3 / 2 + 1);
  std::vector<char> stringBuffer(10000);

  PloverCrashJSONEncodeContext encodeContext;
  plovercrashjson_beginEncode(&encodeContext, true, addJSONData, &output);
  auto fixupContext = std::make_unique<FixupContext>();
  fixupContext->encodeContext = &encodeContext;
  fixupContext->currentDepth = 0;
  fixupContext->output = &output;

  PloverCrashJSONDecodeCallbacks callbacks{};
  callbacks.onBooleanElement = onBoolean;
  callbacks.onFloatingPointElement = onFloatingPoint;
  callbacks.onIntegerElement = onInteger;
  callbacks.onNullElement = onNull;
  callbacks.onStringElement = onString;
  callbacks.onBeginObject = onBeginObject;
  callbacks.onBeginArray = onBeginArray;
  callbacks.onEndContainer = onEndContainer;
  callbacks.onEndData = onEndData;
  int errorOffset = 0;
  const int result =
      plovercrashjson_decode(crashReport, length, stringBuffer.data(), static_cast<int>(stringBuffer.size()),
                             &callbacks, fixupContext.get(), &errorOffset);
  if (result != PloverCrashJSON_OK) {
    PLOVERCRASHLOG_ERROR("Could not decode report: %s", plovercrashjson_stringForError(result));
    return nullptr;
  }
  char* fixed = static_cast<char*>(std::malloc(output.size() + 1));
  if (fixed == nullptr) return nullptr;
  std::memcpy(fixed, output.data(), output.size());
  fixed[output.size()] = '\0';
  return fixed;
}
