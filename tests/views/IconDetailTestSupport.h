// Shared set-up of the icon detail and related-icons tests: the local service with the demo
// token in the (private) keychain, the application's image store, icons fetched from the service
// and their artwork downloaded for real, and a detail view hosted in a window of a given size.
#pragma once

#include "app/qt/ActionRouter.h"
#include "app/qt/Responder.h"
#include "app/service/Auth/TokenStore.h"
#include "app/service/IconsOperations.h"
#include "app/service/Images/ImageStore.h"
#include "app/views/IconDetailViewController.h"
#include "service/auth/SignInTestSupport.h"
#include "support/Screenshot.h"
#include "tools/devservice/IconAPI.h"

#include <QApplication>
#include <QDialog>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Vexelworks::test {

// Stands in for the search window: it answers closeIconDetail: and hosts the detail's view.
class DetailHost : public QWidget, public vx::Responder {
 public:
  DetailHost() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    attachToWidget(this);
    setActionHandler(IconDetailViewController::closeAction,
                     [this](QObject* sender) { closeSenders.push_back(sender); });
  }
  std::vector<QObject*> closeSenders;
};

class IconDetailFixture : public SignInFixture {
 protected:
  static constexpr int kTimeoutMs = 20000;

  void SetUp() override {
    SignInFixture::SetUp();
    IconDetailViewController::registerInterfaces();
    token_ = AccessToken{std::string(vx::devservice::kDemoTokenKey), std::string(vx::devservice::kDemoTokenSecret)};
    TokenStore().saveToken(token_);
    imageStore_ = ImageStore::make();
  }

  void TearDown() override {
    controller_.reset();
    host_.reset();
    // Late main-queue blocks of this test (artwork completions) run before the next test.
    QCoreApplication::processEvents();
    SignInFixture::TearDown();
  }

  // The icons of the starter set's first three pages (the whole sample catalogue).
  const std::vector<IconPtr>& catalogue() {
    if (!catalogue_.empty()) return catalogue_;
    auto api = APIClient::make(base_, token_);
    vx::OperationQueue queue("IconDetailFixture");
    for (int page = 1; page <= 3; ++page) {
      auto operation = std::make_shared<FreeIconsOperation>(api, page);
      std::mutex mutex;
      std::optional<std::vector<IconPtr>> received;
      std::atomic<bool> done{false};
      operation->setQueryCompletionBlock(
          [&](std::optional<std::vector<IconPtr>> icons, std::int64_t, std::optional<vx::Error>) {
            std::lock_guard lock(mutex);
            received = std::move(icons);
            done = true;
          });
      queue.addOperation(operation);
      queue.waitUntilAllOperationsAreFinished();
      EXPECT_TRUE(done.load());
      std::lock_guard lock(mutex);
      if (received) catalogue_.insert(catalogue_.end(), received->begin(), received->end());
    }
    return catalogue_;
  }

  IconPtr iconWithID(const std::string& id) {
    for (const auto& icon : catalogue()) {
      if (icon->id == id) return icon;
    }
    ADD_FAILURE() << "no icon " << id << " in the sample catalogue";
    return nullptr;
  }

  // Downloads the icon's artwork into the image store and waits until it is stored.
  void fetchArtwork(const IconPtr& icon) {
    bool stored = false;
    imageStore_->fetch(icon, [&stored] { stored = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return stored; }, kTimeoutMs)) << icon->id;
  }

  // A detail controller for `icon`, its view hosted in a shown window of `size`, the initial
  // icon selected as the search window does, then the export options handed over.
  IconDetailViewController& openDetail(const IconPtr& icon, QSize size = QSize(800, 600), bool related = false,
                                       std::shared_ptr<const ExportOptions> options = nullptr) {
    controller_.reset();
    host_ = std::make_unique<DetailHost>();
    controller_ = std::make_unique<IconDetailViewController>(imageStore_);
    controller_->setRelatedIconsEnabled(related);
    controller_->setIntitialIcon(icon);
    controller_->selectInitialIcon();
    host_->layout()->addWidget(controller_->view());
    host_->resize(size);
    host_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(host_.get()));
    controller_->setExportOptions(options ? options : controller_->exportOptions());
    QCoreApplication::processEvents();
    return *controller_;
  }

  CollectionView& grid() { return *controller_->collectionView; }

  // The laid-out frame of an item, in document coordinates.
  QRectF frameOf(const IndexPath& path) {
    auto attributes = grid().collectionViewLayout()->layoutAttributesForItem(path);
    EXPECT_TRUE(attributes.has_value()) << path.section << "." << path.item;
    return attributes ? attributes->frame : QRectF();
  }

  // Whether a dialog of any kind is on screen (failures must never raise one).
  static bool anyDialogShown() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (widget->isVisible() && qobject_cast<QDialog*>(widget) != nullptr) return true;
    }
    return false;
  }

  void screenshot(const char* name) {
    EXPECT_FALSE(vx::test::saveScreenshot(host_.get(), QString::fromUtf8(name)).isEmpty()) << name;
  }

  AccessToken token_;
  std::shared_ptr<ImageStore> imageStore_;
  std::vector<IconPtr> catalogue_;
  std::unique_ptr<DetailHost> host_;
  std::unique_ptr<IconDetailViewController> controller_;
};

}  // namespace Vexelworks::test
