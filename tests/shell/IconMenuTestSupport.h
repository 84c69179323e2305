// Shared set-up of the icon menu tests: the local service with a real icon list's first page,
// its artwork in a real image store, and an icon store that records usage at the service for
// every action dispatched in the process.
#pragma once

#include "app/service/IconList/IconList.h"
#include "app/service/IconList/IconStore.h"
#include "service/auth/SignInTestSupport.h"

#include <QTest>

#include <functional>
#include <memory>
#include <vector>

namespace Vexelworks::test {

class PageRecorder : public IconListDelegate {
 public:
  void iconListDidLoadPage(IconList&, std::int64_t page) override { pages.push_back(page); }
  std::vector<std::int64_t> pages;
};

class IconMenuFixture : public SignInFixture {
 protected:
  void SetUp() override {
    SignInFixture::SetUp();
    imageStore_ = ImageStore::make();
    api_ = APIClient::make(
        base_, AccessToken{std::string(vx::devservice::kDemoTokenKey), std::string(vx::devservice::kDemoTokenSecret)});
    iconStore_ = IconStore::make(api_);
    ActionRecorder::shared().setForward([store = iconStore_](const Action& a) { store->handle(a); });
    list_ = IconList::make(SearchTypes::StarterPack{}, imageStore_, api_);
    ASSERT_NE(list_, nullptr);
    pages_ = std::make_shared<PageRecorder>();
    list_->setDelegate(pages_);
    list_->loadPage(1);
    ASSERT_TRUE(waitFor([&] { return !pages_->pages.empty(); }));
    ASSERT_FALSE(list_->icons().empty());
  }

  static bool waitFor(const std::function<bool()>& done, int milliseconds = 20000) {
    return QTest::qWaitFor(done, milliseconds);
  }

  // The icon's artwork, downloaded and stored.
  IconPtr iconWithArtwork(std::size_t index) {
    IconPtr icon = list_->icons().at(index);
    bool stored = false;
    imageStore_->fetch(icon, [&] { stored = true; });
    EXPECT_TRUE(waitFor([&] { return stored; }));
    return icon;
  }

  std::size_t usageRequests() { return service_.requests("/icon/[0-9]+/download/mac").size(); }

  std::shared_ptr<ImageStore> imageStore_;
  std::shared_ptr<APIClient> api_;
  std::shared_ptr<IconStore> iconStore_;
  std::shared_ptr<IconList> list_;
  std::shared_ptr<PageRecorder> pages_;
};

}  // namespace Vexelworks::test
