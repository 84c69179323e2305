// The value classes of an error log: a stack frame, a language-level exception, a thread and a
// binary image. Each is driven by its field table (MSErrorLogFields.h): JSON keys in the order
// they are written, archive keys equal to them, equality over the same fields.
#pragma once

#include "telemetry/ZerEvuzevCrashes/Model/MSErrorLogFields.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

  static const MSErrorFieldTable<MSStackFrame>& fields();
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

  static const MSErrorFieldTable<MSException>& fields();
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

  static const MSErrorFieldTable<MSThread>& fields();
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

  static const MSErrorFieldTable<MSBinary>& fields();
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
