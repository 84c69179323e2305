// Each test process gets its own temporary home for the XDG folders, so settings, caches and
// keychain files written by one test run never touch the user's own (or another test's).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace vx::test {

class TestHome {
 public:
  // A death-test child re-runs main: it keeps its parent's home (VX_TEST_HOME) so the parent can
  // read what the child wrote; only the process that made the home removes it.
  TestHome() {
    const char* inherited = std::getenv("VX_TEST_HOME");
    owner_ = inherited == nullptr || *inherited == '\0';
    path_ = owner_ ? makeTemporaryHome() : std::filesystem::path(inherited);
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"}) {
      const auto dir = path_ / std::string(name).substr(4);
      std::filesystem::create_directories(dir);
      setenv(name, dir.c_str(), 1);
    }
    setenv("VX_TEST_HOME", path_.c_str(), 1);
  }
  ~TestHome() {
    if (!owner_) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TestHome(const TestHome&) = delete;
  TestHome& operator=(const TestHome&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  static std::filesystem::path makeTemporaryHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vx-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    return pattern;
  }

  bool owner_ = false;
  std::filesystem::path path_;
};

}  // namespace vx::test
