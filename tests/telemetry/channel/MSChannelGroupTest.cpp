// The channel group: units share its store and queue, its delegates hear every unit, and enable,
// pause and resume reach the ingestion and every unit.
#include "telemetry/channel/ChannelTestSupport.h"

using namespace std::chrono_literals;

namespace {

class MSChannelGroupTest : public ChannelFixture {};

TEST_F(MSChannelGroupTest, FindsUnitsByGroupIdFirstAddedFirst) {
  EXPECT_EQ(group->channelUnitForGroupId("none"), nullptr);
  EXPECT_EQ(group->addChannelUnitWithConfiguration(nullptr), nullptr);
  auto first = addUnit(3, 50, 3, "twice");
  auto second = addUnit(3, 50, 3, "twice");
  ASSERT_NE(first, second);
  EXPECT_EQ(group->channelUnitForGroupId("twice"), first);
  EXPECT_EQ(group->channels().size(), 2u);
  EXPECT_NE(first->journal(), nullptr);
  EXPECT_EQ(second->journal(), nullptr) << "one journal file per group id";
  // Both still store and count.
  enqueue(first, 0, 2);
  enqueue(second, 10, 2);
  EXPECT_EQ(storedCount(), 4u);
}

TEST_F(MSChannelGroupTest, AUnitWithItsOwnIngestionSharesStoreAndQueue) {
  vx::devservice::DevService other;
  ASSERT_TRUE(other.start().ok());
  auto own = MSHttpIngestion::make<MSZerEvuzevIngestion>(other.baseURL(), vx::UUID::make().uuidString());
  own->setAppSecret(kChannelTestAppSecret);
  auto unit = std::dynamic_pointer_cast<MSChannelUnitDefault>(
      group->addChannelUnitWithConfiguration(std::make_shared<MSChannelUnitConfiguration>("own"), own));
  ASSERT_TRUE(unit);
  EXPECT_EQ(unit->storage(), group->storage());
  EXPECT_EQ(unit->logsDispatchQueue(), group->logsDispatchQueue());
  EXPECT_EQ(unit->ingestion(), own);
  enqueue(unit, 0, 50);
  ASSERT_TRUE(eventually([&] { return other.requests("/logs").size() == 1; }));
  EXPECT_EQ(logRequests(), 0u) << "nothing through the group's ingestion";
}

TEST_F(MSChannelGroupTest, DelegatesHearEveryUnitAndOnlyWhatTheyImplement) {
  // Implements one callback only; the rest stay the defaults.
  struct SendCounter : MSChannelDelegate {
    std::atomic<int> sent{0};
    std::mutex mutex;
    std::set<MSChannelProtocol*> channels;
    void channelDidSucceedSendingLog(MSChannelProtocol* channel, const MSLogPtr&) override {
      std::lock_guard lock(mutex);
      channels.insert(channel);
      ++sent;
    }
  };
  auto recorder = std::make_shared<RecordingChannelDelegate>();
  auto counter = std::make_shared<SendCounter>();
  group->addDelegate(recorder);
  group->addDelegate(counter);
  auto a = addUnit(3, 50, 3, "a");
  auto b = addUnit(3, 50, 3, "b");
  EXPECT_EQ(recorder->added.load(), 2);
  enqueue(a, 0, 50);
  enqueue(b, 100, 50);
  ASSERT_TRUE(eventually([&] { return counter->sent.load() == 100; }));
  EXPECT_EQ(recorder->prepared.load(), 100);
  EXPECT_EQ(recorder->completed.load(), 100);
  EXPECT_EQ(recorder->willSend.load(), 100);
  std::lock_guard lock(counter->mutex);
  EXPECT_EQ(counter->channels, (std::set<MSChannelProtocol*>{a.get(), b.get()})) << "the unit is the channel";
}

TEST_F(MSChannelGroupTest, AnyGroupDelegateMayFilter) {
  auto keep = std::make_shared<RecordingChannelDelegate>();
  auto drop = std::make_shared<RecordingChannelDelegate>();
  drop->filter = [](const MSLogPtr&) { return true; };
  group->addDelegate(keep);
  group->addDelegate(drop);
  auto unit = addUnit(3);
  enqueue(unit, 0, 3);
  EXPECT_EQ(storedCount(), 0u);
  group->removeDelegate(drop);
  enqueue(unit, 10, 3);
  EXPECT_EQ(storedCount(), 3u);
}

TEST_F(MSChannelGroupTest, PauseAndResumeReachEveryUnitAndTheIngestion) {
  auto a = addUnit(3, 50, 3, "a");
  auto b = addUnit(3, 50, 3, "b");
  auto holder = std::make_shared<int>(0);
  group->pauseWithIdentifyingObject(holder);
  drain();
  EXPECT_FALSE(ingestion->isEnabled());
  onQueue([&] {
    EXPECT_TRUE(a->paused());
    EXPECT_TRUE(b->paused());
  });
  enqueue(a, 0, 50);
  EXPECT_EQ(logRequests(), 0u);
  group->resumeWithIdentifyingObject(holder);
  ASSERT_TRUE(eventually([&] { return logRequests() == 1; }));
  EXPECT_TRUE(ingestion->isEnabled());
  onQueue([&] {
    EXPECT_FALSE(a->paused());
    EXPECT_FALSE(b->paused());
  });
}

TEST_F(MSChannelGroupTest, DisablingWithDeletionEmptiesEveryUnit) {
  auto delegate = std::make_shared<RecordingChannelDelegate>();
  group->addDelegate(delegate);
  auto a = addUnit(3, 50, 3, "a");
  auto b = addUnit(3, 50, 3, "b");
  enqueue(a, 0, 4);
  enqueue(b, 10, 4);
  group->setEnabled(false, true);
  drain();
  EXPECT_EQ(storedCount(), 0u);
  EXPECT_EQ(delegate->failed.load(), 8);
  EXPECT_EQ(delegate->enabledCalls.load(), 3) << "each unit, then the group";
  EXPECT_FALSE(ingestion->isEnabled());
}

TEST_F(MSChannelGroupTest, SetsTheStoreLimitOnItsQueue) {
  std::atomic<int> answers{0};
  group->setMaxStorageSize(20 * 1024 * 1024, [&](bool changed) {
    EXPECT_TRUE(changed);
    ++answers;
  });
  drain();
  EXPECT_EQ(answers.load(), 1);
  EXPECT_EQ(storage->maxSizeInBytes(), 20 * 1024 * 1024);
}

}  // namespace
