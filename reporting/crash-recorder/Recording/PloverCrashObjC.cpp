#include "reporting/crash-recorder/Recording/PloverCrashObjC.h"

#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"
#include "reporting/crash-recorder/Recording/PloverCrashMemory.h"

#include <atomic>
#include <cstdarg>
#include <cstring>

namespace {

constexpr std::uintptr_t kIsaMask = 0x7ffffffffff8;
constexpr int kMaxClassWalk = 20;
constexpr int kMaxNameLength = 128;
constexpr int kMaxTypeLength = 100;
// An instance-variable list longer than this is not taken for a class's.
constexpr std::uint32_t kMaxIvarCount = 65536;
// Descriptions of arrays describe their first element; nesting stops here so an array that
// holds itself cannot recurse without end.
constexpr int kMaxDescriptionDepth = 8;

// Offsets of the runtime's records.
constexpr std::uintptr_t kClassSuperclass = 8;
constexpr std::uintptr_t kClassDataBits = 32;
constexpr std::uintptr_t kRWReadOnly = 8;
constexpr std::uintptr_t kROFlags = 0;
constexpr std::uintptr_t kROName = 24;
constexpr std::uintptr_t kROIvars = 48;
constexpr std::uint32_t kROMeta = 1;
constexpr std::uint32_t kRORoot = 2;

constexpr int kTagString = 2;
constexpr int kTagNumber = 3;
constexpr int kTagDate = 6;

// The characters of 6-bit and 5-bit packed tagged strings, in the runtime's order.
constexpr char kTaggedStringAlphabet[] = "eilotrm.apdnsIc ufkMShjTRxgC4013bDNvwyUL2O856P-B79AFKEWV_zGJ/HYX";
static_assert(sizeof kTaggedStringAlphabet == 65);

std::uintptr_t addr(const void* pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }
const void* ptr(std::uintptr_t address) { return reinterpret_cast<const void*>(address); }

template <class T>
bool readAt(std::uintptr_t address, T* out) {
  return plovercrashmem_copySafely(ptr(address), out, sizeof(T));
}

int tagOf(const void* pointer) { return static_cast<int>((addr(pointer) >> 1) & 7); }

bool isNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool isNameChar(char c) { return isNameStart(c) || (c >= '0' && c <= '9'); }
bool isTypeChar(char c) { return c >= 0x21 && c <= 0x7E; }

bool wraps(std::uintptr_t address, std::uintptr_t length) { return address + length < address; }

bool isValidName(std::uintptr_t name) {
  if (name == 0 || wraps(name, kMaxNameLength)) return false;
  char buffer[kMaxNameLength];
  const int copied = plovercrashmem_copyMaxPossible(ptr(name), buffer, kMaxNameLength);
  if (copied <= 0 || !isNameStart(buffer[0])) return false;
  for (int i = 1; i < copied; ++i) {
    if (!isNameChar(buffer[i])) return buffer[i] == '\0';
  }
  return false;
}

bool isValidType(std::uintptr_t type) {
  if (type == 0 || wraps(type, kMaxTypeLength)) return false;
  char buffer[kMaxTypeLength];
  const int copied = plovercrashmem_copyMaxPossible(ptr(type), buffer, kMaxTypeLength);
  if (copied <= 0 || !isTypeChar(buffer[0])) return false;
  for (int i = 1; i < copied; ++i) {
    if (buffer[i] == '\0') return true;
  }
  return false;
}

// Compares a name in memory with text, reading at most 128 bytes of it.
bool nameEquals(std::uintptr_t name, const char* text) {
  if (name == 0 || text == nullptr) return false;
  char buffer[kMaxNameLength];
  const int copied = plovercrashmem_copyMaxPossible(ptr(name), buffer, kMaxNameLength);
  for (int i = 0; i < copied; ++i) {
    if (buffer[i] != text[i]) return false;
    if (buffer[i] == '\0') return true;
  }
  return false;
}

struct ClassRecord {
  std::uintptr_t superclass = 0;
  std::uintptr_t ro = 0;
  std::uint32_t flags = 0;
  std::uintptr_t name = 0;
  std::uintptr_t ivars = 0;
};

bool readClassRecord(const void* classPtr, ClassRecord* data) {
  if (classPtr == nullptr) return false;
  std::uintptr_t bits = 0;
  if (!readAt(addr(classPtr) + kClassSuperclass, &data->superclass) ||
      !readAt(addr(classPtr) + kClassDataBits, &bits)) {
    return false;
  }
  const std::uintptr_t rw = bits & ~std::uintptr_t{7};
  return readAt(rw + kRWReadOnly, &data->ro) && readAt(data->ro + kROFlags, &data->flags) &&
         readAt(data->ro + kROName, &data->name) && readAt(data->ro + kROIvars, &data->ivars);
}

bool isClassReadable(const void* classPtr) {
  if (classPtr == nullptr || !plovercrashmem_isMemoryReadable(classPtr, 40)) return false;
  std::uintptr_t bits = 0;
  if (!readAt(addr(classPtr) + kClassDataBits, &bits)) return false;
  const std::uintptr_t rw = bits & ~std::uintptr_t{7};
  std::uintptr_t ro = 0;
  return plovercrashmem_isMemoryReadable(ptr(rw), 192) && readAt(rw + kRWReadOnly, &ro) &&
         plovercrashmem_isMemoryReadable(ptr(ro), 72);
}

struct IvarEntry {
  std::uintptr_t offset;  // points to the 32-bit offset
  std::uintptr_t name;
  std::uintptr_t type;
  std::uint32_t alignment;
  std::uint32_t size;
};
static_assert(sizeof(IvarEntry) == 32);

struct IvarList {
  std::uint32_t entsize;
  std::uint32_t count;
};

bool hasValidClassStructure(const void* classPtr) {
  if (!isClassReadable(classPtr)) return false;
  ClassRecord data;
  if (!readClassRecord(classPtr, &data) || !isValidName(data.name)) return false;
  if (data.ivars == 0) return true;
  if (!plovercrashmem_isMemoryReadable(ptr(data.ivars), sizeof(IvarList) + sizeof(IvarEntry))) {
    return false;
  }
  IvarList list;
  if (!readAt(data.ivars, &list) || list.count > kMaxIvarCount) return false;
  for (std::uint32_t i = 1; i < list.count; ++i) {
    const std::uintptr_t entryAddress = data.ivars + sizeof(IvarList) + std::uintptr_t{i} * list.entsize;
    IvarEntry entry;
    if (!readAt(entryAddress, &entry) ||
        !plovercrashmem_isMemoryReadable(ptr(entryAddress), static_cast<int>(list.entsize)) ||
        !plovercrashmem_isMemoryReadable(ptr(entry.offset), 4) || !isValidName(entry.name) ||
        !isValidType(entry.type)) {
      return false;
    }
  }
  return true;
}

bool readIvar(const void* classPtr, int index, IvarEntry* entry, IvarList* listOut = nullptr) {
  ClassRecord data;
  if (!readClassRecord(classPtr, &data) || data.ivars == 0) return false;
  IvarList list;
  if (!readAt(data.ivars, &list) || index < 0 || static_cast<std::uint32_t>(index) >= list.count) {
    return false;
  }
  if (listOut != nullptr) *listOut = list;
  return readAt(data.ivars + sizeof(IvarList) + std::uintptr_t(index) * list.entsize, entry);
}

// ---- Class table ---------------------------------------------------------------------------

struct ClassTableEntry;
using ValidityTest = bool (*)(const ClassTableEntry&, const void* object);
using DescriptionWriter = int (*)(const ClassTableEntry&, const void* object, char* buffer, int length, int depth);

struct ClassTableEntry {
  const char* name;
  PloverCrashObjCClassType type;
  int subtype;
  bool isMutable;
  ValidityTest isValidObject;
  DescriptionWriter description;
  std::atomic<const void*> cachedClass;
};

// The class kind of tagged pointers, by tag.
struct TaggedEntry {
  const char* name;
  PloverCrashObjCClassType type;
};
constexpr TaggedEntry kTaggedClasses[8] = {
    {"NSAtom", PloverCrashObjCClassTypeUnknown},      {nullptr, PloverCrashObjCClassTypeUnknown},
    {"NSString", PloverCrashObjCClassTypeString},     {"NSNumber", PloverCrashObjCClassTypeNumber},
    {"NSIndexPath", PloverCrashObjCClassTypeUnknown}, {"NSManagedObjectID", PloverCrashObjCClassTypeUnknown},
    {"NSDate", PloverCrashObjCClassTypeDate},         {nullptr, PloverCrashObjCClassTypeUnknown},
};

// Appends one formatted piece to what is left of the buffer; returns the characters it took.
int addPiece(char* buffer, int length, const char* format, ...) __attribute__((format(printf, 3, 4)));
int addPiece(char* buffer, int length, const char* format, ...) {
  if (length <= 0) return 0;
  va_list args;
  va_start(args, format);
  const int written = plovercrashformat_vformat(buffer, length, format, args);
  va_end(args);
  return written < 0 ? 0 : written;
}

int describe(const void* object, char* buffer, int length, int depth);

int writeHeader(const void* object, char* buffer, int length) {
  const char* name = plovercrashobjc_objectClassName(object);
  char nameCopy[kMaxNameLength];
  nameCopy[0] = '\0';
  if (name != nullptr) {
    const int copied = plovercrashmem_copyMaxPossible(name, nameCopy, kMaxNameLength - 1);
    nameCopy[copied > 0 ? copied : 0] = '\0';
  }
  return addPiece(buffer, length, "<%s: 0x%016llx>", nameCopy, static_cast<unsigned long long>(addr(object)));
}

int describeUnknown(const ClassTableEntry&, const void* object, char* buffer, int length, int) {
  return writeHeader(object, buffer, length);
}

int describeString(const ClassTableEntry&, const void* object, char* buffer, int length, int) {
  int used = writeHeader(object, buffer, length);
  used += addPiece(buffer + used, length - used, "%s", ": \"");
  if (length - used > 0) {
    used += plovercrashobjc_copyStringContents(object, buffer + used, length - used);
  }
  used += addPiece(buffer + used, length - used, "%s", "\"");
  return used;
}

int describeURL(const ClassTableEntry&, const void* object, char* buffer, int length, int) {
  int used = writeHeader(object, buffer, length);
  used += addPiece(buffer + used, length - used, "%s", ": \"");
  if (length - used > 0) {
    used += plovercrashobjc_copyURLContents(object, buffer + used, length - used);
  }
  used += addPiece(buffer + used, length - used, "%s", "\"");
  return used;
}

int addFixed(char* buffer, int length, const char* prefix, double value) {
  char number[64];
  if (plovercrashformat_fixed(value, 6, number, sizeof number) < 0) number[0] = '\0';
  return addPiece(buffer, length, "%s%s", prefix, number);
}

int describeDate(const ClassTableEntry&, const void* object, char* buffer, int length, int) {
  int used = writeHeader(object, buffer, length);
  used += addFixed(buffer + used, length - used, ": ", plovercrashobjc_dateContents(object));
  return used;
}

int describeNumber(const ClassTableEntry&, const void* object, char* buffer, int length, int) {
  int used = writeHeader(object, buffer, length);
  if (plovercrashobjc_numberIsFloat(object)) {
    used += addFixed(buffer + used, length - used, ": ", plovercrashobjc_numberAsFloat(object));
  } else {
    used += addPiece(buffer + used, length - used, ": %lld",
                     static_cast<long long>(plovercrashobjc_numberAsInteger(object)));
  }
  return used;
}

int describeArray(const ClassTableEntry&, const void* object, char* buffer, int length, int depth) {
  int used = writeHeader(object, buffer, length);
  used += addPiece(buffer + used, length - used, "%s", ": [");
  std::uintptr_t first = 0;
  if (depth < kMaxDescriptionDepth && plovercrashobjc_arrayCount(object) > 0 &&
      plovercrashobjc_arrayContents(object, &first, 1) == 1 && length - used > 0) {
    used += describe(ptr(first), buffer + used, length - used, depth + 1);
  }
  used += addPiece(buffer + used, length - used, "%s", "]");
  return used;
}

bool stringIsValid(const ClassTableEntry&, const void* object);
bool arrayIsValid(const ClassTableEntry& entry, const void* object);
bool dateIsValid(const ClassTableEntry&, const void* object) { return plovercrashmem_isMemoryReadable(object, 16); }
bool numberIsValid(const ClassTableEntry&, const void* object) { return plovercrashmem_isMemoryReadable(object, 24); }
bool urlIsValid(const ClassTableEntry&, const void* object);
bool alwaysValid(const ClassTableEntry&, const void*) { return true; }

ClassTableEntry g_classTable[] = {
    {"__NSCFString", PloverCrashObjCClassTypeString, 0, true, stringIsValid, describeString, {}},
    {"NSCFString", PloverCrashObjCClassTypeString, 0, true, stringIsValid, describeString, {}},
    {"__NSCFConstantString", PloverCrashObjCClassTypeString, 0, true, stringIsValid, describeString, {}},
    {"NSCFConstantString", PloverCrashObjCClassTypeString, 0, true, stringIsValid, describeString, {}},
    {"__NSArray0", PloverCrashObjCClassTypeArray, 3, false, arrayIsValid, describeArray, {}},
    {"__NSArrayI", PloverCrashObjCClassTypeArray, 3, false, arrayIsValid, describeArray, {}},
    {"__NSArrayM", PloverCrashObjCClassTypeArray, 2, true, arrayIsValid, describeArray, {}},
    {"__NSCFArray", PloverCrashObjCClassTypeArray, 1, false, arrayIsValid, describeArray, {}},
    {"NSCFArray", PloverCrashObjCClassTypeArray, 1, false, arrayIsValid, describeArray, {}},
    {"__NSDate", PloverCrashObjCClassTypeDate, 0, false, dateIsValid, describeDate, {}},
    {"NSDate", PloverCrashObjCClassTypeDate, 0, false, dateIsValid, describeDate, {}},
    {"__NSCFNumber", PloverCrashObjCClassTypeNumber, 0, false, numberIsValid, describeNumber, {}},
    {"NSCFNumber", PloverCrashObjCClassTypeNumber, 0, false, numberIsValid, describeNumber, {}},
    {"NSNumber", PloverCrashObjCClassTypeNumber, 0, false, numberIsValid, describeNumber, {}},
    {"NSURL", PloverCrashObjCClassTypeURL, 0, false, urlIsValid, describeURL, {}},
    {nullptr, PloverCrashObjCClassTypeUnknown, 0, false, alwaysValid, describeUnknown, {}},
};

const ClassTableEntry& classTableEntryFor(const void* classPtr) {
  for (ClassTableEntry& entry : g_classTable) {
    if (entry.name == nullptr) return entry;
    const void* cached = entry.cachedClass.load(std::memory_order_relaxed);
    if (cached == nullptr) {
      if (plovercrashobjc_isClassNamed(classPtr, entry.name)) {
        const void* expected = nullptr;
        entry.cachedClass.compare_exchange_strong(expected, classPtr);
        return entry;
      }
    } else if (cached == classPtr) {
      return entry;
    }
  }
  return g_classTable[sizeof g_classTable / sizeof *g_classTable - 1];
}

const ClassTableEntry& objectEntry(const void* object) {
  return classTableEntryFor(plovercrashobjc_isaPointer(object));
}

// ---- Strings -------------------------------------------------------------------------------

struct StringLayout {
  bool unicode = false;
  std::uintptr_t characters = 0;
  std::int64_t length = 0;
  bool lengthInField = false;
  std::uintptr_t lengthField = 0;
};

bool stringLayout(const void* string, StringLayout* layout) {
  std::uint8_t info = 0;
  if (!readAt(addr(string) + 8, &info)) return false;
  layout->unicode = (info & 0x10) != 0;
  const bool external = (info & 0x60) != 0;
  const bool lengthByte = (info & 5) == 4;
  std::uintptr_t area = 0;
  if (external) {
    if (!readAt(addr(string) + 16, &area)) return false;
  } else {
    area = addr(string) + (lengthByte ? 16 : 24);
  }
  if (lengthByte) {
    std::uint8_t length = 0;
    if (!readAt(area, &length)) return false;
    layout->length = length;
  } else {
    layout->lengthInField = true;
    if (external) {
      layout->lengthField = addr(string) + 24;
      std::int64_t length = 0;
      if (!readAt(layout->lengthField, &length)) return false;
      layout->length = length;
    } else {
      layout->lengthField = addr(string) + 16;
      std::uint32_t length = 0;
      if (!readAt(layout->lengthField, &length)) return false;
      layout->length = length;
    }
  }
  layout->characters = area + ((info & 0x04) != 0 ? 1 : 0);
  return true;
}

int copyTaggedString(const void* string, char* dst, int maxLength) {
  if (maxLength <= 0) return 0;
  const std::uintptr_t value = addr(string);
  const int length = static_cast<int>((value >> 4) & 0xF);
  const std::uint64_t payload = value >> 8;
  int written = 0;
  auto put = [&](char c) {
    if (written < maxLength - 1) dst[written++] = c;
  };
  if (length <= 7) {
    for (int i = 0; i < length; ++i) put(static_cast<char>((payload >> (8 * i)) & 0x7F));
  } else if (length <= 11) {
    const int bits = length <= 9 ? 6 : 5;
    const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
    for (int i = 0; i < length; ++i) {
      put(kTaggedStringAlphabet[(payload >> (bits * (length - 1 - i))) & mask]);
    }
  }
  dst[written] = '\0';
  return written;
}

int appendUTF8(std::uint32_t codePoint, char* out, int space) {
  char bytes[4];
  int count;
  if (codePoint < 0x80) {
    bytes[0] = static_cast<char>(codePoint);
    count = 1;
  } else if (codePoint < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (codePoint >> 6));
    bytes[1] = static_cast<char>(0x80 | (codePoint & 0x3F));
    count = 2;
  } else if (codePoint < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (codePoint >> 12));
    bytes[1] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (codePoint & 0x3F));
    count = 3;
  } else {
    bytes[0] = static_cast<char>(0xF0 | (codePoint >> 18));
    bytes[1] = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (codePoint & 0x3F));
    count = 4;
  }
  if (count > space) return 0;
  for (int i = 0; i < count; ++i) out[i] = bytes[i];
  return count;
}

