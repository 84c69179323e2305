#include "telemetry/ZerEvuzev/Channel/MSChannelGroupDefault.h"

#include "telemetry/ZerEvuzev/Ingestion/MSZerEvuzevIngestion.h"
#include "telemetry/ZerEvuzev/Security/MSAuthTokenContext.h"
#include "telemetry/ZerEvuzev/Storage/MSLogDBStorage.h"

#include <algorithm>

std::shared_ptr<MSChannelGroupDefault> MSChannelGroupDefault::make(const vx::UUID& installId,
                                                                   const std::string& logUrl) {
  return make(MSHttpIngestion::make<MSZerEvuzevIngestion>(logUrl, installId.uuidString()));
}

std::shared_ptr<MSChannelGroupDefault> MSChannelGroupDefault::make(std::shared_ptr<MSIngestionProtocol> ingestion,
                                                                   std::shared_ptr<MSStorage> storage) {
  if (!storage) storage = std::make_shared<MSLogDBStorage>();
  return std::shared_ptr<MSChannelGroupDefault>(new MSChannelGroupDefault(std::move(ingestion), std::move(storage)));
}

MSChannelGroupDefault::MSChannelGroupDefault(std::shared_ptr<MSIngestionProtocol> ingestion,
                                             std::shared_ptr<MSStorage> storage)
    : ingestion_(std::move(ingestion)),
      storage_(std::move(storage)),
      logsDispatchQueue_(vx::DispatchQueue::makeSerial(kMSLogsDispatchQueueLabel)) {}

std::shared_ptr<MSChannelUnitProtocol> MSChannelGroupDefault::addChannelUnitWithConfiguration(
    const std::shared_ptr<MSChannelUnitConfiguration>& configuration) {
  return addChannelUnitWithConfiguration(configuration, nullptr);
}

std::shared_ptr<MSChannelUnitProtocol> MSChannelGroupDefault::addChannelUnitWithConfiguration(
    const std::shared_ptr<MSChannelUnitConfiguration>& configuration,
    const std::shared_ptr<MSIngestionProtocol>& ingestion) {
  if (!configuration) return nullptr;
  auto unit =
      MSChannelUnitDefault::make(ingestion ? ingestion : ingestion_, storage_, configuration, logsDispatchQueue_);
  unit->addDelegate(shared_from_this());
  logsDispatchQueue_->async([unit] { unit->checkPendingLogs(); });
  {
    std::lock_guard lock(mutex_);
    channels_.push_back(unit);
  }
  enumerateDelegates([&](MSChannelDelegate& delegate) { delegate.channelGroupDidAddChannelUnit(this, unit); });
  MSAuthTokenContext::sharedInstance()->addDelegate(unit);
  return unit;
}

std::shared_ptr<MSChannelUnitProtocol> MSChannelGroupDefault::channelUnitForGroupId(const std::string& groupId) {
  std::lock_guard lock(mutex_);
  for (const auto& unit : channels_) {
    if (unit->configuration().groupId() == groupId) return unit;
  }
  return nullptr;
}

std::vector<std::shared_ptr<MSChannelUnitProtocol>> MSChannelGroupDefault::channels() {
  std::lock_guard lock(mutex_);
  return channels_;
}

void MSChannelGroupDefault::setLogUrl(const std::string& logUrl) {
  if (ingestion_) ingestion_->setBaseURL(logUrl);
}

void MSChannelGroupDefault::setAppSecret(const std::string& appSecret) {
  if (auto* ingestion = dynamic_cast<MSZerEvuzevIngestion*>(ingestion_.get())) ingestion->setAppSecret(appSecret);
}

void MSChannelGroupDefault::setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler) {
  logsDispatchQueue_->async([storage = storage_, sizeInBytes, completionHandler = std::move(completionHandler)] {
    storage->setMaxStorageSize(
        sizeInBytes, completionHandler ? completionHandler : [](bool) {});
  });
}

// ---- Delegates ----

std::vector<std::shared_ptr<MSChannelDelegate>> MSChannelGroupDefault::delegatesSnapshot() {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<MSChannelDelegate>> live;
  for (const auto& weak : delegates_) {
    if (auto delegate = weak.lock()) live.push_back(std::move(delegate));
  }
  return live;
}

void MSChannelGroupDefault::addDelegate(const std::shared_ptr<MSChannelDelegate>& delegate) {
  if (!delegate) return;
  std::lock_guard lock(mutex_);
  delegates_.erase(std::remove_if(delegates_.begin(), delegates_.end(), [](const auto& d) { return d.expired(); }),
                   delegates_.end());
  for (const auto& weak : delegates_) {
    if (weak.lock() == delegate) return;
  }
  delegates_.push_back(delegate);
}

