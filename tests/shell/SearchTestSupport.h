// Shared set-up of the search bar tests: the local service in-process with the API base URL
// pointed at it, a real icon store signed with the service's demo token and registered in the
// process-wide action-handler list (through one forwarder, since the list never lets go), and
// a stand-in for the search window that implements both delegates and records what it is asked.
#pragma once

#include "app/service/Action.h"
#include "app/service/IconList/IconStore.h"
#include "app/service/ServiceConfig.h"
#include "app/service/TDOAuth.h"
#include "app/shell/AutocompleteViewController.h"
#include "app/shell/ContentBox.h"
#include "app/shell/SearchBarViewController.h"
#include "app/shell/SearchCompletions.h"
#include "tools/devservice/DevService.h"
#include "tools/devservice/IconAPI.h"

#include <QLabel>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Vexelworks::test {

// Every LoadCompletions dispatched in the process, handed on to the current test's store.
class CompletionActions {
 public:
  static CompletionActions& shared() {
    static CompletionActions* actions = [] {
      auto* a = new CompletionActions();
      actionHandlers().append([a](const Action& action) { a->receive(action); });
      return a;
    }();
    return *actions;
  }
  void reset(std::shared_ptr<IconStore> store) {
    std::lock_guard lock(mutex_);
    store_ = std::move(store);
    queries_.clear();
  }
  std::vector<std::string> queries() const {
    std::lock_guard lock(mutex_);
    return queries_;
  }

 private:
  void receive(const Action& action) {
    std::shared_ptr<IconStore> store;
    {
      std::lock_guard lock(mutex_);
      if (const auto* load = std::get_if<Actions::LoadCompletions>(&action)) {
        queries_.push_back(load->query);
      }
      store = store_;
    }
    if (store) store->handle(action);
  }
  mutable std::mutex mutex_;
  std::shared_ptr<IconStore> store_;
  std::vector<std::string> queries_;
};

// Stands in for the search window: a window with the search bar on top and the content box
// below, holding a grid placeholder or the completion list.
class SearchWindowStandIn : public SearchBarViewControllerDelegate, public AutocompleteDelegate {
 public:
  SearchWindowStandIn() {
    registerSearchBarInterface();
    registerAutocompleteInterface();
    window.resize(520, 320);
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(bar.view());
    contentBox = new ContentBox(&window);
    layout->addWidget(contentBox, 1);
    grid = new QLabel(QStringLiteral("icon grid"));
    grid->setAlignment(Qt::AlignCenter);
    contentBox->setContentView(grid);
    bar.delegate = this;
    list.delegate = this;
    list.loadViewIfNeeded();
  }
  ~SearchWindowStandIn() override {
    // The box may hold either view; the other one belongs to its owner.
    contentBox->setContentView(nullptr);
    delete grid;
  }

  void showIconGrid() override {
    ++gridShown;
    contentBox->setContentView(grid);
  }
  // As the search window does: the selected completion, else the field's text.
  void searchFromField() override {
    if (auto selected = list.selectedCompletion()) {
      search(*selected);
    } else {
      search(bar.searchField->text().toStdString());
    }
  }
  void search(const std::string& text) override { searches.push_back(text); }
  void showFreeIcons(QObject*) override { ++freeIconsShown; }
  ContentBox* box() override { return contentBox; }
  AutocompleteViewController* autocompleteViewController() override { return &list; }
  SearchBarViewController* searchBarViewController() override { return &bar; }

  bool listShown() { return contentBox->contentView() == list.view(); }
  bool gridIsShown() const { return contentBox->contentView() == grid; }

  QWidget window;
  SearchBarViewController bar;
  AutocompleteViewController list;
  ContentBox* contentBox = nullptr;
  QLabel* grid = nullptr;
  int gridShown = 0;
  int freeIconsShown = 0;
  std::vector<std::string> searches;
};

// The local service, a store signed with the demo token, and the stand-in wired to the store's
// replies the way the search window wires them.
class SearchFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start().ok());
    auto base = vx::URL::parse(service.baseURL());
    ASSERT_TRUE(base.has_value());
    setAPIBaseURL(*base);
    TDOAuth::setUtcTimeOffset(0);
    api = APIClient::make(
        *base, AccessToken{std::string(vx::devservice::kDemoTokenKey), std::string(vx::devservice::kDemoTokenSecret)});
    store = IconStore::make(api);
    CompletionActions::shared().reset(store);
    standIn = std::make_unique<SearchWindowStandIn>();
    // Replies still under way when the test ends find the token gone and do nothing.
    std::weak_ptr<int> token = alive;
    store->addHandler([this, token](const IconStoreChange& change) {
      if (token.expired() || !standIn) return;
      const auto& reply = std::get<IconStoreChanges::LoadedCompletions>(change);
      replies.push_back({reply.query, applyLoadedCompletions(reply, standIn->bar, standIn->list)});
    });
    standIn->window.show();
    standIn->window.activateWindow();
    standIn->bar.searchField->setFocus();
  }
  void TearDown() override {
    alive.reset();
    CompletionActions::shared().reset(nullptr);
    standIn.reset();
    setAPIBaseURL(std::nullopt);
  }

  // Waits until `count` replies have reached the completion list (applied or dropped).
  bool waitForReplies(std::size_t count) {
    return QTest::qWaitFor([&] { return replies.size() >= count; }, 10000);
  }

  struct Reply {
    std::string query;
    bool applied = false;
  };

  std::shared_ptr<int> alive = std::make_shared<int>(0);
  vx::devservice::DevService service;
  std::shared_ptr<APIClient> api;
  std::shared_ptr<IconStore> store;
  std::unique_ptr<SearchWindowStandIn> standIn;
  std::vector<Reply> replies;
};

}  // namespace Vexelworks::test
