#include "platform/foundation/KeyedArchiver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace vx {
namespace {

using namespace std::chrono;

// A small class tree: Shape <- Circle, plus a Group that holds other shapes.
class Shape : public Archivable {
 public:
  Shape() = default;
  explicit Shape(KeyedUnarchiver& coder)
      : name(coder.decodeString("name").value_or("")),
        id(coder.decodeUUID("id").value_or(UUID())),
        created(coder.decodeDate("created").value_or(Date{})) {}
  std::string className() const override { return "Shape"; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    coder.encodeString(name, "name");
    coder.encodeUUID(id, "id");
    coder.encodeDate(created, "created");
  }
  std::string name;
  UUID id;
  Date created{};
};

class Circle : public Shape {
 public:
  Circle() = default;
  explicit Circle(KeyedUnarchiver& coder)
      : Shape(coder),
        radius(coder.decodeDouble("radius").value_or(0)),
        filled(coder.decodeBool("filled").value_or(false)),
        count(coder.decodeInt64("count").value_or(0)),
        thumbnail(coder.decodeData("thumbnail").value_or(Bytes{})),
        extra(coder.decodeValue("extra").value_or(Value())),
        hasNote(!coder.isNullForKey("note")) {}
  std::string className() const override { return "Circle"; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    Shape::encodeWithCoder(coder);
    coder.encodeDouble(radius, "radius");
    coder.encodeBool(filled, "filled");
    coder.encodeInt64(count, "count");
    coder.encodeData(thumbnail, "thumbnail");
    coder.encodeValue(extra, "extra");
    if (!hasNote) coder.encodeNull("note");
  }
  double radius = 0;
  bool filled = false;
  std::int64_t count = 0;
  Bytes thumbnail;
  Value extra;
  bool hasNote = true;
};

class Group : public Shape {
 public:
  Group() = default;
  explicit Group(KeyedUnarchiver& coder) : Shape(coder) {
    leader = coder.decodeObjectOfClass<Circle>("leader");
    members = coder.decodeObjects("members").value_or(ArchivableArray{});
    byRole = coder.decodeObjectMap("byRole").value_or(ArchivableMap{});
    self = coder.decodeObject("self");
  }
  std::string className() const override { return "Group"; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    Shape::encodeWithCoder(coder);
    coder.encodeObject(leader, "leader");
    coder.encodeObjects(members, "members");
    coder.encodeObjectMap(byRole, "byRole");
    coder.encodeObject(self.lock(), "self");
  }
  std::shared_ptr<Circle> leader;
  ArchivableArray members;
  ArchivableMap byRole;
  std::weak_ptr<Archivable> self;  // set only to build a cycle
};

// Writes whatever fields it is given, to hand-craft archives.
class Raw : public Archivable {
 public:
  explicit Raw(std::function<void(KeyedArchiver&)> write, std::string name = "Circle")
      : write_(std::move(write)), name_(std::move(name)) {}
  std::string className() const override { return name_; }
  void encodeWithCoder(KeyedArchiver& coder) const override { write_(coder); }

 private:
  std::function<void(KeyedArchiver&)> write_;
  std::string name_;
};

class KeyedArchiverTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    KeyedUnarchiver::registerClass<Shape>("Shape");
    KeyedUnarchiver::registerClass<Circle>("Circle");
    KeyedUnarchiver::registerClass<Group>("Group");
  }

  static std::shared_ptr<Circle> sampleCircle() {
    auto circle = std::make_shared<Circle>();
    circle->name = "ring";
    circle->id = UUID::make();
    circle->created = system_clock::now();  // nanoseconds must survive
    circle->radius = 2.75;
    circle->filled = true;
    circle->count = std::numeric_limits<std::int64_t>::min();
    circle->thumbnail = Bytes{0, 1, 2, 250, 255};
    circle->extra = Value(ValueMap{{"list", ValueArray{1, 1.0, true, "1", nullptr, Bytes{9}}},
                                   {"when", Date{} + nanoseconds(-1)},
                                   {"uuid", UUID::make()},
                                   {"nan", std::nan("")},
                                   {"deep", ValueMap{{"deeper", ValueMap{{"deepest", -1}}}}}});
    circle->hasNote = false;
    return circle;
  }
};

void expectSameCircle(const Circle& a, const Circle& b) {
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.created, b.created);
  EXPECT_EQ(a.radius, b.radius);
  EXPECT_EQ(a.filled, b.filled);
  EXPECT_EQ(a.count, b.count);
  EXPECT_EQ(a.thumbnail, b.thumbnail);
  EXPECT_EQ(a.hasNote, b.hasNote);
  // NaN never equals itself: compare the rest and the NaN apart.
  ASSERT_TRUE(b.extra.isMap());
  EXPECT_TRUE(std::isnan(*b.extra["nan"].doubleValue()));
  auto left = *a.extra.mapValue();
  auto right = *b.extra.mapValue();
  left.erase("nan");
  right.erase("nan");
  EXPECT_EQ(left, right);
  EXPECT_EQ(right.keys(), left.keys());
  EXPECT_TRUE(b.extra["list"][1].isDouble());
  EXPECT_TRUE(b.extra["list"][2].isBool());
  EXPECT_TRUE(b.extra["list"][0].isInteger());
}

