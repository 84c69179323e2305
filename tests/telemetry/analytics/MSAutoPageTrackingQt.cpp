// Automatic page views in a Qt application on the offscreen platform: the application-wide
// filter turns the show event of a view controller's view into a page view named after the
// controller's class, skips containers, remembers a page view while the service is disabled and
// replays it when the service is enabled; the application's activation changes reach the session
// tracker through the forwarder. Each checked state is saved as a screenshot.
#include "telemetry/ZerEvuzevAnalytics/Qt/MSAnalyticsQtHooks.h"

#include "app/qt/ViewController.h"
#include "platform/foundation/Clock.h"
#include "telemetry/ZerEvuzev/Context/MSSessionContext.h"
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalyticsCategory.h"
#include "telemetry/analytics/MSAnalyticsTestSupport.h"

#include "support/Screenshot.h"

#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>
#include <QtGui/qevent.h>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include <mutex>

using namespace std::chrono_literals;

// A container controller by its exact name, and a subclass of it.
class NSTabViewController : public vx::ViewController {
 protected:
  void loadView() override { setView(new QLabel("tabs")); }
};
class SettingsTabs : public NSTabViewController {};

namespace Vexelworks::test {
class CatalogueViewController : public vx::ViewController {
 protected:
  void loadView() override { setView(new QLabel("catalogue")); }
};
class IconShelfViewController : public vx::ViewController {
 protected:
  void loadView() override { setView(new QLabel("shelf")); }
};
}  // namespace Vexelworks::test

namespace {

class PageRecorder : public MSChannelDelegate {
 public:
  void channelPrepareLog(MSChannelProtocol*, const MSLogPtr& log) override {
    if (auto page = std::dynamic_pointer_cast<MSPageLog>(log)) {
      std::lock_guard lock(mutex);
      names.push_back(page->name.value_or(""));
    }
  }
  std::vector<std::string> pages() {
    std::lock_guard lock(mutex);
    return names;
  }
  std::mutex mutex;
  std::vector<std::string> names;
};

class MSAutoPageTrackingQtTest : public MSAnalyticsServiceTest {
 protected:
  void SetUp() override {
    MSAnalyticsServiceTest::SetUp();
    window.resize(320, 200);
    window.setLayout(new QVBoxLayout);
    MSAnalyticsQtHooks::install();
  }
  void resetMore() override {
    MSAnalyticsCategory::resetForTesting();
    MSUserDefaults::shared()->removeObjectForKey("kMSAnalyticsIsEnabledKey");
  }
  std::shared_ptr<MSAnalytics> start() { return MSStartAnalytics(kMSTestAppSecret, "http://127.0.0.1:9", recorder); }
  // Shows the controller's view in the window, as a window's content changes.
  void show(vx::ViewController& controller, const char* screenshot) {
    QWidget* view = controller.view();
    view->hide();
    window.layout()->addWidget(view);
    window.show();
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    vx::test::saveScreenshot(&window, screenshot);
  }

