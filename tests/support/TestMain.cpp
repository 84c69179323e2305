// Shared test main: every test process gets its own temporary home for the XDG folders, so
// settings, caches and keychain files written by one test run never touch the user's own.
#include <gtest/gtest.h>

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
  // Death tests re-run this binary; "threadsafe" forks and execs, which is what the crash
  // tests need when several threads are alive.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A death-test child re-runs main: it keeps its parent's home so the parent can read what
  // the child wrote.
  const char* inherited = std::getenv("VX_TEST_HOME");
  const bool owner = inherited == nullptr || *inherited == '\0';
  const std::filesystem::path home = owner ? makeTemporaryHome() : std::filesystem::path(inherited);
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"}) {
    const auto dir = home / (std::string(name).substr(4));
    std::filesystem::create_directories(dir);
    setenv(name, dir.c_str(), 1);
  }
  setenv("VX_TEST_HOME", home.c_str(), 1);
  const int result = RUN_ALL_TESTS();
  if (owner) {
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
  }
  return result;
}
