// A named log with string properties: the common base of page views and events. Adds "name" to
// the JSON and the archive; valid only with a name.
#pragma once

#include "telemetry/ZerEvuzev/Model/MSAbstractLog.h"

#include <optional>
#include <string>

class MSLogWithNameAndProperties : public MSLogWithProperties {
 public:
  MSLogWithNameAndProperties() = default;
  explicit MSLogWithNameAndProperties(vx::KeyedUnarchiver& coder);

  std::optional<std::string> name;

  std::string className() const override { return "MSLogWithNameAndProperties"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  // The base rule and a name.
  bool isValid() const override;
  // The other is one too, with equal base fields, properties and name.
  bool isEqual(const MSSerializableObject& other) const override;
};
