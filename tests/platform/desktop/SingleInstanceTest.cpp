#include "platform/desktop/GetURLEvents.h"
#include "platform/desktop/SingleInstance.h"
#include "platform/foundation/DispatchQueue.h"

#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vx {
namespace {

using namespace std::chrono_literals;

// The helper program as a real second process, its standard output read line by line.
class HelperProcess {
 public:
  explicit HelperProcess(std::vector<std::string> arguments) {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    arguments.insert(arguments.begin(), VX_HANDOFF_HELPER);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, VX_HANDOFF_HELPER, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
  }
  ~HelperProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }

  // The next line of output, or none when the process said nothing more within the time.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (auto newline = buffer_.find('\n'); newline != std::string::npos) {
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd pfd{out_, POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
      char chunk[512];
      const ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // The exit status, waiting for it.
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void killHard() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
};

struct Received {
  std::string url;
  bool onMainThread = false;
};

// Run once with a private runtime folder and once without one (the cache-folder fallback).
class SingleInstanceTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    name_ = "vx-handoff-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    if (useFolder()) {
      temporary_ = std::make_unique<vx::test::TemporaryFolder>("vx-run");
      folder_ = temporary_->path();
      setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
    } else {
      // The helper inherits this: it, too, finds no runtime folder and the same cache folder.
      unsetenv("XDG_RUNTIME_DIR");
      temporary_ = std::make_unique<vx::test::TemporaryFolder>("vx-cache");
      cacheHome_ = temporary_->path();
      setenv("XDG_CACHE_HOME", cacheHome_.c_str(), 1);
    }
    GetURLEventManager::shared().discardPendingEvents();
    GetURLEventManager::shared().setEventHandler([this](const std::string& url) {
      received_.push_back({url, DispatchQueue::isMainThread()});
    });
  }
  void TearDown() override {
    GetURLEventManager::shared().removeEventHandler();
    GetURLEventManager::shared().discardPendingEvents();
    if (!cacheHome_.empty()) unsetenv("XDG_CACHE_HOME");
    temporary_.reset();
  }

  bool useFolder() const { return GetParam(); }
  SingleInstance::Options options() const {
    SingleInstance::Options o;
    o.name = name_;
    o.timeout = 3s;
    return o;
  }
  std::string folderArgument() const { return useFolder() ? folder_.string() : "-"; }

  std::string name_;
  std::unique_ptr<vx::test::TemporaryFolder> temporary_;
  std::filesystem::path folder_;
  std::filesystem::path cacheHome_;
  std::vector<Received> received_;
};

