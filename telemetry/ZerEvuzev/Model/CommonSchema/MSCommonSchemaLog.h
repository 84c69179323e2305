// The second shape a log takes when it carries transmission target tokens: one common-schema log
// per token, sent to the common-schema ingestion. Its JSON keys, always in this order and each
// only when set: "ver", "name", "time", "iKey", "flags" (when non-zero), "ext", "data". None of
// the base log's keys appear.
#pragma once

#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCSData.h"
#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCSExtensions.h"
#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCSModelConstants.h"
#include "telemetry/ZerEvuzev/Model/MSAbstractLog.h"

class MSCommonSchemaLog : public MSAbstractLog {
 public:
  MSCommonSchemaLog() = default;
  explicit MSCommonSchemaLog(vx::KeyedUnarchiver& coder);

  std::optional<std::string> ver;
  std::optional<std::string> name;
  double popSample = 0;  // archived only
  std::optional<std::string> iKey;
  std::int64_t flags = 0;
  std::optional<std::string> cV;  // archived only
  std::shared_ptr<MSCSExtensions> ext;
  std::shared_ptr<MSCSData> data;

  // Its own fields (with the base's timestamp written as "time"); its JSON leaves out the base's
  // keys and its validity does not follow the base's rule.
  static const MSFieldTable<MSCommonSchemaLog, MSAbstractLog>& fieldTable();

  std::string className() const override { return "MSCommonSchemaLog"; }
  // The base log's keys, then "ver", "name", "popSample", "iKey", "flags", "cV", "ext", "data".
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  // Timestamp, ver and name set (the base rule on type and device does not apply).
  bool isValid() const override;
  bool isEqual(const MSSerializableObject& other) const override;
};
