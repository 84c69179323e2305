// The channel unit in virtual time, with a real SQLite file and the default ingestion sending to
// the local service: flush rules, pending-batch limit, pauses, enable with deletion, bad input,
// and delegates that call back into the unit.
#include "telemetry/channel/ChannelTestSupport.h"

#include "telemetry/ZerEvuzev/Ingestion/MSZEErrors.h"
#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCommonSchemaLog.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"

using namespace std::chrono_literals;
using vx::devservice::Fault;

namespace {

class MSChannelUnitTest : public ChannelFixture {};

std::optional<long> secondsToNextTimer(vx::VirtualScheduler& scheduler) {
  const auto next = scheduler.nextDeadlineFromNow();
  if (!next) return std::nullopt;
  return std::chrono::duration_cast<std::chrono::seconds>(*next).count();
}

TEST_F(MSChannelUnitTest, FortyNineLogsWaitForTheThreeSecondTimerTheFiftiethSendsAtOnce) {
  auto unit = addUnit(3);
  enqueue(unit, 0, 49);
  onQueue([&] {
    EXPECT_EQ(unit->itemsCount(), 49u);
    EXPECT_TRUE(unit->hasTimer());
  });
  EXPECT_EQ(storedCount(), 49u);
  EXPECT_EQ(secondsToNextTimer(time.scheduler()), 3);
  EXPECT_EQ(logRequests(), 0u);

  enqueue(unit, 49, 1);
  ASSERT_TRUE(eventually([&] { return logRequests() == 1; }));
  EXPECT_EQ(receivedSids(service).size(), 50u);
  ASSERT_TRUE(eventually([&] { return storedCount() == 0; })) << "a 200 deletes the batch";
  onQueue([&] {
    EXPECT_EQ(unit->itemsCount(), 0u);
    EXPECT_FALSE(unit->hasTimer());
    EXPECT_TRUE(unit->pendingBatchIds().empty());
  });

  // Fewer than a batch go out when the timer fires.
  enqueue(unit, 100, 7);
  EXPECT_EQ(logRequests(), 1u);
  time.advance(3s);
  ASSERT_TRUE(eventually([&] { return logRequests() == 2; }));
  EXPECT_EQ(receivedSids(service).size(), 57u);
  ASSERT_TRUE(eventually([&] { return storedCount() == 0; }));
}

TEST_F(MSChannelUnitTest, ATrickleOfLogsDoesNotPushTheFlushBack) {
  auto unit = addUnit(3);
  enqueue(unit, 0, 1);
  time.advance(2s);
  enqueue(unit, 1, 1);
  time.advance(1s);  // three seconds after the first log
  ASSERT_TRUE(eventually([&] { return logRequests() == 1; }));
  EXPECT_EQ(receivedSids(service), (std::vector<std::string>{"n-0", "n-1"}));
}

TEST_F(MSChannelUnitTest, FiftyLogsAtFourSecondsOnlyStartATimer) {
  auto unit = addUnit(4);
  enqueue(unit, 0, 50);
  onQueue([&] {
    EXPECT_EQ(unit->itemsCount(), 50u);
    EXPECT_TRUE(unit->hasTimer());
  });
  EXPECT_EQ(secondsToNextTimer(time.scheduler()), 4);
  EXPECT_EQ(logRequests(), 0u);
  time.advance(4s);
  ASSERT_TRUE(eventually([&] { return logRequests() == 1; }));
  EXPECT_EQ(receivedSids(service).size(), 50u);
  EXPECT_FALSE(MSUserDefaults::shared()->objectForKey("MSChannelStartTimer:group")) << "removed when it fired";
}

TEST_F(MSChannelUnitTest, LongIntervalsRunFromTheStoredStartTime) {
  struct Case {
    const char* name;
    std::chrono::seconds storedOffset;  // from now
    std::optional<long> timerSeconds;   // none: flushed at once
  };
  const Case cases[] = {
      {"started 50 minutes ago", -50min, 600},
      {"started 2 hours ago", -2h, std::nullopt},
      {"start time in the future", 10min, 3600},
  };
  long next = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string groupId = std::string("hourly-") + std::to_string(next);
    const std::string key = "MSChannelStartTimer:" + groupId;
    auto unit = addUnit(3600, 50, 3, groupId);
    MSUserDefaults::shared()->setObject(vx::Value(vx::wallNow() + c.storedOffset), key);
    const auto before = logRequests();
    enqueue(unit, next, 1);
    next += 10;
    if (c.timerSeconds) {
      EXPECT_EQ(secondsToNextTimer(time.scheduler()), *c.timerSeconds);
      EXPECT_EQ(logRequests(), before);
      const auto stored = MSUserDefaults::shared()->objectForKey(key);
      ASSERT_TRUE(stored && stored->dateValue());
      if (c.storedOffset > 0s) {
        EXPECT_EQ(*stored->dateValue(), vx::wallNow()) << "replaced by now";
      }
      time.advance(std::chrono::seconds(*c.timerSeconds));
      ASSERT_TRUE(eventually([&] { return logRequests() == before + 1; }));
    } else {
      ASSERT_TRUE(eventually([&] { return logRequests() == before + 1; }));
      EXPECT_FALSE(MSUserDefaults::shared()->objectForKey(key)) << "removed when it flushed";
    }
    ASSERT_TRUE(eventually([&] { return storedCount() == 0; }));
  }
}