TEST_P(SingleInstanceTest, SecondLaunchHandsItsURLsToTheRunningInstanceAndExits) {
  auto first = handOffURLsOrListen(options(), {"vxtest://login/own-token"});
  ASSERT_TRUE(first.ok()) << first.error();
  ASSERT_EQ(first->outcome, URLHandOff::Outcome::primary);
  if (useFolder()) {
    EXPECT_EQ(first->instance->address(), (folder_ / (name_ + ".socket")).string());
    EXPECT_TRUE(std::filesystem::exists(folder_ / (name_ + ".socket")));
  } else {
    const auto private_ = cacheHome_ / (name_ + "-" + std::to_string(geteuid()));
    EXPECT_EQ(first->instance->address(), (private_ / (name_ + ".socket")).string());
    struct stat info {};
    ASSERT_EQ(lstat(private_.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
  }

  HelperProcess second({name_, folderArgument(), "--not-a-url", "vxtest://login/one-time", "VXTEST://login/second"});
  EXPECT_EQ(second.readLine(), "handed-off");
  EXPECT_EQ(second.wait(), 0);

  ASSERT_TRUE(RunLoop::runUntil([this] { return received_.size() >= 3; }));
  ASSERT_EQ(received_.size(), 3u);
  EXPECT_EQ(received_[0].url, "vxtest://login/own-token");
  EXPECT_EQ(received_[1].url, "vxtest://login/one-time");
  EXPECT_EQ(received_[2].url, "VXTEST://login/second");
  for (const auto& r : received_) EXPECT_TRUE(r.onMainThread) << r.url;

  first->instance.reset();
  if (useFolder()) {
    EXPECT_FALSE(std::filesystem::exists(folder_ / (name_ + ".socket")));
  }
}

TEST_P(SingleInstanceTest, RunningInstanceInAnotherProcessReceivesOurURLs) {
  HelperProcess first({name_, folderArgument()});
  ASSERT_EQ(first.readLine(), "primary");

  auto second = handOffURLsOrListen(options(), {"vxtest://login/from-test"});
  ASSERT_TRUE(second.ok()) << second.error();
  EXPECT_EQ(second->outcome, URLHandOff::Outcome::handedOff);
  EXPECT_EQ(second->instance, nullptr);
  EXPECT_EQ(first.readLine(), "url vxtest://login/from-test");

  auto quit = handOffURLsOrListen(options(), {"vxtest:quit"});
  ASSERT_TRUE(quit.ok()) << quit.error();
  EXPECT_EQ(quit->outcome, URLHandOff::Outcome::handedOff);
  EXPECT_EQ(first.readLine(), "url vxtest:quit");
  EXPECT_EQ(first.wait(), 0);
  // Nothing was posted in this process.
  RunLoop::runFor(20ms);
  EXPECT_TRUE(received_.empty());
}

TEST_P(SingleInstanceTest, AnInstanceThatCrashedIsReplacedByTheNextLaunch) {
  HelperProcess crashed({name_, folderArgument()});
  ASSERT_EQ(crashed.readLine(), "primary");
  crashed.killHard();
  if (useFolder()) {
    // The socket file outlives the process; the lock does not.
    EXPECT_TRUE(std::filesystem::exists(folder_ / (name_ + ".socket")));
  }
  auto next = handOffURLsOrListen(options(), {"vxtest://login/after-crash"});
  ASSERT_TRUE(next.ok()) << next.error();
  EXPECT_EQ(next->outcome, URLHandOff::Outcome::primary);
  ASSERT_TRUE(RunLoop::runUntil([this] { return !received_.empty(); }));
  EXPECT_EQ(received_[0].url, "vxtest://login/after-crash");

  // And it serves later launches.
  HelperProcess later({name_, folderArgument(), "vxtest://login/later"});
  EXPECT_EQ(later.readLine(), "handed-off");
  ASSERT_TRUE(RunLoop::runUntil([this] { return received_.size() >= 2; }));
  EXPECT_EQ(received_[1].url, "vxtest://login/later");
}

TEST_P(SingleInstanceTest, ASenderThatBreaksTheFormatDeliversNothingAndOthersAreStillServed) {
  std::vector<std::string> messages;
  auto primary = SingleInstance::acquire(options(), [&messages](std::string m) { messages.push_back(std::move(m)); });
  ASSERT_TRUE(primary.ok()) << primary.error();
  ASSERT_TRUE((*primary)->isPrimary());

  auto connectRaw = [&]() {
    const std::string address = (*primary)->address();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    socklen_t length;
    if (address.front() == '@') {
      std::memcpy(addr.sun_path + 1, address.data() + 1, address.size() - 1);
      length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
    } else {
      std::memcpy(addr.sun_path, address.data(), address.size());
      length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size() + 1);
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), length), 0);
    return fd;
  };
  auto answer = [](int fd) {
    shutdown(fd, SHUT_WR);
    char byte = 0;
    const ssize_t n = recv(fd, &byte, 1, 0);
    close(fd);
    return n == 1 ? std::optional<char>(byte) : std::nullopt;
  };

  {  // A good message followed by a length far beyond the limit: none of it is taken.
    const int fd = connectRaw();
    const unsigned char good[] = {0, 0, 0, 2, 'o', 'k'};
    const unsigned char huge[] = {0x40, 0, 0, 0};
    ASSERT_EQ(send(fd, good, sizeof good, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof good));
    ASSERT_EQ(send(fd, huge, sizeof huge, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof huge));
    EXPECT_EQ(answer(fd), std::nullopt);
  }
  {  // A message cut short.
    const int fd = connectRaw();
    const unsigned char partial[] = {0, 0, 0, 9, 'a', 'b'};
    ASSERT_EQ(send(fd, partial, sizeof partial, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof partial));
    EXPECT_EQ(answer(fd), std::nullopt);
  }

  auto secondary = SingleInstance::acquire(options(), nullptr);
  ASSERT_TRUE(secondary.ok()) << secondary.error();
  ASSERT_FALSE((*secondary)->isPrimary());
  EXPECT_EQ((*secondary)->send({std::string(SingleInstance::kMaxMessageBytes + 1, 'x')}).error().code,
            kSingleInstanceMessageTooLarge);
  const std::string largest(SingleInstance::kMaxMessageBytes, 'y');
  ASSERT_TRUE((*secondary)->send({"first", "", largest}).ok());
  ASSERT_TRUE(RunLoop::runUntil([&messages] { return messages.size() >= 3; }));
  RunLoop::runFor(20ms);
  ASSERT_EQ(messages.size(), 3u) << "only the well-formed hand-off is delivered";
  EXPECT_EQ(messages[0], "first");
  EXPECT_EQ(messages[1], "");
  EXPECT_EQ(messages[2], largest);
  EXPECT_EQ((*primary)->send({"x"}).error().code, kSingleInstanceNotSecondary);
}

