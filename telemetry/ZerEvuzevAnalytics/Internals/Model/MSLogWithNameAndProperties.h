// A named log with string properties: the common base of page views and events. Adds "name" to
// the JSON and the archive; valid only with a name.
#pragma once

#include "telemetry/ZerEvuzev/Model/MSAbstractLog.h"
#include "telemetry/ZerEvuzev/Model/MSFieldTable.h"

#include <optional>
#include <string>

class MSLogWithNameAndProperties : public MSLogWithProperties {
 public:
  MSLogWithNameAndProperties() = default;
  explicit MSLogWithNameAndProperties(vx::KeyedUnarchiver& coder);

  std::optional<std::string> name;

  // "name", required.
  static const MSFieldTable<MSLogWithNameAndProperties, MSLogWithProperties>& fieldTable();

  std::string className() const override { return "MSLogWithNameAndProperties"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override { fieldTable().encode(*this, coder); }
  MSJson serializeToDictionary() const override { return fieldTable().toJson(*this); }
  // The base rule and a name.
  bool isValid() const override { return fieldTable().isValid(*this); }
  // The other is one too, with equal base fields, properties and name.
  bool isEqual(const MSSerializableObject& other) const override { return fieldTable().isEqual(*this, other); }
  std::size_t hash() const override { return fieldTable().hash(*this); }
};
