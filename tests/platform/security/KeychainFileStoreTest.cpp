#include "platform/security/Keychain.h"

#include "platform/foundation/BundleConstants.h"
#include "platform/security/KeychainContract.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vx::test {
namespace {

namespace fs = std::filesystem;

// A fresh folder inside the test process's own home (which the test main removes at the end).
class FreshFolder : public vx::test::TemporaryFolder {
 public:
  FreshFolder() : TemporaryFolder(base(), "vx-keychain") {}

 private:
  static fs::path base() {
    const char* home = std::getenv("VX_TEST_HOME");
    return home != nullptr && *home != 0 ? fs::path(home) : fs::temp_directory_path();
  }
};

// One store file per test program; each test of the contract uses a service of its own.
const fs::path& sharedStoreFile() {
  static const FreshFolder folder;
  static const fs::path file = folder.path() / "store" / "keychain.json";
  return file;
}

INSTANTIATE_TEST_SUITE_P(FileStore, KeychainContract,
                         ::testing::Values(BackendSetup{[] { return makeFileKeychainBackend(sharedStoreFile()); }}));

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

// Sets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class KeychainFileStoreTest : public ::testing::Test {
 protected:
  const FreshFolder temporary_;
  fs::path folder_ = temporary_.path();
  fs::path file_ = folder_ / "app" / "keychain.json";
  Keychain keychain_{makeFileKeychainBackend(file_)};
};

TEST_F(KeychainFileStoreTest, FileIsPrivateAndReplacedWithoutLeftovers) {
  ASSERT_TRUE(keychain_.add("service", "account", "secret").ok());
  ASSERT_TRUE(keychain_.update({"service", "account"}, "secret2").ok());
  ASSERT_TRUE(keychain_.add("service", "other", "x").ok());
  EXPECT_EQ(modeOf(file_), 0600u);
  EXPECT_EQ(modeOf(file_.parent_path()), 0700u);
  // Only the store and its lock file remain: every temporary file was renamed into place.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(file_.parent_path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"keychain.json", "keychain.json.lock"}));
  // The secret is not stored as plain text next to its address (it is Base64), and the
  // file is JSON another run of the program can read.
  const std::string text = readText(file_);
  EXPECT_NE(text.find("\"service\""), std::string::npos);
  EXPECT_NE(text.find(base64Encode("secret2")), std::string::npos);
  Keychain fresh(makeFileKeychainBackend(file_));
  EXPECT_EQ(fresh.read({"service", "account"}).value(), bytesOf("secret2"));
}

TEST_F(KeychainFileStoreTest, ExistingFolderKeepsItsMode) {
  // The store's folder is the application-support folder others use too; leave its mode alone.
  fs::create_directories(file_.parent_path());
  ::chmod(file_.parent_path().c_str(), 0755);
  ASSERT_TRUE(keychain_.add("service", "account", "secret").ok());
  EXPECT_EQ(modeOf(file_.parent_path()), 0755u);
  EXPECT_EQ(modeOf(file_), 0600u);
}

TEST_F(KeychainFileStoreTest, DamagedFileIsAnErrorAndIsNeverOverwritten) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"not JSON", "{\"version\": 1, \"items\": ["},
      {"binary garbage", std::string("\x00\xff\xfe garbage", 11)},
      {"array root", "[]"},
      {"no version", R"({"items": []})"},
      {"future version", R"({"version": 2, "items": []})"},
      {"items not a list", R"({"version": 1, "items": {}})"},
      {"item not an object", R"({"version": 1, "items": [42]})"},
      {"item lacks data", R"({"version": 1, "items": [{"service": "s", "account": "a"}]})"},
      {"account not text", R"({"version": 1, "items": [{"service": "s", "account": 7, "data": ""}]})"},
      {"data not Base64", R"({"version": 1, "items": [{"service": "s", "account": "a", "data": "*!"}]})"},
  };
  for (const auto& [name, content] : cases) {
    SCOPED_TRACE(name);
    writeText(file_, content);
    auto read = keychain_.read({"s", "a"});
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(keychainStatus(read), kKeychainErrorDecode);
    EXPECT_NE(read.error().description.find(file_.string()), std::string::npos);
    EXPECT_EQ(keychainStatus(keychain_.add("s", "new", "x")), kKeychainErrorDecode);
    EXPECT_EQ(keychainStatus(keychain_.update({"s", "a"}, "x")), kKeychainErrorDecode);
    EXPECT_EQ(keychainStatus(keychain_.remove({"s", "a"})), kKeychainErrorDecode);
    EXPECT_EQ(readText(file_), content);
  }
}

TEST_F(KeychainFileStoreTest, UnreadableStoreIsAnIoError) {
  // A folder where the file should be: neither readable as a file nor replaceable.
  fs::create_directories(file_);
  EXPECT_EQ(keychainStatus(keychain_.read({"s", "a"})), kKeychainErrorIO);
  EXPECT_EQ(keychainStatus(keychain_.add("s", "a", "x")), kKeychainErrorIO);
}