TEST_F(MSChannelUnitTest, PendingBatchLimitFillsAndRefillsAfterA200) {
  auto unit = addUnit(3, 50, 3);
  auto holder = std::make_shared<int>(0);
  unit->pauseWithIdentifyingObject(holder);
  enqueue(unit, 0, 200);  // stored and counted while paused
  EXPECT_EQ(storedCount(), 200u);
  EXPECT_EQ(logRequests(), 0u);

  unit->resumeWithIdentifyingObject(holder);
  // Queued behind the resume and ahead of every answer.
  onQueue([&] {
    EXPECT_EQ(unit->pendingBatchIds().size(), 3u);
    EXPECT_TRUE(unit->pendingBatchQueueFull());
    EXPECT_TRUE(unit->availableBatchFromStorage()) << "a fourth batch waits in the store";
  });
  // Each 200 frees a slot and the waiting batch goes at once, without a timer.
  ASSERT_TRUE(eventually([&] { return logRequests() == 4; }));
  ASSERT_TRUE(eventually([&] { return storedCount() == 0; }));
  const auto sids = receivedSids(service);
  EXPECT_EQ(sids.size(), 200u);
  EXPECT_EQ(std::set<std::string>(sids.begin(), sids.end()).size(), 200u) << "no log sent twice";
  onQueue([&] {
    EXPECT_FALSE(unit->pendingBatchQueueFull());
    EXPECT_TRUE(unit->pendingBatchIds().empty());
  });
}

// Logs counted while every slot is taken get a new timer once an answer frees one: the timer that
// fired meanwhile found the queue full and ended.
TEST_F(MSChannelUnitTest, LogsCountedWhileTheQueueWasFullAreNotStranded) {
  auto unit = addUnit(3, 50, 1);
  service.setFault("/logs", Fault::withDelay(1000ms));  // holds the first answer back
  enqueue(unit, 0, 50);
  onQueue([&] { EXPECT_TRUE(unit->pendingBatchQueueFull()); });
  enqueue(unit, 100, 10);
  time.advance(3s);  // the timer fires while the only slot is taken
  drain();
  onQueue([&] { EXPECT_FALSE(unit->hasTimer()); });
  service.clearFaults();
  ASSERT_TRUE(eventually([&] { return storedCount() == 10; })) << "the first batch was answered";
  onQueue([&] {
    EXPECT_FALSE(unit->pendingBatchQueueFull());
    EXPECT_TRUE(unit->hasTimer());
  });
  time.advance(3s);
  ASSERT_TRUE(eventually([&] { return logRequests() == 2; }));
  ASSERT_TRUE(eventually([&] { return storedCount() == 0; }));
  EXPECT_EQ(receivedSids(service).size(), 60u);
}

