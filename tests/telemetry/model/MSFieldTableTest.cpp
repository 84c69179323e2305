// The field table's rules on a small model of its own that uses the kinds and flags the log
// classes do not (lists of models, UUIDs, plain numbers, per-field JSON writers), through the real
// keyed archiver.
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzev/Model/MSFieldTable.h"
#include "telemetry/ZerEvuzev/Model/MSTypedProperty.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

class FieldTestItem : public MSSerializableObject, public MSModel {
 public:
  FieldTestItem() = default;
  explicit FieldTestItem(std::string label_) : label(std::move(label_)) {}
  explicit FieldTestItem(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }

  std::optional<std::string> label;

  static const MSFieldTable<FieldTestItem>& fieldTable() {
    static constexpr MSField<FieldTestItem> kFields[] = {
        MSFieldOf<&FieldTestItem::label>("label", MSFieldFlags::Required | MSFieldFlags::NonEmpty)};
    static constexpr MSFieldTable<FieldTestItem> kTable(kFields, 77);
    return kTable;
  }
  std::string className() const override { return "FieldTestItem"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override { fieldTable().encode(*this, coder); }
  MSJson serializeToDictionary() const override { return fieldTable().toJson(*this); }
  bool isEqual(const MSSerializableObject& other) const override { return fieldTable().isEqual(*this, other); }
  std::size_t hash() const override { return fieldTable().hash(*this); }
  bool isValid() const override { return fieldTable().isValid(*this); }
};

class FieldTestRecord : public FieldTestItem {
 public:
  FieldTestRecord() = default;
  explicit FieldTestRecord(vx::KeyedUnarchiver& coder) : FieldTestItem(coder) { fieldTable().decodeOwn(*this, coder); }

  std::optional<vx::UUID> id;
  std::int64_t count = 0;
  double ratio = 0;
  bool flag = false;
  std::optional<std::vector<std::shared_ptr<FieldTestItem>>> items;
  std::shared_ptr<FieldTestItem> main;
  std::optional<std::string> note;      // archived only
  std::optional<std::string> shout;     // written by its own JSON writer
  std::optional<std::int64_t> ignored;  // neither compared nor hashed