INSTANTIATE_TEST_SUITE_P(Transport, SingleInstanceTest, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("RuntimeFolder") : std::string("CacheFolder");
                         });

TEST(SingleInstanceNames, NamesThatCannotBeASocketNameAreRefused) {
  for (const std::string& name : {std::string(""), std::string("."), std::string(".."), std::string("a/b"),
                                  std::string("with space"), std::string(65, 'n'), std::string("nul\0x", 5)}) {
    SingleInstance::Options options;
    options.name = name;
    auto result = SingleInstance::acquire(options, nullptr);
    ASSERT_FALSE(result.ok()) << name;
    EXPECT_EQ(result.error().code, kSingleInstanceInvalidName) << name;
  }
}

TEST(SingleInstanceNames, AFolderTooDeepForASocketAddressIsAnErrorNotASharedName) {
  const vx::test::TemporaryFolder folder("vx-run");
  const std::filesystem::path deep = folder.path() / std::string(120, 'd');
  ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  SingleInstance::Options options;
  options.name = "vx-deep-" + std::to_string(getpid());
  options.runtimeDirectory = deep;
  auto first = SingleInstance::acquire(options, nullptr);
  ASSERT_FALSE(first.ok());
  EXPECT_EQ(first.error().code, kSingleInstanceSocketFailed);
  EXPECT_NE(first.error().description.find("too long"), std::string::npos) << first.error();
}

// The runtime folder must be the user's own, mode 0700; a folder others can open, own or
// redirect is refused before anything is bound in it, and a missing one is made private.
class SingleInstanceFolders : public testing::Test {
 protected:
  void SetUp() override {
    root_ = folder_.path();
    name_ = "vx-folder-" + std::to_string(getpid());
  }
  void TearDown() override {
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("XDG_CACHE_HOME");
  }
  Result<std::unique_ptr<SingleInstance>> acquireIn(const std::filesystem::path& folder) {
    SingleInstance::Options options;
    options.name = name_;
    options.runtimeDirectory = folder;
    return SingleInstance::acquire(options, nullptr);
  }
  const vx::test::TemporaryFolder folder_{"vx-run"};
  std::filesystem::path root_;
  std::string name_;
};