// A 500 is retried by the ingestion; once its retries are spent the batch stays stored and its
// rows stay out in their batch for this run.
TEST_F(MSChannelUnitTest, ARecoverableFailureKeepsTheBatch) {
  auto unit = addUnit(3);
  auto delegate = std::make_shared<RecordingChannelDelegate>();
  unit->addDelegate(delegate);
  service.setFault("/logs", Fault::withStatus(500));
  enqueue(unit, 0, 50);
  while (delegate->failed.load() < 50) {
    // Each retry waits on virtual time: run it once it is armed.
    ASSERT_TRUE(eventually([&] { return time.scheduler().pendingCount() > 0 || delegate->failed.load() >= 50; }));
    if (auto next = time.scheduler().nextDeadlineFromNow()) time.advance(*next);
  }
  EXPECT_EQ(delegate->succeeded.load(), 0);
  EXPECT_EQ(storedCount(), 50u) << "kept in the store";
  onQueue([&] { EXPECT_TRUE(unit->pendingBatchIds().empty()); });
  {
    std::lock_guard lock(delegate->mutex);
    EXPECT_EQ(delegate->failureCodes.front(), kMSZEConnectionHttpErrorCode);
  }

  service.clearFaults();
  ingestion->setEnabled(true, false);  // the spent retries disabled it
  const auto before = logRequests();
  enqueue(unit, 100, 50);
  ASSERT_TRUE(eventually([&] { return logRequests() == before + 1; }));
  ASSERT_TRUE(eventually([&] { return storedCount() == 50u; }));
  const auto last = nlohmann::json::parse(service.requests("/logs").back().body);
  EXPECT_EQ(last["logs"][0]["sid"], "n-100") << "the kept batch is not loaded again in this run";
}

// An answer that must not be retried disables the unit with deletion: each log is reported.
TEST_F(MSChannelUnitTest, AFatalAnswerDisablesTheUnitAndDeletesItsLogs) {
  auto unit = addUnit(3);
  auto delegate = std::make_shared<RecordingChannelDelegate>();
  unit->addDelegate(delegate);
  service.setFault("/logs", Fault::withStatus(400));
  enqueue(unit, 0, 50);
  ASSERT_TRUE(eventually([&] {
    bool discarding = false;
    onQueue([&] { discarding = unit->discardLogs(); });
    return discarding;
  }));
  EXPECT_EQ(storedCount(), 0u);
  EXPECT_EQ(delegate->succeeded.load(), 0);
  onQueue([&] { EXPECT_FALSE(unit->enabled()); });
}

TEST_F(MSChannelUnitTest, TwoPauseObjectsBothHaveToResume) {
  auto unit = addUnit(3);
  auto first = std::make_shared<int>(1);
  auto second = std::make_shared<int>(2);
  unit->pauseWithIdentifyingObject(first);
  unit->pauseWithIdentifyingObject(second);
  enqueue(unit, 0, 50);
  onQueue([&] {
    EXPECT_TRUE(unit->paused());
    EXPECT_EQ(unit->itemsCount(), 50u) << "stored and counted while paused";
    EXPECT_FALSE(unit->hasTimer());
  });
  unit->resumeWithIdentifyingObject(first);
  drain();
  onQueue([&] { EXPECT_TRUE(unit->paused()); });
  EXPECT_EQ(logRequests(), 0u);
  unit->resumeWithIdentifyingObject(second);
  ASSERT_TRUE(eventually([&] { return logRequests() == 1; }));
  EXPECT_EQ(receivedSids(service).size(), 50u);
}

TEST_F(MSChannelUnitTest, AnObjectThatIsGoneNoLongerHoldsThePause) {
  auto unit = addUnit(3);
  auto holder = std::make_shared<int>(1);
  unit->pauseWithIdentifyingObject(holder);
  drain();
  holder.reset();
  onQueue([&] { EXPECT_EQ(unit->pausedIdentifyingObjectsCount(), 0u); });
}

TEST_F(MSChannelUnitTest, ATimerFiringAfterItsUnitIsGoneDoesNothing) {
  std::weak_ptr<MSChannelUnitDefault> weak;
  auto queue = group->logsDispatchQueue();
  {
    auto unit = addUnit(3);
    weak = unit;
    enqueue(unit, 0, 10);
    onQueue([&] { EXPECT_TRUE(unit->hasTimer()); });
  }
  group.reset();
  queue->sync([] {});
  ASSERT_TRUE(eventually([&] { return weak.expired(); }));
  time.advance(10s);
  queue->sync([] {});
  EXPECT_EQ(logRequests(), 0u);
  MSLogDBStorage reopened(databaseName);
  EXPECT_EQ(reopened.countLogs(), 10u) << "the logs wait in the store for the next launch";
}

