#include "reporting/crash-recorder/Recording/PloverCrashJSONCodec.h"

#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// ---- Encoder ---------------------------------------------------------------------------------

constexpr int kEscapeChunk = 256;
constexpr char kSpaces[] = "                                                                ";
constexpr int kSpacesLength = sizeof kSpaces - 1;

int addData(PloverCrashJSONEncodeContext* context, const char* data, int length) {
  if (length <= 0) {
    return PloverCrashJSON_OK;
  }
  return context->addJSONData(data, length, context->userData);
}

int addIndent(PloverCrashJSONEncodeContext* context, int level) {
  int remaining = level * 4;
  while (remaining > 0) {
    const int count = remaining < kSpacesLength ? remaining : kSpacesLength;
    const int result = addData(context, kSpaces, count);
    if (result != PloverCrashJSON_OK) {
      return result;
    }
    remaining -= count;
  }
  return PloverCrashJSON_OK;
}

// The escape of one byte: 0 when none is needed, -1 when the byte cannot appear in a JSON string.
int escapeFor(unsigned char c) {
  switch (c) {
    case '\b':
      return 'b';
    case '\t':
      return 't';
    case '\n':
      return 'n';
    case '\f':
      return 'f';
    case '\r':
      return 'r';
    case '"':
      return '"';
    case '\\':
      return '\\';
    default:
      return c < 0x20 ? -1 : 0;
  }
}

int addEscapedString(PloverCrashJSONEncodeContext* context, const char* string, int length) {
  // Text that needs no escape (the usual case) is handed on in one piece.
  bool needsEscape = false;
  for (int i = 0; i < length; ++i) {
    if (escapeFor(static_cast<unsigned char>(string[i])) != 0) {
      needsEscape = true;
      break;
    }
  }
  if (!needsEscape) {
    return addData(context, string, length);
  }
  char buffer[kEscapeChunk * 2];
  for (int offset = 0; offset < length; offset += kEscapeChunk) {
    const int chunk = length - offset < kEscapeChunk ? length - offset : kEscapeChunk;
    int out = 0;
    for (int i = 0; i < chunk; ++i) {
      const char c = string[offset + i];
      const int escape = escapeFor(static_cast<unsigned char>(c));
      if (escape < 0) {
        return PloverCrashJSON_ERROR_INVALID_CHARACTER;
      }
      if (escape > 0) {
        buffer[out++] = '\\';
        buffer[out++] = static_cast<char>(escape);
      } else {
        buffer[out++] = c;
      }
    }
    const int result = addData(context, buffer, out);
    if (result != PloverCrashJSON_OK) {
      return result;
    }
  }
  return PloverCrashJSON_OK;
}

// The closing quote is written even when the content failed, so the output stays balanced; the
// first real error is what the caller sees (a failed write is not an invalid character).
int addQuotedEscapedString(PloverCrashJSONEncodeContext* context, const char* string, int length) {
  int result = addData(context, "\"", 1);
  if (result != PloverCrashJSON_OK) {
    return result;
  }
  const int contentResult = addEscapedString(context, string, length);
  result = addData(context, "\"", 1);
  return contentResult != PloverCrashJSON_OK ? contentResult : result;
}

int beginContainer(PloverCrashJSONEncodeContext* context, const char* name, bool isObject) {
  if (context->containerLevel >= PloverCrashJSON_MAX_CONTAINER_LEVEL - 1) {
    return PloverCrashJSON_ERROR_DATA_TOO_LONG;
  }
  int result = plovercrashjson_beginElement(context, name);
  if (result != PloverCrashJSON_OK) {
    return result;
  }
  context->containerLevel++;
  context->isObject[context->containerLevel] = isObject;
  context->containerFirstEntry = true;
  return addData(context, isObject ? "{" : "[", 1);
}

int addHexData(PloverCrashJSONEncodeContext* context, const char* value, int length) {
  static const char kHex[] = "0123456789ABCDEF";
  char buffer[kEscapeChunk * 2];
  for (int offset = 0; offset < length; offset += kEscapeChunk) {
    const int chunk = length - offset < kEscapeChunk ? length - offset : kEscapeChunk;
    for (int i = 0; i < chunk; ++i) {
      const auto byte = static_cast<unsigned char>(value[offset + i]);
      buffer[i * 2] = kHex[byte >> 4];
      buffer[i * 2 + 1] = kHex[byte & 0xf];
    }
    const int result = addData(context, buffer, chunk * 2);
    if (result != PloverCrashJSON_OK) {
      return result;
    }
  }
  return PloverCrashJSON_OK;
}