void MSChannelGroupDefault::removeDelegate(const std::shared_ptr<MSChannelDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  delegates_.erase(std::remove_if(delegates_.begin(), delegates_.end(),
                                  [&](const auto& d) {
                                    auto live = d.lock();
                                    return !live || live == delegate;
                                  }),
                   delegates_.end());
}

void MSChannelGroupDefault::channelPrepareLog(MSChannelProtocol* channel, const MSLogPtr& log) {
  enumerateDelegates([&](MSChannelDelegate& d) { d.channelPrepareLog(channel, log); });
}

void MSChannelGroupDefault::channelDidPrepareLog(MSChannelProtocol* channel, const MSLogPtr& log,
                                                 const std::string& internalId, std::uint64_t flags) {
  enumerateDelegates([&](MSChannelDelegate& d) { d.channelDidPrepareLog(channel, log, internalId, flags); });
}

void MSChannelGroupDefault::channelDidJournalLog(MSChannelProtocol* channel, const MSLogPtr& log,
                                                 const std::string& internalId) {
  enumerateDelegates([&](MSChannelDelegate& d) { d.channelDidJournalLog(channel, log, internalId); });
}

void MSChannelGroupDefault::channelDidCompleteEnqueueingLog(MSChannelProtocol* channel, const MSLogPtr& log,
                                                            const std::string& internalId) {
  enumerateDelegates([&](MSChannelDelegate& d) { d.channelDidCompleteEnqueueingLog(channel, log, internalId); });
}

void MSChannelGroupDefault::channelWillSendLog(MSChannelProtocol* channel, const MSLogPtr& log) {
  enumerateDelegates([&](MSChannelDelegate& d) { d.channelWillSendLog(channel, log); });
}

void MSChannelGroupDefault::channelDidSucceedSendingLog(MSChannelProtocol* channel, const MSLogPtr& log) {
  enumerateDelegates([&](MSChannelDelegate& d) { d.channelDidSucceedSendingLog(channel, log); });
}

void MSChannelGroupDefault::channelDidFailSendingLog(MSChannelProtocol* channel, const MSLogPtr& log,
                                                     const std::optional<vx::Error>& error) {
  enumerateDelegates([&](MSChannelDelegate& d) { d.channelDidFailSendingLog(channel, log, error); });
}

void MSChannelGroupDefault::channelDidSetEnabled(MSChannelProtocol* channel, bool isEnabled,
                                                 bool deleteDataOnDisabled) {
  enumerateDelegates([&](MSChannelDelegate& d) { d.channelDidSetEnabled(channel, isEnabled, deleteDataOnDisabled); });
}

void MSChannelGroupDefault::channelDidPauseWithIdentifyingObject(MSChannelProtocol* channel,
                                                                 const MSIdentifyingObject& identifyingObject) {
  enumerateDelegates([&](MSChannelDelegate& d) { d.channelDidPauseWithIdentifyingObject(channel, identifyingObject); });
}

void MSChannelGroupDefault::channelDidResumeWithIdentifyingObject(MSChannelProtocol* channel,
                                                                  const MSIdentifyingObject& identifyingObject) {
  enumerateDelegates(
      [&](MSChannelDelegate& d) { d.channelDidResumeWithIdentifyingObject(channel, identifyingObject); });
}

bool MSChannelGroupDefault::channelUnitShouldFilterLog(MSChannelUnitProtocol* channelUnit, const MSLogPtr& log) {
  for (const auto& delegate : delegatesSnapshot()) {
    if (delegate->channelUnitShouldFilterLog(channelUnit, log)) return true;
  }
  return false;
}

// ---- Enable, pause, resume ----

void MSChannelGroupDefault::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
  if (ingestion_) ingestion_->setEnabled(isEnabled, deleteDataOnDisabled);
  for (const auto& unit : channels()) unit->setEnabled(isEnabled, deleteDataOnDisabled);
  enumerateDelegates([&](MSChannelDelegate& d) { d.channelDidSetEnabled(this, isEnabled, deleteDataOnDisabled); });
}

void MSChannelGroupDefault::pauseWithIdentifyingObject(const MSIdentifyingObject& identifyingObject) {
  if (ingestion_) ingestion_->setEnabled(false, false);
  for (const auto& unit : channels()) unit->pauseWithIdentifyingObject(identifyingObject);
}

void MSChannelGroupDefault::resumeWithIdentifyingObject(const MSIdentifyingObject& identifyingObject) {
  if (ingestion_) ingestion_->setEnabled(true, false);
  for (const auto& unit : channels()) unit->resumeWithIdentifyingObject(identifyingObject);
}