  static const MSFieldTable<FieldTestRecord, FieldTestItem>& fieldTable() {
    static constexpr MSField<FieldTestRecord> kFields[] = {
        MSFieldOf<&FieldTestRecord::id>("id", "archivedId"),
        MSFieldOf<&FieldTestRecord::count>("count", MSFieldFlags::OmitZero),
        MSFieldOf<&FieldTestRecord::ratio>("ratio"),
        MSFieldOf<&FieldTestRecord::flag>("flag"),
        MSFieldOf<&FieldTestRecord::items>("items", MSFieldFlags::NonEmpty),
        MSFieldOf<&FieldTestRecord::main>("main"),
        MSFieldOf<&FieldTestRecord::note>(nullptr, "note", MSFieldFlags::Unhashed),
        MSFieldOf<&FieldTestRecord::shout>("shout").withJsonWriter(
            [](const FieldTestRecord& record, MSJson& json, const char* key, MSFieldFlags) {
              if (record.shout) json[key] = *record.shout + "!";
            }),
        MSFieldOf<&FieldTestRecord::ignored>("ignored", MSFieldFlags::Uncompared),
    };
    static constexpr MSFieldTable<FieldTestRecord, FieldTestItem> kTable(kFields);
    return kTable;
  }
  std::string className() const override { return "FieldTestRecord"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override { fieldTable().encode(*this, coder); }
  MSJson serializeToDictionary() const override { return fieldTable().toJson(*this); }
  bool isEqual(const MSSerializableObject& other) const override { return fieldTable().isEqual(*this, other); }
  std::size_t hash() const override { return fieldTable().hash(*this); }
  bool isValid() const override { return fieldTable().isValid(*this); }
};

void registerClasses() {
  MSRegisterArchivableClasses();
  vx::KeyedUnarchiver::registerClass<FieldTestItem>("FieldTestItem");
  vx::KeyedUnarchiver::registerClass<FieldTestRecord>("FieldTestRecord");
}

std::shared_ptr<FieldTestRecord> fullRecord() {
  auto record = std::make_shared<FieldTestRecord>();
  record->label = "record";
  record->id = vx::UUID::parse("6F9619FF-8B86-D011-B42D-00C04FC964FF");
  record->count = 4;
  record->ratio = 0.5;
  record->flag = true;
  record->items = std::vector<std::shared_ptr<FieldTestItem>>{std::make_shared<FieldTestItem>("a"),
                                                              std::make_shared<FieldTestItem>("b")};
  record->main = std::make_shared<FieldTestItem>("m");
  record->note = "kept";
  record->shout = "hey";
  record->ignored = 9;
  return record;
}

std::shared_ptr<FieldTestRecord> roundTrip(const FieldTestRecord& record) {
  registerClasses();
  auto data = MSArchivedData(record);
  EXPECT_TRUE(data) << data.error();
  auto decoded = MSUnarchiveObject<FieldTestRecord>(data.value());
  EXPECT_TRUE(decoded) << decoded.error();
  return decoded ? decoded.value() : nullptr;
}

TEST(MSFieldTableTest, JsonFollowsTheTableBaseFirstWithItsKeysAndWriters) {
  EXPECT_EQ(fullRecord()->serializeToDictionary().dump(),
            R"({"label":"record","id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","count":4,"ratio":0.5,"flag":true,)"
            R"("items":[{"label":"a"},{"label":"b"}],"main":{"label":"m"},"shout":"hey!","ignored":9})");
  // Plain values are written even when zero, unless OmitZero; unset optionals never.
  EXPECT_EQ(FieldTestRecord().serializeToDictionary().dump(), R"({"ratio":0.0,"flag":false})");
}

TEST(MSFieldTableTest, ArchiveRoundTripKeepsEveryArchivedField) {
  const auto record = fullRecord();
  const auto decoded = roundTrip(*record);
  ASSERT_NE(decoded, nullptr);
  EXPECT_TRUE(decoded->isEqual(*record));
  EXPECT_EQ(decoded->hash(), record->hash());
  EXPECT_EQ(decoded->note, "kept");
  ASSERT_TRUE(decoded->items);
  ASSERT_EQ(decoded->items->size(), 2U);
  EXPECT_EQ((*decoded->items)[1]->label, "b");
  EXPECT_EQ(decoded->id, record->id);
}

TEST(MSFieldTableTest, DecodingKeepsDefaultsForMissingKeys) {
  FieldTestRecord record;
  record.label = "only";
  const auto decoded = roundTrip(record);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(decoded->count, 0);
  EXPECT_FALSE(decoded->items);
  EXPECT_FALSE(decoded->main);
  EXPECT_TRUE(decoded->isEqual(record));
}

TEST(MSFieldTableTest, AListElementOfAnotherClassFailsTheUnarchiving) {
  registerClasses();
  // A record archive with a typed property inside the list instead of an item.
  class Foreign : public FieldTestRecord {
   public:
    void encodeWithCoder(vx::KeyedArchiver& coder) const override {
      FieldTestRecord::encodeWithCoder(coder);
      coder.encodeObjects({std::make_shared<MSStringTypedProperty>()}, "items");
    }
  };
  Foreign foreign;
  foreign.label = "x";
  auto foreignData = MSArchivedData(foreign);
  ASSERT_TRUE(foreignData);
  auto decoded = MSUnarchiveObject<FieldTestRecord>(foreignData.value());
  ASSERT_FALSE(decoded);
  EXPECT_EQ(decoded.error().code, vx::kArchiveErrorWrongType);
}

struct EqualityCase {
  const char* name;
  void (*change)(FieldTestRecord&);
  bool staysEqual;
  bool sameHash;
};

class MSFieldTableEqualityTest : public testing::TestWithParam<EqualityCase> {};

TEST_P(MSFieldTableEqualityTest, EachFieldTakesPartAsItsFlagsSay) {
  const auto original = fullRecord();
  auto changed = fullRecord();
  GetParam().change(*changed);
  EXPECT_EQ(changed->isEqual(*original), GetParam().staysEqual);
  if (GetParam().sameHash)
    EXPECT_EQ(changed->hash(), original->hash());
  else
    EXPECT_NE(changed->hash(), original->hash());
}

INSTANTIATE_TEST_SUITE_P(
    Fields, MSFieldTableEqualityTest,
    testing::Values(EqualityCase{"baseLabel", [](FieldTestRecord& r) { r.label = "other"; }, false, false},
                    EqualityCase{"id", [](FieldTestRecord& r) { r.id.reset(); }, false, false},
                    EqualityCase{"count", [](FieldTestRecord& r) { r.count = 5; }, false, false},
                    EqualityCase{"listElement", [](FieldTestRecord& r) { (*r.items)[0]->label = "z"; }, false, false},
                    EqualityCase{"listLength", [](FieldTestRecord& r) { r.items->pop_back(); }, false, false},
                    EqualityCase{"nested", [](FieldTestRecord& r) { r.main.reset(); }, false, false},
                    EqualityCase{"unhashed", [](FieldTestRecord& r) { r.note = "other"; }, false, true},
                    EqualityCase{"uncompared", [](FieldTestRecord& r) { r.ignored = 1; }, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MSFieldTableTest, NaNEqualsNaNAndZeroEqualsNegativeZeroAndTheyHashAlike) {
  for (const auto& [x, y] : {std::pair{std::nan("1"), -std::nan("2")}, std::pair{0.0, -0.0}}) {
    auto a = fullRecord();
    auto b = fullRecord();
    a->ratio = x;
    b->ratio = y;
    EXPECT_TRUE(a->isEqual(*b)) << x;
    EXPECT_EQ(a->hash(), b->hash()) << x;
  }
}

TEST(MSFieldTableTest, TheRootTableSeedsTheHash) {
  std::size_t seed = 77;
  MSHashAdd(seed, std::optional<std::string>("x"));
  EXPECT_EQ(FieldTestItem("x").hash(), seed);
  // A subclass goes on from its base's seed and fields.
  FieldTestRecord record;
  record.label = "x";
  record.flag = true;
  MSHashAdd(seed, std::optional<vx::UUID>());
  MSHashAdd(seed, std::int64_t{0});
  MSHashAdd(seed, 0.0);
  MSHashAdd(seed, true);
  MSHashCombine(seed, 0);                         // no main item
  MSHashAdd(seed, std::optional<std::string>());  // no shout; note is unhashed, ignored uncompared
  EXPECT_EQ(record.hash(), seed);
}

struct ValidityCase {
  const char* name;
  void (*change)(FieldTestRecord&);
  bool valid;
};

class MSFieldTableValidityTest : public testing::TestWithParam<ValidityCase> {};

TEST_P(MSFieldTableValidityTest, RequiredFieldsAndNestedModelsDecide) {
  auto record = fullRecord();
  GetParam().change(*record);
  EXPECT_EQ(record->isValid(), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, MSFieldTableValidityTest,
    testing::Values(ValidityCase{"full", [](FieldTestRecord&) {}, true},
                    ValidityCase{"baseRequiredMissing", [](FieldTestRecord& r) { r.label.reset(); }, false},
                    ValidityCase{"baseNonEmptyEmpty", [](FieldTestRecord& r) { r.label = ""; }, false},
                    ValidityCase{"listMissing", [](FieldTestRecord& r) { r.items.reset(); }, false},
                    ValidityCase{"listEmpty", [](FieldTestRecord& r) { r.items->clear(); }, false},
                    ValidityCase{"listElementInvalid", [](FieldTestRecord& r) { (*r.items)[0]->label.reset(); }, false},
                    ValidityCase{"listElementNull", [](FieldTestRecord& r) { (*r.items)[0].reset(); }, false},
                    ValidityCase{"optionalNestedUnset", [](FieldTestRecord& r) { r.main.reset(); }, true},
                    ValidityCase{"optionalNestedInvalid", [](FieldTestRecord& r) { r.main->label.reset(); }, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
