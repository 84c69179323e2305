// The channel group: owns what its units share (one serial queue for all pipeline work, one log
// store, the default ingestion) and the channel delegates that watch every unit. It makes the
// units, forwards their delegate callbacks to its own delegates, and fans enable, pause and
// resume out to the ingestion and every unit.
#pragma once

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/UUID.h"
#include "telemetry/ZerEvuzev/Channel/MSChannelProtocol.h"
#include "telemetry/ZerEvuzev/Channel/MSChannelUnitDefault.h"
#include "telemetry/ZerEvuzev/Storage/MSStorage.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

class MSChannelGroupDefault : public MSChannelGroupProtocol,
                              public MSChannelDelegate,
                              public std::enable_shared_from_this<MSChannelGroupDefault> {
 public:
  static constexpr const char* kMSLogsDispatchQueueLabel = "com.revererav.LogsQueue";

  // The default ingestion (MSZerEvuzevIngestion) to `logUrl` with the install id.
  static std::shared_ptr<MSChannelGroupDefault> make(const vx::UUID& installId, const std::string& logUrl);
  // Over the given ingestion (none: units must bring their own) and a new SQLite log store, or
  // the given store (tools and tests keep their database elsewhere).
  static std::shared_ptr<MSChannelGroupDefault> make(std::shared_ptr<MSIngestionProtocol> ingestion,
                                                     std::shared_ptr<MSStorage> storage = nullptr);

  // ---- MSChannelGroupProtocol ----
  std::shared_ptr<MSChannelUnitProtocol> addChannelUnitWithConfiguration(
      const std::shared_ptr<MSChannelUnitConfiguration>& configuration) override;
  std::shared_ptr<MSChannelUnitProtocol> addChannelUnitWithConfiguration(
      const std::shared_ptr<MSChannelUnitConfiguration>& configuration,
      const std::shared_ptr<MSIngestionProtocol>& ingestion) override;
  std::shared_ptr<MSChannelUnitProtocol> channelUnitForGroupId(const std::string& groupId) override;
  void setLogUrl(const std::string& logUrl) override;
  // Reaches only the default ingestion, the one that sends with an application secret.
  void setAppSecret(const std::string& appSecret) override;
  void setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler) override;

  // ---- MSChannelProtocol ----
  void addDelegate(const std::shared_ptr<MSChannelDelegate>& delegate) override;
  void removeDelegate(const std::shared_ptr<MSChannelDelegate>& delegate) override;
  void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;
  void pauseWithIdentifyingObject(const MSIdentifyingObject& identifyingObject) override;
  void resumeWithIdentifyingObject(const MSIdentifyingObject& identifyingObject) override;

  // ---- MSChannelDelegate: every unit's callbacks, forwarded with the unit as the channel ----
  void channelPrepareLog(MSChannelProtocol* channel, const MSLogPtr& log) override;
  void channelDidPrepareLog(MSChannelProtocol* channel, const MSLogPtr& log, const std::string& internalId,
                            std::uint64_t flags) override;
  void channelDidJournalLog(MSChannelProtocol* channel, const MSLogPtr& log, const std::string& internalId) override;
  void channelDidCompleteEnqueueingLog(MSChannelProtocol* channel, const MSLogPtr& log,
                                       const std::string& internalId) override;
  void channelWillSendLog(MSChannelProtocol* channel, const MSLogPtr& log) override;
  void channelDidSucceedSendingLog(MSChannelProtocol* channel, const MSLogPtr& log) override;
  void channelDidFailSendingLog(MSChannelProtocol* channel, const MSLogPtr& log,
                                const std::optional<vx::Error>& error) override;
  void channelDidSetEnabled(MSChannelProtocol* channel, bool isEnabled, bool deleteDataOnDisabled) override;
  void channelDidPauseWithIdentifyingObject(MSChannelProtocol* channel,
                                            const MSIdentifyingObject& identifyingObject) override;
  void channelDidResumeWithIdentifyingObject(MSChannelProtocol* channel,
                                             const MSIdentifyingObject& identifyingObject) override;
  // True when any delegate filters the log (asked in turn until one does).
  bool channelUnitShouldFilterLog(MSChannelUnitProtocol* channelUnit, const MSLogPtr& log) override;

  // ---- Properties ----
  const std::shared_ptr<MSIngestionProtocol>& ingestion() const { return ingestion_; }
  const std::shared_ptr<MSStorage>& storage() const { return storage_; }
  const std::shared_ptr<vx::DispatchQueue>& logsDispatchQueue() const { return logsDispatchQueue_; }
  // The units in the order they were added.
  std::vector<std::shared_ptr<MSChannelUnitProtocol>> channels();

 private:
  MSChannelGroupDefault(std::shared_ptr<MSIngestionProtocol> ingestion, std::shared_ptr<MSStorage> storage);
  // The live delegates, copied under the group's lock; they run after it is released.
  std::vector<std::shared_ptr<MSChannelDelegate>> delegatesSnapshot();
  template <class F>
  void enumerateDelegates(F&& block) {
    for (const auto& delegate : delegatesSnapshot()) block(*delegate);
  }

  std::shared_ptr<MSIngestionProtocol> ingestion_;
  std::shared_ptr<MSStorage> storage_;
  std::shared_ptr<vx::DispatchQueue> logsDispatchQueue_;
  std::mutex mutex_;  // delegates and channels
  std::vector<std::weak_ptr<MSChannelDelegate>> delegates_;
  std::vector<std::shared_ptr<MSChannelUnitProtocol>> channels_;
};
