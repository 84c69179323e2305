// A channel unit: takes the logs of one group, lets the channel delegates prepare and filter each
// one, stores it in the log store and sends stored logs in batches through an ingestion once
// enough have gathered or the flush interval has passed. All state lives on the channel group's
// serial queue; only stamping, validation and preparation run on the enqueueing thread.
//
// Beside the store, each unit over the SQLite log store keeps a journal (MSChannelJournal.h), so a
// log whose enqueue returned survives the process being killed before the queue stored it, and
// a batch the service acknowledged is not sent again after such a kill.
#pragma once

#include "platform/foundation/DispatchQueue.h"
#include "telemetry/ZerEvuzev/Channel/MSChannelJournal.h"
#include "telemetry/ZerEvuzev/Channel/MSChannelProtocol.h"
#include "telemetry/ZerEvuzev/Security/MSAuthTokenContext.h"
#include "telemetry/ZerEvuzev/Storage/MSStorage.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

class MSChannelUnitDefault : public MSChannelUnitProtocol,
                             public MSIngestionDelegate,
                             public MSAuthTokenContextDelegate,
                             public std::enable_shared_from_this<MSChannelUnitDefault> {
 public:
  static constexpr const char* kMSStartTimestampPrefix = "MSChannelStartTimer";

  // Registers the unit as the ingestion's delegate and pauses it (with the ingestion as the
  // identifying object) when the ingestion is paused. Logs a previous run left in the unit's
  // journal are stored first, on the queue, before this returns.
  static std::shared_ptr<MSChannelUnitDefault> make(std::shared_ptr<MSIngestionProtocol> ingestion,
                                                    std::shared_ptr<MSStorage> storage,
                                                    std::shared_ptr<MSChannelUnitConfiguration> configuration,
                                                    std::shared_ptr<vx::DispatchQueue> logsDispatchQueue);
  ~MSChannelUnitDefault() override;
  MSChannelUnitDefault(const MSChannelUnitDefault&) = delete;
  MSChannelUnitDefault& operator=(const MSChannelUnitDefault&) = delete;

  // ---- MSChannelProtocol ----
  void addDelegate(const std::shared_ptr<MSChannelDelegate>& delegate) override;
  void removeDelegate(const std::shared_ptr<MSChannelDelegate>& delegate) override;
  void pauseWithIdentifyingObject(const MSIdentifyingObject& identifyingObject) override;
  void resumeWithIdentifyingObject(const MSIdentifyingObject& identifyingObject) override;
  void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;

  // ---- MSChannelUnitProtocol ----
  const MSChannelUnitConfiguration& configuration() const override { return *configuration_; }
  void enqueueItem(const MSLogPtr& item, std::uint64_t flags) override;
  void checkPendingLogs() override;
  void pauseSendingLogsWithToken(const std::string& token) override;
  void resumeSendingLogsWithToken(const std::string& token) override;

  // ---- MSIngestionDelegate ----
  void ingestionDidPause(MSIngestionProtocol* ingestion) override;
  void ingestionDidResume(MSIngestionProtocol* ingestion) override;
  void ingestionDidReceiveFatalError(MSIngestionProtocol* ingestion) override;

  // ---- MSAuthTokenContextDelegate ----
  void authTokenContextDidUpdateAuthToken(MSAuthTokenContext& context,
                                          const std::optional<std::string>& authToken) override;

  // ---- Queue operations (call on the queue) ----
  void flushQueue();
  void flushQueueForTokenArray(const std::vector<MSAuthTokenValidityInfo>& tokenArray, std::size_t tokenIndex);
  void flushNextBatchFromQueueForTokenArray(const std::vector<MSAuthTokenValidityInfo>& tokenArray,
                                            std::size_t tokenIndex);
  void sendLogContainer(const std::shared_ptr<MSLogContainer>& container,
                        const std::vector<MSAuthTokenValidityInfo>& tokenArray, std::size_t tokenIndex);
  void pauseWithIdentifyingObjectSync(const MSIdentifyingObject& identifyingObject);
  void resumeWithIdentifyingObjectSync(const MSIdentifyingObject& identifyingObject);
  // Asynchronously on the queue.
  void deleteAllLogsWithError(const vx::Error& error);
  void deleteAllLogsWithErrorSync(const vx::Error& error);
  // Arms the one-shot flush timer `seconds` from now (only while enabled).
  void startTimer(std::uint64_t seconds);
  // Seconds to wait before the next flush; 0: flush now. Intervals over 3 s run from a start
  // time kept in the user defaults, so they carry over to the next launch.
  std::uint64_t resolveFlushInterval();
  void resetTimer();
  // "MSChannelStartTimer:<group id>".
  std::string oldestPendingLogTimestampKey() const;

  // ---- State (read on the queue) ----
  const std::shared_ptr<vx::DispatchQueue>& logsDispatchQueue() const { return logsDispatchQueue_; }
  const std::shared_ptr<MSIngestionProtocol>& ingestion() const { return ingestion_; }
  const std::shared_ptr<MSStorage>& storage() const { return storage_; }
  std::size_t itemsCount() const { return itemsCount_; }
  const std::vector<std::string>& pendingBatchIds() const { return pendingBatchIds_; }
  bool availableBatchFromStorage() const { return availableBatchFromStorage_; }
  bool pendingBatchQueueFull() const { return pendingBatchQueueFull_; }
  bool enabled() const { return enabled_; }
  bool paused() const { return paused_; }
  bool discardLogs() const { return discardLogs_; }
  bool hasTimer() const { return timerSource_ != nullptr; }
  const std::set<std::string>& pausedTargetKeys() const { return pausedTargetKeys_; }
  // Live objects holding the unit paused.
  std::size_t pausedIdentifyingObjectsCount();
  // The journal, when the storage is the SQLite log store.
  MSChannelJournal* journal() const { return journal_.get(); }

 private:
  MSChannelUnitDefault(std::shared_ptr<MSIngestionProtocol> ingestion, std::shared_ptr<MSStorage> storage,
                       std::shared_ptr<MSChannelUnitConfiguration> configuration,
                       std::shared_ptr<vx::DispatchQueue> logsDispatchQueue);
  void start();
  // The part of enqueueing that runs on the queue (filter, readiness, discard mode, save).
  void enqueueOnQueue(const MSLogPtr& item, std::uint64_t flags, const std::string& internalId,
                      std::optional<std::uint64_t> journalEntry);
  // Saves and counts; true when stored.
  bool saveLog(const MSLogPtr& item, std::uint64_t flags, std::optional<std::uint64_t> journalEntry);
  void recoverJournal();
  void batchAnswered(const std::shared_ptr<MSLogContainer>& container, const std::string& batchId, int statusCode,
                     const std::optional<vx::Error>& error, const std::vector<MSAuthTokenValidityInfo>& tokenArray,
                     std::size_t tokenIndex);
  void settleBatch(const std::string& batchId);
  // Whether the SQLite store holds a log of this group with the archive (a save the last run
  // began and may have committed).
  bool storedAlready(const vx::Bytes& archive);
  void notifyFailureBeforeSendingForItem(const MSLogPtr& item, const vx::Error& error);
  // The live delegates, copied under the table's lock; callers run them after it is released.
  std::vector<std::shared_ptr<MSChannelDelegate>> delegatesSnapshot();
  template <class F>
  void enumerateDelegates(F&& block);
  void pruneIdentifyingObjects();

  std::shared_ptr<MSChannelUnitConfiguration> configuration_;
  std::shared_ptr<vx::DispatchQueue> logsDispatchQueue_;
  std::shared_ptr<MSIngestionProtocol> ingestion_;
  std::shared_ptr<MSStorage> storage_;
  std::shared_ptr<MSChannelJournal> journal_;  // shared with send completions

  std::mutex delegatesMutex_;
  std::vector<std::weak_ptr<MSChannelDelegate>> delegates_;

  // Queue state.
  std::shared_ptr<vx::DispatchTimer> timerSource_;
  std::size_t itemsCount_ = 0;
  std::vector<std::string> pendingBatchIds_;
  std::map<std::string, std::uint64_t> batchJournalEntries_;  // batch id to its journal entry
  bool availableBatchFromStorage_ = false;
  bool pendingBatchQueueFull_ = false;
  bool enabled_ = true;
  bool paused_ = false;
  bool discardLogs_ = false;
  std::map<const void*, std::weak_ptr<const void>> pausedIdentifyingObjects_;
  std::set<std::string> pausedTargetKeys_;
};
