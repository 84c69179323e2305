#include "reporting/crash-recorder/Recording/PloverCrashReport.h"

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_Zombie.h"
#include "reporting/crash-recorder/Recording/PloverCrashCPU.h"
#include "reporting/crash-recorder/Recording/PloverCrashCachedData.h"
#include "reporting/crash-recorder/Recording/PloverCrashDynamicLinker.h"
#include "reporting/crash-recorder/Recording/PloverCrashFileUtils.h"
#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"
#include "reporting/crash-recorder/Recording/PloverCrashJSONCodec.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"
#include "reporting/crash-recorder/Recording/PloverCrashMach.h"
#include "reporting/crash-recorder/Recording/PloverCrashMemory.h"
#include "reporting/crash-recorder/Recording/PloverCrashObjC.h"
#include "reporting/crash-recorder/Recording/PloverCrashSignalInfo.h"
#include "reporting/crash-recorder/Recording/PloverCrashString.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr const char* kReportVersion = "3.2.0";
constexpr int kWordSize = sizeof(std::uintptr_t);
constexpr int kStackContentsPushedDistance = 20;
constexpr int kStackContentsPoppedDistance = 10;
constexpr int kStackContentsTotalDistance = kStackContentsPushedDistance + kStackContentsPoppedDistance;
constexpr int kDefaultMemorySearchDepth = 15;
constexpr int kMaxThreadStackDepth = 150;
constexpr int kMaxIvarsRead = 10;

// ---- Settings ------------------------------------------------------------------------------

struct Settings {
  std::mutex mutex;
  std::atomic<const char*> userInfoJSON{nullptr};
  // Report writers reading a user-info copy right now. A writer counts itself in before it loads
  // the pointer, so once a swap has stored the new copy and then sees no reader, nobody can still
  // hold a replaced one: those are freed then, and kept until then.
  std::atomic<int> userInfoReaders{0};
  std::unique_ptr<char[]> currentUserInfo;
  std::vector<std::unique_ptr<char[]>> retiredUserInfo;
  std::atomic<bool> introspectMemory{false};
  std::atomic<const char* const*> doNotIntrospectClasses{nullptr};
  std::atomic<int> doNotIntrospectClassesCount{0};
  std::vector<std::unique_ptr<std::vector<std::string>>> classLists;
  std::vector<std::unique_ptr<std::vector<const char*>>> classPointers;
  std::atomic<PloverCrashReportWriteCallback> userSectionWriteCallback{nullptr};
};

Settings& settings() {
  static Settings* instance = new Settings();
  return *instance;
}

// ---- Writer operations ---------------------------------------------------------------------

PloverCrashJSONEncodeContext* jsonContext(const PloverCrashReportWriter* writer) {
  return static_cast<PloverCrashJSONEncodeContext*>(writer->context);
}

void addBooleanElement(const PloverCrashReportWriter* writer, const char* key, bool value) {
  plovercrashjson_addBooleanElement(jsonContext(writer), key, value);
}

void addFloatingPointElement(const PloverCrashReportWriter* writer, const char* key, double value) {
  plovercrashjson_addFloatingPointElement(jsonContext(writer), key, value);
}

void addIntegerElement(const PloverCrashReportWriter* writer, const char* key, std::int64_t value) {
  plovercrashjson_addIntegerElement(jsonContext(writer), key, value);
}

void addUIntegerElement(const PloverCrashReportWriter* writer, const char* key, std::uint64_t value) {
  plovercrashjson_addUIntegerElement(jsonContext(writer), key, value);
}

void addStringElement(const PloverCrashReportWriter* writer, const char* key, const char* value) {
  plovercrashjson_addStringElement(jsonContext(writer), key, value, -1);
}

void addTextFileElement(const PloverCrashReportWriter* writer, const char* key, const char* filePath) {
  const int fd = open(filePath, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    PLOVERCRASHLOG_ERROR("Could not open file %s: %s", filePath, plovercrashformat_errorText(errno));
    return;
  }
  if (plovercrashjson_beginStringElement(jsonContext(writer), key) != PloverCrashJSON_OK) {
    PLOVERCRASHLOG_ERROR("Could not start string element");
  } else {
    char buffer[512];
    for (;;) {
      const ssize_t bytesRead = read(fd, buffer, sizeof buffer);
      if (bytesRead <= 0) break;
      if (plovercrashjson_appendStringElement(jsonContext(writer), buffer, static_cast<int>(bytesRead)) !=
          PloverCrashJSON_OK) {
        PLOVERCRASHLOG_ERROR("Could not append string element");
        break;
      }
    }
  }
  plovercrashjson_endStringElement(jsonContext(writer));
  close(fd);
}

void addTextFileLinesElement(const PloverCrashReportWriter* writer, const char* key, const char* filePath) {
  char readBuffer[1024];
  PloverCrashBufferedReader reader;
  if (!plovercrashfu_openBufferedReader(&reader, filePath, readBuffer, sizeof readBuffer)) return;
  char buffer[1024];
  plovercrashjson_beginArray(jsonContext(writer), key);
  for (;;) {
    int length = sizeof buffer - 1;
    plovercrashfu_readBufferedReaderUntilChar(&reader, '\n', buffer, &length);
    if (length <= 0) break;
    // Only the newline goes: a last line without one is kept whole.
    if (buffer[length - 1] == '\n') --length;
    buffer[length] = '\0';
    plovercrashjson_addStringElement(jsonContext(writer), nullptr, buffer, length);
  }
  plovercrashjson_endContainer(jsonContext(writer));
  plovercrashfu_closeBufferedReader(&reader);
}

void addJSONFileElement(const PloverCrashReportWriter* writer, const char* key, const char* filePath,
                        bool closeLastContainer) {
  const int result = plovercrashjson_addJSONFromFile(jsonContext(writer), key, filePath, closeLastContainer);
  if (result != PloverCrashJSON_OK) {
    PLOVERCRASHLOG_ERROR("Error reading file %s: %s", filePath, plovercrashjson_stringForError(result));
  }
}

