// The base of every telemetry log: a type name, a creation time, the session and user it belongs
// to, a snapshot of the device, an opaque owner tag and the transmission target tokens the log is
// also sent to in the common-schema shape. Logs are shared (std::shared_ptr) between the service
// that builds them and the channel that stores and sends them.
//
// JSON keys, in order: "type", "timestamp" (ISO 8601 UTC with milliseconds), "sid",
// "distributionGroupId", "userId", "device" - each only when set. Archive keys are the same; the
// tag and the target tokens are neither serialised nor archived (the log store keeps a log's
// token beside the archive).
#pragma once

#include "telemetry/ZerEvuzev/Model/MSDevice.h"
#include "telemetry/ZerEvuzev/Model/MSFieldTable.h"
#include "telemetry/ZerEvuzev/Model/MSSerializableObject.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

class MSCommonSchemaLog;

class MSAbstractLog : public MSSerializableObject, public MSModel {
 public:
  MSAbstractLog() = default;
  explicit MSAbstractLog(vx::KeyedUnarchiver& coder);
  MSAbstractLog(const MSAbstractLog&) = delete;
  MSAbstractLog& operator=(const MSAbstractLog&) = delete;

  // Fields a log is built with on one thread and then handed to the channel; not guarded.
  std::optional<std::string> type;
  std::optional<vx::Date> timestamp;
  std::optional<std::string> sid;
  std::optional<std::string> distributionGroupId;
  std::optional<std::string> userId;
  std::shared_ptr<MSDevice> device;
  // The owner a service attaches (the analytics service's transmission target); compared by
  // identity.
  std::shared_ptr<void> tag;

  // The target tokens, guarded by the log's own lock (all three take it).
  std::set<std::string> transmissionTargetTokens() const;
  void addTransmissionTargetToken(const std::string& token);
  void setTransmissionTargetTokens(std::set<std::string> tokens);

  // type, timestamp, sid, distributionGroupId, userId, device; the tag is compared only.
  static const MSFieldTable<MSAbstractLog>& fieldTable();

  std::string className() const override { return "MSAbstractLog"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  // Type, timestamp and a valid device set.
  bool isValid() const override;
  // The other must be a log; tag (identity), type, timestamp, sid, distributionGroupId, userId
  // and device are compared. Target tokens take no part.
  bool isEqual(const MSSerializableObject& other) const override;
  // From the base fields only, so a subclass's equal logs always hash equally.
  std::size_t hash() const override;

  // The JSON text of serializeToDictionary (pretty-printed when asked); std::nullopt when it
  // cannot be written (a string that is not UTF-8). Slashes are not escaped.
  std::optional<std::string> serializeLogWithPrettyPrinting(bool prettyPrint) const;

  // ---- Common-schema conversion ----
  // One common-schema log per target token (token order), skipping tokens that give none;
  // std::nullopt when the log has no token or no log resulted.
  std::optional<std::vector<std::shared_ptr<MSCommonSchemaLog>>> toCommonSchemaLogsWithFlags(std::uint64_t flags) const;
  // One common-schema log for the token; subclasses extend it (name, data, metadata).
  virtual std::shared_ptr<MSCommonSchemaLog> toCommonSchemaLogForTargetToken(const std::string& token,
                                                                             std::uint64_t flags) const;
  // "Version <v>" and " (Build <b>)" when given; std::nullopt when neither is.
  static std::optional<std::string> combineOsVersion(const std::optional<std::string>& version,
                                                     const std::optional<std::string>& build);
  // "<name>-<version>" when both are given and not empty.
  static std::optional<std::string> combineSDKLibVer(const std::optional<std::string>& name,
                                                     const std::optional<std::string>& version);
  // "+HH:MM" / "-HH:MM" of an offset in minutes east of GMT; the sign is that of the whole
  // offset, so -30 gives "-00:30".
  static std::string convertTimeZoneOffsetToISO8601(std::int64_t minutes);

 protected:
  // Equality of the base fields, for subclasses that checked the other's class themselves.
  bool baseFieldsEqual(const MSAbstractLog& other) const;

 private:
  mutable std::mutex tokensMutex_;
  std::set<std::string> transmissionTargetTokens_;
};

using MSLogPtr = std::shared_ptr<MSAbstractLog>;

// A log with a text-to-text dictionary, written as "properties" when it has entries.
class MSLogWithProperties : public MSAbstractLog {
 public:
  MSLogWithProperties() = default;
  explicit MSLogWithProperties(vx::KeyedUnarchiver& coder);

  std::optional<std::map<std::string, std::string>> properties;

  static const MSFieldTable<MSLogWithProperties, MSAbstractLog>& fieldTable();

  std::string className() const override { return "MSLogWithProperties"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override;
};

// The log the SDK start-up sends with the names of the services it started.
class MSStartServiceLog : public MSAbstractLog, public MSNoAutoAssignSessionIdLog {
 public:
  static constexpr const char* kType = "startService";
  MSStartServiceLog();
  explicit MSStartServiceLog(vx::KeyedUnarchiver& coder);

  std::optional<std::vector<std::string>> services;

  static const MSFieldTable<MSStartServiceLog, MSAbstractLog>& fieldTable();

  std::string className() const override { return "MSStartServiceLog"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override;
};

// The batch of logs one ingestion request carries. Not archived.
class MSLogContainer {
 public:
  MSLogContainer() = default;
  MSLogContainer(std::optional<std::string> batchId, std::vector<MSLogPtr> logs);

  std::optional<std::string> batchId;
  std::vector<MSLogPtr> logs;

  // {"logs":[...]} with one object per log; std::nullopt (with an error line) when it cannot be
  // written.
  std::optional<std::string> serializeLog() const { return serializeLogWithPrettyPrinting(false); }
  std::optional<std::string> serializeLogWithPrettyPrinting(bool prettyPrint) const;
  // At least one log, and every log valid. The batch id is not examined.
  bool isValid() const;
};
