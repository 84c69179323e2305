#include "platform/foundation/StandardPaths.h"

#include "platform/foundation/Bundle.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>

namespace vx {
namespace {

namespace fs = std::filesystem;

// Sets environment variables for one test and puts the old values back.
class ScopedEnvironment {
 public:
  void set(const char* name, const char* value) {
    if (!saved_.count(name)) {
      const char* old = std::getenv(name);
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnvironment() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

fs::path testRoot() {
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  auto root = fs::path(std::getenv("VX_TEST_HOME")) / "paths" / info->name();
  fs::create_directories(root);
  return root;
}

struct Folder {
  const char* variable;
  const char* fallback;
  Result<fs::path> (*created)();
  fs::path (*path)();
};

const Folder kFolders[] = {
    {"XDG_CACHE_HOME", ".cache", &StandardPaths::cachesDirectory, &StandardPaths::cachesPath},
    {"XDG_DATA_HOME", ".local/share", &StandardPaths::applicationSupportDirectory,
     &StandardPaths::applicationSupportPath},
    {"XDG_CONFIG_HOME", ".config", &StandardPaths::configDirectory, &StandardPaths::configPath},
};

TEST(StandardPathsTest, FoldersLiveUnderTheXdgVariablesAndAreCreatedOnDemand) {
  const auto root = testRoot();
  const auto id = Bundle::main().bundleIdentifier();
  ASSERT_FALSE(id.empty());
  ScopedEnvironment environment;
  for (const auto& folder : kFolders) {
    const auto base = root / folder.variable / "nested";
    environment.set(folder.variable, base.c_str());
    EXPECT_EQ(folder.path(), base / id) << folder.variable;
    EXPECT_FALSE(fs::exists(base / id));  // the plain path touches nothing
    auto made = folder.created();
    ASSERT_TRUE(made.ok()) << made.error();
    EXPECT_EQ(*made, base / id);
    EXPECT_TRUE(fs::is_directory(*made));
    struct stat info {};
    ASSERT_EQ(::stat(made->c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_TRUE(folder.created().ok());  // existing folder is fine
  }
}

TEST(StandardPathsTest, FallsBackToHomeWhenVariablesAreUnsetEmptyOrRelative) {
  const auto root = testRoot();
  const auto id = Bundle::main().bundleIdentifier();
  ScopedEnvironment environment;
  const auto home = root / "home";
  environment.set("HOME", home.c_str());
  for (const auto& folder : kFolders) {
    for (const char* value : {static_cast<const char*>(nullptr), "", "relative/dir"}) {
      environment.set(folder.variable, value);
      EXPECT_EQ(folder.path(), home / folder.fallback / id) << folder.variable;
    }
    auto made = folder.created();
    ASSERT_TRUE(made.ok());
    EXPECT_TRUE(fs::is_directory(home / folder.fallback / id));
  }
}

TEST(StandardPathsTest, AFileInTheWayIsAnError) {
  const auto root = testRoot();
  ScopedEnvironment environment;
  const auto blocked = root / "blocked";
  std::ofstream(blocked) << "not a folder";
  environment.set("XDG_CACHE_HOME", blocked.c_str());
  auto made = StandardPaths::cachesDirectory();
  ASSERT_FALSE(made.ok());
  EXPECT_EQ(made.error().domain, "vx.StandardPaths");
}

}  // namespace
}  // namespace vx
