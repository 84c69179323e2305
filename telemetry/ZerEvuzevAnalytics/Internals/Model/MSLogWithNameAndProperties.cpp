#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSLogWithNameAndProperties.h"

MSLogWithNameAndProperties::MSLogWithNameAndProperties(vx::KeyedUnarchiver& coder)
    : MSLogWithProperties(coder), name(coder.decodeString("name")) {}

void MSLogWithNameAndProperties::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSLogWithProperties::encodeWithCoder(coder);
  MSEncodeString(coder, name, "name");
}

MSJson MSLogWithNameAndProperties::serializeToDictionary() const {
  MSJson json = MSLogWithProperties::serializeToDictionary();
  if (name) json["name"] = *name;
  return json;
}

bool MSLogWithNameAndProperties::isValid() const { return MSLogWithProperties::isValid() && name.has_value(); }

bool MSLogWithNameAndProperties::isEqual(const MSSerializableObject& other) const {
  const auto* log = dynamic_cast<const MSLogWithNameAndProperties*>(&other);
  return log != nullptr && MSLogWithProperties::isEqual(other) && name == log->name;
}
