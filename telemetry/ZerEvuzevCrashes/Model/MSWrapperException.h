// What a wrapper SDK stores about its own crash, kept on disk only and never sent: its
// exception model, its own serialised exception and the process id. Dictionary form
// "modelException", "processId", "exceptionData" (Base64). No validity rule; equality is
// identity.
#pragma once

#include "telemetry/ZerEvuzevCrashes/Model/MSException.h"

class MSWrapperException : public MSSerializableObject {
 public:
  MSWrapperException() = default;
  explicit MSWrapperException(vx::KeyedUnarchiver& coder);

  std::shared_ptr<MSException> modelException;
  std::optional<vx::Bytes> exceptionData;
  std::optional<std::int64_t> processId;

  static const MSFieldTable<MSWrapperException>& fieldTable();
  std::string className() const override { return "MSWrapperException"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override { return this == &other; }
  std::size_t hash() const override { return std::hash<const void*>{}(this); }
};