void addDataElement(const PloverCrashReportWriter* writer, const char* key, const char* value, int length) {
  plovercrashjson_addDataElement(jsonContext(writer), key, value, length);
}

void beginDataElement(const PloverCrashReportWriter* writer, const char* key) {
  plovercrashjson_beginDataElement(jsonContext(writer), key);
}

void appendDataElement(const PloverCrashReportWriter* writer, const char* value, int length) {
  plovercrashjson_appendDataElement(jsonContext(writer), value, length);
}

void endDataElement(const PloverCrashReportWriter* writer) { plovercrashjson_endDataElement(jsonContext(writer)); }

void addUUIDElement(const PloverCrashReportWriter* writer, const char* key, const unsigned char* value) {
  if (value == nullptr) {
    plovercrashjson_addNullElement(jsonContext(writer), key);
    return;
  }
  static const char hexNybbles[] = "0123456789ABCDEF";
  char uuidBuffer[37];
  char* dst = uuidBuffer;
  const unsigned char* src = value;
  const int groups[] = {4, 2, 2, 2, 6};
  for (int group = 0; group < 5; ++group) {
    if (group > 0) *dst++ = '-';
    for (int i = 0; i < groups[group]; ++i) {
      *dst++ = hexNybbles[(*src >> 4) & 15];
      *dst++ = hexNybbles[*src++ & 15];
    }
  }
  *dst = '\0';
  plovercrashjson_addStringElement(jsonContext(writer), key, uuidBuffer, 36);
}

int ignoreElement(const char*, void*) { return PloverCrashJSON_OK; }

// Decodes the text without writing anything: the text is added only when it is whole and valid,
// so a bad text can leave nothing half-written.
int validateJSON(const char* json, int length) {
  char scratch[5100];
  PloverCrashJSONDecodeCallbacks callbacks{};
  callbacks.onNullElement = ignoreElement;
  return plovercrashjson_decode(json, length, scratch, sizeof scratch, &callbacks, nullptr, nullptr);
}

void addJSONElement(const PloverCrashReportWriter* writer, const char* key, const char* jsonElement,
                    bool closeLastContainer) {
  const int length = jsonElement != nullptr ? plovercrashformat_strlen(jsonElement) : 0;
  int result = jsonElement != nullptr ? validateJSON(jsonElement, length) : PloverCrashJSON_ERROR_INVALID_DATA;
  if (result == PloverCrashJSON_OK && !closeLastContainer) {
    // Left open for the caller to add named members to and close, the element must be an
    // object: anything else would leave the caller's close to end a container of its own.
    const char* start = jsonElement;
    while (*start == ' ' || *start == '\t' || *start == '\n' || *start == '\r') ++start;
    if (*start != '{') result = PloverCrashJSON_ERROR_INVALID_DATA;
  }
  if (result == PloverCrashJSON_OK) {
    result = plovercrashjson_addJSONElement(jsonContext(writer), key, jsonElement, length, closeLastContainer);
  }
  if (result != PloverCrashJSON_OK) {
    char errorBuff[100];
    plovercrashformat_format(errorBuff, sizeof errorBuff, "Invalid JSON data: %s",
                             plovercrashjson_stringForError(result));
    plovercrashjson_beginObject(jsonContext(writer), key);
    plovercrashjson_addStringElement(jsonContext(writer), "error", errorBuff, -1);
    plovercrashjson_addStringElement(jsonContext(writer), "json_data", jsonElement, -1);
    // Like the valid element, the object stays open when the caller closes it.
    if (closeLastContainer) plovercrashjson_endContainer(jsonContext(writer));
  }
}

void beginObject(const PloverCrashReportWriter* writer, const char* key) {
  plovercrashjson_beginObject(jsonContext(writer), key);
}

void beginArray(const PloverCrashReportWriter* writer, const char* key) {
  plovercrashjson_beginArray(jsonContext(writer), key);
}

void endContainer(const PloverCrashReportWriter* writer) { plovercrashjson_endContainer(jsonContext(writer)); }

int addJSONData(const char* data, int length, void* userData) {
  auto* writer = static_cast<PloverCrashBufferedWriter*>(userData);
  return plovercrashfu_writeBufferedWriter(writer, data, length) ? PloverCrashJSON_OK
                                                                 : PloverCrashJSON_ERROR_CANNOT_ADD_DATA;
}

void prepareReportWriter(PloverCrashReportWriter* writer, PloverCrashJSONEncodeContext* context) {
  writer->addBooleanElement = addBooleanElement;
  writer->addFloatingPointElement = addFloatingPointElement;
  writer->addIntegerElement = addIntegerElement;
  writer->addUIntegerElement = addUIntegerElement;
  writer->addStringElement = addStringElement;
  writer->addTextFileElement = addTextFileElement;
  writer->addTextFileLinesElement = addTextFileLinesElement;
  writer->addJSONFileElement = addJSONFileElement;
  writer->addDataElement = addDataElement;
  writer->beginDataElement = beginDataElement;
  writer->appendDataElement = appendDataElement;
  writer->endDataElement = endDataElement;
  writer->addUUIDElement = addUUIDElement;
  writer->addJSONElement = addJSONElement;
  writer->beginObject = beginObject;
  writer->beginArray = beginArray;
  writer->endContainer = endContainer;
  writer->context = context;
}

// ---- Memory introspection ------------------------------------------------------------------

bool isRestrictedClass(const char* name) {
  const char* const* classes = settings().doNotIntrospectClasses.load();
  const int count = settings().doNotIntrospectClassesCount.load();
  if (classes == nullptr || name == nullptr) return false;
  char copy[128];
  const int copied = plovercrashmem_copyMaxPossible(name, copy, sizeof copy - 1);
  copy[copied > 0 ? copied : 0] = '\0';
  for (int i = 0; i < count; ++i) {
    if (classes[i] != nullptr && std::strcmp(copy, classes[i]) == 0) return true;
  }
  return false;
}

