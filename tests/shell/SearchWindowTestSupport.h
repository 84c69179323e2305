// Shared set-up of the main window and search window tests: the local service with the base
// URLs pointed at it (SignInFixture), the service's demo token in a private keychain, every
// interface registered, one image store, URLs opened recorded instead of handed to a browser,
// and waits for what the content area shows.
#pragma once

#include "app/service/Auth/TokenStore.h"
#include "app/service/Helpers.h"
#include "app/service/Images/ImageStore.h"
#include "app/shell/MainWindowController.h"
#include "app/shell/SearchViewController.h"
#include "app/views/IconCollectionViewController.h"
#include "app/views/IconDetailViewController.h"
#include "app/views/LoadingViewController.h"
#include "app/views/NotFoundViewController.h"
#include "platform/foundation/UserDefaults.h"
#include "service/auth/SignInTestSupport.h"

#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Vexelworks::test {

class SearchWindowFixture : public SignInFixture {
 protected:
  void SetUp() override {
    SignInFixture::SetUp();
    static const bool registered = [] {
      MainWindowController::registerInterfaces();
      return true;
    }();
    (void)registered;
    vx::UserDefaults::standard().removeObject(MainWindowController::frameDefaultsKey);
    vx::UserDefaults::standard().removeObject(SettingKeys::iconColors);
    vx::UserDefaults::standard().removeObject(SettingKeys::iconPasteboardType);
    vx::UserDefaults::standard().removeObject(SettingKeys::iconExportSize);
    TokenStore().saveToken(
        AccessToken{std::string(vx::devservice::kDemoTokenKey), std::string(vx::devservice::kDemoTokenSecret)});
    previousOpener_ = setURLOpener([this](const vx::URL& url) {
      std::lock_guard lock(openedMutex_);
      opened_.push_back(url.string());
    });
    imageStore_ = ImageStore::make();
  }

  void TearDown() override {
    windowController_.reset();
    setURLOpener(previousOpener_);
    SignInFixture::TearDown();
  }

  // A main window with a signed-in user, shown, with the search view loaded and its starter
  // set's first page in the grid.
  void openSignedInWindow(int width = 900, int height = 640) {
    windowController_ = std::make_unique<MainWindowController>();
    windowController_->imageStore = imageStore_;
    windowController_->user = VexelUser{};
    windowController_->window()->resize(width, height);
    windowController_->window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(windowController_->window()));
    windowController_->updateContent();
    ASSERT_NE(search(), nullptr);
    ASSERT_TRUE(waitForGrid());
  }

  SearchViewController* search() const {
    return windowController_ ? windowController_->searchViewController() : nullptr;
  }
  IconCollectionViewController& grid() const { return *search()->iconCollectionViewController(); }
  QWidget* boxContent() const { return search()->box()->contentView(); }

  bool gridShown() const {
    auto* g = search()->iconCollectionViewController();
    return g != nullptr && g->isViewLoaded() && boxContent() == g->view();
  }
  bool notFoundShown() const {
    auto* n = search()->notFoundViewController();
    return n != nullptr && boxContent() == n->view();
  }
  bool loadingShown() const {
    auto* l = search()->loadingViewController();
    return l != nullptr && boxContent() == l->view();
  }
  bool detailShown() const {
    auto* d = search()->iconDetailViewController();
    return d != nullptr && d->isViewLoaded() && boxContent() == d->view();
  }

  // Waits until the current list finished loading and the grid shows its icons.
  bool waitForGrid(int milliseconds = 20000) {
    return QTest::qWaitFor(
        [&] {
          const auto& list = search()->iconList();
          return list && !list->loading() && !list->icons().empty() && gridShown();
        },
        milliseconds);
  }
  bool waitForNotFound(int milliseconds = 20000) {
    return QTest::qWaitFor(
        [&] {
          const auto& list = search()->iconList();
          return list && !list->loading() && notFoundShown();
        },
        milliseconds);
  }

  std::vector<std::string> openedURLs() const {
    std::lock_guard lock(openedMutex_);
    return opened_;
  }

  std::shared_ptr<ImageStore> imageStore_;
  std::unique_ptr<MainWindowController> windowController_;
  URLOpener previousOpener_;
  mutable std::mutex openedMutex_;
  std::vector<std::string> opened_;
};

}  // namespace Vexelworks::test