// ---- Decoder ---------------------------------------------------------------------------------

struct DecodeContext {
  const char* bufferPtr;
  const char* bufferEnd;
  char* nameBuffer;
  int nameBufferLength;
  char* stringBuffer;
  int stringBufferLength;
  const PloverCrashJSONDecodeCallbacks* callbacks;
  void* userData;
  int depth;
  // Set when the input streams from a file: tops the buffer up (moving the unread bytes to its
  // front) when little is left.
  void (*refill)(DecodeContext* context, void* refillData);
  void* refillData;
};

bool isWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isNumberCharacter(char c) { return isDigit(c) || c == '.' || c == '+' || c == '-' || c == 'e' || c == 'E'; }

void maybeRefill(DecodeContext* context) {
  if (context->refill != nullptr) {
    context->refill(context, context->refillData);
  }
}

// False when the data ends before anything but whitespace.
bool skipWhitespace(DecodeContext* context) {
  for (;;) {
    while (context->bufferPtr < context->bufferEnd && isWhitespace(*context->bufferPtr)) {
      context->bufferPtr++;
    }
    if (context->bufferPtr < context->bufferEnd) {
      return true;
    }
    if (context->refill == nullptr) {
      return false;
    }
    maybeRefill(context);
    if (context->bufferPtr >= context->bufferEnd) {
      return false;
    }
  }
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// Four hex digits, or -1.
int readCodeUnit(const char* text) {
  int value = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = hexValue(text[i]);
    if (digit < 0) {
      return -1;
    }
    value = (value << 4) | digit;
  }
  return value;
}

int writeUTF8(char* out, unsigned codePoint) {
  if (codePoint < 0x80) {
    out[0] = static_cast<char>(codePoint);
    return 1;
  }
  if (codePoint < 0x800) {
    out[0] = static_cast<char>(0xc0 | (codePoint >> 6));
    out[1] = static_cast<char>(0x80 | (codePoint & 0x3f));
    return 2;
  }
  if (codePoint < 0x10000) {
    out[0] = static_cast<char>(0xe0 | (codePoint >> 12));
    out[1] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3f));
    out[2] = static_cast<char>(0x80 | (codePoint & 0x3f));
    return 3;
  }
  out[0] = static_cast<char>(0xf0 | (codePoint >> 18));
  out[1] = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3f));
  out[2] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3f));
  out[3] = static_cast<char>(0x80 | (codePoint & 0x3f));
  return 4;
}