// A zero-terminated UTF-8 text of at least 4 characters within 500 readable bytes, copied.
bool copyValidString(const void* address, char* buffer500) {
  if (address == nullptr) return false;
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  if (start + 500 < start) return false;
  if (!plovercrashmem_copySafely(address, buffer500, 500)) return false;
  return plovercrashstring_isNullTerminatedUTF8String(buffer500, 4, 500);
}

void writeMemoryContents(const PloverCrashReportWriter* writer, const char* key, std::uintptr_t address, int* limit);

void writeIvars(const PloverCrashReportWriter* writer, const char* key, std::uintptr_t address, int* limit) {
  const void* object = reinterpret_cast<const void*>(address);
  (*limit)--;
  writer->beginObject(writer, key);
  if (plovercrashobjc_isTaggedPointer(object)) {
    writer->addIntegerElement(writer, "tagged_payload",
                              static_cast<std::int64_t>(plovercrashobjc_taggedPointerPayload(object)));
  } else {
    const void* classPtr = plovercrashobjc_isaPointer(object);
    PloverCrashObjCIvar ivars[kMaxIvarsRead];
    const int ivarCount = plovercrashobjc_ivarList(classPtr, ivars, kMaxIvarsRead);
    *limit -= ivarCount;
    for (int i = 0; i < ivarCount; ++i) {
      char name[128];
      const int nameLength = plovercrashmem_copyMaxPossible(ivars[i].name, name, sizeof name - 1);
      name[nameLength > 0 ? nameLength : 0] = '\0';
      char type = 0;
      if (name[0] == '\0' || !plovercrashmem_copySafely(ivars[i].type, &type, 1)) continue;
      union {
        std::int8_t i8;
        std::int16_t i16;
        std::int32_t i32;
        std::int64_t i64;
        std::uint8_t u8;
        std::uint16_t u16;
        std::uint32_t u32;
        std::uint64_t u64;
        float f;
        double d;
        bool b;
        std::uintptr_t pointer;
        unsigned char bytes[16];
      } value{};
      if (!plovercrashobjc_ivarValue(object, ivars[i].index, &value)) continue;
      switch (type) {
        case 'c':
          writer->addIntegerElement(writer, name, value.i8);
          break;
        case 's':
          writer->addIntegerElement(writer, name, value.i16);
          break;
        case 'i':
        case 'l':
          writer->addIntegerElement(writer, name, value.i32);
          break;
        case 'q':
          writer->addIntegerElement(writer, name, value.i64);
          break;
        case 'C':
          writer->addUIntegerElement(writer, name, value.u8);
          break;
        case 'S':
          writer->addUIntegerElement(writer, name, value.u16);
          break;
        case 'I':
        case 'L':
          writer->addUIntegerElement(writer, name, value.u32);
          break;
        case 'Q':
          writer->addUIntegerElement(writer, name, value.u64);
          break;
        case 'f':
          writer->addFloatingPointElement(writer, name, value.f);
          break;
        case 'd':
          writer->addFloatingPointElement(writer, name, value.d);
          break;
        case 'B':
          writer->addBooleanElement(writer, name, value.u8 != 0);
          break;
        case '@':
        case '#':
        case ':':
        case '*':
          writeMemoryContents(writer, name, value.pointer, limit);
          break;
        default:
          break;
      }
    }
  }
  writer->endContainer(writer);
}

// Writes what the object at address is; false when it is no object to describe (or one that
// must not be opened up).
bool writeObjCObject(const PloverCrashReportWriter* writer, std::uintptr_t address, int* limit) {
  const void* object = reinterpret_cast<const void*>(address);
  switch (plovercrashobjc_objectType(object)) {
    case PloverCrashObjCTypeClass:
      writer->addStringElement(writer, "type", "objc_class");
      writer->addStringElement(writer, "class", plovercrashobjc_className(object));
      return true;
    case PloverCrashObjCTypeObject: {
      writer->addStringElement(writer, "type", "objc_object");
      const char* className = plovercrashobjc_objectClassName(object);
      writer->addStringElement(writer, "class", className);
      if (isRestrictedClass(className)) return false;
      switch (plovercrashobjc_objectClassType(object)) {
        case PloverCrashObjCClassTypeString: {
          char buffer[200];
          if (plovercrashobjc_copyStringContents(object, buffer, sizeof buffer) > 0) {
            writer->addStringElement(writer, "value", buffer);
          }
          return true;
        }
        case PloverCrashObjCClassTypeURL: {
          char buffer[200];
          if (plovercrashobjc_copyURLContents(object, buffer, sizeof buffer) > 0) {
            writer->addStringElement(writer, "value", buffer);
          }
          return true;
        }
        case PloverCrashObjCClassTypeDate:
          writer->addFloatingPointElement(writer, "value", plovercrashobjc_dateContents(object));
          return true;
        case PloverCrashObjCClassTypeNumber:
          writer->addFloatingPointElement(writer, "value", plovercrashobjc_numberAsFloat(object));
          return true;
        case PloverCrashObjCClassTypeArray:
          if (*limit > 0) {
            std::uintptr_t firstObject = 0;
            if (plovercrashobjc_arrayContents(object, &firstObject, 1) == 1) {
              writeMemoryContents(writer, "first_object", firstObject, limit);
            }
          }
          return true;
        default:
          if (*limit > 0) writeIvars(writer, "ivars", address, limit);
          return true;
      }
    }
    case PloverCrashObjCTypeBlock:
      writer->addStringElement(writer, "type", "objc_block");
      writer->addStringElement(writer, "class", plovercrashobjc_objectClassName(object));
      return true;
    case PloverCrashObjCTypeUnknown:
      break;
  }
  return false;
}