TEST_F(MSChannelUnitTest, DisabledWithDeletionDiscardsUntilEnabledAgain) {
  auto unit = addUnit(3);
  auto delegate = std::make_shared<RecordingChannelDelegate>();
  unit->addDelegate(delegate);
  enqueue(unit, 0, 5);
  unit->setEnabled(false, true);
  drain();
  EXPECT_EQ(storedCount(), 0u);
  EXPECT_EQ(delegate->failed.load(), 5) << "each deleted log reported";
  onQueue([&] {
    EXPECT_TRUE(unit->discardLogs());
    EXPECT_TRUE(unit->paused());
    EXPECT_EQ(unit->itemsCount(), 0u);
  });

  enqueue(unit, 10, 1);
  EXPECT_EQ(storedCount(), 0u) << "dropped in discard mode";
  EXPECT_EQ(delegate->failed.load(), 6);
  {
    std::lock_guard lock(delegate->mutex);
    for (auto code : delegate->failureCodes) EXPECT_EQ(code, kMSZEConnectionPausedErrorCode);
  }
  unit->setEnabled(true, false);
  enqueue(unit, 20, 1);
  EXPECT_EQ(storedCount(), 1u);
  onQueue([&] {
    EXPECT_FALSE(unit->discardLogs());
    EXPECT_FALSE(unit->paused());
  });
  EXPECT_EQ(delegate->enabledCalls.load(), 2);
}

TEST_F(MSChannelUnitTest, InvalidLogsAreDroppedBeforeAnyDelegateSeesThem) {
  auto unit = addUnit(3);
  auto delegate = std::make_shared<RecordingChannelDelegate>();
  unit->addDelegate(delegate);
  drain();
  std::vector<std::string> lines;
  std::mutex linesMutex;
  MSLogger::setLogHandler([&](const MSLogMessageProvider& message, MSLogLevel level, const std::string&, const char*,
                              const char*, unsigned) {
    if (level != MSLogLevel::Warning) return;
    std::lock_guard lock(linesMutex);
    lines.push_back(message());
  });
  auto noType = numberedLog(1);
  noType->type.reset();
  auto badDevice = numberedLog(2);
  badDevice->device = std::make_shared<MSDevice>();  // a device without its required fields
  unit->enqueueItem(noType, 1);
  unit->enqueueItem(badDevice, 1);
  unit->enqueueItem(nullptr, 1);
  drain();
  MSLogger::resetForTesting();
  EXPECT_EQ(lines, (std::vector<std::string>(3, "Log is not valid.")));
  EXPECT_EQ(delegate->prepared.load(), 0);
  EXPECT_EQ(delegate->completed.load(), 0);
  EXPECT_EQ(storedCount(), 0u);
}

TEST_F(MSChannelUnitTest, StampsMissingTimestampAndDevice) {
  auto unit = addUnit(3);
  auto log = numberedLog(1);
  log->timestamp.reset();
  log->device.reset();
  unit->enqueueItem(log, 1);
  drain();
  EXPECT_EQ(log->timestamp, vx::wallNow());
  ASSERT_TRUE(log->device);
  EXPECT_TRUE(log->device->isValid());
  EXPECT_EQ(storedCount(), 1u);
}

TEST_F(MSChannelUnitTest, FilteredLogsAndAnIngestionNotReadyAreNotStored) {
  auto unit = addUnit(3);
  auto delegate = std::make_shared<RecordingChannelDelegate>();
  delegate->filter = [](const MSLogPtr& log) { return log->sid == std::optional<std::string>("n-1"); };
  unit->addDelegate(delegate);
  drain();
  enqueue(unit, 0, 3);
  EXPECT_EQ(storedCount(), 2u);
  EXPECT_EQ(delegate->completed.load(), 3) << "a filtered log completes its enqueueing too";

  ingestion->setAppSecret(std::nullopt);  // not ready to send
  enqueue(unit, 10, 1);
  EXPECT_EQ(storedCount(), 2u);
  EXPECT_EQ(delegate->completed.load(), 4);
}