int decodeString(DecodeContext* context, char* destination, int destinationLength) {
  if (context->bufferPtr >= context->bufferEnd) {
    return PloverCrashJSON_ERROR_INCOMPLETE;
  }
  if (*context->bufferPtr != '"') {
    return PloverCrashJSON_ERROR_INVALID_CHARACTER;
  }
  const char* const source = context->bufferPtr + 1;
  const long available = context->bufferEnd - source;
  long length = 0;
  bool escaped = false;
  bool closed = false;
  while (length < available) {
    const char c = source[length];
    if (c == '"') {
      closed = true;
      break;
    }
    if (c == '\\') {
      escaped = true;
      length += 2;
    } else {
      length += 1;
    }
  }
  if (!closed) {
    return PloverCrashJSON_ERROR_INCOMPLETE;
  }
  if (length >= destinationLength) {
    return PloverCrashJSON_ERROR_DATA_TOO_LONG;
  }
  if (!escaped) {
    for (long i = 0; i < length; ++i) {
      destination[i] = source[i];
    }
    destination[length] = '\0';
    context->bufferPtr = source + length + 1;
    return PloverCrashJSON_OK;
  }
  // Every backslash has its escaped character before the closing quote (the search above stepped
  // over it), and no escape yields more bytes than it takes, so `destination` cannot overflow.
  long out = 0;
  long i = 0;
  while (i < length) {
    const char c = source[i];
    if (c != '\\') {
      destination[out++] = c;
      ++i;
      continue;
    }
    const char e = source[i + 1];
    switch (e) {
      case '"':
      case '\\':
      case '/':
        destination[out++] = e;
        i += 2;
        continue;
      case 'b':
        destination[out++] = '\b';
        i += 2;
        continue;
      case 'f':
        destination[out++] = '\f';
        i += 2;
        continue;
      case 'n':
        destination[out++] = '\n';
        i += 2;
        continue;
      case 'r':
        destination[out++] = '\r';
        i += 2;
        continue;
      case 't':
        destination[out++] = '\t';
        i += 2;
        continue;
      case 'u':
        break;
      default:
        return PloverCrashJSON_ERROR_INVALID_CHARACTER;
    }
    if (length - i < 6) {
      return PloverCrashJSON_ERROR_INCOMPLETE;
    }
    int unit = readCodeUnit(source + i + 2);
    if (unit < 0) {
      return PloverCrashJSON_ERROR_INVALID_CHARACTER;
    }
    i += 6;
    unsigned codePoint = static_cast<unsigned>(unit);
    if (codePoint >= 0xdc00 && codePoint <= 0xdfff) {
      return PloverCrashJSON_ERROR_INVALID_CHARACTER;
    }
    if (codePoint >= 0xd800 && codePoint <= 0xdbff) {
      if (length - i < 6) {
        return PloverCrashJSON_ERROR_INCOMPLETE;
      }
      if (source[i] != '\\' || source[i + 1] != 'u') {
        return PloverCrashJSON_ERROR_INVALID_CHARACTER;
      }
      const int low = readCodeUnit(source + i + 2);
      if (low < 0xdc00 || low > 0xdfff) {
        return PloverCrashJSON_ERROR_INVALID_CHARACTER;
      }
      i += 6;
      codePoint = 0x10000 + ((codePoint - 0xd800) << 10) + (static_cast<unsigned>(low) - 0xdc00);
    }
    out += writeUTF8(destination + out, codePoint);
  }
  destination[out] = '\0';
  context->bufferPtr = source + length + 1;
  return PloverCrashJSON_OK;
}

int callBoolean(DecodeContext* c, const char* name, bool value) {
  return c->callbacks->onBooleanElement ? c->callbacks->onBooleanElement(name, value, c->userData) : PloverCrashJSON_OK;
}
int callFloat(DecodeContext* c, const char* name, double value) {
  return c->callbacks->onFloatingPointElement ? c->callbacks->onFloatingPointElement(name, value, c->userData)
                                              : PloverCrashJSON_OK;
}
int callInteger(DecodeContext* c, const char* name, std::int64_t value) {
  return c->callbacks->onIntegerElement ? c->callbacks->onIntegerElement(name, value, c->userData) : PloverCrashJSON_OK;
}
int callNull(DecodeContext* c, const char* name) {
  return c->callbacks->onNullElement ? c->callbacks->onNullElement(name, c->userData) : PloverCrashJSON_OK;
}
int callString(DecodeContext* c, const char* name, const char* value) {
  return c->callbacks->onStringElement ? c->callbacks->onStringElement(name, value, c->userData) : PloverCrashJSON_OK;
}
int callBegin(DecodeContext* c, const char* name, bool isObject) {
  auto callback = isObject ? c->callbacks->onBeginObject : c->callbacks->onBeginArray;
  return callback ? callback(name, c->userData) : PloverCrashJSON_OK;
}
int callEnd(DecodeContext* c) {
  return c->callbacks->onEndContainer ? c->callbacks->onEndContainer(c->userData) : PloverCrashJSON_OK;
}

