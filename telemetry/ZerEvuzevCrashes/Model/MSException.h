// The value classes of an error log: a stack frame, a language-level exception, a thread and a
// binary image. Each is driven by its field table (the telemetry model's MSFieldTable): JSON keys
// in the order they are written, archive keys equal to them, equality over the same fields.
#pragma once

#include "platform/foundation/Base64.h"
#include "platform/foundation/KeyedArchiver.h"
#include "telemetry/ZerEvuzev/Model/MSFieldTable.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Unsigned 64-bit numbers (CPU types) are archived by their bit pattern, so values above the
// signed range come back unchanged.
template <>
struct MSScalarCodec<std::uint64_t> {
  static MSJson json(std::uint64_t value) { return value; }
  static void encode(vx::KeyedArchiver& coder, std::uint64_t value, std::string_view key) {
    coder.encodeInt64(static_cast<std::int64_t>(value), key);
  }
  static std::optional<std::uint64_t> decode(vx::KeyedUnarchiver& coder, std::string_view key) {
    const auto raw = coder.decodeInt64(key);
    return raw ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(*raw)) : std::nullopt;
  }
  static bool isZero(std::uint64_t value) { return value == 0; }
};

// Bytes: Base64 text in JSON, raw bytes in the archive.
template <>
struct MSScalarCodec<vx::Bytes> {
  static MSJson json(const vx::Bytes& value) { return vx::base64Encode(vx::ByteView(value)); }
  static void encode(vx::KeyedArchiver& coder, const vx::Bytes& value, std::string_view key) {
    coder.encodeData(value, key);
  }
  static std::optional<vx::Bytes> decode(vx::KeyedUnarchiver& coder, std::string_view key) {
    return coder.decodeData(key);
  }
  static bool isZero(const vx::Bytes& value) { return value.empty(); }
  static void hash(std::size_t& seed, const vx::Bytes& value) {
    MSHashAdd(seed, std::string_view(reinterpret_cast<const char*>(value.data()), value.size()));
  }
};

// One frame. JSON "address", "code", "className", "methodName", "lineNumber", "fileName". No
// validity rule of its own (always valid). The crash conversion fills only address and code.
class MSStackFrame : public MSSerializableObject, public MSModel {
 public:
  MSStackFrame() = default;
  explicit MSStackFrame(vx::KeyedUnarchiver& coder);

  std::optional<std::string> address;
  std::optional<std::string> code;
  // Written under "className"; named so here because className() is the archive's class name.
  std::optional<std::string> frameClassName;
  std::optional<std::string> methodName;
  std::optional<std::int64_t> lineNumber;
  std::optional<std::string> fileName;

  static const MSFieldTable<MSStackFrame>& fieldTable();
  std::string className() const override { return "MSStackFrame"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isValid() const override { return true; }
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

// A language-level exception. JSON "type", "message", "stackTrace", "wrapperSdkName", "frames",
// "innerExceptions". Valid with a type and at least one frame.
class MSException : public MSSerializableObject, public MSModel {
 public:
  MSException() = default;
  explicit MSException(vx::KeyedUnarchiver& coder);

  std::optional<std::string> type;
  std::optional<std::string> message;
  std::optional<std::string> stackTrace;
  std::optional<std::string> wrapperSdkName;
  std::optional<std::vector<std::shared_ptr<MSStackFrame>>> frames;
  std::optional<std::vector<std::shared_ptr<MSException>>> innerExceptions;

  static const MSFieldTable<MSException>& fieldTable();
  std::string className() const override { return "MSException"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isValid() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

// One thread. JSON "id", "name", "frames", "exception". Starts with an empty frame list; valid
// with an id and at least one frame.
class MSThread : public MSSerializableObject, public MSModel {
 public:
  MSThread() : frames(std::vector<std::shared_ptr<MSStackFrame>>{}) {}
  explicit MSThread(vx::KeyedUnarchiver& coder);

  std::optional<std::int64_t> threadId;
  std::optional<std::string> name;
  std::optional<std::vector<std::shared_ptr<MSStackFrame>>> frames;
  std::shared_ptr<MSException> exception;

  static const MSFieldTable<MSThread>& fieldTable();
  std::string className() const override { return "MSThread"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isValid() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

// One binary image. JSON "id", "startAddress", "endAddress", "name", "path", "architecture",
// "primaryArchitectureId", "architectureVariantId". Valid with id, both addresses, name and path.
class MSBinary : public MSSerializableObject, public MSModel {
 public:
  MSBinary() = default;
  explicit MSBinary(vx::KeyedUnarchiver& coder);

  std::optional<std::string> binaryId;
  std::optional<std::string> startAddress;
  std::optional<std::string> endAddress;
  std::optional<std::string> name;
  std::optional<std::string> path;
  std::optional<std::string> architecture;
  std::optional<std::uint64_t> primaryArchitectureId;
  std::optional<std::uint64_t> architectureVariantId;

  static const MSFieldTable<MSBinary>& fieldTable();
  std::string className() const override { return "MSBinary"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isValid() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

// Registers every archivable class of the crash service (and the telemetry model's own);
// safe to call repeatedly from any thread.
void MSRegisterCrashesArchivableClasses();