void writeMemoryContents(const PloverCrashReportWriter* writer, const char* key, std::uintptr_t address, int* limit) {
  (*limit)--;
  const void* object = reinterpret_cast<const void*>(address);
  writer->beginObject(writer, key);
  writer->addUIntegerElement(writer, "address", address);
  if (const char* zombieClassName = plovercrashzombie_className(object)) {
    writer->addStringElement(writer, "last_deallocated_obj", zombieClassName);
  }
  if (!writeObjCObject(writer, address, limit)) {
    char text[500];
    if (object == nullptr) {
      writer->addStringElement(writer, "type", "null_pointer");
    } else if (copyValidString(object, text)) {
      writer->addStringElement(writer, "type", "string");
      writer->addStringElement(writer, "value", text);
    } else {
      writer->addStringElement(writer, "type", "unknown");
    }
  }
  writer->endContainer(writer);
}

bool isNotableAddress(std::uintptr_t address) {
  if (address == 0) return false;
  const void* object = reinterpret_cast<const void*>(address);
  if (plovercrashobjc_isTaggedPointer(object) && !plovercrashobjc_isValidTaggedPointer(object)) {
    return false;
  }
  if (plovercrashzombie_className(object) != nullptr) return true;
  switch (plovercrashobjc_objectType(object)) {
    case PloverCrashObjCTypeClass:
    case PloverCrashObjCTypeObject:
    case PloverCrashObjCTypeBlock:
      return true;
    case PloverCrashObjCTypeUnknown:
      break;
  }
  char text[500];
  return copyValidString(object, text);
}

void writeMemoryContentsIfNotable(const PloverCrashReportWriter* writer, const char* key, std::uintptr_t address) {
  if (isNotableAddress(address)) {
    int limit = kDefaultMemorySearchDepth;
    writeMemoryContents(writer, key, address, &limit);
  }
}

void writeAddressReferencedByString(const PloverCrashReportWriter* writer, const char* key, const char* string) {
  std::uint64_t address = 0;
  if (string == nullptr || !plovercrashstring_extractHexValue(string, plovercrashformat_strlen(string), &address)) {
    return;
  }
  int limit = kDefaultMemorySearchDepth;
  writeMemoryContents(writer, key, static_cast<std::uintptr_t>(address), &limit);
}

// ---- Threads -------------------------------------------------------------------------------

void writeBacktrace(const PloverCrashReportWriter* writer, const char* key, PloverCrashBacktraceCursor* cursor) {
  writer->beginObject(writer, key);
  writer->beginArray(writer, "contents");
  while (cursor->advanceCursor(cursor)) {
    writer->beginObject(writer, nullptr);
    if (cursor->symbolicate(cursor)) {
      if (cursor->stackEntry.imageName != nullptr) {
        writer->addStringElement(writer, "object_name", plovercrashfu_lastPathEntry(cursor->stackEntry.imageName));
      }
      writer->addUIntegerElement(writer, "object_addr", cursor->stackEntry.imageAddress);
      if (cursor->stackEntry.symbolName != nullptr) {
        writer->addStringElement(writer, "symbol_name", cursor->stackEntry.symbolName);
      }
      writer->addUIntegerElement(writer, "symbol_addr", cursor->stackEntry.symbolAddress);
    }
    writer->addUIntegerElement(writer, "instruction_addr", cursor->address);
    writer->endContainer(writer);
  }
  writer->endContainer(writer);
  writer->addIntegerElement(writer, "skipped", 0);
  writer->endContainer(writer);
}

void stackRange(const PloverCrashMachineContext* context, std::uintptr_t* low, std::uintptr_t* high) {
  const int growDirection = plovercrashcpu_stackGrowDirection();
  const std::uintptr_t sp = plovercrashcpu_stackPointer(context);
  const std::intptr_t pushed = kStackContentsPushedDistance * kWordSize * growDirection * -1;
  const std::intptr_t popped = kStackContentsPoppedDistance * kWordSize * growDirection;
  std::uintptr_t a = sp + static_cast<std::uintptr_t>(pushed);
  std::uintptr_t b = sp + static_cast<std::uintptr_t>(popped);
  if (b < a) {
    const std::uintptr_t swap = a;
    a = b;
    b = swap;
  }
  *low = a;
  *high = b;
}

void writeStackContents(const PloverCrashReportWriter* writer, const char* key,
                        const PloverCrashMachineContext* context, bool isStackOverflow) {
  const std::uintptr_t sp = plovercrashcpu_stackPointer(context);
  if (sp == 0) return;
  std::uintptr_t low = 0, high = 0;
  stackRange(context, &low, &high);
  writer->beginObject(writer, key);
  writer->addStringElement(writer, "grow_direction", plovercrashcpu_stackGrowDirection() > 0 ? "+" : "-");
  writer->addUIntegerElement(writer, "dump_start", low);
  writer->addUIntegerElement(writer, "dump_end", high);
  writer->addUIntegerElement(writer, "stack_pointer", sp);
  writer->addBooleanElement(writer, "overflow", isStackOverflow);
  std::uint8_t stackBuffer[kStackContentsTotalDistance * kWordSize];
  const int copyLength = static_cast<int>(high - low);
  if (copyLength > 0 && copyLength <= static_cast<int>(sizeof stackBuffer) &&
      plovercrashmem_copySafely(reinterpret_cast<const void*>(low), stackBuffer, copyLength)) {
    writer->addDataElement(writer, "contents", reinterpret_cast<const char*>(stackBuffer), copyLength);
  } else {
    writer->addStringElement(writer, "error", "Stack contents not accessible");
  }
  writer->endContainer(writer);
}

void writeNotableStackContents(const PloverCrashReportWriter* writer, const PloverCrashMachineContext* context) {
  const std::uintptr_t sp = plovercrashcpu_stackPointer(context);
  if (sp == 0) return;
  std::uintptr_t low = 0, high = 0;
  stackRange(context, &low, &high);
  char nameBuffer[40];
  for (std::uintptr_t address = low; address < high; address += kWordSize) {
    std::uintptr_t contents = 0;
    if (plovercrashmem_copySafely(reinterpret_cast<const void*>(address), &contents, sizeof contents)) {
      plovercrashformat_format(nameBuffer, sizeof nameBuffer, "stack@%p", reinterpret_cast<void*>(address));
      writeMemoryContentsIfNotable(writer, nameBuffer, contents);
    }
  }
}