int decodeNumber(DecodeContext* context, const char* name, bool negative) {
  const char* const start = context->bufferPtr;
  const char* p = start;
  std::uint64_t magnitude = 0;
  bool overflow = false;
  // Accumulated with an explicit overflow test: a long run of digits must not wrap.
  while (p < context->bufferEnd && isDigit(*p)) {
    const auto digit = static_cast<std::uint64_t>(*p - '0');
    if (!overflow) {
      if (magnitude > (UINT64_MAX - digit) / 10) {
        overflow = true;
      } else {
        magnitude = magnitude * 10 + digit;
      }
    }
    ++p;
  }
  if (p >= context->bufferEnd) {
    return PloverCrashJSON_ERROR_INCOMPLETE;
  }
  const std::uint64_t limit = negative ? (1ULL << 63) : static_cast<std::uint64_t>(INT64_MAX);
  const char next = *p;
  const bool isFloat =
      next == '.' || next == '+' || next == '-' || next == 'e' || next == 'E' || overflow || magnitude > limit;
  if (!isFloat) {
    context->bufferPtr = p;
    std::int64_t value;
    if (!negative) {
      value = static_cast<std::int64_t>(magnitude);
    } else if (magnitude == (1ULL << 63)) {
      value = INT64_MIN;
    } else {
      value = -static_cast<std::int64_t>(magnitude);
    }
    return callInteger(context, name, value);
  }
  while (p < context->bufferEnd && isNumberCharacter(*p)) {
    ++p;
  }
  if (p >= context->bufferEnd) {
    return PloverCrashJSON_ERROR_INCOMPLETE;
  }
  const long length = p - start;
  if (length >= context->stringBufferLength) {
    return PloverCrashJSON_ERROR_DATA_TOO_LONG;
  }
  for (long i = 0; i < length; ++i) {
    context->stringBuffer[i] = start[i];
  }
  context->stringBuffer[length] = '\0';
  double value = 0;
  if (!plovercrashformat_parseDouble(context->stringBuffer, static_cast<int>(length), &value)) {
    return PloverCrashJSON_ERROR_INVALID_CHARACTER;
  }
  context->bufferPtr = p;
  return callFloat(context, name, negative ? -value : value);
}

int decodeLiteral(DecodeContext* context, const char* word, int length) {
  if (context->bufferEnd - context->bufferPtr < length) {
    return PloverCrashJSON_ERROR_INCOMPLETE;
  }
  for (int i = 0; i < length; ++i) {
    if (context->bufferPtr[i] != word[i]) {
      return PloverCrashJSON_ERROR_INVALID_CHARACTER;
    }
  }
  context->bufferPtr += length;
  return PloverCrashJSON_OK;
}

int decodeElement(DecodeContext* context, const char* name);

int decodeContainer(DecodeContext* context, const char* name, bool isObject) {
  if (context->depth >= PloverCrashJSON_MAX_CONTAINER_LEVEL - 1) {
    return PloverCrashJSON_ERROR_DATA_TOO_LONG;
  }
  int result = callBegin(context, name, isObject);
  if (result != PloverCrashJSON_OK) {
    return result;
  }
  context->bufferPtr++;
  context->depth++;
  maybeRefill(context);
  const char closing = isObject ? '}' : ']';
  for (;;) {
    if (!skipWhitespace(context)) {
      return PloverCrashJSON_ERROR_INCOMPLETE;
    }
    if (*context->bufferPtr == closing) {
      context->bufferPtr++;
      context->depth--;
      result = callEnd(context);
      maybeRefill(context);
      return result;
    }
    if (isObject) {
      maybeRefill(context);
      result = decodeString(context, context->nameBuffer, context->nameBufferLength);
      if (result != PloverCrashJSON_OK) {
        return result;
      }
      if (!skipWhitespace(context)) {
        return PloverCrashJSON_ERROR_INCOMPLETE;
      }
      if (*context->bufferPtr != ':') {
        return PloverCrashJSON_ERROR_INVALID_CHARACTER;
      }
      context->bufferPtr++;
      result = decodeElement(context, context->nameBuffer);
    } else {
      result = decodeElement(context, nullptr);
    }
    if (result != PloverCrashJSON_OK) {
      return result;
    }
    if (!skipWhitespace(context)) {
      return PloverCrashJSON_ERROR_INCOMPLETE;
    }
    if (*context->bufferPtr == ',') {
      context->bufferPtr++;
    }
  }
}

