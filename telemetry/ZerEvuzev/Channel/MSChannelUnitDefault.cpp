#include "telemetry/ZerEvuzev/Channel/MSChannelUnitDefault.h"

#include "platform/foundation/Base64.h"
#include "platform/foundation/UUID.h"
#include "telemetry/ZerEvuzev/Context/MSDeviceTracker.h"
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzev/Ingestion/MSZEErrors.h"
#include "telemetry/ZerEvuzev/Storage/MSLogDBStorage.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <algorithm>
#include <chrono>

namespace {

// Only a 3-second unit sends as soon as a batch is full; longer intervals wait for their timer.
constexpr std::uint64_t kMSFlushIntervalSendingOnCount = 3;

vx::Error connectionPausedError() {
  return vx::Error(kMSZEErrorDomain, kMSZEConnectionPausedErrorCode, kMSZEConnectionPausedErrorDesc);
}

// A group id as it may appear in a file name: kept when it is plain, hex-encoded otherwise.
std::string fileNameComponent(const std::string& groupId) {
  const bool plain = !groupId.empty() && groupId.size() <= 100 &&
                     std::all_of(groupId.begin(), groupId.end(),
                                 [](unsigned char c) { return std::isalnum(c) != 0 || c == '-' || c == '_'; });
  if (plain) return groupId;
  return "x" + MSUtility::sha256(groupId).substr(0, 32);
}

}  // namespace

std::shared_ptr<MSChannelUnitDefault> MSChannelUnitDefault::make(
    std::shared_ptr<MSIngestionProtocol> ingestion, std::shared_ptr<MSStorage> storage,
    std::shared_ptr<MSChannelUnitConfiguration> configuration, std::shared_ptr<vx::DispatchQueue> logsDispatchQueue) {
  std::shared_ptr<MSChannelUnitDefault> unit(new MSChannelUnitDefault(
      std::move(ingestion), std::move(storage), std::move(configuration), std::move(logsDispatchQueue)));
  unit->start();
  return unit;
}

MSChannelUnitDefault::MSChannelUnitDefault(std::shared_ptr<MSIngestionProtocol> ingestion,
                                           std::shared_ptr<MSStorage> storage,
                                           std::shared_ptr<MSChannelUnitConfiguration> configuration,
                                           std::shared_ptr<vx::DispatchQueue> logsDispatchQueue)
    : configuration_(std::move(configuration)),
      logsDispatchQueue_(std::move(logsDispatchQueue)),
      ingestion_(std::move(ingestion)),
      storage_(std::move(storage)) {}

void MSChannelUnitDefault::start() {
  if (auto* store = dynamic_cast<MSLogDBStorage*>(storage_.get())) {
    const auto& database = store->dbFileURL();
    journal_ =
        MSChannelJournal::open(database.parent_path() / (database.filename().string() + "." +
                                                         fileNameComponent(configuration_->groupId()) + ".journal"));
    if (journal_) {
      // Before anything else of this unit touches the store or the journal.
      logsDispatchQueue_->sync([this] { recoverJournal(); });
    }
  }
  if (ingestion_) {
    ingestion_->addDelegate(shared_from_this());
    if (ingestion_->isPaused()) pauseWithIdentifyingObject(ingestion_);
  }
}

MSChannelUnitDefault::~MSChannelUnitDefault() {
  if (timerSource_) timerSource_->cancel();
}

// ---- Delegates ----

std::vector<std::shared_ptr<MSChannelDelegate>> MSChannelUnitDefault::delegatesSnapshot() {
  std::lock_guard lock(delegatesMutex_);
  std::vector<std::shared_ptr<MSChannelDelegate>> live;
  live.reserve(delegates_.size());
  for (const auto& weak : delegates_) {
    if (auto delegate = weak.lock()) live.push_back(std::move(delegate));
  }
  return live;
}

// Delegates run outside the table's lock: one that enqueues a log or adds a delegate from its
// callback must not find the lock taken.
template <class F>
void MSChannelUnitDefault::enumerateDelegates(F&& block) {
  for (const auto& delegate : delegatesSnapshot()) block(*delegate);
}

