#include "app/service/Auth/URLHandler.h"

#include "platform/desktop/GetURLEvents.h"
#include "platform/foundation/DispatchQueue.h"

#include "platform/foundation/Bundle.h"

#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace Vexelworks {
namespace {

using namespace std::chrono_literals;

class RecordingDelegate : public URLHandlerDelegate {
 public:
  void handleURL(const vx::URL& url) override {
    urls.push_back(url.string());
    onMain = onMain && vx::DispatchQueue::isMainThread();
  }
  std::vector<std::string> urls;
  bool onMain = true;
};

class URLHandlerTest : public testing::Test {
 protected:
  void TearDown() override {
    vx::GetURLEventManager::shared().removeEventHandler();
    vx::GetURLEventManager::shared().discardPendingEvents();
  }
};

TEST_F(URLHandlerTest, ValidURLsReachTheDelegateOnTheMainThreadAndOthersAreIgnored) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto handler = URLHandler::make(delegate);
  EXPECT_EQ(handler->delegate(), delegate);
  for (const char* text : {"", "not a url", "/relative/path", "%zz", "vexelworks://login/%",
                           "vexelworks://login/abc123", "VEXELWORKS://login/xyz", "ht tp://x"}) {
    vx::GetURLEventManager::shared().postGetURLEvent(text);
  }
  handler->handleGetURLEvent(std::nullopt);
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return vx::GetURLEventManager::shared().pendingCount() == 0; }));
  vx::RunLoop::runFor(10ms);
  EXPECT_EQ(delegate->urls, (std::vector<std::string>{"vexelworks://login/abc123", "vexelworks://login/xyz"}));
  EXPECT_TRUE(delegate->onMain);
}

TEST_F(URLHandlerTest, AURLThatArrivedBeforeTheHandlerExistedIsNotLost) {
  vx::GetURLEventManager::shared().postGetURLEvent("vexelworks://login/early");
  vx::RunLoop::runFor(10ms);
  auto delegate = std::make_shared<RecordingDelegate>();
  auto handler = URLHandler::make(delegate);
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return delegate->urls.size() == 1; }));
  EXPECT_EQ(delegate->urls[0], "vexelworks://login/early");
}

TEST_F(URLHandlerTest, AHandlerThatGoesAwayNeverRemovesItsSuccessor) {
  auto firstDelegate = std::make_shared<RecordingDelegate>();
  auto secondDelegate = std::make_shared<RecordingDelegate>();
  auto first = URLHandler::make(firstDelegate);
  auto second = URLHandler::make(secondDelegate);
  first.reset();
  vx::GetURLEventManager::shared().postGetURLEvent("vexelworks://login/t");
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return secondDelegate->urls.size() == 1; }));
  EXPECT_TRUE(firstDelegate->urls.empty());
  second.reset();
  EXPECT_FALSE(vx::GetURLEventManager::shared().hasEventHandler());
}

}  // namespace
}  // namespace Vexelworks

namespace Vexelworks {
namespace {

TEST(URLSchemeRegistration, DesktopFileLaunchesThisProgramForItsScheme) {
  auto installed = installURLSchemeHandler();
  ASSERT_TRUE(installed.ok()) << installed.error();
  EXPECT_EQ(installed->path.filename(), vx::Bundle::main().bundleIdentifier() + ".desktop");
  std::ifstream in(installed->path);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("MimeType=x-scheme-handler/vexelworks;\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Exec=\"" + vx::Bundle::main().executablePath().string() + "\" %u\n"), std::string::npos) << text;
}

TEST(URLSchemeRegistration, TheFirstLaunchKeepsItsOwnSignInURLForTheHandler) {
  const vx::test::TemporaryFolder runtime("vx-run");
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  vx::GetURLEventManager::shared().discardPendingEvents();
  const char* argv[] = {"vexelworks", "--flag", "vexelworks://login/first-launch", nullptr};
  auto launch = handOffLaunchURLs(3, argv);
  ASSERT_TRUE(launch.ok()) << launch.error();
  EXPECT_EQ(launch->outcome, vx::URLHandOff::Outcome::primary);
  auto delegate = std::make_shared<RecordingDelegate>();
  auto handler = URLHandler::make(delegate);
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return delegate->urls.size() == 1; }));
  EXPECT_EQ(delegate->urls[0], "vexelworks://login/first-launch");
  handler.reset();
  launch->instance.reset();
}

}  // namespace
}  // namespace Vexelworks