int copyUTF16(const StringLayout& layout, char* dst, int maxLength) {
  int used = 0;
  const int limit = maxLength - 1;
  std::uint16_t chunk[64];
  std::int64_t chunkStart = -1;
  auto charAt = [&](std::int64_t index, std::uint16_t* out) {
    if (chunkStart < 0 || index < chunkStart || index >= chunkStart + 64) {
      const std::int64_t remaining = layout.length - index;
      const int count = static_cast<int>(remaining < 64 ? remaining : 64);
      if (!plovercrashmem_copySafely(ptr(layout.characters + index * 2), chunk, count * 2)) {
        return false;
      }
      chunkStart = index;
    }
    *out = chunk[index - chunkStart];
    return true;
  };
  for (std::int64_t i = 0; i < layout.length && used < limit; ++i) {
    std::uint16_t unit;
    if (!charAt(i, &unit)) break;
    std::uint32_t codePoint = unit;
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      used = 0;
      break;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      std::uint16_t low;
      if (i + 1 >= layout.length || !charAt(i + 1, &low) || low < 0xDC00 || low > 0xDFFF) {
        used = 0;
        break;
      }
      codePoint = 0x10000 + ((std::uint32_t{unit} - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    }
    const int added = appendUTF8(codePoint, dst + used, limit - used);
    if (added == 0) break;
    used += added;
  }
  dst[used] = '\0';
  return used;
}

bool stringIsValid(const ClassTableEntry&, const void* object) {
  if (!plovercrashmem_isMemoryReadable(object, 16)) return false;
  StringLayout layout;
  if (!stringLayout(object, &layout)) return false;
  if (layout.lengthInField && layout.length < 0) return false;
  if (layout.length > 0 && !plovercrashmem_isMemoryReadable(ptr(layout.characters), 1)) {
    return false;
  }
  return true;
}

bool urlIsValid(const ClassTableEntry& entry, const void* object) {
  if (!plovercrashmem_isMemoryReadable(object, 72)) return false;
  std::uintptr_t string = 0;
  return readAt(addr(object) + 24, &string) && stringIsValid(entry, ptr(string));
}

// ---- Arrays --------------------------------------------------------------------------------

bool arrayStorage(const ClassTableEntry& entry, const void* array, std::uintptr_t* elements) {
  if (entry.subtype == 1) {
    std::uint8_t info = 0;
    if (!readAt(addr(array) + 8, &info)) return false;
    switch (info & 3) {
      case 2: {
        std::uintptr_t store = 0, skip = 0;
        if (!readAt(addr(array) + 40, &store) || !readAt(store, &skip)) return false;
        *elements = store + (skip + 2) * sizeof(std::uintptr_t);
        return true;
      }
      case 0:
        *elements = addr(array) + ((info & 0x0C) == 0x0C ? 88 : 48);
        return true;
      default:
        return false;
    }
  }
  *elements = addr(array) + 16;
  return true;
}

bool arrayIsValid(const ClassTableEntry& entry, const void* object) {
  if (entry.subtype == 1) {
    if (!plovercrashmem_isMemoryReadable(object, 48)) return false;
    std::uint8_t info = 0;
    if (!readAt(addr(object) + 8, &info)) return false;
    if ((info & 3) == 2) {
      std::uintptr_t store = 0;
      return readAt(addr(object) + 40, &store) && plovercrashmem_isMemoryReadable(ptr(store), 16);
    }
    return true;
  }
  return plovercrashmem_isMemoryReadable(object, 24);
}

// ---- Numbers -------------------------------------------------------------------------------

// The number's type (the values of the system's number types, 1 to 16), kept in the low five
// bits of the info byte.
int numberType(const void* number) {
  std::uint8_t info = 0;
  if (!readAt(addr(number) + 8, &info)) return 0;
  return info & 0x1F;
}

bool isFloatType(int type) { return type == 5 || type == 6 || type == 12 || type == 13 || type == 16; }

std::int64_t doubleToInteger(double value) {
  if (value != value) return 0;
  if (value >= 9223372036854775807.0) return INT64_MAX;
  if (value <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<std::int64_t>(value);
}

int describe(const void* object, char* buffer, int length, int depth) {
  if (buffer == nullptr || length <= 0) return 0;
  buffer[0] = '\0';
  if (plovercrashobjc_isTaggedPointer(object)) {
    int used = addPiece(buffer, length, "<%s: 0x%016llx>",
                        kTaggedClasses[tagOf(object)].name != nullptr ? kTaggedClasses[tagOf(object)].name : "",
                        static_cast<unsigned long long>(addr(object)));
    if (!plovercrashobjc_isValidTaggedPointer(object)) return used;
    switch (tagOf(object)) {
      case kTagNumber:
        used += addPiece(buffer + used, length - used, ": %lld",
                         static_cast<long long>(static_cast<std::intptr_t>(addr(object)) >> 8));
        break;
      case kTagDate:
        used += addFixed(buffer + used, length - used, ": ", plovercrashobjc_dateContents(object));
        break;
      case kTagString:
        if (length - used > 0) {
          used += copyTaggedString(object, buffer + used, length - used);
        }
        break;
      default:
        break;
    }
    return used;
  }
  const ClassTableEntry& entry = objectEntry(object);
  return entry.description(entry, object, buffer, length, depth);
}

}  // namespace

const void* plovercrashobjc_isaPointer(const void* objectOrClassPtr) {
  std::uintptr_t isa = 0;
  if (objectOrClassPtr == nullptr || !readAt(addr(objectOrClassPtr), &isa)) return nullptr;
  return ptr((isa & 1) != 0 ? isa & kIsaMask : isa);
}

const void* plovercrashobjc_superClass(const void* classPtr) {
  std::uintptr_t superclass = 0;
  if (classPtr == nullptr || !readAt(addr(classPtr) + kClassSuperclass, &superclass)) {
    return nullptr;
  }
  return ptr(superclass);
}

bool plovercrashobjc_isMetaClass(const void* classPtr) {
  ClassRecord data;
  return readClassRecord(classPtr, &data) && (data.flags & kROMeta) != 0;
}

bool plovercrashobjc_isRootClass(const void* classPtr) {
  ClassRecord data;
  return readClassRecord(classPtr, &data) && (data.flags & kRORoot) != 0;
}

const char* plovercrashobjc_className(const void* classPtr) {
  ClassRecord data;
  if (!readClassRecord(classPtr, &data)) return nullptr;
  return static_cast<const char*>(ptr(data.name));
}

const char* plovercrashobjc_objectClassName(const void* objectPtr) {
  if (plovercrashobjc_isTaggedPointer(objectPtr)) {
    return plovercrashobjc_isValidTaggedPointer(objectPtr) ? kTaggedClasses[tagOf(objectPtr)].name : nullptr;
  }
  return plovercrashobjc_className(plovercrashobjc_isaPointer(objectPtr));
}

bool plovercrashobjc_isClassNamed(const void* classPtr, const char* className) {
  if (className == nullptr) return false;
  const char* name = plovercrashobjc_className(classPtr);
  if (name == nullptr) return false;
  return nameEquals(addr(name), className);
}

bool plovercrashobjc_isKindOfClass(const void* classPtr, const char* className) {
  if (className == nullptr) return false;
  const void* current = classPtr;
  for (int i = 0; i < kMaxClassWalk; ++i) {
    const char* name = plovercrashobjc_className(current);
    if (name == nullptr) return false;
    if (nameEquals(addr(name), className)) return true;
    current = plovercrashobjc_superClass(current);
    if (!isClassReadable(current)) return false;
  }
  return false;
}

const void* plovercrashobjc_baseClass(const void* classPtr) {
  const void* previous = classPtr;
  const void* current = classPtr;
  for (int i = 0; i < kMaxClassWalk; ++i) {
    if (plovercrashobjc_isRootClass(current)) return previous;
    previous = current;
    current = plovercrashobjc_superClass(current);
    if (!isClassReadable(current)) return nullptr;
  }
  return nullptr;
}

int plovercrashobjc_ivarCount(const void* classPtr) {
  ClassRecord data;
  IvarList list;
  if (!readClassRecord(classPtr, &data) || data.ivars == 0 || !readAt(data.ivars, &list)) return 0;
  return list.count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(list.count);
}

int plovercrashobjc_ivarList(const void* classPtr, PloverCrashObjCIvar* dstIvars, int ivarsCount) {
  if (dstIvars == nullptr) return 0;
  const int count = plovercrashobjc_ivarCount(classPtr);
  const int wanted = ivarsCount < count ? ivarsCount : count;
  int copied = 0;
  for (int i = 0; i < wanted; ++i) {
    IvarEntry entry;
    if (!readIvar(classPtr, i, &entry)) break;
    dstIvars[copied].name = static_cast<const char*>(ptr(entry.name));
    dstIvars[copied].type = static_cast<const char*>(ptr(entry.type));
    dstIvars[copied].index = i;
    ++copied;
  }
  return copied;
}

bool plovercrashobjc_ivarNamed(const void* classPtr, const char* name, PloverCrashObjCIvar* dst) {
  if (name == nullptr || dst == nullptr) return false;
  const int count = plovercrashobjc_ivarCount(classPtr);
  for (int i = 0; i < count && i < static_cast<int>(kMaxIvarCount); ++i) {
    IvarEntry entry;
    if (!readIvar(classPtr, i, &entry)) return false;
    if (nameEquals(entry.name, name)) {
      dst->name = static_cast<const char*>(ptr(entry.name));
      dst->type = static_cast<const char*>(ptr(entry.type));
      dst->index = i;
      return true;
    }
  }
  return false;
}

bool plovercrashobjc_ivarValue(const void* objectPtr, int ivarIndex, void* dst) {
  if (dst == nullptr) return false;
  if (plovercrashobjc_isTaggedPointer(objectPtr)) {
    if (tagOf(objectPtr) == kTagNumber) {
      const std::int64_t value = static_cast<std::intptr_t>(addr(objectPtr)) >> 8;
      std::memcpy(dst, &value, sizeof value);
      return true;
    }
    if (tagOf(objectPtr) == kTagDate) {
      const std::uintptr_t value = addr(objectPtr) & ~std::uintptr_t{0xF};
      std::memcpy(dst, &value, sizeof value);
      return true;
    }
    return false;
  }
  return plovercrashobjc_ivarValueInClass(objectPtr, plovercrashobjc_isaPointer(objectPtr), ivarIndex, dst);
}

bool plovercrashobjc_ivarValueInClass(const void* objectPtr, const void* classPtr, int ivarIndex, void* dst) {
  if (dst == nullptr || plovercrashobjc_isTaggedPointer(objectPtr)) return false;
  IvarEntry entry;
  if (!readIvar(classPtr, ivarIndex, &entry)) return false;
  std::int32_t offset = 0;
  // The caller's buffer is sized for a scalar; a larger size is no variable the writer reads.
  if (!readAt(entry.offset, &offset) || entry.size == 0 || entry.size > 16) return false;
  return plovercrashmem_copySafely(ptr(addr(objectPtr) + offset), dst, static_cast<int>(entry.size));
}

bool plovercrashobjc_isTaggedPointer(const void* pointer) { return (addr(pointer) & 1) != 0; }

bool plovercrashobjc_isValidTaggedPointer(const void* pointer) {
  if (!plovercrashobjc_isTaggedPointer(pointer)) return false;
  const int tag = tagOf(pointer);
  return tag == kTagString || tag == kTagNumber || tag == kTagDate;
}

std::uintptr_t plovercrashobjc_taggedPointerPayload(const void* taggedObjectPointer) {
  return addr(taggedObjectPointer) >> 4;
}

PloverCrashObjCType plovercrashobjc_objectType(const void* objectOrClassPtr) {
  if (objectOrClassPtr == nullptr) return PloverCrashObjCTypeUnknown;
  if (plovercrashobjc_isTaggedPointer(objectOrClassPtr)) return PloverCrashObjCTypeObject;
  if (!plovercrashmem_isMemoryReadable(objectOrClassPtr, 40)) return PloverCrashObjCTypeUnknown;
  const void* isa = plovercrashobjc_isaPointer(objectOrClassPtr);
  if (isa == nullptr || !plovercrashmem_isMemoryReadable(isa, 40) || !hasValidClassStructure(isa)) {
    return PloverCrashObjCTypeUnknown;
  }
  const void* base = plovercrashobjc_baseClass(isa);
  if (base != nullptr && plovercrashobjc_isClassNamed(base, "NSBlock")) {
    return PloverCrashObjCTypeBlock;
  }
  return plovercrashobjc_isMetaClass(isa) ? PloverCrashObjCTypeClass : PloverCrashObjCTypeObject;
}

PloverCrashObjCClassType plovercrashobjc_objectClassType(const void* object) {
  if (plovercrashobjc_isTaggedPointer(object)) return kTaggedClasses[tagOf(object)].type;
  return objectEntry(object).type;
}

bool plovercrashobjc_isValidObject(const void* object) {
  if (plovercrashobjc_isTaggedPointer(object)) return plovercrashobjc_isValidTaggedPointer(object);
  if (!plovercrashmem_isMemoryReadable(object, 40)) return false;
  const void* isa = plovercrashobjc_isaPointer(object);
  if (isa == nullptr || !plovercrashmem_isMemoryReadable(isa, 40) || !hasValidClassStructure(isa)) {
    return false;
  }
  const ClassTableEntry& entry = classTableEntryFor(isa);
  return entry.isValidObject(entry, object);
}

int plovercrashobjc_getDescription(const void* object, char* buffer, int bufferLength) {
  return describe(object, buffer, bufferLength, 0);
}

int plovercrashobjc_stringLength(const void* stringPtr) {
  if (plovercrashobjc_isTaggedPointer(stringPtr)) {
    return tagOf(stringPtr) == kTagString ? static_cast<int>((addr(stringPtr) >> 4) & 0xF) : 0;
  }
  StringLayout layout;
  if (!stringLayout(stringPtr, &layout) || layout.length < 0) return 0;
  return layout.length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(layout.length);
}

int plovercrashobjc_copyStringContents(const void* string, char* dst, int maxLength) {
  if (dst == nullptr || maxLength <= 0) return 0;
  dst[0] = '\0';
  if (plovercrashobjc_isTaggedPointer(string)) {
    return tagOf(string) == kTagString ? copyTaggedString(string, dst, maxLength) : 0;
  }
  StringLayout layout;
  if (!stringLayout(string, &layout) || layout.length <= 0) return 0;
  if (layout.unicode) return copyUTF16(layout, dst, maxLength);
  const std::int64_t count = layout.length < maxLength - 1 ? layout.length : maxLength - 1;
  if (!plovercrashmem_copySafely(ptr(layout.characters), dst, static_cast<int>(count))) {
    dst[0] = '\0';
    return 0;
  }
  dst[count] = '\0';
  return static_cast<int>(count);
}

int plovercrashobjc_copyURLContents(const void* nsurl, char* dst, int maxLength) {
  std::uintptr_t string = 0;
  if (dst == nullptr || maxLength <= 0) return 0;
  dst[0] = '\0';
  if (!readAt(addr(nsurl) + 24, &string)) return 0;
  return plovercrashobjc_copyStringContents(ptr(string), dst, maxLength);
}

double plovercrashobjc_dateContents(const void* datePtr) {
  double value = 0;
  if (plovercrashobjc_isValidTaggedPointer(datePtr) && tagOf(datePtr) == kTagDate) {
    const std::uint64_t bits = addr(datePtr) & ~std::uintptr_t{0xF};
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  if (!readAt(addr(datePtr) + 8, &value)) return 0;
  return value;
}

double plovercrashobjc_numberAsFloat(const void* object) {
  if (plovercrashobjc_isValidTaggedPointer(object) && tagOf(object) == kTagNumber) {
    return static_cast<double>(static_cast<std::intptr_t>(addr(object)) >> 8);
  }
  const std::uintptr_t value = addr(object) + 16;
  switch (numberType(object)) {
    case 1:
    case 7: {
      std::int8_t v;
      return readAt(value, &v) ? v : __builtin_nan("");
    }
    case 2:
    case 8: {
      std::int16_t v;
      return readAt(value, &v) ? v : __builtin_nan("");
    }
    case 3:
    case 9: {
      std::int32_t v;
      return readAt(value, &v) ? v : __builtin_nan("");
    }
    case 5:
    case 12: {
      float v;
      return readAt(value, &v) ? v : __builtin_nan("");
    }
    case 6:
    case 13:
    case 16: {
      double v;
      return readAt(value, &v) ? v : __builtin_nan("");
    }
    case 4:
    case 10:
    case 11:
    case 14:
    case 15: {
      std::int64_t v;
      return readAt(value, &v) ? static_cast<double>(v) : __builtin_nan("");
    }
    default:
      return __builtin_nan("");
  }
}

std::int64_t plovercrashobjc_numberAsInteger(const void* object) {
  if (plovercrashobjc_isValidTaggedPointer(object) && tagOf(object) == kTagNumber) {
    return static_cast<std::intptr_t>(addr(object)) >> 8;
  }
  const int type = numberType(object);
  if (type < 1 || type > 16) return 0;
  if (isFloatType(type)) return doubleToInteger(plovercrashobjc_numberAsFloat(object));
  const std::uintptr_t value = addr(object) + 16;
  switch (type) {
    case 1:
    case 7: {
      std::int8_t v;
      return readAt(value, &v) ? v : 0;
    }
    case 2:
    case 8: {
      std::int16_t v;
      return readAt(value, &v) ? v : 0;
    }
    case 3:
    case 9: {
      std::int32_t v;
      return readAt(value, &v) ? v : 0;
    }
    default: {
      std::int64_t v;
      return readAt(value, &v) ? v : 0;
    }
  }
}

bool plovercrashobjc_numberIsFloat(const void* object) {
  if (plovercrashobjc_isTaggedPointer(object)) return false;
  return isFloatType(numberType(object));
}

int plovercrashobjc_arrayCount(const void* arrayPtr) {
  const ClassTableEntry& entry = objectEntry(arrayPtr);
  std::int64_t count = 0;
  if (!readAt(addr(arrayPtr) + (entry.subtype == 1 ? 16 : 8), &count) || count < 0) return 0;
  return count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(count);
}

int plovercrashobjc_arrayContents(const void* arrayPtr, std::uintptr_t* contents, int count) {
  if (contents == nullptr || count <= 0) return 0;
  const ClassTableEntry& entry = objectEntry(arrayPtr);
  if (entry.isMutable) return 0;
  const int available = plovercrashobjc_arrayCount(arrayPtr);
  if (available <= 0) return 0;
  const int wanted = count < available ? count : available;
  std::uintptr_t elements = 0;
  if (!arrayStorage(entry, arrayPtr, &elements)) return 0;
  if (!plovercrashmem_copySafely(ptr(elements), contents, wanted * static_cast<int>(sizeof(std::uintptr_t)))) {
    return 0;
  }
  return wanted;
}

bool plovercrashobjc_dictionaryFirstEntry(const void* dict, std::uintptr_t* key, std::uintptr_t* value) {
  std::uintptr_t valueStore = 0, keyStore = 0;
  std::uint8_t flags = 0;
  if (key == nullptr || value == nullptr || !readAt(addr(dict) + 48, &valueStore) || !readAt(addr(dict) + 18, &flags) ||
      !readAt(addr(dict) + ((flags & 0x04) != 0 ? 56 : 48), &keyStore)) {
    return false;
  }
  return readAt(valueStore, value) && readAt(keyStore, key);
}

int plovercrashobjc_dictionaryCount(const void*) { return 0; }
