// Test main for widget tests: like TestMain.cpp (a private home for the XDG folders per
// process), plus the application object — on the offscreen platform unless QT_QPA_PLATFORM says
// otherwise — with the main queue served by its event loop.
#include "app/qt/MainQueue.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace {

std::filesystem::path makeTemporaryHome() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vx-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  return pattern;
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* inherited = std::getenv("VX_TEST_HOME");
  const bool owner = inherited == nullptr || *inherited == '\0';
  const std::filesystem::path home = owner ? makeTemporaryHome() : std::filesystem::path(inherited);
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"}) {
    const auto dir = home / (std::string(name).substr(4));
    std::filesystem::create_directories(dir);
    setenv(name, dir.c_str(), 1);
  }
  setenv("VX_TEST_HOME", home.c_str(), 1);
  // XDG_RUNTIME_DIR must be private to the user for Qt; the temporary home is.
  if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
    const auto runtime = home / "RUNTIME";
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
  if (owner) {
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
  }
  return result;
}