void registerName(int index, char* buffer, int length) {
  const char* name = plovercrashcpu_registerName(index);
  if (name != nullptr) {
    plovercrashformat_format(buffer, length, "%s", name);
  } else {
    plovercrashformat_format(buffer, length, "r%d", index);
  }
}

void writeRegisters(const PloverCrashReportWriter* writer, const char* key, const PloverCrashMachineContext* context) {
  writer->beginObject(writer, key);
  writer->beginObject(writer, "basic");
  char name[30];
  for (int i = 0; i < plovercrashcpu_numRegisters(); ++i) {
    registerName(i, name, sizeof name);
    writer->addUIntegerElement(writer, name, plovercrashcpu_registerValue(context, i));
  }
  writer->endContainer(writer);
  if (plovercrashmc_hasValidExceptionRegisters(context)) {
    writer->beginObject(writer, "exception");
    for (int i = 0; i < plovercrashcpu_numExceptionRegisters(); ++i) {
      const char* exceptionName = plovercrashcpu_exceptionRegisterName(i);
      if (exceptionName != nullptr) {
        plovercrashformat_format(name, sizeof name, "%s", exceptionName);
      } else {
        plovercrashformat_format(name, sizeof name, "r%d", i);
      }
      writer->addUIntegerElement(writer, name, plovercrashcpu_exceptionRegisterValue(context, i));
    }
    writer->endContainer(writer);
  }
  writer->endContainer(writer);
}

void writeNotableRegisters(const PloverCrashReportWriter* writer, const PloverCrashMachineContext* context) {
  char name[30];
  for (int i = 0; i < plovercrashcpu_numRegisters(); ++i) {
    registerName(i, name, sizeof name);
    writeMemoryContentsIfNotable(writer, name, plovercrashcpu_registerValue(context, i));
  }
}

void writeThread(const PloverCrashReportWriter* writer, const char* key, const PloverCrash_MonitorContext* crash,
                 const PloverCrashMachineContext* machineContext, int threadIndex, bool shouldWriteNotableAddresses) {
  const bool isCrashedThread = plovercrashmc_isCrashedContext(machineContext);
  const PloverCrashThread thread = plovercrashmc_getThreadFromContext(machineContext);
  PloverCrashBacktraceCursor cursor;
  if (isCrashedThread && crash->stackCursor != nullptr) {
    cursor = *crash->stackCursor;
    // A copy of a backtrace cursor must start over; its working area moved with it.
    cursor.resetCursor(&cursor);
  } else {
    plovercrashsc_initWithMachineContext(&cursor, kMaxThreadStackDepth, machineContext);
  }
  writer->beginObject(writer, key);
  writeBacktrace(writer, "backtrace", &cursor);
  if (plovercrashmc_canHaveCPUState(machineContext)) {
    writeRegisters(writer, "registers", machineContext);
  }
  writer->addIntegerElement(writer, "index", threadIndex);
  if (const char* name = plovercrashccd_getThreadName(thread)) {
    writer->addStringElement(writer, "name", name);
  }
  if (const char* name = plovercrashccd_getQueueName(thread)) {
    writer->addStringElement(writer, "dispatch_queue", name);
  }
  writer->addBooleanElement(writer, "crashed", isCrashedThread);
  writer->addBooleanElement(writer, "current_thread", thread == plovercrashthread_self());
  if (isCrashedThread) {
    writeStackContents(writer, "stack", machineContext, cursor.state.hasGivenUp);
    if (shouldWriteNotableAddresses) {
      writer->beginObject(writer, "notable_addresses");
      writeNotableRegisters(writer, machineContext);
      writeNotableStackContents(writer, machineContext);
      writer->endContainer(writer);
    }
  }
  writer->endContainer(writer);
}

void writeAllThreads(const PloverCrashReportWriter* writer, const char* key, const PloverCrash_MonitorContext* crash,
                     bool writeNotableAddresses) {
  const PloverCrashMachineContext* context = crash->offendingMachineContext;
  const PloverCrashThread offendingThread = plovercrashmc_getThreadFromContext(context);
  const int threadCount = plovercrashmc_getThreadCount(context);
  PloverCrashMachineContext machineContext;
  writer->beginArray(writer, key);
  for (int i = 0; i < threadCount; ++i) {
    const PloverCrashThread thread = plovercrashmc_getThreadAtIndex(context, i);
    if (thread == offendingThread) {
      writeThread(writer, nullptr, crash, context, i, writeNotableAddresses);
    } else {
      plovercrashmc_getContextForThread(thread, &machineContext, false);
      writeThread(writer, nullptr, crash, &machineContext, i, writeNotableAddresses);
    }
  }
  writer->endContainer(writer);
}

// ---- Sections ------------------------------------------------------------------------------

void writeReportInfo(const PloverCrashReportWriter* writer, const char* key, const char* type, const char* reportID,
                     const char* processName) {
  writer->beginObject(writer, key);
  writer->addStringElement(writer, "version", kReportVersion);
  writer->addStringElement(writer, "id", reportID);
  writer->addStringElement(writer, "process_name", processName);
  writer->addIntegerElement(writer, "timestamp", static_cast<std::int64_t>(time(nullptr)));
  writer->addStringElement(writer, "type", type);
  writer->endContainer(writer);
}

