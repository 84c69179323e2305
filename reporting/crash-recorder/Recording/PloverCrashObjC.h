// Reads Objective-C objects and classes straight from memory, in the layouts of the x86-64
// runtime, so the report writer can say what an address holds without calling the runtime
// (whose locks a suspended thread may hold). This system has no Objective-C runtime: the readers
// work on any memory laid out that way (tests build such layouts), and every read goes through
// the checked copies of PloverCrashMemory, so a bad pointer gives "unknown", never a fault.
//
// Every function here is crash-time safe: no allocation, no lock, no message.
#pragma once

#include <cstdint>

enum PloverCrashObjCType {
  PloverCrashObjCTypeUnknown = 0,
  PloverCrashObjCTypeClass = 1,
  PloverCrashObjCTypeObject = 2,
  PloverCrashObjCTypeBlock = 3,
};

enum PloverCrashObjCClassType {
  PloverCrashObjCClassTypeUnknown = 0,
  PloverCrashObjCClassTypeString = 1,
  PloverCrashObjCClassTypeDate = 2,
  PloverCrashObjCClassTypeURL = 3,
  PloverCrashObjCClassTypeArray = 4,
  PloverCrashObjCClassTypeDictionary = 5,
  PloverCrashObjCClassTypeNumber = 6,
  PloverCrashObjCClassTypeException = 7,
};

struct PloverCrashObjCIvar {
  const char* name;
  const char* type;
  int index;
};

// Class and object structure.
const void* plovercrashobjc_isaPointer(const void* objectOrClassPtr);
const void* plovercrashobjc_superClass(const void* classPtr);
bool plovercrashobjc_isMetaClass(const void* classPtr);
bool plovercrashobjc_isRootClass(const void* classPtr);
// The class's name text as it lies in memory (null when the class data cannot be read).
const char* plovercrashobjc_className(const void* classPtr);
const char* plovercrashobjc_objectClassName(const void* objectPtr);
bool plovercrashobjc_isClassNamed(const void* classPtr, const char* className);
bool plovercrashobjc_isKindOfClass(const void* classPtr, const char* className);
const void* plovercrashobjc_baseClass(const void* classPtr);
int plovercrashobjc_ivarCount(const void* classPtr);
int plovercrashobjc_ivarList(const void* classPtr, PloverCrashObjCIvar* dstIvars, int ivarsCount);
bool plovercrashobjc_ivarNamed(const void* classPtr, const char* name, PloverCrashObjCIvar* dst);
// Copies the variable's bytes (16 at most: larger variables give false) into dst.
bool plovercrashobjc_ivarValue(const void* objectPtr, int ivarIndex, void* dst);
// The same for a variable of classPtr's own list, where classPtr is the object's class or one of
// its superclasses (whose variables the object holds too).
bool plovercrashobjc_ivarValueInClass(const void* objectPtr, const void* classPtr, int ivarIndex, void* dst);

bool plovercrashobjc_isTaggedPointer(const void* pointer);
bool plovercrashobjc_isValidTaggedPointer(const void* pointer);
std::uintptr_t plovercrashobjc_taggedPointerPayload(const void* taggedObjectPointer);

PloverCrashObjCType plovercrashobjc_objectType(const void* objectOrClassPtr);
PloverCrashObjCClassType plovercrashobjc_objectClassType(const void* object);
bool plovercrashobjc_isValidObject(const void* object);
// "<ClassName: 0x...>" and what the object's kind adds; returns the characters written.
int plovercrashobjc_getDescription(const void* object, char* buffer, int bufferLength);

// Contents.
int plovercrashobjc_stringLength(const void* stringPtr);
int plovercrashobjc_copyStringContents(const void* string, char* dst, int maxLength);
int plovercrashobjc_copyURLContents(const void* nsurl, char* dst, int maxLength);
double plovercrashobjc_dateContents(const void* datePtr);
// NaN for a number without a value.
double plovercrashobjc_numberAsFloat(const void* object);
// 0 for a number without a value; a floating value is truncated, NaN gives 0 and values beyond
// the 64-bit range the nearest end of it.
std::int64_t plovercrashobjc_numberAsInteger(const void* object);
bool plovercrashobjc_numberIsFloat(const void* object);
int plovercrashobjc_arrayCount(const void* arrayPtr);
int plovercrashobjc_arrayContents(const void* arrayPtr, std::uintptr_t* contents, int count);
bool plovercrashobjc_dictionaryFirstEntry(const void* dict, std::uintptr_t* key, std::uintptr_t* value);
int plovercrashobjc_dictionaryCount(const void* dict);
