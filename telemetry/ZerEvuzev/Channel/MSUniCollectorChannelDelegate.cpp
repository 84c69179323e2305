#include "telemetry/ZerEvuzev/Channel/MSUniCollectorChannelDelegate.h"

#include "telemetry/ZerEvuzev/Util/MSLogger.h"

#include <regex>

namespace {

constexpr const char* kLogNamePattern = R"(^[a-zA-Z0-9]((\.(?!(\.|$)))|[_a-zA-Z0-9]){3,99}$)";
constexpr std::size_t kMaxLogNameLength = 100;
constexpr const char* kValidationFailed = "Log validation failed.";

std::optional<std::string> groupIdOf(MSChannelProtocol* channel) {
  if (auto* unit = dynamic_cast<MSChannelUnitProtocol*>(channel)) return unit->configuration().groupId();
  return std::nullopt;
}

}  // namespace

MSUniCollectorChannelDelegate::MSUniCollectorChannelDelegate(const vx::UUID& installId,
                                                             const std::optional<std::string>& baseUrl,
                                                             std::shared_ptr<MSIngestionProtocol> ingestion)
    : installId_(installId),
      baseUrl_(baseUrl.value_or(kMSUniCollectorDefaultBaseUrl)),
      ingestion_(std::move(ingestion)) {
  if (!ingestion_) ingestion_ = MSHttpIngestion::make<MSUniCollectorIngestion>(baseUrl_);
}

void MSUniCollectorChannelDelegate::channelGroupDidAddChannelUnit(
    MSChannelGroupProtocol* channelGroup, const std::shared_ptr<MSChannelUnitProtocol>& channel) {
  if (!channelGroup || !channel) return;
  const std::string groupId = channel->configuration().groupId();
  if (isUniCollectorGroup(groupId)) return;
  auto configuration = std::make_shared<MSChannelUnitConfiguration>(groupId + kMSUniCollectorGroupIdSuffix,
                                                                    channel->configuration().flushInterval());
  auto twin = channelGroup->addChannelUnitWithConfiguration(configuration, ingestion_);
  std::lock_guard lock(channelsMutex_);
  uniCollectorChannels_[groupId] = twin;
}

void MSUniCollectorChannelDelegate::channelPrepareLog(MSChannelProtocol*, const MSLogPtr& log) {
  auto csLog = std::dynamic_pointer_cast<MSCommonSchemaLog>(log);
  if (!csLog) return;
  if (!csLog->ext) csLog->ext = std::make_shared<MSCSExtensions>();
  if (!csLog->ext->sdkExt) csLog->ext->sdkExt = std::make_shared<MSSDKExtension>();
  const std::string iKey = csLog->iKey.value_or("");
  std::lock_guard lock(epochsMutex_);
  auto it = epochsAndSeqsByIKey_.find(iKey);
  if (it == epochsAndSeqsByIKey_.end()) {
    it = epochsAndSeqsByIKey_.emplace(iKey, MSCSEpochAndSeq(vx::UUID::make().uuidString())).first;
  }
  csLog->ext->sdkExt->epoch = it->second.epoch;
  csLog->ext->sdkExt->seq = static_cast<std::int64_t>(++it->second.seq);
  csLog->ext->sdkExt->installId = installId_;
}

void MSUniCollectorChannelDelegate::channelDidPrepareLog(MSChannelProtocol* channel, const MSLogPtr& log,
                                                         const std::string&, std::uint64_t flags) {
  const auto groupId = groupIdOf(channel);
  if (!groupId || !log) return;
  if (std::dynamic_pointer_cast<MSCommonSchemaLog>(log)) {
    if (isUniCollectorGroup(*groupId)) return;
    if (auto twin = uniCollectorChannelForGroupId(*groupId)) twin->enqueueItem(log, flags);
    return;
  }
  if (!shouldSendLogToUniCollector(log)) return;
  auto twin = uniCollectorChannelForGroupId(*groupId);
  if (!twin) return;
  if (auto csLogs = log->toCommonSchemaLogsWithFlags(flags)) {
    for (const auto& csLog : *csLogs) twin->enqueueItem(csLog, flags);
  }
}