void writeBinaryImages(const PloverCrashReportWriter* writer, const char* key) {
  const int imageCount = plovercrashdl_imageCount();
  writer->beginArray(writer, key);
  for (int index = 0; index < imageCount; ++index) {
    PloverCrashBinaryImage image;
    std::memset(&image, 0, sizeof image);
    if (!plovercrashdl_getBinaryImage(index, &image)) continue;
    writer->beginObject(writer, nullptr);
    writer->addUIntegerElement(writer, "image_addr", image.address);
    writer->addUIntegerElement(writer, "image_vmaddr", image.vmAddress);
    writer->addUIntegerElement(writer, "image_size", image.size);
    writer->addStringElement(writer, "name", image.name);
    writer->addUUIDElement(writer, "uuid", image.uuid);
    writer->addIntegerElement(writer, "cpu_type", image.cpuType);
    writer->addIntegerElement(writer, "cpu_subtype", image.cpuSubType);
    writer->addUIntegerElement(writer, "major_version", image.majorVersion);
    writer->addUIntegerElement(writer, "minor_version", image.minorVersion);
    writer->addUIntegerElement(writer, "revision_version", image.revisionVersion);
    writer->endContainer(writer);
  }
  writer->endContainer(writer);
}

void writeProcessState(const PloverCrashReportWriter* writer, const char* key,
                       const PloverCrash_MonitorContext* crash) {
  writer->beginObject(writer, key);
  if (crash->ZombieException.address != 0) {
    writer->beginObject(writer, "last_dealloced_nsexception");
    writer->addUIntegerElement(writer, "address", crash->ZombieException.address);
    writer->addStringElement(writer, "name", crash->ZombieException.name);
    writer->addStringElement(writer, "reason", crash->ZombieException.reason);
    writeAddressReferencedByString(writer, "referenced_object", crash->ZombieException.reason);
    writer->endContainer(writer);
  }
  writer->endContainer(writer);
}

void writeSystemInfo(const PloverCrashReportWriter* writer, const char* key, const PloverCrash_MonitorContext* crash) {
  const auto& s = crash->System;
  const auto& a = crash->AppState;
  writer->beginObject(writer, key);
  writer->addStringElement(writer, "system_name", s.systemName);
  writer->addStringElement(writer, "system_version", s.systemVersion);
  writer->addStringElement(writer, "machine", s.machine);
  writer->addStringElement(writer, "model", s.model);
  writer->addStringElement(writer, "kernel_version", s.kernelVersion);
  writer->addStringElement(writer, "os_version", s.osVersion);
  writer->addBooleanElement(writer, "jailbroken", s.isJailbroken);
  writer->addStringElement(writer, "boot_time", s.bootTime);
  writer->addStringElement(writer, "app_start_time", s.appStartTime);
  writer->addStringElement(writer, "CFBundleExecutablePath", s.executablePath);
  writer->addStringElement(writer, "CFBundleExecutable", s.executableName);
  writer->addStringElement(writer, "CFBundleIdentifier", s.bundleID);
  writer->addStringElement(writer, "CFBundleName", s.bundleName);
  writer->addStringElement(writer, "CFBundleVersion", s.bundleVersion);
  writer->addStringElement(writer, "CFBundleShortVersionString", s.bundleShortVersion);
  writer->addStringElement(writer, "app_uuid", s.appID);
  writer->addStringElement(writer, "cpu_arch", s.cpuArchitecture);
  writer->addIntegerElement(writer, "cpu_type", s.cpuType);
  writer->addIntegerElement(writer, "cpu_subtype", s.cpuSubType);
  writer->addIntegerElement(writer, "binary_cpu_type", s.binaryCPUType);
  writer->addIntegerElement(writer, "binary_cpu_subtype", s.binaryCPUSubType);
  writer->addStringElement(writer, "time_zone", s.timezone);
  writer->addStringElement(writer, "process_name", s.processName);
  writer->addIntegerElement(writer, "process_id", s.processID);
  writer->addIntegerElement(writer, "parent_process_id", s.parentProcessID);
  writer->addStringElement(writer, "device_app_hash", s.deviceAppHash);
  writer->addStringElement(writer, "build_type", s.buildType);
  writer->addIntegerElement(writer, "storage", static_cast<std::int64_t>(s.storageSize));
  writer->beginObject(writer, "memory");
  writer->addUIntegerElement(writer, "size", s.memorySize);
  writer->addUIntegerElement(writer, "usable", s.usableMemory);
  writer->addUIntegerElement(writer, "free", s.freeMemory);
  writer->endContainer(writer);
  writer->beginObject(writer, "application_stats");
  writer->addBooleanElement(writer, "application_active", a.applicationIsActive);
  writer->addBooleanElement(writer, "application_in_foreground", a.applicationIsInForeground);
  writer->addIntegerElement(writer, "launches_since_last_crash", a.launchesSinceLastCrash);
  writer->addIntegerElement(writer, "sessions_since_last_crash", a.sessionsSinceLastCrash);
  writer->addFloatingPointElement(writer, "active_time_since_last_crash", a.activeDurationSinceLastCrash);
  writer->addFloatingPointElement(writer, "background_time_since_last_crash", a.backgroundDurationSinceLastCrash);
  writer->addIntegerElement(writer, "sessions_since_launch", a.sessionsSinceLaunch);
  writer->addFloatingPointElement(writer, "active_time_since_launch", a.activeDurationSinceLaunch);
  writer->addFloatingPointElement(writer, "background_time_since_launch", a.backgroundDurationSinceLaunch);
  writer->endContainer(writer);
  writer->endContainer(writer);
}