TEST_F(KeyedArchiverTest, RoundTripsAnObjectWithEveryKindOfValue) {
  const auto circle = sampleCircle();
  auto data = KeyedArchiver::archivedData(*circle);
  ASSERT_TRUE(data.ok()) << data.error();
  EXPECT_EQ(data->front(), kArchiveFormatVersion);
  auto decoded = KeyedUnarchiver::unarchiveObjectOfClass<Circle>(*data);
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  expectSameCircle(*circle, **decoded);
  // Encoding is deterministic, and the longer names do the same.
  EXPECT_EQ(*KeyedArchiver::archivedDataWithRootObject(*circle), *data);
  auto again = KeyedUnarchiver::unarchiveObjectWithData(*data);
  ASSERT_TRUE(again.ok());
  expectSameCircle(*circle, dynamic_cast<Circle&>(**again));
}

TEST_F(KeyedArchiverTest, RebuildsTheRightSubclassesInNestedObjectsArraysAndMaps) {
  auto group = std::make_shared<Group>();
  group->name = "group";
  group->leader = sampleCircle();
  auto plain = std::make_shared<Shape>();
  plain->name = "plain";
  group->members = {plain, sampleCircle(), nullptr};
  auto inner = std::make_shared<Group>();
  inner->name = "inner";
  group->byRole = {{"inner", inner}, {"none", nullptr}};

  auto data = KeyedArchiver::archivedData(*group);
  ASSERT_TRUE(data.ok()) << data.error();
  auto decoded = KeyedUnarchiver::unarchiveObject(*data);
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  auto copy = std::dynamic_pointer_cast<Group>(*decoded);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->name, "group");
  ASSERT_NE(copy->leader, nullptr);
  expectSameCircle(*group->leader, *copy->leader);
  ASSERT_EQ(copy->members.size(), 3u);
  EXPECT_EQ(copy->members[0]->className(), "Shape");
  EXPECT_EQ(std::dynamic_pointer_cast<Circle>(copy->members[0]), nullptr);
  ASSERT_NE(std::dynamic_pointer_cast<Circle>(copy->members[1]), nullptr);
  EXPECT_EQ(copy->members[2], nullptr);
  ASSERT_EQ(copy->byRole.size(), 2u);
  EXPECT_EQ(std::dynamic_pointer_cast<Group>(copy->byRole["inner"])->name, "inner");
  EXPECT_EQ(copy->byRole["none"], nullptr);
  EXPECT_TRUE(copy->self.expired());
}

TEST_F(KeyedArchiverTest, RootMayBeAnArrayOfObjects) {
  ArchivableArray roots{sampleCircle(), std::make_shared<Shape>(), std::make_shared<Group>()};
  auto data = KeyedArchiver::archivedData(roots);
  ASSERT_TRUE(data.ok());
  auto decoded = KeyedUnarchiver::unarchiveObjects(*data);
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  ASSERT_EQ(decoded->size(), 3u);
  EXPECT_EQ((*decoded)[0]->className(), "Circle");
  EXPECT_EQ((*decoded)[1]->className(), "Shape");
  EXPECT_EQ((*decoded)[2]->className(), "Group");
  // A single-object reader refuses an array root; the array reader takes a single object.
  EXPECT_EQ(KeyedUnarchiver::unarchiveObject(*data).error().code, kArchiveErrorInvalidRoot);
  auto single = KeyedUnarchiver::unarchiveObjects(*KeyedArchiver::archivedData(Shape()));
  ASSERT_TRUE(single.ok());
  EXPECT_EQ(single->size(), 1u);
  EXPECT_EQ(KeyedArchiver::archivedData(ArchivableArray{nullptr}).error().code, kArchiveErrorInvalidRoot);
  auto empty = KeyedUnarchiver::unarchiveObjects(*KeyedArchiver::archivedData(ArchivableArray{}));
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->empty());
}