bool MSUniCollectorChannelDelegate::channelUnitShouldFilterLog(MSChannelUnitProtocol* channelUnit,
                                                               const MSLogPtr& log) {
  if (!channelUnit || !log) return false;
  if (auto csLog = std::dynamic_pointer_cast<MSCommonSchemaLog>(log)) {
    if (!isUniCollectorGroup(channelUnit->configuration().groupId())) return true;
    return !validateLog(*csLog);
  }
  return !log->transmissionTargetTokens().empty();
}

void MSUniCollectorChannelDelegate::channelDidSetEnabled(MSChannelProtocol* channel, bool isEnabled,
                                                         bool deleteDataOnDisabled) {
  if (const auto groupId = groupIdOf(channel)) {
    if (isUniCollectorGroup(*groupId)) return;
    if (auto twin = uniCollectorChannelForGroupId(*groupId)) twin->setEnabled(isEnabled, deleteDataOnDisabled);
  } else if (dynamic_cast<MSChannelGroupProtocol*>(channel) && !isEnabled && deleteDataOnDisabled) {
    std::lock_guard lock(epochsMutex_);
    epochsAndSeqsByIKey_.clear();
  }
}

void MSUniCollectorChannelDelegate::channelDidPauseWithIdentifyingObject(MSChannelProtocol* channel,
                                                                         const MSIdentifyingObject& identifyingObject) {
  if (const auto groupId = groupIdOf(channel)) {
    if (auto twin = uniCollectorChannelForGroupId(*groupId)) twin->pauseWithIdentifyingObject(identifyingObject);
  }
}

void MSUniCollectorChannelDelegate::channelDidResumeWithIdentifyingObject(
    MSChannelProtocol* channel, const MSIdentifyingObject& identifyingObject) {
  if (const auto groupId = groupIdOf(channel)) {
    if (auto twin = uniCollectorChannelForGroupId(*groupId)) twin->resumeWithIdentifyingObject(identifyingObject);
  }
}

bool MSUniCollectorChannelDelegate::isUniCollectorGroup(const std::string& groupId) {
  const std::string suffix = kMSUniCollectorGroupIdSuffix;
  return groupId.size() >= suffix.size() && groupId.compare(groupId.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool MSUniCollectorChannelDelegate::shouldSendLogToUniCollector(const MSLogPtr& log) {
  if (!log || std::dynamic_pointer_cast<MSCommonSchemaLog>(log)) return false;
  return !log->transmissionTargetTokens().empty();
}

bool MSUniCollectorChannelDelegate::validateLog(const MSCommonSchemaLog& log) { return validateLogName(log.name); }

bool MSUniCollectorChannelDelegate::validateLogName(const std::optional<std::string>& name) {
  if (!name || name->empty()) {
    MSLogError(kMSLogTag, "%s Name must not be nil or empty.", kValidationFailed);
    return false;
  }
  static const std::regex pattern(kLogNamePattern);
  // The pattern allows at most 100 characters; longer names are refused before the (recursive)
  // matcher sees them.
  if (name->size() > kMaxLogNameLength || !std::regex_search(*name, pattern)) {
    MSLogError(kMSLogTag, "%s Name must match '%s' but was '%s'", kValidationFailed, kLogNamePattern,
               name->size() > kMaxLogNameLength ? (name->substr(0, kMaxLogNameLength) + "...").c_str() : name->c_str());
    return false;
  }
  return true;
}

void MSUniCollectorChannelDelegate::setLogUrl(const std::string& logUrl) {
  if (ingestion_) ingestion_->setBaseURL(logUrl);
}

std::shared_ptr<MSChannelUnitProtocol> MSUniCollectorChannelDelegate::uniCollectorChannelForGroupId(
    const std::string& groupId) {
  std::lock_guard lock(channelsMutex_);
  const auto it = uniCollectorChannels_.find(groupId);
  return it == uniCollectorChannels_.end() ? nullptr : it->second;
}

std::optional<MSCSEpochAndSeq> MSUniCollectorChannelDelegate::epochAndSeqForIKey(const std::string& iKey) {
  std::lock_guard lock(epochsMutex_);
  const auto it = epochsAndSeqsByIKey_.find(iKey);
  if (it == epochsAndSeqsByIKey_.end()) return std::nullopt;
  return it->second;
}