int decodeElement(DecodeContext* context, const char* name) {
  maybeRefill(context);
  if (!skipWhitespace(context)) {
    return PloverCrashJSON_ERROR_INCOMPLETE;
  }
  int result;
  switch (*context->bufferPtr) {
    case '"':
      result = decodeString(context, context->stringBuffer, context->stringBufferLength);
      if (result == PloverCrashJSON_OK) {
        result = callString(context, name, context->stringBuffer);
        maybeRefill(context);
      }
      return result;
    case '{':
      return decodeContainer(context, name, true);
    case '[':
      return decodeContainer(context, name, false);
    case 't':
    case 'f': {
      const bool value = *context->bufferPtr == 't';
      result = value ? decodeLiteral(context, "true", 4) : decodeLiteral(context, "false", 5);
      if (result == PloverCrashJSON_OK) {
        result = callBoolean(context, name, value);
        maybeRefill(context);
      }
      return result;
    }
    case 'n':
      result = decodeLiteral(context, "null", 4);
      if (result == PloverCrashJSON_OK) {
        result = callNull(context, name);
        maybeRefill(context);
      }
      return result;
    case '-':
      if (context->bufferEnd - context->bufferPtr < 2) {
        return PloverCrashJSON_ERROR_INCOMPLETE;
      }
      if (!isDigit(context->bufferPtr[1])) {
        return PloverCrashJSON_ERROR_INVALID_CHARACTER;
      }
      context->bufferPtr++;
      result = decodeNumber(context, name, true);
      maybeRefill(context);
      return result;
    default:
      if (isDigit(*context->bufferPtr)) {
        result = decodeNumber(context, name, false);
        maybeRefill(context);
        return result;
      }
      return PloverCrashJSON_ERROR_INVALID_CHARACTER;
  }
}

int decodeTopLevel(DecodeContext* context) {
  int result = decodeElement(context, nullptr);
  if (result == PloverCrashJSON_OK && context->callbacks->onEndData != nullptr) {
    result = context->callbacks->onEndData(context->userData);
  }
  return result;
}

// ---- Re-encoding -----------------------------------------------------------------------------

struct ReencodeContext {
  PloverCrashJSONEncodeContext* encoder;
  const char* topName;
  bool topPending;
  bool closeLastContainer;
  int startLevel;
};

// The decoded top-level element goes under the caller's name.
const char* nameFor(void* userData, const char* name) {
  auto* context = static_cast<ReencodeContext*>(userData);
  if (context->topPending) {
    context->topPending = false;
    return context->topName;
  }
  return name;
}

int reencodeBoolean(const char* name, bool value, void* userData) {
  auto* context = static_cast<ReencodeContext*>(userData);
  return plovercrashjson_addBooleanElement(context->encoder, nameFor(userData, name), value);
}
int reencodeFloat(const char* name, double value, void* userData) {
  auto* context = static_cast<ReencodeContext*>(userData);
  return plovercrashjson_addFloatingPointElement(context->encoder, nameFor(userData, name), value);
}
int reencodeInteger(const char* name, std::int64_t value, void* userData) {
  auto* context = static_cast<ReencodeContext*>(userData);
  return plovercrashjson_addIntegerElement(context->encoder, nameFor(userData, name), value);
}
int reencodeNull(const char* name, void* userData) {
  auto* context = static_cast<ReencodeContext*>(userData);
  return plovercrashjson_addNullElement(context->encoder, nameFor(userData, name));
}
int reencodeString(const char* name, const char* value, void* userData) {
  auto* context = static_cast<ReencodeContext*>(userData);
  return plovercrashjson_addStringElement(context->encoder, nameFor(userData, name), value, -1);
}
int reencodeBeginObject(const char* name, void* userData) {
  auto* context = static_cast<ReencodeContext*>(userData);
  return plovercrashjson_beginObject(context->encoder, nameFor(userData, name));
}
int reencodeBeginArray(const char* name, void* userData) {
  auto* context = static_cast<ReencodeContext*>(userData);
  return plovercrashjson_beginArray(context->encoder, nameFor(userData, name));
}
// Containers inside the decoded element always close; the decoded top-level container closes
// only when asked, so the caller can add members to it.
int reencodeEndContainer(void* userData) {
  auto* context = static_cast<ReencodeContext*>(userData);
  if (context->closeLastContainer || context->encoder->containerLevel > context->startLevel + 1) {
    return plovercrashjson_endContainer(context->encoder);
  }
  return PloverCrashJSON_OK;
}
int reencodeEndData(void*) { return PloverCrashJSON_OK; }