TEST_F(KeyedArchiverTest, WrongTypesAndUnknownClassesAreErrors) {
  struct Case {
    const char* what;
    std::function<void(KeyedArchiver&)> write;
    std::string className;
    std::int64_t code;
  };
  const std::vector<Case> cases = {
      {"bool where a double is read", [](KeyedArchiver& c) { c.encodeBool(true, "radius"); }, "Circle",
       kArchiveErrorWrongType},
      {"integer where a bool is read", [](KeyedArchiver& c) { c.encodeInt64(1, "filled"); }, "Circle",
       kArchiveErrorWrongType},
      {"double where an integer is read", [](KeyedArchiver& c) { c.encodeDouble(1.0, "count"); }, "Circle",
       kArchiveErrorWrongType},
      {"text where a date is read", [](KeyedArchiver& c) { c.encodeString("2024-01-01", "created"); }, "Circle",
       kArchiveErrorWrongType},
      {"data where a UUID is read", [](KeyedArchiver& c) { c.encodeData(Bytes(16), "id"); }, "Circle",
       kArchiveErrorWrongType},
      {"UUID where data is read", [](KeyedArchiver& c) { c.encodeUUID(UUID(), "thumbnail"); }, "Circle",
       kArchiveErrorWrongType},
      {"object inside a plain value", [](KeyedArchiver& c) { c.encodeObject(std::make_shared<Shape>(), "extra"); },
       "Circle", kArchiveErrorWrongType},
      {"plain value where an object is read", [](KeyedArchiver& c) { c.encodeInt64(3, "leader"); }, "Group",
       kArchiveErrorWrongType},
      {"object of another class", [](KeyedArchiver& c) { c.encodeObject(std::make_shared<Shape>(), "leader"); },
       "Group", kArchiveErrorWrongType},
      {"text where objects are read", [](KeyedArchiver& c) { c.encodeString("x", "members"); }, "Group",
       kArchiveErrorWrongType},
      {"unknown class", [](KeyedArchiver&) {}, "Hexagon", kArchiveErrorUnknownClass},
      {"unknown nested class",
       [](KeyedArchiver& c) { c.encodeObjects({std::make_shared<Raw>([](KeyedArchiver&) {}, "Hexagon")}, "members"); },
       "Group", kArchiveErrorUnknownClass},
  };
  for (const auto& c : cases) {
    auto data = KeyedArchiver::archivedData(Raw(c.write, c.className));
    ASSERT_TRUE(data.ok()) << c.what;
    auto decoded = KeyedUnarchiver::unarchiveObject(*data);
    ASSERT_FALSE(decoded.ok()) << c.what;
    EXPECT_EQ(decoded.error().domain, kArchiveErrorDomain) << c.what;
    EXPECT_EQ(decoded.error().code, c.code) << c.what << ": " << decoded.error();
  }
  // Missing keys and null markers are no error.
  auto sparse = KeyedArchiver::archivedData(Raw([](KeyedArchiver& c) { c.encodeNull("radius"); }));
  auto decoded = KeyedUnarchiver::unarchiveObjectOfClass<Circle>(*sparse);
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  EXPECT_EQ((*decoded)->radius, 0);
  // An integer reads as a double.
  auto widened = KeyedArchiver::archivedData(Raw([](KeyedArchiver& c) { c.encodeInt64(4, "radius"); }));
  EXPECT_EQ((*KeyedUnarchiver::unarchiveObjectOfClass<Circle>(*widened))->radius, 4.0);
  // The root of another class than asked for.
  EXPECT_EQ(KeyedUnarchiver::unarchiveObjectOfClass<Group>(*sparse).error().code, kArchiveErrorWrongType);
}

TEST_F(KeyedArchiverTest, FactoryFailureIsAnError) {
  KeyedUnarchiver::registerClass("Refuses", [](KeyedUnarchiver&) -> ArchivablePtr { return nullptr; });
  KeyedUnarchiver::registerClass("Complains", [](KeyedUnarchiver& coder) -> ArchivablePtr {
    coder.failWithError(Error("Test", 77, "bad field"));
    return std::make_shared<Shape>();
  });
  auto refused = KeyedUnarchiver::unarchiveObject(*KeyedArchiver::archivedData(Raw([](KeyedArchiver&) {}, "Refuses")));
  EXPECT_EQ(refused.error().code, kArchiveErrorObjectFailed);
  auto complained =
      KeyedUnarchiver::unarchiveObject(*KeyedArchiver::archivedData(Raw([](KeyedArchiver&) {}, "Complains")));
  EXPECT_EQ(complained.error(), Error("Test", 77));
}