void writeError(const PloverCrashReportWriter* writer, const char* key, const PloverCrash_MonitorContext* crash) {
  writer->beginObject(writer, key);

  writer->beginObject(writer, "mach");
  const int machException = crash->mach.type;
  const auto machCode = static_cast<std::uint32_t>(crash->mach.code);
  writer->addUIntegerElement(writer, "exception", static_cast<std::uint32_t>(machException));
  if (const char* name = plovercrashmach_exceptionName(machException)) {
    writer->addStringElement(writer, "exception_name", name);
  }
  writer->addUIntegerElement(writer, "code", machCode);
  if (machCode != 0) {
    if (const char* name = plovercrashmach_kernelReturnCodeName(machCode)) {
      writer->addStringElement(writer, "code_name", name);
    }
  }
  writer->addUIntegerElement(writer, "subcode", static_cast<std::uint32_t>(crash->mach.subcode));
  writer->endContainer(writer);

  writer->beginObject(writer, "signal");
  const int sigNum = crash->signal.signum;
  const int sigCode = crash->signal.sigcode;
  writer->addUIntegerElement(writer, "signal", static_cast<std::uint32_t>(sigNum));
  if (const char* name = plovercrashsignal_signalName(sigNum)) {
    writer->addStringElement(writer, "name", name);
  }
  writer->addUIntegerElement(writer, "code", static_cast<std::uint32_t>(sigCode));
  if (const char* name = plovercrashsignal_signalCodeName(sigNum, sigCode)) {
    writer->addStringElement(writer, "code_name", name);
  }
  writer->endContainer(writer);

  writer->addUIntegerElement(writer, "address", crash->faultAddress);
  if (crash->crashReason != nullptr) writer->addStringElement(writer, "reason", crash->crashReason);

  switch (crash->crashType) {
    case PloverCrashMonitorTypeMainThreadDeadlock:
      writer->addStringElement(writer, "type", "deadlock");
      break;
    case PloverCrashMonitorTypeMachException:
      writer->addStringElement(writer, "type", "mach");
      break;
    case PloverCrashMonitorTypeCPPException:
      writer->addStringElement(writer, "type", "cpp_exception");
      writer->beginObject(writer, "cpp_exception");
      writer->addStringElement(writer, "name", crash->CPPException.name);
      writer->endContainer(writer);
      break;
    case PloverCrashMonitorTypeNSException:
      writer->addStringElement(writer, "type", "nsexception");
      writer->beginObject(writer, "nsexception");
      writer->addStringElement(writer, "name", crash->NSException.name);
      writer->addStringElement(writer, "userInfo", crash->NSException.userInfo);
      writeAddressReferencedByString(writer, "referenced_object", crash->crashReason);
      writer->endContainer(writer);
      break;
    case PloverCrashMonitorTypeSignal:
      writer->addStringElement(writer, "type", "signal");
      break;
    case PloverCrashMonitorTypeUserReported:
      writer->addStringElement(writer, "type", "user");
      writer->beginObject(writer, "user_reported");
      writer->addStringElement(writer, "name", crash->userException.name);
      if (crash->userException.language != nullptr) {
        writer->addStringElement(writer, "language", crash->userException.language);
      }
      if (crash->userException.lineOfCode != nullptr) {
        writer->addStringElement(writer, "line_of_code", crash->userException.lineOfCode);
      }
      if (crash->userException.customStackTrace != nullptr) {
        writer->addJSONElement(writer, "backtrace", crash->userException.customStackTrace, true);
      }
      writer->endContainer(writer);
      break;
    default:
      PLOVERCRASHLOG_ERROR("Crash monitor type 0x%x shouldn't be able to cause events!",
                           static_cast<unsigned>(crash->crashType));
      break;
  }
  writer->endContainer(writer);
}

void writeDebugInfo(const PloverCrashReportWriter* writer, const char* key, const PloverCrash_MonitorContext* crash) {
  writer->beginObject(writer, key);
  if (crash->consoleLogPath != nullptr) {
    writer->addTextFileLinesElement(writer, "console_log", crash->consoleLogPath);
  }
  writer->endContainer(writer);
}

// The old path of a recrash: path with ".json" replaced by ".old"; false when it does not fit.
bool recrashOldPath(const char* path, char* buffer500) {
  const int length = plovercrashformat_strlen(path);
  constexpr char kSuffix[] = ".json";
  if (length < 5 || length > 490) return false;
  for (int i = 0; i < 5; ++i) {
    if (path[length - 5 + i] != kSuffix[i]) return false;
  }
  plovercrashformat_format(buffer500, 500, "%.*s.old", length - 5, path);
  return true;
}

char g_recrashOldPath[500];

}  // namespace

void plovercrashreport_writeRecrashReport(const PloverCrash_MonitorContext* monitorContext, const char* path) {
  if (!recrashOldPath(path, g_recrashOldPath)) {
    PLOVERCRASHLOG_ERROR("Could not rename %s to its old path: the path does not fit", path);
    return;
  }
  if (rename(path, g_recrashOldPath) < 0) {
    PLOVERCRASHLOG_ERROR("Could not rename %s to %s: %s", path, g_recrashOldPath, plovercrashformat_errorText(errno));
  }
  char writeBuffer[1024];
  PloverCrashBufferedWriter bufferedWriter;
  if (!plovercrashfu_openBufferedWriter(&bufferedWriter, path, writeBuffer, sizeof writeBuffer)) {
    return;
  }
  plovercrashccd_freeze();

  PloverCrashJSONEncodeContext jsonContext;
  jsonContext.userData = &bufferedWriter;
  PloverCrashReportWriter concreteWriter;
  PloverCrashReportWriter* writer = &concreteWriter;
  prepareReportWriter(writer, &jsonContext);
  plovercrashjson_beginEncode(&jsonContext, true, addJSONData, &bufferedWriter);

  writer->beginObject(writer, "report");
  writer->addJSONFileElement(writer, "recrash_report", g_recrashOldPath, true);
  plovercrashfu_flushBufferedWriter(&bufferedWriter);
  if (remove(g_recrashOldPath) < 0) {
    PLOVERCRASHLOG_ERROR("Could not remove %s: %s", g_recrashOldPath, plovercrashformat_errorText(errno));
  }
  writeReportInfo(writer, "report", "minimal", monitorContext->eventID, monitorContext->System.processName);
  plovercrashfu_flushBufferedWriter(&bufferedWriter);

  writer->beginObject(writer, "crash");
  writeError(writer, "error", monitorContext);
  plovercrashfu_flushBufferedWriter(&bufferedWriter);
  const int threadIndex =
      plovercrashmc_indexOfThread(monitorContext->offendingMachineContext,
                                  plovercrashmc_getThreadFromContext(monitorContext->offendingMachineContext));
  writeThread(writer, "crashed_thread", monitorContext, monitorContext->offendingMachineContext, threadIndex, false);
  plovercrashfu_flushBufferedWriter(&bufferedWriter);
  writer->endContainer(writer);

  writer->endContainer(writer);
  plovercrashjson_endEncode(&jsonContext);
  plovercrashfu_closeBufferedWriter(&bufferedWriter);
  plovercrashccd_unfreeze();
}

