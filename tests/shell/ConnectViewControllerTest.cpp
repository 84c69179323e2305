// The sign-in prompt and the overlays: texts by first-time state, the connecting state, the
// authorisation page by build, and overlay buttons reaching the responder chain.
#include "app/shell/ConnectViewController.h"

#include "app/qt/ActionRouter.h"
#include "app/service/Helpers.h"
#include "app/service/ServiceConfig.h"
#include "app/shell/AppIdentity.h"
#include "platform/foundation/Bundle.h"
#include "support/Screenshot.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace Vexelworks {
namespace {

class ConnectViewTest : public testing::Test {
 protected:
  void SetUp() override {
    registerConnectAndOverlayInterfaces();
    setWebBaseURL(parseBaseURL("http://127.0.0.1:9/"));
    previousOpener_ = setURLOpener([this](const vx::URL& url) { opened_.push_back(url.string()); });
  }
  void TearDown() override {
    setURLOpener(previousOpener_);
    setWebBaseURL(std::nullopt);
    vx::Bundle::main().resetInfoDictionary();
  }
  std::vector<std::string> opened_;
  URLOpener previousOpener_;
};

struct TextCase {
  bool firstTime;
  const char* asset;
  const char* headline;
  const char* text;
  const char* button;
};

TEST_F(ConnectViewTest, TextsFollowTheFirstTimeState) {
  const TextCase cases[] = {
      {true, "VX-final-step", "The final step", "To begin, you need to connect the\napp to your Vexelworks account.",
       "Connect My Account"},
      {false, "VX-enter-through-door", "Log In", "You must log in with The Vexelworks\nto access the app.",
       "Sounds good, log me in."},
  };
  for (const auto& c : cases) {
    ConnectViewController controller;
    controller.firstTime = c.firstTime;
    QWidget* view = controller.view();  // loadView runs updateTexts
    view->resize(480, 360);
    EXPECT_STREQ(controller.imageAssetName(), c.asset);
    EXPECT_EQ(controller.connectHeadlineLabel->text().toStdString(), c.headline);
    EXPECT_EQ(controller.connectTextLabel->text().toStdString(), c.text);
    EXPECT_EQ(controller.connectButton->text().toStdString(), c.button);
    EXPECT_FALSE(controller.connectImage->pixmap().isNull());
    vx::test::saveScreenshot(view, QString("connect-view-%1").arg(c.firstTime ? "first-time" : "returning"));
  }
}

TEST_F(ConnectViewTest, ConnectingStateSwapsTheButtonForTheSpinner) {
  ConnectViewController controller;
  QWidget* view = controller.view();
  view->resize(480, 360);
  view->show();
  controller.connecting = true;
  controller.updateConnectingState();
  EXPECT_TRUE(controller.progressAnimating());
  EXPECT_TRUE(controller.connectProgressLabel->isVisible());
  EXPECT_FALSE(controller.connectButton->isVisible());
  vx::test::saveScreenshot(view, "connect-view-connecting");
  controller.connecting = false;
  controller.updateConnectingState();
  EXPECT_FALSE(controller.progressAnimating());
  EXPECT_FALSE(controller.connectProgressLabel->isVisible());
  EXPECT_TRUE(controller.connectButton->isVisible());
}

TEST_F(ConnectViewTest, ConnectOpensTheAuthorisationPageForTheBuild) {
  ConnectViewController controller;
  controller.view();
  vx::Bundle::main().setInfoValue("CFBundleIdentifier", vx::Value(std::string(kReleaseBundleIdentifier)));
  QTest::mouseClick(controller.connectButton.data(), Qt::LeftButton);
  vx::Bundle::main().setInfoValue("CFBundleIdentifier", vx::Value(std::string("com.example.local-build")));
  QTest::mouseClick(controller.connectButton.data(), Qt::LeftButton);
  ASSERT_EQ(opened_.size(), 2u);
  EXPECT_EQ(opened_[0], "http://127.0.0.1:9/for-mac/authorize/");
  EXPECT_EQ(opened_[1], "http://127.0.0.1:9/for-mac/authorize/?beta=true");
}

class ActionCatcher : public QWidget, public vx::Responder {
 public:
  ActionCatcher() {
    for (const char* action : {"downloadApp:", "showMainView:"}) {
      setActionHandler(action, [this, action](QObject*) { received.push_back(action); });
    }
  }
  std::vector<std::string> received;
};

TEST_F(ConnectViewTest, OverlayButtonsSendTheirActionsAlongTheChain) {
  ActionCatcher window;
  window.resize(480, 360);
  for (const char* nib : {"PoisonPill", "Tips"}) {
    OverlayViewController overlay(nib);
    QWidget* view = overlay.view();
    view->setParent(&window);
    view->resize(window.size());
    window.show();
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto buttons = view->findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 1);
    vx::test::saveScreenshot(&window, QString("overlay-%1").arg(nib));
    QTest::mouseClick(buttons.front(), Qt::LeftButton);
    view->setParent(nullptr);
  }
  EXPECT_EQ(window.received, (std::vector<std::string>{"downloadApp:", "showMainView:"}));
}

}  // namespace
}  // namespace Vexelworks