void MSChannelUnitDefault::addDelegate(const std::shared_ptr<MSChannelDelegate>& delegate) {
  if (!delegate) return;
  std::weak_ptr<MSChannelDelegate> weak = delegate;
  logsDispatchQueue_->async([self = shared_from_this(), weak] {
    std::lock_guard lock(self->delegatesMutex_);
    auto& table = self->delegates_;
    table.erase(std::remove_if(table.begin(), table.end(), [](const auto& d) { return d.expired(); }), table.end());
    const auto delegate = weak.lock();
    if (!delegate) return;
    const bool present = std::any_of(table.begin(), table.end(), [&](const auto& d) { return d.lock() == delegate; });
    if (!present) table.push_back(delegate);
  });
}

void MSChannelUnitDefault::removeDelegate(const std::shared_ptr<MSChannelDelegate>& delegate) {
  if (!delegate) return;
  const MSChannelDelegate* target = delegate.get();
  logsDispatchQueue_->async([self = shared_from_this(), target] {
    std::lock_guard lock(self->delegatesMutex_);
    auto& table = self->delegates_;
    table.erase(std::remove_if(table.begin(), table.end(),
                               [&](const auto& d) {
                                 auto live = d.lock();
                                 return !live || live.get() == target;
                               }),
                table.end());
  });
}

void MSChannelUnitDefault::notifyFailureBeforeSendingForItem(const MSLogPtr& item, const vx::Error& error) {
  const std::optional<vx::Error> failure = error;
  for (const auto& delegate : delegatesSnapshot()) {
    delegate->channelWillSendLog(this, item);
    delegate->channelDidFailSendingLog(this, item, failure);
  }
}

// ---- Enqueue ----

void MSChannelUnitDefault::enqueueItem(const MSLogPtr& item, std::uint64_t flags) {
  if (!item) {
    MSLogWarning(kMSLogTag, "Log is not valid.");
    return;
  }
  if (!item->timestamp) item->timestamp = vx::wallNow();
  if (!item->device) item->device = MSDeviceTracker::sharedInstance()->device();
  if (!item->isValid()) {
    MSLogWarning(kMSLogTag, "Log is not valid.");
    return;
  }
  const auto delegates = delegatesSnapshot();
  for (const auto& delegate : delegates) delegate->channelPrepareLog(this, item);
  const std::string internalId = vx::UUID::make().uuidString();
  for (const auto& delegate : delegates) delegate->channelDidPrepareLog(this, item, internalId, flags);

  // Written before this call returns, so the log outlives a process killed before the queue
  // stores it.
  std::optional<std::uint64_t> journalEntry;
  if (journal_) journalEntry = journal_->appendLog(*item, flags);
  if (journalEntry) {
    for (const auto& delegate : delegates) delegate->channelDidJournalLog(this, item, internalId);
  }
  logsDispatchQueue_->async([self = shared_from_this(), item, flags, internalId, journalEntry] {
    self->enqueueOnQueue(item, flags, internalId, journalEntry);
  });
}

void MSChannelUnitDefault::enqueueOnQueue(const MSLogPtr& item, std::uint64_t flags, const std::string& internalId,
                                          std::optional<std::uint64_t> journalEntry) {
  const auto settle = [&] {
    if (journal_ && journalEntry) journal_->settle(*journalEntry);
  };
  const auto completeEnqueueing = [&] {
    enumerateDelegates(
        [&](MSChannelDelegate& delegate) { delegate.channelDidCompleteEnqueueingLog(this, item, internalId); });
  };
  const std::string type = item->type.value_or("");

  bool filtered = false;
  for (const auto& delegate : delegatesSnapshot()) {
    if (delegate->channelUnitShouldFilterLog(this, item)) {
      filtered = true;
      break;
    }
  }
  if (filtered) {
    MSLogDebug(kMSLogTag, "Log of type '%s' was filtered out by delegate(s)", type.c_str());
    settle();
    completeEnqueueing();
    return;
  }
  if (!ingestion_ || !ingestion_->isReadyToSend()) {
    MSLogDebug(kMSLogTag, "Log of type '%s' was not filtered out by delegate(s) but ingestion is not ready to send it.",
               type.c_str());
    settle();
    completeEnqueueing();
    return;
  }
  if (discardLogs_) {
    MSLogWarning(kMSLogTag, "Channel %s disabled in log discarding mode, discard this log.",
                 configuration_->groupId().c_str());
    notifyFailureBeforeSendingForItem(item, connectionPausedError());
    settle();
    completeEnqueueing();
    return;
  }
  MSLogDebug(kMSLogTag, "Saving log, type: %s, flags: %u.", type.c_str(), static_cast<unsigned>(flags));
  const bool saved = saveLog(item, flags, journalEntry);
  completeEnqueueing();
  if (saved) {
    ++itemsCount_;
    checkPendingLogs();
  }
}

