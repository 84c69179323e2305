// Test main for widget tests: like TestMain.cpp (a private home for the XDG folders per
// process), plus the application object — on the offscreen platform unless QT_QPA_PLATFORM says
// otherwise — with the main queue served by its event loop.
#include "app/qt/MainQueue.h"

#include <QApplication>
#include <gtest/gtest.h>

#include "support/TestHome.h"

#include <cstdlib>
#include <filesystem>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  vx::test::TestHome home;
  // XDG_RUNTIME_DIR must be private to the user for Qt; the temporary home is.
  if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
    const auto runtime = home.path() / "RUNTIME";
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  int result = 0;
  {
    QApplication application(argc, argv);
    vx::QtMainQueue mainQueue;
    result = RUN_ALL_TESTS();
  }
  return result;
}
