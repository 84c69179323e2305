// A page view: a named log of type "page" with optional string properties. It adds no keys of
// its own and converts to the common schema with the base conversion.
#pragma once

#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSLogWithNameAndProperties.h"

class MSPageLog : public MSLogWithNameAndProperties {
 public:
  static constexpr const char* kType = "page";
  MSPageLog() { type = kType; }
  explicit MSPageLog(vx::KeyedUnarchiver& coder) : MSLogWithNameAndProperties(coder) {}

  std::string className() const override { return "MSPageLog"; }
  bool isEqual(const MSSerializableObject& other) const override {
    return dynamic_cast<const MSPageLog*>(&other) != nullptr && MSLogWithNameAndProperties::isEqual(other);
  }
};