bool MSChannelUnitDefault::saveLog(const MSLogPtr& item, std::uint64_t flags,
                                   std::optional<std::uint64_t> journalEntry) {
  if (journal_ && journalEntry) journal_->markSaving(*journalEntry);
  const bool saved = storage_ && storage_->saveLog(item, configuration_->groupId(), flags);
  // A failed save is final too: the store refused the log.
  if (journal_ && journalEntry) journal_->settle(*journalEntry);
  return saved;
}

bool MSChannelUnitDefault::storedAlready(const vx::Bytes& archive) {
  auto* store = dynamic_cast<MSLogDBStorage*>(storage_.get());
  if (!store) return false;
  // The store keeps the same archive, Base64-encoded; a save that committed left exactly it.
  return store->countEntriesForTable(MSLogDBStorage::kMSLogTableName, "\"groupId\" = ? AND \"log\" = ?",
                                     {configuration_->groupId(), vx::base64Encode(archive)}) > 0;
}

void MSChannelUnitDefault::recoverJournal() {
  auto* store = dynamic_cast<MSLogDBStorage*>(storage_.get());
  if (!journal_ || !store) return;
  const auto recovery = journal_->recover([this](const vx::Bytes& archive) { return storedAlready(archive); });
  if (!recovery.rowIdsToDelete.empty()) {
    // The service acknowledged these batches before the last run ended; they must not go again.
    for (const auto id : recovery.rowIdsToDelete) {
      store->executeNonSelectionQuery("DELETE FROM \"logs\" WHERE \"id\" = ?", {id});
    }
    MSLogInfo(kMSLogTag, "Deleted %zu log(s) of group %s that were delivered before the last run ended.",
              recovery.rowIdsToDelete.size(), configuration_->groupId().c_str());
  }
  std::size_t stored = 0;
  for (const auto& pending : recovery.logs) {
    if (saveLog(pending.log, pending.flags, pending.entry)) ++stored;
  }
  if (!recovery.logs.empty()) {
    MSLogInfo(kMSLogTag, "Stored %zu log(s) of group %s enqueued before the last run ended.", stored,
              configuration_->groupId().c_str());
  }
  itemsCount_ += stored;
}

// ---- Deciding when to send ----

void MSChannelUnitDefault::checkPendingLogs() {
  if (!paused_ && configuration_->flushInterval() == kMSFlushIntervalSendingOnCount &&
      itemsCount_ >= configuration_->batchSizeLimit()) {
    flushQueue();
    return;
  }
  if (itemsCount_ == 0) return;
  const std::uint64_t interval = resolveFlushInterval();
  if (paused_) return;
  if (interval == 0) {
    flushQueue();
  } else if (!timerSource_) {
    // A running timer is left alone: the interval is the longest a gathered log waits, so a
    // steady trickle of logs must not keep pushing the flush back.
    startTimer(interval);
  }
}

std::string MSChannelUnitDefault::oldestPendingLogTimestampKey() const {
  return MSFormat("%s:%s", kMSStartTimestampPrefix, configuration_->groupId().c_str());
}