TEST_F(SingleInstanceFolders, FoldersOthersCanReachAreRefused) {
  const auto open = root_ / "open";
  ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
  ASSERT_EQ(chmod(open.c_str(), 0755), 0);
  const auto shared = root_ / "shared";
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  const auto target = root_ / "target";
  ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
  const auto link = root_ / "link";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  const auto file = root_ / "file";
  std::FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);

  for (const auto& folder : {open, shared, link, file}) {
    SCOPED_TRACE(folder.string());
    auto result = acquireIn(folder);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().code, kSingleInstanceUnsafeFolder) << result.error();
    EXPECT_FALSE(std::filesystem::exists(folder / (name_ + ".socket")));
  }

  // The same checks hold for $XDG_RUNTIME_DIR.
  setenv("XDG_RUNTIME_DIR", open.c_str(), 1);
  SingleInstance::Options options;
  options.name = name_;
  auto fromEnvironment = SingleInstance::acquire(options, nullptr);
  ASSERT_FALSE(fromEnvironment.ok());
  EXPECT_EQ(fromEnvironment.error().code, kSingleInstanceUnsafeFolder);
}

TEST_F(SingleInstanceFolders, AFolderOwnedByAnotherUserIsRefused) {
  const auto foreign = root_ / "foreign";
  ASSERT_EQ(mkdir(foreign.c_str(), 0700), 0);
  if (chown(foreign.c_str(), 65534, 65534) != 0) {
    // Only a privileged test run can make a folder another user's; the mode checks above and
    // the owner check share one code path.
    GTEST_SKIP() << "cannot give a folder to another user: " << std::strerror(errno);
  }
  auto result = acquireIn(foreign);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, kSingleInstanceUnsafeFolder);
  EXPECT_NE(result.error().description.find("another user"), std::string::npos) << result.error();
}

TEST_F(SingleInstanceFolders, WithoutARuntimeFolderAPrivateFolderIsMadeAndTheOldSharedNameIsIgnored) {
  unsetenv("XDG_RUNTIME_DIR");
  setenv("XDG_CACHE_HOME", (root_ / "cache").c_str(), 1);
  // Someone else holds the abstract name a socket without a folder would have used.
  const int squatter = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(squatter, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string abstractName = name_ + "." + std::to_string(getuid());
  std::memcpy(address.sun_path + 1, abstractName.data(), abstractName.size());
  ASSERT_EQ(bind(squatter, reinterpret_cast<const sockaddr*>(&address),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + abstractName.size())),
            0);
  ASSERT_EQ(listen(squatter, 1), 0);

  SingleInstance::Options options;
  options.name = name_;
  auto first = SingleInstance::acquire(options, nullptr);
  ASSERT_TRUE(first.ok()) << first.error();
  EXPECT_TRUE((*first)->isPrimary());
  const auto folder = root_ / "cache" / (name_ + "-" + std::to_string(geteuid()));
  EXPECT_EQ((*first)->address(), (folder / (name_ + ".socket")).string());
  struct stat info {};
  ASSERT_EQ(lstat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(info.st_uid, geteuid());

  auto second = SingleInstance::acquire(options, nullptr);
  ASSERT_TRUE(second.ok()) << second.error();
  EXPECT_FALSE((*second)->isPrimary());
  EXPECT_TRUE((*second)->send({"vxtest://login/x"}).ok());
  close(squatter);

  // A missing folder the caller names is made private too.
  first->reset();
  second->reset();
  auto made = acquireIn(root_ / "made");
  ASSERT_TRUE(made.ok()) << made.error();
  ASSERT_EQ(lstat((root_ / "made").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(URLArguments, PicksTheArgumentsOfTheSchemesWhateverTheirCase) {
  const char* argv[] = {"/usr/bin/vexelworks", "vexelworks://login/abc", "--verbose", "https://example.com/",
                        "VexelWorks:other",    "vexelworksx://no",       ":",         nullptr};
  EXPECT_EQ(urlArguments(7, argv, {"vexelworks"}),
            (std::vector<std::string>{"vexelworks://login/abc", "VexelWorks:other"}));
  EXPECT_TRUE(urlArguments(1, argv, {"vexelworks"}).empty());
  EXPECT_EQ(urlArguments(7, argv, {"https", "vexelworksx"}),
            (std::vector<std::string>{"https://example.com/", "vexelworksx://no"}));
}

}  // namespace
}  // namespace vx
