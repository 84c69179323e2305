// Introspection of objects and classes laid out in memory as the x86-64 Objective-C runtime
// lays them out, including layouts that run into a PROT_NONE page.
#include "reporting/crash-recorder/Recording/PloverCrashObjC.h"

#include "crash-recorder/FakeObjCRuntime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

namespace {

// Class pointers are cached by name for the life of the process, so every test shares one
// runtime and its classes.
struct World {
  FakeObjCRuntime runtime;
  void* string = runtime.makeClass("__NSCFString", nullptr);
  void* number = runtime.makeClass("__NSCFNumber", nullptr);
  void* date = runtime.makeClass("__NSDate", nullptr);
  void* url = runtime.makeClass("NSURL", nullptr);
  void* arrayI = runtime.makeClass("__NSArrayI", nullptr);
  void* arrayM = runtime.makeClass("__NSArrayM", nullptr);
  void* cfArray = runtime.makeClass("__NSCFArray", nullptr);
  void* dictionary = runtime.makeClass("__NSDictionaryI", nullptr);
  void* nsBlock = runtime.makeClass("NSBlock", nullptr);
  void* globalBlock = runtime.makeClass("__NSGlobalBlock__", nsBlock);
  void* widget = runtime.makeClass("Widget", nullptr,
                                   {{"_count", "i", 8, 4}, {"_ratio", "d", 16, 8}, {"_name", "@\"NSString\"", 24, 8}});
  void* subWidget = runtime.makeClass("SubWidget", widget);

  // An 8-bit string with its length in the header and its characters inline.
  void* makeString(const std::string& text) {
    void* object = runtime.makeObject(string, 24 + text.size() + 1);
    FakeObjCRuntime::put(object, 8, std::uint8_t{0});
    FakeObjCRuntime::put(object, 16, static_cast<std::uint32_t>(text.size()));
    std::memcpy(static_cast<char*>(object) + 24, text.data(), text.size());
    return object;
  }
  // A UTF-16 string with its characters inline.
  void* makeUTF16String(const std::u16string& text) {
    void* object = runtime.makeObject(string, 24 + 2 * text.size() + 2);
    FakeObjCRuntime::put(object, 8, std::uint8_t{0x10});
    FakeObjCRuntime::put(object, 16, static_cast<std::uint32_t>(text.size()));
    std::memcpy(static_cast<char*>(object) + 24, text.data(), 2 * text.size());
    return object;
  }
  void* makeNumber(int type, double floating, std::int64_t integer) {
    void* object = runtime.makeObject(number, 32);
    FakeObjCRuntime::put(object, 8, static_cast<std::uint8_t>(type));
    if (type == 6 || type == 13 || type == 16) {
      FakeObjCRuntime::put(object, 16, floating);
    } else if (type == 5 || type == 12) {
      FakeObjCRuntime::put(object, 16, static_cast<float>(floating));
    } else {
      FakeObjCRuntime::put(object, 16, integer);
    }
    return object;
  }
};

World& world() {
  static World* instance = new World();
  return *instance;
}

std::string hexAddress(const void* pointer) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%016llx",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer)));
  return buffer;
}

std::string describe(const void* object, int size = 256) {
  std::string buffer(static_cast<std::size_t>(size), '\0');
  const int length = plovercrashobjc_getDescription(object, buffer.data(), size);
  return buffer.substr(0, static_cast<std::size_t>(length));
}

const void* tagged(std::uintptr_t value) { return reinterpret_cast<const void*>(value); }

TEST(PloverCrashObjCTest, ObjectTypes) {
  World& w = world();
  EXPECT_EQ(plovercrashobjc_objectType(nullptr), PloverCrashObjCTypeUnknown);
  EXPECT_EQ(plovercrashobjc_objectType(tagged(0x2A07)), PloverCrashObjCTypeObject);
  // An ordinary instance: its own memory looks nothing like a class, and it is an object.
  EXPECT_EQ(plovercrashobjc_objectType(w.runtime.makeObject(w.widget)), PloverCrashObjCTypeObject);
  EXPECT_EQ(plovercrashobjc_objectType(w.widget), PloverCrashObjCTypeClass);
  EXPECT_EQ(plovercrashobjc_objectType(w.runtime.makeObject(w.globalBlock)), PloverCrashObjCTypeBlock);
  int notAnObject[16] = {};
  EXPECT_EQ(plovercrashobjc_objectType(notAnObject), PloverCrashObjCTypeUnknown);
}