constexpr PloverCrashJSONDecodeCallbacks kReencodeCallbacks = {
    reencodeBoolean,     reencodeFloat,      reencodeInteger,      reencodeNull,    reencodeString,
    reencodeBeginObject, reencodeBeginArray, reencodeEndContainer, reencodeEndData,
};

int reencode(PloverCrashJSONEncodeContext* encoder, const char* name, bool closeLastContainer, DecodeContext* decoder) {
  ReencodeContext context = {encoder, name, true, closeLastContainer, encoder->containerLevel};
  decoder->callbacks = &kReencodeCallbacks;
  decoder->userData = &context;
  const int result = decodeTopLevel(decoder);
  if (closeLastContainer) {
    while (encoder->containerLevel > context.startLevel) {
      if (plovercrashjson_endContainer(encoder) != PloverCrashJSON_OK) {
        // The level drops even when the write fails, so this ends.
        continue;
      }
    }
  }
  return result;
}

constexpr int kFileBufferSize = 1000;

struct FileSource {
  int fd;
  const char* path;
  char* buffer;
  bool atEnd;
};

void refillFromFile(DecodeContext* context, void* refillData) {
  auto* source = static_cast<FileSource*>(refillData);
  const long unread = context->bufferEnd - context->bufferPtr;
  if (source->atEnd || unread >= kFileBufferSize / 2) {
    return;
  }
  for (long i = 0; i < unread; ++i) {
    source->buffer[i] = context->bufferPtr[i];
  }
  const long space = kFileBufferSize - unread;
  ssize_t got;
  do {
    got = read(source->fd, source->buffer + unread, static_cast<size_t>(space));
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    i_plovercrashlog_logCBasic("Error reading file %s: %s", source->path, plovercrashformat_errorText(errno));
    got = 0;
  }
  if (got < space) {
    source->atEnd = true;
  }
  context->bufferPtr = source->buffer;
  context->bufferEnd = source->buffer + unread + got;
}

}  // namespace

const char* plovercrashjson_stringForError(int error) {
  switch (error) {
    case PloverCrashJSON_ERROR_INVALID_CHARACTER:
      return "Invalid character";
    case PloverCrashJSON_ERROR_DATA_TOO_LONG:
      return "Data too long";
    case PloverCrashJSON_ERROR_CANNOT_ADD_DATA:
      return "Cannot add data";
    case PloverCrashJSON_ERROR_INCOMPLETE:
      return "Incomplete data";
    case PloverCrashJSON_ERROR_INVALID_DATA:
      return "Invalid data";
    default:
      return "(unknown error)";
  }
}

void plovercrashjson_beginEncode(PloverCrashJSONEncodeContext* context, bool prettyPrint,
                                 PloverCrashJSONAddDataFunc addJSONData, void* userData) {
  *context = PloverCrashJSONEncodeContext{};
  context->addJSONData = addJSONData;
  context->userData = userData;
  context->prettyPrint = prettyPrint;
  context->containerFirstEntry = true;
}

int plovercrashjson_endEncode(PloverCrashJSONEncodeContext* context) {
  int firstError = PloverCrashJSON_OK;
  while (context->containerLevel > 0) {
    const int result = plovercrashjson_endContainer(context);
    if (firstError == PloverCrashJSON_OK) {
      firstError = result;
    }
  }
  return firstError;
}

int plovercrashjson_beginElement(PloverCrashJSONEncodeContext* context, const char* name) {
  const bool inObject = context->isObject[context->containerLevel];
  // Checked before anything is written, so a refused element leaves no stray comma behind.
  if (inObject && name == nullptr) {
    return PloverCrashJSON_ERROR_INVALID_DATA;
  }
  int result;
  if (context->containerFirstEntry) {
    context->containerFirstEntry = false;
  } else if ((result = addData(context, ",", 1)) != PloverCrashJSON_OK) {
    return result;
  }
  if (context->prettyPrint && context->containerLevel > 0) {
    if ((result = addData(context, "\n", 1)) != PloverCrashJSON_OK) {
      return result;
    }
    if ((result = addIndent(context, context->containerLevel)) != PloverCrashJSON_OK) {
      return result;
    }
  }
  if (inObject) {
    result = addQuotedEscapedString(context, name, plovercrashformat_strlen(name));
    if (result != PloverCrashJSON_OK) {
      return result;
    }
    return context->prettyPrint ? addData(context, ": ", 2) : addData(context, ":", 1);
  }
  return PloverCrashJSON_OK;
}