std::uint64_t MSChannelUnitDefault::resolveFlushInterval() {
  const std::uint64_t interval = configuration_->flushInterval();
  if (interval <= kMSFlushIntervalSendingOnCount) return interval;
  auto defaults = MSUserDefaults::shared();
  const std::string key = oldestPendingLogTimestampKey();
  std::optional<vx::Date> start;
  if (auto stored = defaults->objectForKey(key)) start = stored->dateValue();
  const vx::Date now = vx::wallNow();
  if (!start || *start > now) {
    defaults->setObject(vx::Value(now), key);
    return interval;
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - *start).count();
  if (now > *start + std::chrono::seconds(interval)) {
    defaults->removeObjectForKey(key);
    return 0;
  }
  return interval - static_cast<std::uint64_t>(std::max<std::int64_t>(elapsed, 0));
}

void MSChannelUnitDefault::startTimer(std::uint64_t seconds) {
  if (!enabled_) return;
  resetTimer();
  auto timer = vx::DispatchTimer::make(logsDispatchQueue_);
  timer->schedule(std::chrono::seconds(seconds), std::chrono::seconds(1), std::chrono::seconds(1));
  std::weak_ptr<MSChannelUnitDefault> weak = weak_from_this();
  timer->setEventHandler([weak] {
    auto self = weak.lock();
    if (!self) return;
    if (self->itemsCount_ > 0) self->flushQueue();
    self->resetTimer();
    MSUserDefaults::shared()->removeObjectForKey(self->oldestPendingLogTimestampKey());
  });
  timer->resume();
  timerSource_ = std::move(timer);
}

void MSChannelUnitDefault::resetTimer() {
  if (timerSource_) {
    timerSource_->cancel();
    timerSource_.reset();
  }
}

// ---- Flushing ----

void MSChannelUnitDefault::flushQueue() {
  if (!ingestion_ || !enabled_ || !ingestion_->isReadyToSend()) return;
  resetTimer();
  if (paused_ || pendingBatchQueueFull_) {
    if (itemsCount_ >= configuration_->batchSizeLimit()) {
      availableBatchFromStorage_ = true;
      itemsCount_ = 0;
    }
    return;
  }
  itemsCount_ = 0;
  flushQueueForTokenArray(MSAuthTokenContext::sharedInstance()->authTokenValidityArray(), 0);
}

void MSChannelUnitDefault::flushQueueForTokenArray(const std::vector<MSAuthTokenValidityInfo>& tokenArray,
                                                   std::size_t tokenIndex) {
  if (tokenIndex >= tokenArray.size() || !storage_) return;
  const MSAuthTokenValidityInfo range = tokenArray[tokenIndex];
  const std::vector<std::string> excluded(pausedTargetKeys_.begin(), pausedTargetKeys_.end());
  auto context = MSAuthTokenContext::sharedInstance();
  availableBatchFromStorage_ = storage_->loadLogsWithGroupId(
      configuration_->groupId(), configuration_->batchSizeLimit(), excluded, range.startTime(), range.endTime(),
      [&](const std::vector<MSLogPtr>& logs, const std::optional<std::string>& batchId) {
        context->checkIfTokenNeedsToBeRefreshed(range);
        if (!logs.empty()) {
          sendLogContainer(std::make_shared<MSLogContainer>(batchId, logs), tokenArray, tokenIndex);
        } else if (tokenIndex == 0 && range.endTime()) {
          // The oldest token is spent once no stored log is older than its end.
          if (storage_->countLogsBeforeDate(*range.endTime()) == 0) context->removeAuthToken(range.authToken());
        }
      });
  // After the load has said whether more logs wait, so the next step sees this load's answer.
  flushNextBatchFromQueueForTokenArray(tokenArray, tokenIndex);
}

void MSChannelUnitDefault::flushNextBatchFromQueueForTokenArray(const std::vector<MSAuthTokenValidityInfo>& tokenArray,
                                                                std::size_t tokenIndex) {
  if (pendingBatchQueueFull_) return;
  if (availableBatchFromStorage_) {
    flushQueueForTokenArray(tokenArray, tokenIndex);
  } else if (tokenIndex + 1 < tokenArray.size()) {
    flushQueueForTokenArray(tokenArray, tokenIndex + 1);
  }
}