TEST(PloverCrashObjCTest, ClassNamesMustBeIdentifiers) {
  World& w = world();
  for (const char* name : {"9Lives", "Bad-Name", "Spaced Name", ""}) {
    void* cls = w.runtime.makeClass(name, nullptr);
    EXPECT_EQ(plovercrashobjc_objectType(w.runtime.makeObject(cls)), PloverCrashObjCTypeUnknown) << name;
    EXPECT_FALSE(plovercrashobjc_isValidObject(w.runtime.makeObject(cls))) << name;
  }
  void* good = w.runtime.makeClass("_Good9", nullptr);
  EXPECT_EQ(plovercrashobjc_objectType(w.runtime.makeObject(good)), PloverCrashObjCTypeObject);
}

TEST(PloverCrashObjCTest, LayoutsRunningIntoAnUnreadablePage) {
  World& w = world();
  // A class whose name runs up to the guard page without its terminator.
  char* name = w.runtime.guardPage() - 4;
  std::memcpy(name, "Edge", 4);  // NOLINT(bugprone-not-null-terminated-result): on purpose
  void* edgeClass = w.runtime.makeClassNamed(name, nullptr, {}, 0);
  void* instance = w.runtime.makeObject(edgeClass);
  EXPECT_EQ(plovercrashobjc_objectType(instance), PloverCrashObjCTypeUnknown);
  EXPECT_FALSE(plovercrashobjc_isValidObject(instance));
  EXPECT_FALSE(plovercrashobjc_isClassNamed(edgeClass, "Edge"));

  // An object whose 40 bytes run into the guard page.
  auto* late = reinterpret_cast<std::uintptr_t*>(w.runtime.guardPage() - 16);
  late[0] = reinterpret_cast<std::uintptr_t>(w.widget);
  EXPECT_EQ(plovercrashobjc_objectType(late), PloverCrashObjCTypeUnknown);
  EXPECT_FALSE(plovercrashobjc_isValidObject(late));
  EXPECT_EQ(plovercrashobjc_objectType(w.runtime.guardPage()), PloverCrashObjCTypeUnknown);
  EXPECT_EQ(plovercrashobjc_isaPointer(w.runtime.guardPage()), nullptr);

  // A string whose characters run into the guard page: an empty result, no fault.
  void* string = w.runtime.makeObject(w.string, 40);
  FakeObjCRuntime::put(string, 8, std::uint8_t{0x60});
  FakeObjCRuntime::put(string, 16, w.runtime.guardPage() - 10);
  FakeObjCRuntime::put(string, 24, std::int64_t{100});
  char buffer[200];
  EXPECT_EQ(plovercrashobjc_copyStringContents(string, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_TRUE(plovercrashobjc_isValidObject(string));  // its first character is readable
  FakeObjCRuntime::put(string, 16, w.runtime.guardPage());
  EXPECT_FALSE(plovercrashobjc_isValidObject(string));
}

TEST(PloverCrashObjCTest, ClassStructure) {
  World& w = world();
  EXPECT_STREQ(plovercrashobjc_className(w.widget), "Widget");
  EXPECT_STREQ(plovercrashobjc_objectClassName(w.runtime.makeObject(w.subWidget)), "SubWidget");
  EXPECT_EQ(plovercrashobjc_superClass(w.subWidget), w.widget);
  EXPECT_TRUE(plovercrashobjc_isRootClass(w.runtime.root()));
  EXPECT_FALSE(plovercrashobjc_isRootClass(w.widget));
  EXPECT_TRUE(plovercrashobjc_isMetaClass(FakeObjCRuntime::isaOf(w.widget)));
  EXPECT_FALSE(plovercrashobjc_isMetaClass(w.widget));
  EXPECT_TRUE(plovercrashobjc_isClassNamed(w.widget, "Widget"));
  EXPECT_FALSE(plovercrashobjc_isClassNamed(w.widget, "Widge"));
  EXPECT_FALSE(plovercrashobjc_isClassNamed(w.widget, nullptr));
  EXPECT_TRUE(plovercrashobjc_isKindOfClass(w.subWidget, "Widget"));
  EXPECT_TRUE(plovercrashobjc_isKindOfClass(w.subWidget, "NSObject"));
  EXPECT_FALSE(plovercrashobjc_isKindOfClass(w.widget, "SubWidget"));
  EXPECT_EQ(plovercrashobjc_baseClass(w.subWidget), w.widget);
  EXPECT_EQ(plovercrashobjc_baseClass(w.globalBlock), w.nsBlock);
  EXPECT_EQ(plovercrashobjc_baseClass(w.runtime.root()), w.runtime.root());

  // A packed isa (bit 0 set) is unmasked.
  void* object = w.runtime.makeObject(w.widget);
  FakeObjCRuntime::put(object, 0, reinterpret_cast<std::uintptr_t>(w.widget) | 1);
  EXPECT_EQ(plovercrashobjc_isaPointer(object), w.widget);
}

TEST(PloverCrashObjCTest, InstanceVariables) {
  World& w = world();
  EXPECT_EQ(plovercrashobjc_ivarCount(w.widget), 3);
  EXPECT_EQ(plovercrashobjc_ivarCount(w.subWidget), 0);
  PloverCrashObjCIvar ivars[10];
  ASSERT_EQ(plovercrashobjc_ivarList(w.widget, ivars, 10), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ivars[i].index, i);
  EXPECT_STREQ(ivars[1].name, "_ratio");
  EXPECT_STREQ(ivars[2].type, "@\"NSString\"");
  EXPECT_EQ(plovercrashobjc_ivarList(w.widget, ivars, 2), 2);
  EXPECT_EQ(plovercrashobjc_ivarList(w.widget, nullptr, 2), 0);

  PloverCrashObjCIvar ivar;
  ASSERT_TRUE(plovercrashobjc_ivarNamed(w.widget, "_ratio", &ivar));
  EXPECT_EQ(ivar.index, 1);
  EXPECT_FALSE(plovercrashobjc_ivarNamed(w.widget, "_missing", &ivar));
  EXPECT_FALSE(plovercrashobjc_ivarNamed(w.widget, nullptr, &ivar));

  void* object = w.runtime.makeObject(w.widget);
  FakeObjCRuntime::put(object, 8, std::int32_t{77});
  FakeObjCRuntime::put(object, 16, 2.5);
  std::int32_t count = 0;
  ASSERT_TRUE(plovercrashobjc_ivarValue(object, 0, &count));
  EXPECT_EQ(count, 77);
  double ratio = 0;
  ASSERT_TRUE(plovercrashobjc_ivarValue(object, 1, &ratio));
  EXPECT_EQ(ratio, 2.5);
  EXPECT_FALSE(plovercrashobjc_ivarValue(object, 3, &ratio));
  std::int64_t value = 0;
  ASSERT_TRUE(plovercrashobjc_ivarValue(tagged((std::uintptr_t{42} << 8) | 7), 0, &value));
  EXPECT_EQ(value, 42);
  EXPECT_FALSE(plovercrashobjc_ivarValue(tagged(0x5), 0, &value));  // a tagged string
}

TEST(PloverCrashObjCTest, TaggedPointers) {
  struct Case {
    int tag;
    bool valid;
    PloverCrashObjCClassType type;
    const char* name;
  };
  const Case cases[] = {
      {0, false, PloverCrashObjCClassTypeUnknown, nullptr},  {1, false, PloverCrashObjCClassTypeUnknown, nullptr},
      {2, true, PloverCrashObjCClassTypeString, "NSString"}, {3, true, PloverCrashObjCClassTypeNumber, "NSNumber"},
      {4, false, PloverCrashObjCClassTypeUnknown, nullptr},  {5, false, PloverCrashObjCClassTypeUnknown, nullptr},
      {6, true, PloverCrashObjCClassTypeDate, "NSDate"},     {7, false, PloverCrashObjCClassTypeUnknown, nullptr},
  };
  for (const Case& c : cases) {
    const void* pointer = tagged(0x1200 | (static_cast<std::uintptr_t>(c.tag) << 1) | 1);
    EXPECT_TRUE(plovercrashobjc_isTaggedPointer(pointer));
    EXPECT_EQ(plovercrashobjc_isValidTaggedPointer(pointer), c.valid) << c.tag;
    EXPECT_EQ(plovercrashobjc_isValidObject(pointer), c.valid) << c.tag;
    EXPECT_EQ(plovercrashobjc_objectClassType(pointer), c.type) << c.tag;
    if (c.name == nullptr) {
      EXPECT_EQ(plovercrashobjc_objectClassName(pointer), nullptr) << c.tag;
    } else {
      EXPECT_STREQ(plovercrashobjc_objectClassName(pointer), c.name) << c.tag;
    }
  }
  EXPECT_EQ(plovercrashobjc_taggedPointerPayload(tagged(0x1237)), 0x123u);
  EXPECT_FALSE(plovercrashobjc_isTaggedPointer(tagged(0x1238)));
}

TEST(PloverCrashObjCTest, TaggedStringsNumbersAndDates) {
  char buffer[32];
  // Up to seven 8-bit characters, lowest byte first.
  const std::uintptr_t abc = ((std::uintptr_t{'a'} | 'b' << 8 | 'c' << 16) << 8) | (3 << 4) | 5;
  EXPECT_EQ(plovercrashobjc_copyStringContents(tagged(abc), buffer, sizeof buffer), 3);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(plovercrashobjc_stringLength(tagged(abc)), 3);
  EXPECT_EQ(plovercrashobjc_copyStringContents(tagged(abc), buffer, 3), 2);  // cut, terminated
  EXPECT_STREQ(buffer, "ab");
  // Eight characters as 6-bit codes of the packed alphabet, the first in the highest bits.
  const char alphabet[] = "eilotrm.apdnsIc ufkMShjTRxgC4013bDNvwyUL2O856P-B79AFKEWV_zGJ/HYX";
  const char* word = "Mailbox.";
  std::uint64_t payload = 0;
  for (int i = 0; i < 8; ++i) {
    payload = (payload << 6) | static_cast<std::uint64_t>(std::strchr(alphabet, word[i]) - alphabet);
  }
  const std::uintptr_t packed = (payload << 8) | (8 << 4) | 5;
  EXPECT_EQ(plovercrashobjc_copyStringContents(tagged(packed), buffer, sizeof buffer), 8);
  EXPECT_STREQ(buffer, "Mailbox.");
  // Ten characters as 5-bit codes.
  const char* shortWord = "eilotrmapd";
  payload = 0;
  for (int i = 0; i < 10; ++i) {
    payload = (payload << 5) | static_cast<std::uint64_t>(std::strchr(alphabet, shortWord[i]) - alphabet);
  }
  EXPECT_EQ(plovercrashobjc_copyStringContents(tagged((payload << 8) | (10 << 4) | 5), buffer, sizeof buffer), 10);
  EXPECT_STREQ(buffer, "eilotrmapd");
  EXPECT_EQ(plovercrashobjc_copyStringContents(tagged((12 << 4) | 5), buffer, sizeof buffer), 0);

  const auto minusFive = static_cast<std::uintptr_t>(std::intptr_t{-5} << 8) | 7;
  EXPECT_EQ(plovercrashobjc_numberAsInteger(tagged(minusFive)), -5);
  EXPECT_EQ(plovercrashobjc_numberAsFloat(tagged(minusFive)), -5.0);
  double when = 1.5;
  std::uint64_t bits;
  std::memcpy(&bits, &when, sizeof bits);
  const void* date = tagged((bits & ~std::uint64_t{0xF}) | 0xD);
  EXPECT_EQ(plovercrashobjc_dateContents(date), 1.5);
  EXPECT_EQ(describe(tagged(minusFive)), "<NSNumber: " + hexAddress(tagged(minusFive)) + ">: -5");
  EXPECT_EQ(describe(date), "<NSDate: " + hexAddress(date) + ">: 1.500000");
  EXPECT_EQ(describe(tagged(abc)), "<NSString: " + hexAddress(tagged(abc)) + ">abc");
  EXPECT_EQ(describe(tagged(0x1201)), "<NSAtom: " + hexAddress(tagged(0x1201)) + ">");
}

TEST(PloverCrashObjCTest, Strings) {
  World& w = world();
  void* hello = w.makeString("hello world");
  EXPECT_EQ(plovercrashobjc_objectClassType(hello), PloverCrashObjCClassTypeString);
  EXPECT_TRUE(plovercrashobjc_isValidObject(hello));
  EXPECT_EQ(plovercrashobjc_stringLength(hello), 11);
  char buffer[64];
  EXPECT_EQ(plovercrashobjc_copyStringContents(hello, buffer, sizeof buffer), 11);
  EXPECT_STREQ(buffer, "hello world");
  // Longer than the buffer: cut to the buffer size minus one and terminated.
  EXPECT_EQ(plovercrashobjc_copyStringContents(hello, buffer, 6), 5);
  EXPECT_STREQ(buffer, "hello");
  EXPECT_EQ(plovercrashobjc_copyStringContents(hello, buffer, 0), 0);
  EXPECT_EQ(describe(hello), "<__NSCFString: " + hexAddress(hello) + ">: \"hello world\"");

  // A length byte before the characters.
  void* counted = w.runtime.makeObject(w.string, 32);
  FakeObjCRuntime::put(counted, 8, std::uint8_t{0x04});
  const char withLength[] =
      "\x03"
      "abc";
  std::memcpy(static_cast<char*>(counted) + 16, withLength, 4);
  EXPECT_EQ(plovercrashobjc_copyStringContents(counted, buffer, sizeof buffer), 3);
  EXPECT_STREQ(buffer, "abc");

  // A negative stored length is no valid string.
  void* negative = w.runtime.makeObject(w.string, 40);
  FakeObjCRuntime::put(negative, 8, std::uint8_t{0x60});
  FakeObjCRuntime::put(negative, 16, w.runtime.text("x"));
  FakeObjCRuntime::put(negative, 24, std::int64_t{-4});
  EXPECT_FALSE(plovercrashobjc_isValidObject(negative));
  EXPECT_EQ(plovercrashobjc_stringLength(negative), 0);
}

TEST(PloverCrashObjCTest, UTF16Strings) {
  World& w = world();
  char buffer[64];
  void* smile = w.makeUTF16String(u"h\u00e9\U0001F600!");
  EXPECT_EQ(plovercrashobjc_copyStringContents(smile, buffer, sizeof buffer), 8);
  EXPECT_STREQ(buffer, "h\xc3\xa9\xf0\x9f\x98\x80!");
  // A character whose UTF-8 does not fit ends the conversion.
  EXPECT_EQ(plovercrashobjc_copyStringContents(smile, buffer, 5), 3);
  EXPECT_STREQ(buffer, "h\xc3\xa9");
  const char16_t lone[] = {u'a', 0xDC00, u'b'};
  EXPECT_EQ(plovercrashobjc_copyStringContents(w.makeUTF16String(std::u16string(lone, 3)), buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
  const char16_t reversed[] = {0xDE00, 0xD83D};
  EXPECT_EQ(plovercrashobjc_copyStringContents(w.makeUTF16String(std::u16string(reversed, 2)), buffer, sizeof buffer),
            0);
}

TEST(PloverCrashObjCTest, NumbersNeverTurnNaNOrInfinityIntoIntegers) {
  World& w = world();
  struct Case {
    int type;
    double floating;
    std::int64_t integer;
    bool isFloat;
    double asFloat;
    std::int64_t asInteger;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {3, 0, 1234, false, 1234, 1234},
      {4, 0, -9000000000, false, -9000000000.0, -9000000000},
      {1, 0, 0x7F, false, 127, 127},
      {6, -2.75, 0, true, -2.75, -2},
      {5, 0.5, 0, true, 0.5, 0},
      {13, nan, 0, true, nan, 0},
      {6, inf, 0, true, inf, INT64_MAX},
      {16, -inf, 0, true, -inf, INT64_MIN},
      {6, 1e300, 0, true, 1e300, INT64_MAX},
  };
  for (const Case& c : cases) {
    void* number = w.makeNumber(c.type, c.floating, c.integer);
    EXPECT_EQ(plovercrashobjc_objectClassType(number), PloverCrashObjCClassTypeNumber);
    EXPECT_EQ(plovercrashobjc_numberIsFloat(number), c.isFloat) << c.type;
    const double asFloat = plovercrashobjc_numberAsFloat(number);
    if (std::isnan(c.asFloat)) {
      EXPECT_TRUE(std::isnan(asFloat));
    } else {
      EXPECT_EQ(asFloat, c.asFloat) << c.type;
    }
    EXPECT_EQ(plovercrashobjc_numberAsInteger(number), c.asInteger) << c.type << " " << c.floating;
  }
  void* noType = w.makeNumber(20, 0, 5);
  EXPECT_TRUE(std::isnan(plovercrashobjc_numberAsFloat(noType)));
  EXPECT_EQ(plovercrashobjc_numberAsInteger(noType), 0);

  void* answer = w.makeNumber(3, 0, 42);
  EXPECT_EQ(describe(answer), "<__NSCFNumber: " + hexAddress(answer) + ">: 42");
  void* ratio = w.makeNumber(6, 1.5, 0);
  EXPECT_EQ(describe(ratio), "<__NSCFNumber: " + hexAddress(ratio) + ">: 1.500000");
}

TEST(PloverCrashObjCTest, DatesAndURLs) {
  World& w = world();
  void* date = w.runtime.makeObject(w.date, 16);
  FakeObjCRuntime::put(date, 8, 700000000.25);
  EXPECT_EQ(plovercrashobjc_objectClassType(date), PloverCrashObjCClassTypeDate);
  EXPECT_EQ(plovercrashobjc_dateContents(date), 700000000.25);
  EXPECT_EQ(describe(date), "<__NSDate: " + hexAddress(date) + ">: 700000000.250000");

  void* url = w.runtime.makeObject(w.url, 72);
  FakeObjCRuntime::put(url, 24, w.makeString("https://example.invalid/x"));
  EXPECT_EQ(plovercrashobjc_objectClassType(url), PloverCrashObjCClassTypeURL);
  EXPECT_TRUE(plovercrashobjc_isValidObject(url));
  char buffer[64];
  EXPECT_EQ(plovercrashobjc_copyURLContents(url, buffer, sizeof buffer), 25);
  EXPECT_STREQ(buffer, "https://example.invalid/x");
  EXPECT_EQ(describe(url), "<NSURL: " + hexAddress(url) + ">: \"https://example.invalid/x\"");
}

TEST(PloverCrashObjCTest, Arrays) {
  World& w = world();
  void* first = w.makeString("one");
  void* immutable = w.runtime.makeObject(w.arrayI, 40);
  FakeObjCRuntime::put(immutable, 8, std::int64_t{2});
  FakeObjCRuntime::put(immutable, 16, first);
  FakeObjCRuntime::put(immutable, 24, w.makeString("two"));
  EXPECT_EQ(plovercrashobjc_objectClassType(immutable), PloverCrashObjCClassTypeArray);
  EXPECT_EQ(plovercrashobjc_arrayCount(immutable), 2);
  std::uintptr_t contents[4] = {};
  EXPECT_EQ(plovercrashobjc_arrayContents(immutable, contents, 4), 2);
  EXPECT_EQ(contents[0], reinterpret_cast<std::uintptr_t>(first));
  EXPECT_EQ(describe(immutable),
            "<__NSArrayI: " + hexAddress(immutable) + ">: [<__NSCFString: " + hexAddress(first) + ">: \"one\"]");

  // A mutable array reports its count but no contents.
  void* mutableArray = w.runtime.makeObject(w.arrayM, 40);
  FakeObjCRuntime::put(mutableArray, 8, std::int64_t{3});
  EXPECT_EQ(plovercrashobjc_arrayCount(mutableArray), 3);
  EXPECT_EQ(plovercrashobjc_arrayContents(mutableArray, contents, 4), 0);

  // A negative count is 0.
  void* broken = w.runtime.makeObject(w.arrayI, 40);
  FakeObjCRuntime::put(broken, 8, std::int64_t{-1});
  EXPECT_EQ(plovercrashobjc_arrayCount(broken), 0);
  EXPECT_EQ(plovercrashobjc_arrayContents(broken, contents, 4), 0);

  // Core Foundation arrays: inline at 48, inline at 88, or in a separate store.
  void* inline48 = w.runtime.makeObject(w.cfArray, 96);
  FakeObjCRuntime::put(inline48, 8, std::uint8_t{0});
  FakeObjCRuntime::put(inline48, 16, std::int64_t{1});
  FakeObjCRuntime::put(inline48, 48, std::uintptr_t{0xAAA0});
  EXPECT_EQ(plovercrashobjc_arrayContents(inline48, contents, 4), 1);
  EXPECT_EQ(contents[0], 0xAAA0u);
  void* inline88 = w.runtime.makeObject(w.cfArray, 96);
  FakeObjCRuntime::put(inline88, 8, std::uint8_t{0x0C});
  FakeObjCRuntime::put(inline88, 16, std::int64_t{1});
  FakeObjCRuntime::put(inline88, 88, std::uintptr_t{0xBBB0});
  EXPECT_EQ(plovercrashobjc_arrayContents(inline88, contents, 4), 1);
  EXPECT_EQ(contents[0], 0xBBB0u);
  auto* store = static_cast<std::uintptr_t*>(w.runtime.allocate(64));
  store[0] = 1;  // the elements start three words in
  store[3] = 0xCCC0;
  void* separate = w.runtime.makeObject(w.cfArray, 96);
  FakeObjCRuntime::put(separate, 8, std::uint8_t{2});
  FakeObjCRuntime::put(separate, 16, std::int64_t{1});
  FakeObjCRuntime::put(separate, 40, store);
  EXPECT_TRUE(plovercrashobjc_isValidObject(separate));
  EXPECT_EQ(plovercrashobjc_arrayContents(separate, contents, 4), 1);
  EXPECT_EQ(contents[0], 0xCCC0u);
  void* unreadable = w.runtime.makeObject(w.cfArray, 96);
  FakeObjCRuntime::put(unreadable, 8, std::uint8_t{1});
  FakeObjCRuntime::put(unreadable, 16, std::int64_t{1});
  EXPECT_EQ(plovercrashobjc_arrayContents(unreadable, contents, 4), 0);
}

TEST(PloverCrashObjCTest, AnArrayHoldingItselfIsDescribedInFiniteSpace) {
  World& w = world();
  void* array = w.runtime.makeObject(w.arrayI, 24);
  FakeObjCRuntime::put(array, 8, std::int64_t{1});
  FakeObjCRuntime::put(array, 16, array);
  const std::string text = describe(array, 4096);
  EXPECT_EQ(text.rfind("<__NSArrayI: ", 0), 0u);
  EXPECT_EQ(text.back(), ']');
}

TEST(PloverCrashObjCTest, DescriptionsAreCutToTheBuffer) {
  World& w = world();
  void* hello = w.makeString("hello world");
  const std::string full = describe(hello);
  for (int size : {1, 5, 20, 30, 41}) {
    std::string buffer(static_cast<std::size_t>(size), 'Z');
    const int length = plovercrashobjc_getDescription(hello, buffer.data(), size);
    ASSERT_LT(length, size);
    EXPECT_EQ(buffer[static_cast<std::size_t>(length)], '\0');
    EXPECT_EQ(buffer.substr(0, static_cast<std::size_t>(length)), full.substr(0, static_cast<std::size_t>(length)));
  }
  char none = 'Z';
  EXPECT_EQ(plovercrashobjc_getDescription(hello, &none, 0), 0);
  EXPECT_EQ(none, 'Z');
}

TEST(PloverCrashObjCTest, Dictionaries) {
  World& w = world();
  auto* values = static_cast<std::uintptr_t*>(w.runtime.allocate(16));
  auto* keys = static_cast<std::uintptr_t*>(w.runtime.allocate(16));
  values[0] = 0x5150;
  keys[0] = 0x4140;
  void* dictionary = w.runtime.makeObject(w.dictionary, 64);
  FakeObjCRuntime::put(dictionary, 48, values);
  FakeObjCRuntime::put(dictionary, 56, keys);
  std::uintptr_t key = 0, value = 0;
  ASSERT_TRUE(plovercrashobjc_dictionaryFirstEntry(dictionary, &key, &value));
  EXPECT_EQ(value, 0x5150u);
  EXPECT_EQ(key, 0x5150u);  // without the flag, keys share the store at 48
  FakeObjCRuntime::put(dictionary, 18, std::uint8_t{0x04});
  ASSERT_TRUE(plovercrashobjc_dictionaryFirstEntry(dictionary, &key, &value));
  EXPECT_EQ(key, 0x4140u);
  EXPECT_EQ(plovercrashobjc_dictionaryCount(dictionary), 0);
  FakeObjCRuntime::put(dictionary, 48, w.runtime.guardPage());
  EXPECT_FALSE(plovercrashobjc_dictionaryFirstEntry(dictionary, &key, &value));
  EXPECT_EQ(plovercrashobjc_objectClassType(dictionary), PloverCrashObjCClassTypeUnknown);
  EXPECT_EQ(describe(dictionary), "<__NSDictionaryI: " + hexAddress(dictionary) + ">");
}

}  // namespace