// A log that cannot be written as JSON never holds back the rest of its batch.
TEST_F(MSChannelUnitTest, AnUnwritableLogDoesNotHoldBackItsBatch) {
  auto unit = addUnit(3);
  auto delegate = std::make_shared<RecordingChannelDelegate>();
  unit->addDelegate(delegate);
  drain();
  auto bad = numberedLog(7);
  bad->properties = std::map<std::string, std::string>{{"file", "caf\xe9.svg"}};
  const bool writable = bad->serializeLogWithPrettyPrinting(false).has_value();
  enqueue(unit, 0, 7);
  unit->enqueueItem(bad, 1);
  enqueue(unit, 8, 42);  // 50 in all
  ASSERT_TRUE(eventually([&] { return logRequests() == 1; }));
  ASSERT_TRUE(eventually([&] { return storedCount() == 0; })) << "the whole batch is settled";
  const auto sids = receivedSids(service);
  if (writable) {
    EXPECT_EQ(sids.size(), 50u) << "the writer replaced the bad bytes";
  } else {
    EXPECT_EQ(sids.size(), 49u);
    EXPECT_EQ(std::count(sids.begin(), sids.end(), "n-7"), 0);
    std::lock_guard lock(delegate->mutex);
    EXPECT_EQ(delegate->failureCodes, std::vector<std::int64_t>{kMSZELogInvalidContainerErrorCode});
  }
}

// Delegates run outside the delegates' lock, so one may enqueue from its callback.
class EnqueueingDelegate : public MSChannelDelegate {
 public:
  std::weak_ptr<MSChannelUnitDefault> unit;
  void channelDidPrepareLog(MSChannelProtocol*, const MSLogPtr& log, const std::string&, std::uint64_t flags) override {
    if (log->type != std::optional<std::string>("channelEvent")) return;
    auto mirror = numberedLog(1000);
    mirror->type = "mirror";
    if (auto target = unit.lock()) target->enqueueItem(mirror, flags);
  }
  void channelDidCompleteEnqueueingLog(MSChannelProtocol*, const MSLogPtr& log, const std::string&) override {
    if (log->type != std::optional<std::string>("mirror")) return;
    auto echo = numberedLog(2000);
    echo->type = "echo";
    if (auto target = unit.lock()) target->enqueueItem(echo, 1);
  }
};

TEST_F(MSChannelUnitTest, ADelegateMayEnqueueFromItsCallbacks) {
  auto unit = addUnit(3);
  auto delegate = std::make_shared<EnqueueingDelegate>();
  delegate->unit = unit;
  unit->addDelegate(delegate);
  drain();
  unit->enqueueItem(numberedLog(1), 1);
  drain();
  drain();  // the echo is enqueued from a block of the queue itself
  EXPECT_EQ(storedCount(), 3u);
}

TEST_F(MSChannelUnitTest, PausedTargetKeysAreLeftOutUntilResumed) {
  auto unit = addUnit(3, 5);
  unit->pauseSendingLogsWithToken("tenant-token");
  auto tokenLog = [](long n) {
    auto log = std::make_shared<MSCommonSchemaLog>();
    log->ver = "3.0";
    log->name = "event" + std::to_string(n);
    log->timestamp = vx::wallNow();
    log->iKey = "o:tenant";
    log->device = MSTestDevice();
    log->addTransmissionTargetToken("tenant-token");
    return log;
  };
  for (long n = 0; n < 5; ++n) unit->enqueueItem(std::static_pointer_cast<MSAbstractLog>(tokenLog(n)), 1);
  drain();
  onQueue([&] { EXPECT_EQ(unit->pausedTargetKeys(), std::set<std::string>{"tenant"}); });
  EXPECT_EQ(storedCount(), 5u);
  EXPECT_EQ(logRequests(), 0u) << "the paused key's logs are not loaded";
  unit->resumeSendingLogsWithToken("tenant-token");
  ASSERT_TRUE(eventually([&] { return logRequests() == 1; })) << "recounted and flushed";
}

}  // namespace