void MSChannelUnitDefault::sendLogContainer(const std::shared_ptr<MSLogContainer>& container,
                                            const std::vector<MSAuthTokenValidityInfo>& tokenArray,
                                            std::size_t tokenIndex) {
  const std::string& groupId = configuration_->groupId();
  const std::string batchId = container->batchId.value_or("");

  // A log that cannot be written as JSON would make the whole batch unsendable for ever: it is
  // dropped (with a failure callback) and the others go on. Its row goes with the batch's.
  if (!container->serializeLog()) {
    std::vector<MSLogPtr> sendable;
    const vx::Error error(kMSZEErrorDomain, kMSZELogInvalidContainerErrorCode, kMSZELogInvalidContainerErrorDesc);
    for (const auto& log : container->logs) {
      if (log && log->serializeLogWithPrettyPrinting(false)) {
        sendable.push_back(log);
        continue;
      }
      MSLogError(kMSLogTag, "Log of type '%s' cannot be serialized, dropped from batch Id:%s.",
                 log && log->type ? log->type->c_str() : "", batchId.c_str());
      if (log) notifyFailureBeforeSendingForItem(log, error);
    }
    if (sendable.empty()) {
      storage_->deleteLogsWithBatchId(batchId, groupId);
      return;
    }
    container->logs = std::move(sendable);
  }

  pendingBatchIds_.push_back(batchId);
  if (pendingBatchIds_.size() >= configuration_->pendingBatchesLimit()) pendingBatchQueueFull_ = true;
  if (journal_) {
    if (auto* store = dynamic_cast<MSLogDBStorage*>(storage_.get())) {
      const auto rows = store->batches().find({groupId, batchId});
      if (rows != store->batches().end()) {
        if (auto entry = journal_->appendBatch(batchId, rows->second)) batchJournalEntries_[batchId] = *entry;
      }
    }
  }

  if (MSLogger::currentLogLevel() <= MSLogLevel::Debug) {
    const std::size_t count = container->logs.size();
    for (std::size_t i = 0; i < count; ++i) {
      const auto& log = container->logs[i];
      const auto payload = log->serializeLogWithPrettyPrinting(true).value_or("");
      MSLogDebug(kMSLogTag, "Sending %zu/%zu log, group Id: %s, batch Id: %s, session Id: %s, payload:\n%s", i + 1,
                 count, groupId.c_str(), batchId.c_str(), log->sid.value_or("").c_str(), payload.c_str());
    }
  }
  for (const auto& log : container->logs) {
    enumerateDelegates([&](MSChannelDelegate& delegate) { delegate.channelWillSendLog(this, log); });
  }

  std::weak_ptr<MSChannelUnitDefault> weak = weak_from_this();
  std::shared_ptr<MSChannelJournal> journal = journal_;
  auto queue = logsDispatchQueue_;
  ingestion_->sendAsync(container, tokenArray[tokenIndex].authToken(),
                        [weak, journal, queue, container, batchId, tokenArray, tokenIndex](
                            const std::string& /*callId*/, const std::optional<vx::HTTPURLResponse>& response,
                            const vx::Bytes& /*data*/, const std::optional<vx::Error>& error) {
                          const int statusCode = vx::statusCodeOf(response);
                          // Noted at once, on the sender's thread: a process killed before the answer reaches the
                          // queue then still knows the batch arrived.
                          if (statusCode == 200 && journal) journal->acknowledgeBatch(batchId);
                          queue->async([weak, container, batchId, statusCode, error, tokenArray, tokenIndex] {
                            if (auto self = weak.lock())
                              self->batchAnswered(container, batchId, statusCode, error, tokenArray, tokenIndex);
                          });
                        });
}

