// The start of an analytics session, of type "startSession". It keeps the session id the tracker
// gave it (it is never stamped with the current one) and adds no keys of its own.
#pragma once

#include "telemetry/ZerEvuzev/Model/MSAbstractLog.h"

class MSStartSessionLog : public MSAbstractLog, public MSNoAutoAssignSessionIdLog {
 public:
  static constexpr const char* kType = "startSession";
  MSStartSessionLog() { type = kType; }
  explicit MSStartSessionLog(vx::KeyedUnarchiver& coder) : MSAbstractLog(coder) {}

  std::string className() const override { return "MSStartSessionLog"; }
  bool isEqual(const MSSerializableObject& other) const override {
    return dynamic_cast<const MSStartSessionLog*>(&other) != nullptr && MSAbstractLog::isEqual(other);
  }
};
