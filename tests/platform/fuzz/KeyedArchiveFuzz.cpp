// Keyed archives from the input, decoded into a registered class that reads every kind of field
// and nested objects of its own class.
#include "platform/foundation/KeyedArchiver.h"
#include "tests/platform/fuzz/PlatformFuzz.h"

#include <mutex>

namespace {

class FuzzObject : public vx::Archivable {
 public:
  FuzzObject() = default;
  explicit FuzzObject(vx::KeyedUnarchiver& coder) {
    (void)coder.decodeString("s");
    (void)coder.decodeInt64("i");
    (void)coder.decodeDouble("d");
    (void)coder.decodeBool("b");
    (void)coder.decodeDate("t");
    (void)coder.decodeData("x");
    (void)coder.decodeUUID("u");
    if (auto value = coder.decodeValue("v")) (void)value->description();
    child_ = coder.decodeObjectOfClass<FuzzObject>("o");
  }
  std::string className() const override { return "FuzzObject"; }
  // Writes every kind of field (the seed corpus was made this way).
  void encodeWithCoder(vx::KeyedArchiver& coder) const override {
    coder.encodeString("text", "s");
    coder.encodeInt64(-42, "i");
    coder.encodeDouble(1.5, "d");
    coder.encodeBool(true, "b");
    coder.encodeDate(vx::Date(std::chrono::milliseconds(1765400000123LL)), "t");
    coder.encodeData(vx::Bytes{1, 2, 3}, "x");
    coder.encodeValue(vx::Value(vx::ValueMap{{"k", vx::Value(vx::ValueArray{vx::Value(1), vx::Value("v")})}}), "v");
    if (child_) coder.encodeObject(child_, "o");
  }
  std::shared_ptr<FuzzObject> child_;
};

}  // namespace

VX_FUZZ_TARGET(keyed_archive) {
  static std::once_flag once;
  std::call_once(once, [] { vx::KeyedUnarchiver::registerClass<FuzzObject>("FuzzObject"); });
  const vx::Bytes bytes(data, data + size);
  (void)vx::KeyedUnarchiver::unarchiveObject(bytes);
  (void)vx::KeyedUnarchiver::unarchiveObjects(bytes);
  return 0;
}