TEST_F(KeychainFileStoreTest, WritersInSeparateProcessesLoseNothing) {
  constexpr int kChildren = 4;
  constexpr int kItems = 15;
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; ++c) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      Keychain mine(makeFileKeychainBackend(file_));
      int failures = 0;
      for (int i = 0; i < kItems; ++i) {
        const std::string account = std::to_string(c) + "/" + std::to_string(i);
        if (!mine.add("service", account, account).ok()) ++failures;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int c = 0; c < kChildren; ++c) {
    for (int i = 0; i < kItems; ++i) {
      const std::string account = std::to_string(c) + "/" + std::to_string(i);
      EXPECT_EQ(keychain_.read({"service", account}).value(), bytesOf(account)) << account;
    }
  }
}

TEST(KeychainChoice, DefaultFileLivesUnderXdgDataHomeAndBundleIdentifier) {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  ASSERT_NE(dataHome, nullptr);  // set by the test main
  EXPECT_EQ(defaultKeychainFilePath(), fs::path(dataHome) / VX_BUNDLE_IDENTIFIER / "keychain.json");
  {
    ScopedEnv noXdg("XDG_DATA_HOME", nullptr);
    ScopedEnv home("HOME", "/home/someone");
    EXPECT_EQ(defaultKeychainFilePath(),
              fs::path("/home/someone/.local/share") / VX_BUNDLE_IDENTIFIER / "keychain.json");
  }
  {
    // A relative XDG path is ignored, as the XDG rules say.
    ScopedEnv relative("XDG_DATA_HOME", "relative/data");
    ScopedEnv home("HOME", "/home/someone");
    EXPECT_EQ(defaultKeychainFilePath().parent_path().parent_path(), fs::path("/home/someone/.local/share"));
  }
}

TEST(KeychainChoice, EnvironmentForcesTheFileStore) {
  ScopedEnv choice("VX_KEYCHAIN_BACKEND", "file");
  auto backend = makeKeychainBackendFromEnvironment();
  ASSERT_TRUE(backend.ok()) << backend.error();
  EXPECT_EQ(backend.value()->name(), "file");
  Keychain keychain(backend.value());
  ASSERT_TRUE(keychain.add("service", "account", "value").ok());
  EXPECT_TRUE(fs::exists(defaultKeychainFilePath()));
  EXPECT_EQ(modeOf(defaultKeychainFilePath()), 0600u);
}

TEST(KeychainChoice, UnknownEnvironmentValueIsAnError) {
  ScopedEnv choice("VX_KEYCHAIN_BACKEND", "keyring");
  auto backend = makeKeychainBackendFromEnvironment();
  ASSERT_FALSE(backend.ok());
  EXPECT_EQ(keychainStatus(backend), kKeychainErrorParam);
  EXPECT_NE(backend.error().description.find("keyring"), std::string::npos);
}

TEST(KeychainChoice, AutomaticFallsBackToTheFileWithoutABus) {
  ScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS", nullptr);
  const FreshFolder runtimeFolder;  // holds no "bus" socket
  const fs::path& runtime = runtimeFolder.path();
  ScopedEnv noRuntimeBus("XDG_RUNTIME_DIR", runtime.c_str());
  ScopedEnv choice("VX_KEYCHAIN_BACKEND", nullptr);

  auto forced = makeKeychainBackend(KeychainBackendKind::secretService);
  ASSERT_FALSE(forced.ok());
  EXPECT_EQ(keychainStatus(forced), kKeychainErrorNotAvailable);

  auto automatic = makeKeychainBackendFromEnvironment();
  ASSERT_TRUE(automatic.ok()) << automatic.error();
  EXPECT_EQ(automatic.value()->name(), "file");
}

TEST(KeychainChoice, SilentBusEndsTheProbeWithinItsTimeout) {
  // A "bus" that accepts the connection and never says a word: the probe must give up.
  const FreshFolder folder;
  const fs::path socketPath = folder.path() / "bus";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.string().size(), sizeof(address.sun_path));
  std::strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(listener, 8), 0);

  const std::string busAddress = "unix:path=" + socketPath.string();
  ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", busAddress.c_str());
  auto probed = makeSecretServiceKeychainBackend(std::chrono::milliseconds(300));
  ASSERT_FALSE(probed.ok());
  EXPECT_EQ(keychainStatus(probed), kKeychainErrorNotAvailable);
  EXPECT_NE(probed.error().description.find("did not answer within 300 ms"), std::string::npos) << probed.error();
  ::close(listener);
}

TEST(KeychainChoice, SharedKeychainUsesTheBackendItIsGiven) {
  const FreshFolder temporary;
  const fs::path& folder = temporary.path();
  Keychain::setSharedBackend(makeFileKeychainBackend(folder / "shared.json"));
  EXPECT_EQ(Keychain::shared().backendName(), "file");
  ASSERT_TRUE(Keychain::shared().add("service", "account", "value").ok());
  EXPECT_TRUE(fs::exists(folder / "shared.json"));
  Keychain direct(makeFileKeychainBackend(folder / "shared.json"));
  EXPECT_EQ(direct.read({"service", "account"}).value(), bytesOf("value"));
}

}  // namespace
}  // namespace vx::test
