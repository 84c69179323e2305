// Sends logs that carry target tokens a second time, in the common-schema shape, to the
// common-schema endpoint. For each ordinary unit added to the group it adds a twin unit
// "<group id>/one" over the common-schema ingestion; it mirrors each prepared log with tokens
// into the twin (one common-schema log per token), numbers common-schema logs per tenant (epoch
// and sequence, in memory only), fills their install id, and keeps logs with tokens out of the
// ordinary units. Callbacks come from many threads: the twin map and the epoch map each have a
// lock of their own, and a tenant's sequence grows by one per log whatever thread enqueues it.
#pragma once

#include "platform/foundation/UUID.h"
#include "telemetry/ZerEvuzev/Channel/MSChannelProtocol.h"
#include "telemetry/ZerEvuzev/Ingestion/MSUniCollectorIngestion.h"
#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCommonSchemaLog.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class MSUniCollectorChannelDelegate : public MSChannelDelegate {
 public:
  static constexpr const char* kMSUniCollectorGroupIdSuffix = "/one";
  // Where common-schema logs go when no base URL is given.
  static constexpr const char* kMSUniCollectorDefaultBaseUrl = "https://mobile.events.revererav.com";

  // `baseUrl` std::nullopt: the default. `ingestion` (tests) replaces the common-schema ingestion.
  MSUniCollectorChannelDelegate(const vx::UUID& installId, const std::optional<std::string>& baseUrl,
                                std::shared_ptr<MSIngestionProtocol> ingestion = nullptr);

  void channelGroupDidAddChannelUnit(MSChannelGroupProtocol* channelGroup,
                                     const std::shared_ptr<MSChannelUnitProtocol>& channel) override;
  void channelPrepareLog(MSChannelProtocol* channel, const MSLogPtr& log) override;
  void channelDidPrepareLog(MSChannelProtocol* channel, const MSLogPtr& log, const std::string& internalId,
                            std::uint64_t flags) override;
  bool channelUnitShouldFilterLog(MSChannelUnitProtocol* channelUnit, const MSLogPtr& log) override;
  void channelDidSetEnabled(MSChannelProtocol* channel, bool isEnabled, bool deleteDataOnDisabled) override;
  void channelDidPauseWithIdentifyingObject(MSChannelProtocol* channel,
                                            const MSIdentifyingObject& identifyingObject) override;
  void channelDidResumeWithIdentifyingObject(MSChannelProtocol* channel,
                                             const MSIdentifyingObject& identifyingObject) override;

  static bool isUniCollectorGroup(const std::string& groupId);
  // At least one target token, and not already a common-schema log.
  static bool shouldSendLogToUniCollector(const MSLogPtr& log);
  static bool validateLog(const MSCommonSchemaLog& log);
  // 4 to 100 letters, digits, underscores and single inner dots, first a letter or digit; logs
  // why not at error level.
  static bool validateLogName(const std::optional<std::string>& name);
  void setLogUrl(const std::string& logUrl);

  // ---- Properties ----
  // The twin of an ordinary group; nullptr when none.
  std::shared_ptr<MSChannelUnitProtocol> uniCollectorChannelForGroupId(const std::string& groupId);
  const std::shared_ptr<MSIngestionProtocol>& uniCollectorIngestion() const { return ingestion_; }
  const std::string& baseUrl() const { return baseUrl_; }
  std::optional<MSCSEpochAndSeq> epochAndSeqForIKey(const std::string& iKey);
  const vx::UUID& installId() const { return installId_; }

 private:
  vx::UUID installId_;
  std::string baseUrl_;
  std::shared_ptr<MSIngestionProtocol> ingestion_;
  std::mutex channelsMutex_;
  std::map<std::string, std::shared_ptr<MSChannelUnitProtocol>> uniCollectorChannels_;
  std::mutex epochsMutex_;
  std::map<std::string, MSCSEpochAndSeq> epochsAndSeqsByIKey_;
};