int plovercrashjson_addRawJSONData(PloverCrashJSONEncodeContext* context, const char* data, int length) {
  return addData(context, data, length);
}

int plovercrashjson_addBooleanElement(PloverCrashJSONEncodeContext* context, const char* name, bool value) {
  const int result = plovercrashjson_beginElement(context, name);
  if (result != PloverCrashJSON_OK) {
    return result;
  }
  return value ? addData(context, "true", 4) : addData(context, "false", 5);
}

int plovercrashjson_addFloatingPointElement(PloverCrashJSONEncodeContext* context, const char* name, double value) {
  const int result = plovercrashjson_beginElement(context, name);
  if (result != PloverCrashJSON_OK) {
    return result;
  }
  char buffer[32];
  const int length = plovercrashformat_double(value, buffer, sizeof buffer);
  if (length < 0) {
    return addData(context, "null", 4);
  }
  return addData(context, buffer, length);
}

int plovercrashjson_addIntegerElement(PloverCrashJSONEncodeContext* context, const char* name, std::int64_t value) {
  const int result = plovercrashjson_beginElement(context, name);
  if (result != PloverCrashJSON_OK) {
    return result;
  }
  char buffer[32];
  const int length = plovercrashformat_int64(value, buffer, sizeof buffer);
  return addData(context, buffer, length);
}

int plovercrashjson_addUIntegerElement(PloverCrashJSONEncodeContext* context, const char* name, std::uint64_t value) {
  const int result = plovercrashjson_beginElement(context, name);
  if (result != PloverCrashJSON_OK) {
    return result;
  }
  char buffer[32];
  const int length = plovercrashformat_uint64(value, buffer, sizeof buffer);
  return addData(context, buffer, length);
}

int plovercrashjson_addNullElement(PloverCrashJSONEncodeContext* context, const char* name) {
  const int result = plovercrashjson_beginElement(context, name);
  if (result != PloverCrashJSON_OK) {
    return result;
  }
  return addData(context, "null", 4);
}

int plovercrashjson_addStringElement(PloverCrashJSONEncodeContext* context, const char* name, const char* value,
                                     int length) {
  if (value == nullptr) {
    return plovercrashjson_addNullElement(context, name);
  }
  if (length == -1) {
    length = plovercrashformat_strlen(value);
  } else if (length < 0) {
    return PloverCrashJSON_ERROR_INVALID_DATA;
  }
  const int result = plovercrashjson_beginElement(context, name);
  if (result != PloverCrashJSON_OK) {
    return result;
  }
  return addQuotedEscapedString(context, value, length);
}

int plovercrashjson_beginStringElement(PloverCrashJSONEncodeContext* context, const char* name) {
  const int result = plovercrashjson_beginElement(context, name);
  if (result != PloverCrashJSON_OK) {
    return result;
  }
  return addData(context, "\"", 1);
}

int plovercrashjson_appendStringElement(PloverCrashJSONEncodeContext* context, const char* value, int length) {
  if (value == nullptr || length <= 0) {
    return PloverCrashJSON_OK;
  }
  return addEscapedString(context, value, length);
}

int plovercrashjson_endStringElement(PloverCrashJSONEncodeContext* context) { return addData(context, "\"", 1); }

int plovercrashjson_addDataElement(PloverCrashJSONEncodeContext* context, const char* name, const char* value,
                                   int length) {
  int result = plovercrashjson_beginDataElement(context, name);
  if (result != PloverCrashJSON_OK) {
    return result;
  }
  result = plovercrashjson_appendDataElement(context, value, length);
  const int closeResult = plovercrashjson_endDataElement(context);
  return result != PloverCrashJSON_OK ? result : closeResult;
}

int plovercrashjson_beginDataElement(PloverCrashJSONEncodeContext* context, const char* name) {
  return plovercrashjson_beginStringElement(context, name);
}

int plovercrashjson_appendDataElement(PloverCrashJSONEncodeContext* context, const char* value, int length) {
  if (value == nullptr || length <= 0) {
    return PloverCrashJSON_OK;
  }
  return addHexData(context, value, length);
}

