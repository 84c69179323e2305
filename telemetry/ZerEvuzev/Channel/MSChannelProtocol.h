// The channel interfaces: what every channel (a unit or the group) offers, what a unit adds
// (enqueueing logs, target-key pauses), what the group adds (making units, sender settings), and
// the delegate that watches channels.
#pragma once

#include "platform/foundation/Error.h"
#include "telemetry/ZerEvuzev/Channel/MSChannelUnitConfiguration.h"
#include "telemetry/ZerEvuzev/Ingestion/MSIngestionProtocol.h"
#include "telemetry/ZerEvuzev/Model/MSAbstractLog.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class MSChannelProtocol;
class MSChannelUnitProtocol;
class MSChannelGroupProtocol;

// An object that holds a channel paused while it is present (compared by identity, held weakly).
using MSIdentifyingObject = std::shared_ptr<const void>;

// Told what happens to logs and channels. Every callback is optional: the defaults do nothing
// (and filter nothing). The channel argument is the unit the log went through, also when the
// group forwards the call.
class MSChannelDelegate {
 public:
  virtual ~MSChannelDelegate() = default;
  virtual void channelGroupDidAddChannelUnit(MSChannelGroupProtocol* /*channelGroup*/,
                                             const std::shared_ptr<MSChannelUnitProtocol>& /*channel*/) {}
  // On the enqueueing thread, before the log gets its internal id.
  virtual void channelPrepareLog(MSChannelProtocol* /*channel*/, const MSLogPtr& /*log*/) {}
  // On the enqueueing thread.
  virtual void channelDidPrepareLog(MSChannelProtocol* /*channel*/, const MSLogPtr& /*log*/,
                                    const std::string& /*internalId*/, std::uint64_t /*flags*/) {}
  // On the enqueueing thread, after channelDidPrepareLog: the unit's journal holds the log, so a
  // crash or kill from here on loses it no more than a store would.
  virtual void channelDidJournalLog(MSChannelProtocol* /*channel*/, const MSLogPtr& /*log*/,
                                    const std::string& /*internalId*/) {}
  virtual void channelDidCompleteEnqueueingLog(MSChannelProtocol* /*channel*/, const MSLogPtr& /*log*/,
                                               const std::string& /*internalId*/) {}
  virtual void channelWillSendLog(MSChannelProtocol* /*channel*/, const MSLogPtr& /*log*/) {}
  virtual void channelDidSucceedSendingLog(MSChannelProtocol* /*channel*/, const MSLogPtr& /*log*/) {}
  virtual void channelDidFailSendingLog(MSChannelProtocol* /*channel*/, const MSLogPtr& /*log*/,
                                        const std::optional<vx::Error>& /*error*/) {}
  virtual void channelDidSetEnabled(MSChannelProtocol* /*channel*/, bool /*isEnabled*/, bool /*deleteDataOnDisabled*/) {
  }
  virtual void channelDidPauseWithIdentifyingObject(MSChannelProtocol* /*channel*/,
                                                    const MSIdentifyingObject& /*identifyingObject*/) {}
  virtual void channelDidResumeWithIdentifyingObject(MSChannelProtocol* /*channel*/,
                                                     const MSIdentifyingObject& /*identifyingObject*/) {}
  // On the channel group's queue; true drops the log.
  virtual bool channelUnitShouldFilterLog(MSChannelUnitProtocol* /*channelUnit*/, const MSLogPtr& /*log*/) {
    return false;
  }
};

class MSChannelProtocol : public MSEnable {
 public:
  // Delegates are held weakly.
  virtual void addDelegate(const std::shared_ptr<MSChannelDelegate>& delegate) = 0;
  virtual void removeDelegate(const std::shared_ptr<MSChannelDelegate>& delegate) = 0;
  // Sending stops while any object that paused the channel has not resumed it (or is gone).
  virtual void pauseWithIdentifyingObject(const MSIdentifyingObject& identifyingObject) = 0;
  virtual void resumeWithIdentifyingObject(const MSIdentifyingObject& identifyingObject) = 0;
};

class MSChannelUnitProtocol : public MSChannelProtocol {
 public:
  virtual const MSChannelUnitConfiguration& configuration() const = 0;
  // Stamps, validates and prepares the log on the calling thread; the rest happens on the
  // group's queue. Never waits for the disk.
  virtual void enqueueItem(const MSLogPtr& item, std::uint64_t flags) = 0;
  // Sends or arms the flush timer as the gathered logs require. Runs on the group's queue.
  virtual void checkPendingLogs() = 0;
  // Holds back (and lets go of) the stored logs of a transmission target.
  virtual void pauseSendingLogsWithToken(const std::string& token) = 0;
  virtual void resumeSendingLogsWithToken(const std::string& token) = 0;
};

class MSChannelGroupProtocol : public MSChannelProtocol {
 public:
  // A unit over the group's ingestion, storage and queue; nullptr for a missing configuration.
  virtual std::shared_ptr<MSChannelUnitProtocol> addChannelUnitWithConfiguration(
      const std::shared_ptr<MSChannelUnitConfiguration>& configuration) = 0;
  // The same with a sender of its own (nullptr: the group's).
  virtual std::shared_ptr<MSChannelUnitProtocol> addChannelUnitWithConfiguration(
      const std::shared_ptr<MSChannelUnitConfiguration>& configuration,
      const std::shared_ptr<MSIngestionProtocol>& ingestion) = 0;
  virtual void setLogUrl(const std::string& logUrl) = 0;
  virtual void setAppSecret(const std::string& appSecret) = 0;
  // On the group's queue; the handler gets whether the limit changed (not called when the file
  // cannot be opened).
  virtual void setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler) = 0;
  // The first unit added with the group id; nullptr when none.
  virtual std::shared_ptr<MSChannelUnitProtocol> channelUnitForGroupId(const std::string& groupId) = 0;
};
