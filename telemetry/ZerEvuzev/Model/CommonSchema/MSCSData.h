// The data part of a common-schema log: the event's property tree. Its JSON writes "baseType"
// first and "baseData" second when present, then the other entries in the tree's own order.
#pragma once

#include "telemetry/ZerEvuzev/Model/MSFieldTable.h"
#include "telemetry/ZerEvuzev/Model/MSSerializableObject.h"

#include <cstdint>
#include <optional>
#include <string>

class MSCSData : public MSSerializableObject, public MSModel {
 public:
  MSCSData() = default;
  explicit MSCSData(vx::KeyedUnarchiver& coder);

  std::optional<MSJson> properties;  // a JSON object

  // "properties", archived only: the JSON is the tree itself.
  static const MSFieldTable<MSCSData>& fieldTable();

  std::string className() const override { return "MSCSData"; }
  // Archived under "properties".
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  // Nothing (null) when `properties` is not set.
  MSJson serializeToDictionary() const override;
  bool isValid() const override { return true; }
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

// The epoch and last sequence number of one tenant (iKey); kept in memory by the common-schema
// channel delegate, never archived or serialised.
struct MSCSEpochAndSeq {
  explicit MSCSEpochAndSeq(std::string epoch_) : epoch(std::move(epoch_)) {}
  std::string epoch;
  std::uint64_t seq = 0;
};