TEST_F(KeyedArchiverTest, CyclesAndHostileNestingAreErrorsNotCrashes) {
  auto group = std::make_shared<Group>();
  group->self = group;  // encodes itself forever
  auto cyclic = KeyedArchiver::archivedData(*group);
  ASSERT_FALSE(cyclic.ok());
  EXPECT_EQ(cyclic.error().code, kArchiveErrorTooDeep);

  // A hundred thousand nested one-element arrays.
  Bytes deep{kArchiveFormatVersion};
  deep.insert(deep.end(), 100000, 0x81);
  deep.push_back(0x00);
  EXPECT_EQ(KeyedUnarchiver::unarchiveObject(deep).error().code, kArchiveErrorTooDeep);

  // Lengths that claim more than the input holds.
  for (const Bytes& lying : {Bytes{kArchiveFormatVersion, 0x9B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                             Bytes{kArchiveFormatVersion, 0xBB, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                             Bytes{kArchiveFormatVersion, 0x5A, 0xFF, 0xFF, 0xFF, 0xFF},
                             Bytes{kArchiveFormatVersion, 0x9F, 0x00, 0xFF},  // indefinite length
                             Bytes{kArchiveFormatVersion, 0xC1, 0x00}}) {     // foreign tag
    EXPECT_EQ(KeyedUnarchiver::unarchiveObject(lying).error().code, kArchiveErrorCorrupt);
  }
  EXPECT_EQ(KeyedUnarchiver::unarchiveObject(Bytes{}).error().code, kArchiveErrorCorrupt);
  EXPECT_EQ(KeyedUnarchiver::unarchiveObject(Bytes{kArchiveFormatVersion}).error().code, kArchiveErrorCorrupt);
}

TEST_F(KeyedArchiverTest, WhatTheArchiverWritesAtTheDepthLimitReadsBack) {
  auto nested = [](int levels) {
    Value value(1);
    for (int i = 0; i < levels; ++i) {
      ValueArray wrapper;
      wrapper.push_back(std::move(value));
      value = Value(std::move(wrapper));
    }
    return value;
  };
  // The root object takes two levels, so 510 nested arrays reach the limit of 512.
  auto deepest = nested(510);
  auto data = KeyedArchiver::archivedData(Raw([&](KeyedArchiver& c) { c.encodeValue(deepest, "extra"); }));
  ASSERT_TRUE(data.ok()) << data.error();
  auto decoded = KeyedUnarchiver::unarchiveObjectOfClass<Circle>(*data);
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  EXPECT_EQ((*decoded)->extra, deepest);

  auto tooDeep = nested(511);
  auto refused = KeyedArchiver::archivedData(Raw([&](KeyedArchiver& c) { c.encodeValue(tooDeep, "extra"); }));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().code, kArchiveErrorTooDeep);
}

TEST_F(KeyedArchiverTest, WrongVersionTruncationAndTrailingBytesAreErrors) {
  auto data = *KeyedArchiver::archivedData(*sampleCircle());
  auto otherVersion = data;
  otherVersion[0] = kArchiveFormatVersion + 1;
  EXPECT_EQ(KeyedUnarchiver::unarchiveObject(otherVersion).error().code, kArchiveErrorVersion);
  for (std::size_t length = 0; length < data.size(); ++length) {
    const Bytes truncated(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_FALSE(KeyedUnarchiver::unarchiveObject(truncated).ok()) << length;
  }
  auto longer = data;
  longer.push_back(0x00);
  EXPECT_EQ(KeyedUnarchiver::unarchiveObject(longer).error().code, kArchiveErrorCorrupt);
}

TEST_F(KeyedArchiverTest, FuzzedArchivesNeverCrashTheDecoder) {
  auto group = std::make_shared<Group>();
  group->leader = sampleCircle();
  group->members = {sampleCircle(), std::make_shared<Shape>()};
  group->byRole = {{"a", sampleCircle()}};
  const auto valid = *KeyedArchiver::archivedData(*group);
  std::mt19937 random(20261209);  // fixed seed: a failure can be replayed
  auto pick = [&](std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random); };
  int decoded = 0;
  int rejected = 0;
  for (int round = 0; round < 20000; ++round) {
    Bytes mutated = valid;
    const int edits = 1 + static_cast<int>(pick(4));
    for (int e = 0; e < edits && !mutated.empty(); ++e) {
      switch (pick(5)) {
        case 0:
          mutated[pick(mutated.size())] ^= static_cast<std::uint8_t>(1u << pick(8));
          break;
        case 1:
          mutated[pick(mutated.size())] = static_cast<std::uint8_t>(pick(256));
          break;
        case 2:
          mutated.insert(mutated.begin() + static_cast<std::ptrdiff_t>(pick(mutated.size() + 1)),
                         static_cast<std::uint8_t>(pick(256)));
          break;
        case 3:
          mutated.erase(mutated.begin() + static_cast<std::ptrdiff_t>(pick(mutated.size())));
          break;
        default:
          mutated.resize(pick(mutated.size()));
          break;
      }
    }
    auto result = KeyedUnarchiver::unarchiveObjects(mutated);
    if (result.ok()) {
      ++decoded;
    } else {
      ++rejected;
      EXPECT_EQ(result.error().domain, kArchiveErrorDomain);
    }
  }
  EXPECT_EQ(decoded + rejected, 20000);
  EXPECT_GT(rejected, 10000);  // most damage is noticed
}

}  // namespace
}  // namespace vx
