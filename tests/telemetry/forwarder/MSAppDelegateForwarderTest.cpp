// The application-delegate forwarder: its switch, its registry and the events a Qt application
// hands it (activation, deactivation, URLs to open), under the offscreen platform.
#include "telemetry/ZerEvuzev/Core/MSDelegateForwarder.h"

#include "platform/foundation/Bundle.h"

#include <QApplication>
#include <QEvent>
#include <QFileOpenEvent>
#include <QUrl>
#include <QWidget>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include <memory>

namespace {

class RecordingDelegate : public MSAppDelegate {
 public:
  void applicationDidBecomeActive() override { events.push_back("active"); }
  void applicationWillResignActive() override { events.push_back("inactive"); }
  void applicationOpenURLs(const std::vector<std::string>& urls) override {
    for (const auto& url : urls) events.push_back("open " + url);
  }
  std::vector<std::string> events;
};

// What a shell does: passes the application's state changes and file-open events on.
class ShellBridge : public QObject {
 public:
  explicit ShellBridge(std::shared_ptr<MSAppDelegateForwarder> forwarder) : forwarder_(std::move(forwarder)) {
    qApp->installEventFilter(this);
  }
  ~ShellBridge() override { qApp->removeEventFilter(this); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == qApp && event->type() == QEvent::ApplicationStateChange) {
      const auto state = static_cast<QApplicationStateChangeEvent*>(event)->applicationState();
      if (state == Qt::ApplicationActive) {
        forwarder_->applicationDidBecomeActive();
      } else if (state == Qt::ApplicationInactive) {
        forwarder_->applicationWillResignActive();
      }
    }
    if (watched == qApp && event->type() == QEvent::FileOpen) {
      forwarder_->applicationOpenURLs({static_cast<QFileOpenEvent*>(event)->url().toString().toStdString()});
      return true;
    }
    return false;
  }

 private:
  std::shared_ptr<MSAppDelegateForwarder> forwarder_;
};

// Serves the event loop until the condition holds; false when it never does.
template <class Condition>
bool processEventsUntil(Condition condition) {
  for (int i = 0; i < 2000 && !condition(); ++i) QTest::qWait(5);
  return condition();
}

class MSAppDelegateForwarderTest : public ::testing::Test {
 protected:
  void SetUp() override { MSAppDelegateForwarder::resetSharedInstance(); }
  void TearDown() override {
    vx::Bundle::main().resetInfoDictionary();
    MSAppDelegateForwarder::resetSharedInstance();
  }
};

TEST_F(MSAppDelegateForwarderTest, ForwardsTheApplicationsEventsToEachDelegate) {
  auto forwarder = MSAppDelegateForwarder::sharedInstance();
  EXPECT_TRUE(forwarder->isEnabled()) << "no key: enabled";
  auto first = std::make_shared<RecordingDelegate>();
  auto second = std::make_shared<RecordingDelegate>();
  forwarder->addDelegate(first);
  forwarder->addDelegate(second);
  forwarder->addDelegate(first);  // once only
  ShellBridge bridge(forwarder);

  // A real window activated by the platform makes the application active.
  QWidget window;
  window.show();
  window.activateWindow();
  ASSERT_TRUE(processEventsUntil([] { return QGuiApplication::applicationState() == Qt::ApplicationActive; }));
  QCoreApplication::processEvents();
  QFileOpenEvent open(QUrl("revererav://icon/42"));
  QCoreApplication::sendEvent(qApp, &open);
  // The offscreen platform never deactivates an application; a desktop session's deactivation
  // reaches the application as this event.
  QApplicationStateChangeEvent inactive(Qt::ApplicationInactive);
  QCoreApplication::sendEvent(qApp, &inactive);

  const std::vector<std::string> expected = {"active", "open revererav://icon/42", "inactive"};
  EXPECT_EQ(first->events, expected);
  EXPECT_EQ(second->events, expected);

  forwarder->removeDelegate(second);
  forwarder->applicationOpenURLs({"a", "b"});
  EXPECT_EQ(first->events.size(), 5u);
  EXPECT_EQ(second->events.size(), 3u);
}

TEST_F(MSAppDelegateForwarderTest, TheSwitchOffRegistersNothingAndForwardsNothing) {
  vx::Bundle::main().setInfoValue(MSAppDelegateForwarder::kMSAppDelegateForwarderEnabledKey, vx::Value(false));
  auto forwarder = MSAppDelegateForwarder::sharedInstance();
  EXPECT_FALSE(forwarder->isEnabled());
  auto delegate = std::make_shared<RecordingDelegate>();
  forwarder->addDelegate(delegate);
  EXPECT_TRUE(forwarder->delegates().empty());
  forwarder->applicationDidBecomeActive();
  EXPECT_TRUE(delegate->events.empty());

  forwarder->setEnabled(true);
  forwarder->addDelegate(delegate);
  ASSERT_EQ(forwarder->delegates().size(), 1u);
  forwarder->setEnabled(false);
  EXPECT_TRUE(forwarder->delegates().empty()) << "disabling drops every delegate";
}

TEST_F(MSAppDelegateForwarderTest, DelegatesAreHeldWeakly) {
  auto forwarder = MSAppDelegateForwarder::sharedInstance();
  auto delegate = std::make_shared<RecordingDelegate>();
  forwarder->addDelegate(delegate);
  delegate.reset();
  EXPECT_TRUE(forwarder->delegates().empty());
  forwarder->applicationWillResignActive();  // nothing to call, nothing to crash
  EXPECT_TRUE(forwarder->isEnabled());
}

}  // namespace