  vx::ScopedVirtualTime time;
  QWidget window;
  std::shared_ptr<PageRecorder> recorder = std::make_shared<PageRecorder>();
};

TEST_F(MSAutoPageTrackingQtTest, PageNamesFollowTheClassNames) {
  struct Case {
    const char* className;
    const char* page;
  };
  const Case cases[] = {{"Vexelworks::SearchViewController", "Search"},
                        {"Vexelworks::IconDetailViewController", "IconDetail"},
                        {"ViewController", "ViewController"},
                        {"Preferences", "Preferences"},
                        {"vx::ViewController", "ViewController"}};
  for (const auto& c : cases) EXPECT_EQ(MSAnalyticsCategory::pageNameForClassName(c.className), c.page);
  Vexelworks::test::CatalogueViewController catalogue;
  EXPECT_EQ(MSAnalyticsQtHooks::classNameOf(catalogue), "Vexelworks::test::CatalogueViewController");
  EXPECT_FALSE(MSAnalyticsCategory::shouldTrackPageView("NSTabViewController"));
  EXPECT_TRUE(MSAnalyticsCategory::shouldTrackPageView("SettingsTabs"));
}

TEST_F(MSAutoPageTrackingQtTest, ShownControllersBecomePageViewsButContainersDoNot) {
  start();
  MSAnalytics::setAutoPageTrackingEnabled(true);
  Vexelworks::test::CatalogueViewController catalogue;
  NSTabViewController tabs;
  SettingsTabs settings;
  show(catalogue, "analytics-page-catalogue");
  show(tabs, "analytics-page-container");
  show(settings, "analytics-page-container-subclass");
  QLabel plain("not a controller's view");
  window.layout()->addWidget(&plain);
  plain.show();
  QCoreApplication::processEvents();
  EXPECT_EQ(recorder->pages(), (std::vector<std::string>{"Catalogue", "SettingsTabs"}));
  EXPECT_FALSE(MSAnalyticsCategory::missedPageViewName());
}

TEST_F(MSAutoPageTrackingQtTest, WithAutomaticPageTrackingOffNothingIsTrackedOrRemembered) {
  auto analytics = start();
  Vexelworks::test::CatalogueViewController catalogue;
  show(catalogue, "analytics-page-tracking-off");
  MSServiceAbstract::setEnabled(analytics, false);
  Vexelworks::test::IconShelfViewController shelf;
  show(shelf, "analytics-page-tracking-off-disabled");
  EXPECT_TRUE(recorder->pages().empty());
  EXPECT_FALSE(MSAnalyticsCategory::missedPageViewName());
}

TEST_F(MSAutoPageTrackingQtTest, TheMissedPageViewIsReplayedOnEnable) {
  auto analytics = start();
  MSAnalytics::setAutoPageTrackingEnabled(true);
  MSServiceAbstract::setEnabled(analytics, false);
  Vexelworks::test::CatalogueViewController catalogue;
  Vexelworks::test::IconShelfViewController shelf;
  show(catalogue, "analytics-missed-first");
  show(shelf, "analytics-missed-second");
  EXPECT_EQ(MSAnalyticsCategory::missedPageViewName(), "IconShelf") << "only the latest";
  EXPECT_TRUE(recorder->pages().empty());
  MSServiceAbstract::setEnabled(analytics, true);
  // The replay runs on the main queue, which the Qt loop serves.
  ASSERT_TRUE(QTest::qWaitFor([&] { return !recorder->pages().empty(); }, 60000));
  EXPECT_EQ(recorder->pages(), (std::vector<std::string>{"IconShelf"}));
}

TEST_F(MSAutoPageTrackingQtTest, TheApplicationsActivationReachesTheSessionTracker) {
  start();
  const auto first = MSSessionContext::sharedInstance()->sessionId();
  ASSERT_TRUE(first);
  Vexelworks::test::CatalogueViewController catalogue;
  show(catalogue, "analytics-session-active");
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitFor([] { return QGuiApplication::applicationState() == Qt::ApplicationActive; }, 60000));
  // The offscreen platform never deactivates an application; a desktop session's deactivation
  // reaches it as this event.
  QApplicationStateChangeEvent inactive(Qt::ApplicationInactive);
  QCoreApplication::sendEvent(qApp, &inactive);
  time.advance(15s);
  QApplicationStateChangeEvent active(Qt::ApplicationActive);
  QCoreApplication::sendEvent(qApp, &active);
  EXPECT_EQ(MSSessionContext::sharedInstance()->sessionId(), first) << "back after 15 s: the same session";
  QCoreApplication::sendEvent(qApp, &inactive);
  time.advance(25s);
  QCoreApplication::sendEvent(qApp, &active);
  EXPECT_NE(MSSessionContext::sharedInstance()->sessionId(), first) << "back after 25 s: a new session";
  vx::test::saveScreenshot(&window, "analytics-session-renewed");
}

}  // namespace