void plovercrashreport_writeStandardReport(const PloverCrash_MonitorContext* monitorContext, const char* path) {
  char writeBuffer[1024];
  PloverCrashBufferedWriter bufferedWriter;
  if (!plovercrashfu_openBufferedWriter(&bufferedWriter, path, writeBuffer, sizeof writeBuffer)) {
    return;
  }
  plovercrashccd_freeze();

  PloverCrashJSONEncodeContext jsonContext;
  jsonContext.userData = &bufferedWriter;
  PloverCrashReportWriter concreteWriter;
  PloverCrashReportWriter* writer = &concreteWriter;
  prepareReportWriter(writer, &jsonContext);
  plovercrashjson_beginEncode(&jsonContext, true, addJSONData, &bufferedWriter);

  writer->beginObject(writer, "report");

  writeReportInfo(writer, "report", "standard", monitorContext->eventID, monitorContext->System.processName);
  plovercrashfu_flushBufferedWriter(&bufferedWriter);

  writeBinaryImages(writer, "binary_images");
  plovercrashfu_flushBufferedWriter(&bufferedWriter);

  writeProcessState(writer, "process", monitorContext);
  plovercrashfu_flushBufferedWriter(&bufferedWriter);

  writeSystemInfo(writer, "system", monitorContext);
  plovercrashfu_flushBufferedWriter(&bufferedWriter);

  writer->beginObject(writer, "crash");
  writeError(writer, "error", monitorContext);
  plovercrashfu_flushBufferedWriter(&bufferedWriter);
  writeAllThreads(writer, "threads", monitorContext, settings().introspectMemory.load());
  plovercrashfu_flushBufferedWriter(&bufferedWriter);
  writer->endContainer(writer);

  if (const char* userInfo = plovercrashreport_beginUserInfoRead()) {
    addJSONElement(writer, "user", userInfo, false);
    plovercrashreport_endUserInfoRead();
    plovercrashfu_flushBufferedWriter(&bufferedWriter);
  } else {
    plovercrashreport_endUserInfoRead();
    writer->beginObject(writer, "user");
  }
  if (PloverCrashReportWriteCallback callback = settings().userSectionWriteCallback.load()) {
    plovercrashfu_flushBufferedWriter(&bufferedWriter);
    if (!monitorContext->currentSnapshotUserReported) callback(writer);
  }
  writer->endContainer(writer);
  plovercrashfu_flushBufferedWriter(&bufferedWriter);

  writeDebugInfo(writer, "debug", monitorContext);

  writer->endContainer(writer);
  plovercrashjson_endEncode(&jsonContext);
  plovercrashfu_closeBufferedWriter(&bufferedWriter);
  plovercrashccd_unfreeze();
}

void plovercrashreport_setUserInfoJSON(const char* userInfoJSON) {
  Settings& s = settings();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::unique_ptr<char[]> copy;
  if (userInfoJSON != nullptr) {
    const std::size_t length = std::strlen(userInfoJSON);
    copy.reset(new char[length + 1]);
    std::memcpy(copy.get(), userInfoJSON, length + 1);
  }
  s.userInfoJSON.store(copy.get());
  if (s.currentUserInfo) s.retiredUserInfo.push_back(std::move(s.currentUserInfo));
  s.currentUserInfo = std::move(copy);
  // Both atomics are sequentially consistent: a reader that counted itself in after this load
  // loads the copy stored above.
  if (s.userInfoReaders.load() == 0) s.retiredUserInfo.clear();
}

const char* plovercrashreport_beginUserInfoRead() {
  Settings& s = settings();
  s.userInfoReaders.fetch_add(1);
  return s.userInfoJSON.load();
}

void plovercrashreport_endUserInfoRead() { settings().userInfoReaders.fetch_sub(1); }

int plovercrashreport_userInfoCopiesHeld() {
  Settings& s = settings();
  std::lock_guard<std::mutex> lock(s.mutex);
  return static_cast<int>(s.retiredUserInfo.size()) + (s.currentUserInfo ? 1 : 0);
}

void plovercrashreport_setIntrospectMemory(bool shouldIntrospectMemory) {
  settings().introspectMemory.store(shouldIntrospectMemory);
}

void plovercrashreport_setDoNotIntrospectClasses(const char** doNotIntrospectClasses, int length) {
  Settings& s = settings();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (doNotIntrospectClasses == nullptr || length <= 0) {
    s.doNotIntrospectClassesCount.store(0);
    s.doNotIntrospectClasses.store(nullptr);
    return;
  }
  auto names = std::make_unique<std::vector<std::string>>();
  auto pointers = std::make_unique<std::vector<const char*>>();
  names->reserve(static_cast<std::size_t>(length));
  for (int i = 0; i < length; ++i) {
    names->emplace_back(doNotIntrospectClasses[i] != nullptr ? doNotIntrospectClasses[i] : "");
  }
  for (const std::string& name : *names) pointers->push_back(name.c_str());
  // Readers may hold the old list while a crash is written: it is kept, not freed.
  s.doNotIntrospectClasses.store(nullptr);
  s.doNotIntrospectClassesCount.store(length);
  s.doNotIntrospectClasses.store(pointers->data());
  s.classLists.push_back(std::move(names));
  s.classPointers.push_back(std::move(pointers));
}

void plovercrashreport_setUserSectionWriteCallback(PloverCrashReportWriteCallback userSectionWriteCallback) {
  settings().userSectionWriteCallback.store(userSectionWriteCallback);
}
