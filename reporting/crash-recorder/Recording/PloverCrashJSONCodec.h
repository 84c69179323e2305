// The recorder's streaming JSON encoder and callback decoder. Both keep all their state in
// caller-owned storage and on the stack: no allocation, no locks, no C library formatting or
// character classes, so the crash report writer can use them inside a crash handler.
#pragma once

#include <cstdint>

// Error codes of every encoder and decoder operation; 0 is success.
enum {
  PloverCrashJSON_OK = 0,
  PloverCrashJSON_ERROR_INVALID_CHARACTER = 1,
  PloverCrashJSON_ERROR_DATA_TOO_LONG = 2,
  PloverCrashJSON_ERROR_CANNOT_ADD_DATA = 3,
  PloverCrashJSON_ERROR_INCOMPLETE = 4,
  PloverCrashJSON_ERROR_INVALID_DATA = 5,
};

// Entries of the container table: levels 1 to 199 can be open at once. Opening one more is
// PloverCrashJSON_ERROR_DATA_TOO_LONG (for the encoder and, for nesting in the input, the decoder).
constexpr int PloverCrashJSON_MAX_CONTAINER_LEVEL = 200;

// Receives encoded bytes. Returns 0 when they were taken, else an error code (usually
// PloverCrashJSON_ERROR_CANNOT_ADD_DATA) that the encoder hands back to its caller.
typedef int (*PloverCrashJSONAddDataFunc)(const char* data, int length, void* userData);

// One encoding in progress. Owned by the caller; cleared by plovercrashjson_beginEncode.
struct PloverCrashJSONEncodeContext {
  PloverCrashJSONAddDataFunc addJSONData;
  void* userData;
  int containerLevel;                                  // 0 at the top, one more per open container
  bool isObject[PloverCrashJSON_MAX_CONTAINER_LEVEL];  // entry 0 (the top) is never an object
  bool containerFirstEntry;
  bool prettyPrint;
};

// Element callbacks of the decoder. `name` is null for array members and the top-level element.
// A non-zero return stops decoding with that code. A null callback accepts its element.
struct PloverCrashJSONDecodeCallbacks {
  int (*onBooleanElement)(const char* name, bool value, void* userData);
  int (*onFloatingPointElement)(const char* name, double value, void* userData);
  int (*onIntegerElement)(const char* name, std::int64_t value, void* userData);
  int (*onNullElement)(const char* name, void* userData);
  int (*onStringElement)(const char* name, const char* value, void* userData);
  int (*onBeginObject)(const char* name, void* userData);
  int (*onBeginArray)(const char* name, void* userData);
  int (*onEndContainer)(void* userData);
  int (*onEndData)(void* userData);
};

// The text of an error code ("(unknown error)" for codes not listed). Crash-time safe.
const char* plovercrashjson_stringForError(int error);

// ---- Encoder. Every function here is crash-time safe. -------------------------------------
// Each element operation first writes the element prologue (comma, pretty-print indentation and,
// inside an object, the quoted name and ':'); a name inside an object is required
// (PloverCrashJSON_ERROR_INVALID_DATA without one) and ignored elsewhere. The first failing write
// ends the operation with its code; the output stays as far as it was written.

void plovercrashjson_beginEncode(PloverCrashJSONEncodeContext* context, bool prettyPrint,
                                 PloverCrashJSONAddDataFunc addJSONData, void* userData);
// Closes every open container; returns the first error.
int plovercrashjson_endEncode(PloverCrashJSONEncodeContext* context);

int plovercrashjson_beginElement(PloverCrashJSONEncodeContext* context, const char* name);
int plovercrashjson_addRawJSONData(PloverCrashJSONEncodeContext* context, const char* data, int length);
int plovercrashjson_addBooleanElement(PloverCrashJSONEncodeContext* context, const char* name, bool value);
// Shortest round-trip text of the value; NaN and the infinities, which JSON cannot carry, are
// written as null.
int plovercrashjson_addFloatingPointElement(PloverCrashJSONEncodeContext* context, const char* name, double value);
int plovercrashjson_addIntegerElement(PloverCrashJSONEncodeContext* context, const char* name, std::int64_t value);
// The unsigned form, for values above INT64_MAX.
int plovercrashjson_addUIntegerElement(PloverCrashJSONEncodeContext* context, const char* name, std::uint64_t value);
int plovercrashjson_addNullElement(PloverCrashJSONEncodeContext* context, const char* name);
// A null value writes null; a length of -1 means up to the terminating zero. Control characters
// other than \b \t \n \f \r are PloverCrashJSON_ERROR_INVALID_CHARACTER; bytes from 0x80 and the
// slash are written as they are.
int plovercrashjson_addStringElement(PloverCrashJSONEncodeContext* context, const char* name, const char* value,
                                     int length);
int plovercrashjson_beginStringElement(PloverCrashJSONEncodeContext* context, const char* name);
int plovercrashjson_appendStringElement(PloverCrashJSONEncodeContext* context, const char* value, int length);
int plovercrashjson_endStringElement(PloverCrashJSONEncodeContext* context);
// Bytes as a string of upper-case hex digit pairs.
int plovercrashjson_addDataElement(PloverCrashJSONEncodeContext* context, const char* name, const char* value,
                                   int length);
int plovercrashjson_beginDataElement(PloverCrashJSONEncodeContext* context, const char* name);
int plovercrashjson_appendDataElement(PloverCrashJSONEncodeContext* context, const char* value, int length);
int plovercrashjson_endDataElement(PloverCrashJSONEncodeContext* context);
int plovercrashjson_beginObject(PloverCrashJSONEncodeContext* context, const char* name);
int plovercrashjson_beginArray(PloverCrashJSONEncodeContext* context, const char* name);
// Closes the innermost container; at level 0 it does nothing and returns 0.
int plovercrashjson_endContainer(PloverCrashJSONEncodeContext* context);

// ---- Decoder. Crash-time safe. ---------------------------------------------------------------
// Decodes one top-level element of `data` and reports its parts to the callbacks. The scratch
// buffer is split: its first quarter holds member names, the rest string values and number texts;
// a longer name or string is PloverCrashJSON_ERROR_DATA_TOO_LONG. Integers that do not fit in 64
// bits are reported as floating point. On an error, *errorOffset (when given) receives the offset
// in `data` where decoding stopped. Whatever follows the top-level element is not looked at.
int plovercrashjson_decode(const char* data, int length, char* scratchBuffer, int scratchLength,
                           const PloverCrashJSONDecodeCallbacks* callbacks, void* userData, int* errorOffset);

// Crash-time safe. Decodes JSON text and adds its elements to the encoding in progress, the
// top-level element under `name`. When the decoded top-level container ends it is left open for
// the caller, unless closeLastContainer is set; with closeLastContainer the encoder is always
// brought back to the level it had (so even cut-off input yields balanced output). Returns the
// decoder's (or a failing encoder operation's) error code.
int plovercrashjson_addJSONElement(PloverCrashJSONEncodeContext* context, const char* name, const char* jsonData,
                                   int jsonDataLength, bool closeLastContainer);

// Crash-time safe. The same for the content of a file, read through a 1000-byte stack buffer.
// A read error is logged ("Error reading file ..."); the input then ends where reading stopped.
int plovercrashjson_addJSONFromFile(PloverCrashJSONEncodeContext* context, const char* name, const char* filename,
                                    bool closeLastContainer);
