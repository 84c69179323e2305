// The Qt layer: the main queue on the event loop, lazy view loading, interfaces by name, and
// actions travelling the responder chain.
#include "app/qt/ActionRouter.h"
#include "app/qt/InterfaceRegistry.h"
#include "app/qt/ViewController.h"
#include "platform/foundation/DispatchQueue.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace vx;

namespace {

// Runs the Qt event loop until `done` holds or five seconds pass.
bool spinUntil(const std::function<bool()>& done) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < 5000) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return done();
}

}  // namespace

TEST(QtMainQueue, BlocksPostedFromManyThreadsRunOnTheGuiThreadInOrderPerThread) {
  constexpr int kThreads = 8;
  constexpr int kBlocks = 200;
  std::atomic<int> ran{0};
  std::atomic<int> offMain{0};
  std::vector<std::vector<int>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kBlocks; ++i) {
        DispatchQueue::main()->async([&, t, i] {
          if (!DispatchQueue::isMainThread()) ++offMain;
          seen[static_cast<std::size_t>(t)].push_back(i);  // main thread only: no lock needed
          ++ran;
        });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(spinUntil([&] { return ran.load() == kThreads * kBlocks; }));
  EXPECT_EQ(offMain.load(), 0);
  for (const auto& order : seen) {
    ASSERT_EQ(order.size(), static_cast<std::size_t>(kBlocks));
    for (int i = 0; i < kBlocks; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
  }
}

TEST(QtMainQueue, PostingFromTheGuiThreadReturnsAtOnceAndRunsOnTheNextTurn) {
  bool ran = false;
  DispatchQueue::main()->async([&] { ran = true; });
  EXPECT_FALSE(ran);  // not run inline
  ASSERT_TRUE(spinUntil([&] { return ran; }));
}

TEST(QtMainQueue, ABlockPostedWhileDrainingRunsOnALaterTurn) {
  int stage = 0;
  DispatchQueue::main()->async([&] {
    stage = 1;
    DispatchQueue::main()->async([&] { stage = 2; });
  });
  ASSERT_TRUE(spinUntil([&] { return stage == 2; }));
}

// --- view controllers and interfaces ---

namespace {

class CountingController : public ViewController {
 public:
  using ViewController::ViewController;
  int loads = 0;
  int didLoads = 0;
  QLabel* titleLabel = nullptr;  // an outlet the interface connects
  std::vector<int> keys;

  bool keyDown(QKeyEvent* event) override {
    keys.push_back(event->key());
    return event->key() == Qt::Key_Return;
  }

 protected:
  void loadView() override {
    ++loads;
    ViewController::loadView();
  }
  void viewDidLoad() override { ++didLoads; }
};

class AwakeLabel : public QLabel, public AwakeFromNib {
 public:
  explicit AwakeLabel(std::vector<std::string>* log, std::string name, QWidget* parent = nullptr)
      : QLabel(parent), log_(log), name_(std::move(name)) {}
  void awakeFromNib() override { log_->push_back(name_); }

 private:
  std::vector<std::string>* log_;
  std::string name_;
};

class AwakeWidget : public QWidget, public AwakeFromNib {
 public:
  explicit AwakeWidget(std::vector<std::string>* log) : log_(log) {}
  void awakeFromNib() override { log_->push_back("root"); }

 private:
  std::vector<std::string>* log_;
};

}  // namespace

TEST(ViewController, LoadsItsViewOnFirstUseOnceAndThenRunsViewDidLoad) {
  CountingController controller;
  EXPECT_FALSE(controller.isViewLoaded());
  EXPECT_EQ(controller.loads, 0);
  QWidget* view = controller.view();
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(controller.isViewLoaded());
  EXPECT_EQ(controller.view(), view);
  EXPECT_EQ(controller.loads, 1);
  EXPECT_EQ(controller.didLoads, 1);
}

TEST(InterfaceRegistry, BuildsByNameConnectsOutletsAndWakesChildrenBeforeTheRoot) {
  std::vector<std::string> log;
  InterfaceRegistry::shared().registerInterface("TestPanel", [&log](QObject* owner) -> QWidget* {
    auto* root = new AwakeWidget(&log);
    auto* layout = new QVBoxLayout(root);
    auto* title = new AwakeLabel(&log, "title", root);
    layout->addWidget(title);
    if (auto* controller = dynamic_cast<CountingController*>(owner)) controller->titleLabel = title;
    return root;
  });
  CountingController controller("TestPanel");
  EXPECT_TRUE(log.empty());  // nothing built before the view is asked for
  QWidget* view = controller.view();
  ASSERT_NE(view, nullptr);
  ASSERT_NE(controller.titleLabel, nullptr);
  EXPECT_EQ(controller.titleLabel->parentWidget(), view);
  EXPECT_EQ(log, (std::vector<std::string>{"title", "root"}));
  EXPECT_EQ(controller.didLoads, 1);

  EXPECT_EQ(InterfaceRegistry::shared().instantiate("NoSuchInterface"), nullptr);
  InterfaceRegistry::shared().unregisterInterface("TestPanel");
}

TEST(ViewControllerDeathTest, AMissingInterfaceStopsTheProgram) {
  EXPECT_DEATH(
      {
        CountingController controller("NotRegisteredAnywhere");
        controller.view();
      },
      "NotRegisteredAnywhere");
}

TEST(ViewController, KeysNoChildTakesReachTheControllerOfTheView) {
  CountingController controller;
  QWidget* view = controller.view();
  auto* child = new QWidget(view);
  QTest::keyClick(child, Qt::Key_Return);
  QTest::keyClick(child, Qt::Key_A);
  EXPECT_EQ(controller.keys, (std::vector<int>{Qt::Key_Return, Qt::Key_A}));
}

// --- responder chain ---

namespace {

class NamedResponder : public Responder {
 public:
  NamedResponder(std::string name, std::vector<std::string>* log, std::vector<std::string> actions)
      : name_(std::move(name)) {
    for (const auto& action : actions) {
      setActionHandler(action, [this, log, action](QObject*) { log->push_back(name_ + ":" + action); });
    }
  }

 private:
  std::string name_;
};

class ResponderWidget : public QWidget, public Responder {
 public:
  ResponderWidget(std::vector<std::string>* log, std::vector<std::string> actions, QWidget* parent = nullptr)
      : QWidget(parent) {
    for (const auto& action : actions) {
      setActionHandler(action, [log, action](QObject*) { log->push_back("widget:" + action); });
    }
  }
};

}  // namespace

TEST(ActionRouter, TriesTheWidgetItsParentsTheirControllersTheWindowControllerThenTheDelegate) {
  std::vector<std::string> log;
  class MainWindowController : public WindowController {
   public:
    MainWindowController(QWidget* window, std::vector<std::string>* log) : WindowController(window) {
      for (std::string action : {"zoomIn:", "shared:"}) {
        setActionHandler(action, [log, action](QObject*) { log->push_back("window:" + action); });
      }
    }
  };
  auto* window = new QWidget;
  MainWindowController windowController(window, &log);

  auto* content = new QWidget(window);
  NamedResponder contentController("controller", &log, {"closeIconDetail:", "shared:"});
  contentController.attachToWidget(content);
  auto* focused = new ResponderWidget(&log, {"copy:"}, content);

  NamedResponder delegate("delegate", &log, {"showPreferences:", "shared:", "copy:"});
  ActionRouter::setApplicationDelegate(&delegate);

  struct Case {
    const char* action;
    const char* expected;  // nullptr: nobody answers
  };
  const Case cases[] = {
      {"copy:", "widget:copy:"},                            // the focused widget first
      {"closeIconDetail:", "controller:closeIconDetail:"},  // then the controller of a parent
      {"shared:", "controller:shared:"},                    // the nearest answer wins
      {"zoomIn:", "window:zoomIn:"},                        // then the window's responder
      {"showPreferences:", "delegate:showPreferences:"},    // then the application delegate
      {"noSuchAction:", nullptr},
  };
  for (const auto& c : cases) {
    log.clear();
    const bool sent = ActionRouter::sendAction(c.action, nullptr, nullptr, focused);
    if (c.expected == nullptr) {
      EXPECT_FALSE(sent) << c.action;
      EXPECT_TRUE(log.empty()) << c.action;
    } else {
      EXPECT_TRUE(sent) << c.action;
      EXPECT_EQ(log, std::vector<std::string>{c.expected}) << c.action;
    }
  }

  // With an explicit target only that target is asked.
  log.clear();
  EXPECT_TRUE(ActionRouter::sendAction("shared:", &delegate, nullptr, focused));
  EXPECT_EQ(log, std::vector<std::string>{"delegate:shared:"});
  EXPECT_FALSE(ActionRouter::sendAction("zoomIn:", &delegate, nullptr, focused));

  // A responder that goes away leaves the chain.
  delete focused;
  log.clear();
  EXPECT_TRUE(ActionRouter::sendAction("copy:", nullptr, nullptr, content));
  EXPECT_EQ(log, std::vector<std::string>{"delegate:copy:"});
  ActionRouter::setApplicationDelegate(nullptr);
}

TEST(ActionRouter, AViewControllerTakesActionsSentFromInsideItsView) {
  std::vector<std::string> log;
  class Controller : public ViewController {
   public:
    explicit Controller(std::vector<std::string>* log) {
      setActionHandler("copy:", [log](QObject*) { log->push_back("controller:copy:"); });
    }
  } controller(&log);
  auto* button = new QWidget(controller.view());
  EXPECT_EQ(ActionRouter::targetForAction("copy:", button), &controller);
  EXPECT_TRUE(ActionRouter::sendAction("copy:", nullptr, nullptr, button));
  EXPECT_EQ(log, std::vector<std::string>{"controller:copy:"});
}

TEST(ActionRouter, AMenuItemSendsItsActionAlongTheChainFromTheFocusedWidget) {
  std::vector<std::string> log;
  NamedResponder delegate("delegate", &log, {"logOut:"});
  ActionRouter::setApplicationDelegate(&delegate);
  QMenu menu;
  QAction* logOut = menu.addAction("Log Out");
  QAction* unknown = menu.addAction("Unknown");
  ActionRouter::bind(logOut, "logOut:");
  ActionRouter::bind(unknown, "nobodyAnswers:");
  emit menu.aboutToShow();
  EXPECT_TRUE(logOut->isEnabled());
  EXPECT_FALSE(unknown->isEnabled());
  logOut->trigger();
  EXPECT_EQ(log, std::vector<std::string>{"delegate:logOut:"});
  ActionRouter::setApplicationDelegate(nullptr);
}

TEST(WindowController, SwappingContentKeepsTheOldControllersViewForLater) {
  WindowController controller(new QWidget);
  CountingController first;
  CountingController second;
  controller.setContentViewController(&first);
  EXPECT_EQ(first.view()->parentWidget(), controller.window());
  controller.setContentViewController(&second);
  EXPECT_EQ(controller.contentViewController(), &second);
  EXPECT_EQ(second.view()->parentWidget(), controller.window());
  EXPECT_EQ(first.view()->parentWidget(), nullptr);  // still alive, owned by its controller
  EXPECT_EQ(first.didLoads, 1);
  controller.setContentViewController(&first);
  EXPECT_EQ(first.view()->parentWidget(), controller.window());
  EXPECT_EQ(first.didLoads, 1);
}

TEST(WindowController, LoadsItsWindowFromAnInterfaceByName) {
  InterfaceRegistry::shared().registerInterface("MainWindow", [](QObject*) {
    auto* window = new QWidget;
    window->setObjectName("main");
    return window;
  });
  WindowController controller;
  controller.loadWindow("MainWindow");
  ASSERT_NE(controller.window(), nullptr);
  EXPECT_EQ(controller.window()->objectName(), "main");
  EXPECT_EQ(Responder::attachedTo(controller.window()), &controller);
  InterfaceRegistry::shared().unregisterInterface("MainWindow");
}