void MSChannelUnitDefault::batchAnswered(const std::shared_ptr<MSLogContainer>& container, const std::string& batchId,
                                         int statusCode, const std::optional<vx::Error>& error,
                                         const std::vector<MSAuthTokenValidityInfo>& tokenArray,
                                         std::size_t tokenIndex) {
  const auto pending = std::find(pendingBatchIds_.begin(), pendingBatchIds_.end(), batchId);
  if (pending == pendingBatchIds_.end()) {
    MSLogWarning(kMSLogTag, "Batch Id %s not expected, ignore.", batchId.c_str());
    return;
  }
  if (statusCode == 200) {
    MSLogDebug(kMSLogTag, "Log(s) sent with success, batch Id:%s.", batchId.c_str());
    for (const auto& log : container->logs) {
      enumerateDelegates([&](MSChannelDelegate& delegate) { delegate.channelDidSucceedSendingLog(this, log); });
    }
    storage_->deleteLogsWithBatchId(batchId, configuration_->groupId());
  } else {
    MSLogError(kMSLogTag, "Log(s) sent with failure, batch Id:%s, status code:%d", batchId.c_str(), statusCode);
    for (const auto& log : container->logs) {
      enumerateDelegates([&](MSChannelDelegate& delegate) { delegate.channelDidFailSendingLog(this, log, error); });
    }
  }
  settleBatch(batchId);
  pendingBatchIds_.erase(std::find(pendingBatchIds_.begin(), pendingBatchIds_.end(), batchId));
  if (pendingBatchQueueFull_ && pendingBatchIds_.size() < configuration_->pendingBatchesLimit()) {
    pendingBatchQueueFull_ = false;
    if (statusCode == 200) flushNextBatchFromQueueForTokenArray(tokenArray, tokenIndex);
    // Logs counted while every slot was taken lost their flush (a timer firing then finds the
    // queue full and ends); without a new timer they would wait for the next log to arrive.
    if (!pendingBatchQueueFull_ && itemsCount_ > 0 && !timerSource_) checkPendingLogs();
  }
}

void MSChannelUnitDefault::settleBatch(const std::string& batchId) {
  const auto entry = batchJournalEntries_.find(batchId);
  if (entry == batchJournalEntries_.end()) return;
  if (journal_) journal_->settle(entry->second);
  batchJournalEntries_.erase(entry);
}

// ---- Enable, pause, resume ----

void MSChannelUnitDefault::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
  logsDispatchQueue_->async([self = shared_from_this(), isEnabled, deleteDataOnDisabled] {
    if (self->enabled_ != isEnabled) {
      self->enabled_ = isEnabled;
      if (isEnabled) {
        self->resumeWithIdentifyingObjectSync(self);
      } else {
        self->pauseWithIdentifyingObjectSync(self);
      }
    }
    if (!self->enabled_ && deleteDataOnDisabled) {
      MSLogDebug(kMSLogTag, "Delete all logs for group Id %s", self->configuration_->groupId().c_str());
      self->deleteAllLogsWithErrorSync(connectionPausedError());
      self->itemsCount_ = 0;
      self->availableBatchFromStorage_ = false;
      self->pendingBatchQueueFull_ = false;
      MSUserDefaults::shared()->removeObjectForKey(self->oldestPendingLogTimestampKey());
      self->discardLogs_ = true;
    } else {
      self->discardLogs_ = false;
    }
    self->enumerateDelegates([&](MSChannelDelegate& delegate) {
      delegate.channelDidSetEnabled(self.get(), isEnabled, deleteDataOnDisabled);
    });
  });
}

void MSChannelUnitDefault::deleteAllLogsWithError(const vx::Error& error) {
  logsDispatchQueue_->async([self = shared_from_this(), error] { self->deleteAllLogsWithErrorSync(error); });
}

void MSChannelUnitDefault::deleteAllLogsWithErrorSync(const vx::Error& error) {
  const std::string& groupId = configuration_->groupId();
  // The ids stay pending, so answers to batches in flight are still recognised.
  for (const auto& batchId : pendingBatchIds_) {
    storage_->deleteLogsWithBatchId(batchId, groupId);
    settleBatch(batchId);
  }
  for (const auto& log : storage_->deleteLogsWithGroupId(groupId)) notifyFailureBeforeSendingForItem(log, error);
}

void MSChannelUnitDefault::pruneIdentifyingObjects() {
  for (auto it = pausedIdentifyingObjects_.begin(); it != pausedIdentifyingObjects_.end();) {
    it = it->second.expired() ? pausedIdentifyingObjects_.erase(it) : std::next(it);
  }
}

std::size_t MSChannelUnitDefault::pausedIdentifyingObjectsCount() {
  pruneIdentifyingObjects();
  return pausedIdentifyingObjects_.size();
}