int plovercrashjson_endDataElement(PloverCrashJSONEncodeContext* context) {
  return plovercrashjson_endStringElement(context);
}

int plovercrashjson_beginObject(PloverCrashJSONEncodeContext* context, const char* name) {
  return beginContainer(context, name, true);
}

int plovercrashjson_beginArray(PloverCrashJSONEncodeContext* context, const char* name) {
  return beginContainer(context, name, false);
}

int plovercrashjson_endContainer(PloverCrashJSONEncodeContext* context) {
  if (context->containerLevel <= 0) {
    return PloverCrashJSON_OK;
  }
  const bool isObject = context->isObject[context->containerLevel];
  context->containerLevel--;
  if (context->prettyPrint && !context->containerFirstEntry) {
    int result = addData(context, "\n", 1);
    if (result == PloverCrashJSON_OK) {
      result = addIndent(context, context->containerLevel);
    }
    if (result != PloverCrashJSON_OK) {
      context->containerFirstEntry = false;
      return result;
    }
  }
  context->containerFirstEntry = false;
  return addData(context, isObject ? "}" : "]", 1);
}

int plovercrashjson_decode(const char* data, int length, char* scratchBuffer, int scratchLength,
                           const PloverCrashJSONDecodeCallbacks* callbacks, void* userData, int* errorOffset) {
  if (data == nullptr || length < 0 || scratchBuffer == nullptr || scratchLength < 2 || callbacks == nullptr) {
    if (errorOffset != nullptr) {
      *errorOffset = 0;
    }
    return PloverCrashJSON_ERROR_INVALID_DATA;
  }
  const int nameLength = scratchLength / 4;
  DecodeContext context = {};
  context.bufferPtr = data;
  context.bufferEnd = data + length;
  context.nameBuffer = scratchBuffer;
  context.nameBufferLength = nameLength;
  context.stringBuffer = scratchBuffer + nameLength;
  context.stringBufferLength = scratchLength - nameLength;
  context.callbacks = callbacks;
  context.userData = userData;
  const int result = decodeTopLevel(&context);
  if (result != PloverCrashJSON_OK && errorOffset != nullptr) {
    *errorOffset = static_cast<int>(context.bufferPtr - data);
  }
  return result;
}

int plovercrashjson_addJSONElement(PloverCrashJSONEncodeContext* context, const char* name, const char* jsonData,
                                   int jsonDataLength, bool closeLastContainer) {
  if (jsonData == nullptr || jsonDataLength < 0) {
    return PloverCrashJSON_ERROR_INVALID_DATA;
  }
  char stringBuffer[5000];
  char nameBuffer[100];
  DecodeContext decoder = {};
  decoder.bufferPtr = jsonData;
  decoder.bufferEnd = jsonData + jsonDataLength;
  decoder.nameBuffer = nameBuffer;
  decoder.nameBufferLength = sizeof nameBuffer;
  decoder.stringBuffer = stringBuffer;
  decoder.stringBufferLength = sizeof stringBuffer;
  return reencode(context, name, closeLastContainer, &decoder);
}

int plovercrashjson_addJSONFromFile(PloverCrashJSONEncodeContext* context, const char* name, const char* filename,
                                    bool closeLastContainer) {
  const int fd = open(filename, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    i_plovercrashlog_logCBasic("Error reading file %s: %s", filename, plovercrashformat_errorText(errno));
    return PloverCrashJSON_ERROR_INCOMPLETE;
  }
  char readBuffer[kFileBufferSize];
  char stringBuffer[500];
  char nameBuffer[100];
  FileSource source = {fd, filename, readBuffer, false};
  DecodeContext decoder = {};
  decoder.bufferPtr = readBuffer;
  decoder.bufferEnd = readBuffer;
  decoder.nameBuffer = nameBuffer;
  decoder.nameBufferLength = sizeof nameBuffer;
  decoder.stringBuffer = stringBuffer;
  decoder.stringBufferLength = sizeof stringBuffer;
  decoder.refill = refillFromFile;
  decoder.refillData = &source;
  refillFromFile(&decoder, &source);
  const int result = reencode(context, name, closeLastContainer, &decoder);
  close(fd);
  return result;
}