void MSChannelUnitDefault::pauseWithIdentifyingObject(const MSIdentifyingObject& identifyingObject) {
  logsDispatchQueue_->async(
      [self = shared_from_this(), identifyingObject] { self->pauseWithIdentifyingObjectSync(identifyingObject); });
}

void MSChannelUnitDefault::resumeWithIdentifyingObject(const MSIdentifyingObject& identifyingObject) {
  logsDispatchQueue_->async(
      [self = shared_from_this(), identifyingObject] { self->resumeWithIdentifyingObjectSync(identifyingObject); });
}

void MSChannelUnitDefault::pauseWithIdentifyingObjectSync(const MSIdentifyingObject& identifyingObject) {
  if (!identifyingObject) return;
  pruneIdentifyingObjects();
  // The unit pausing itself is held weakly like any other object, so it never keeps itself alive.
  pausedIdentifyingObjects_[identifyingObject.get()] = identifyingObject;
  MSLogVerbose(kMSLogTag, "Identifying object %p added to pause lane for channel %s.", identifyingObject.get(),
               configuration_->groupId().c_str());
  if (!paused_) {
    MSLogDebug(kMSLogTag, "Pause channel %s.", configuration_->groupId().c_str());
    paused_ = true;
    resetTimer();
  }
  enumerateDelegates(
      [&](MSChannelDelegate& delegate) { delegate.channelDidPauseWithIdentifyingObject(this, identifyingObject); });
}

void MSChannelUnitDefault::resumeWithIdentifyingObjectSync(const MSIdentifyingObject& identifyingObject) {
  if (!identifyingObject) return;
  pausedIdentifyingObjects_.erase(identifyingObject.get());
  pruneIdentifyingObjects();
  MSLogVerbose(kMSLogTag, "Identifying object %p removed from pause lane for channel %s.", identifyingObject.get(),
               configuration_->groupId().c_str());
  if (pausedIdentifyingObjects_.empty()) {
    MSLogDebug(kMSLogTag, "Resume channel %s.", configuration_->groupId().c_str());
    paused_ = false;
    checkPendingLogs();
  }
  enumerateDelegates(
      [&](MSChannelDelegate& delegate) { delegate.channelDidResumeWithIdentifyingObject(this, identifyingObject); });
}

void MSChannelUnitDefault::pauseSendingLogsWithToken(const std::string& token) {
  const auto targetKey = MSUtility::targetKeyFromTargetToken(token);
  if (!targetKey) return;
  logsDispatchQueue_->async([self = shared_from_this(), key = *targetKey] {
    MSLogDebug(kMSLogTag, "Pause channel for target key %s.", key.c_str());
    self->pausedTargetKeys_.insert(key);
  });
}

void MSChannelUnitDefault::resumeSendingLogsWithToken(const std::string& token) {
  const auto targetKey = MSUtility::targetKeyFromTargetToken(token);
  if (!targetKey) return;
  logsDispatchQueue_->async([self = shared_from_this(), key = *targetKey] {
    MSLogDebug(kMSLogTag, "Resume channel for target key %s.", key.c_str());
    self->pausedTargetKeys_.erase(key);
    self->itemsCount_ = self->storage_->countLogs();
    self->checkPendingLogs();
  });
}

// ---- Ingestion and auth token callbacks ----

void MSChannelUnitDefault::ingestionDidPause(MSIngestionProtocol* /*ingestion*/) {
  pauseWithIdentifyingObject(ingestion_);
}

void MSChannelUnitDefault::ingestionDidResume(MSIngestionProtocol* /*ingestion*/) {
  resumeWithIdentifyingObject(ingestion_);
}

void MSChannelUnitDefault::ingestionDidReceiveFatalError(MSIngestionProtocol* /*ingestion*/) {
  setEnabled(false, true);
}

void MSChannelUnitDefault::authTokenContextDidUpdateAuthToken(MSAuthTokenContext& /*context*/,
                                                              const std::optional<std::string>& /*authToken*/) {
  logsDispatchQueue_->async([self = shared_from_this()] {
    MSLogInfo(kMSLogTag, "New auth token received, flushing queue.");
    self->checkPendingLogs();
  });
}
