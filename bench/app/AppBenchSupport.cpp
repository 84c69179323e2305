#include "bench/app/AppBenchSupport.h"

#include "app/service/Auth/TokenStore.h"
#include "tests/support/XTopLevelWindows.h"
#include "tools/devservice/IconAPI.h"

#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

extern char** environ;

namespace vx::bench {

namespace {

// The full path of `name` on PATH; empty when it is not there.
std::string findExecutable(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    const std::string candidate = folder + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// argv or envp for exec: pointers into `strings`, ended by nullptr.
std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// This process's environment with `overrides` replacing or adding entries.
std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& overrides) {
  std::vector<std::string> out;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const auto equals = text.find('=');
    if (equals != std::string::npos && overrides.count(text.substr(0, equals)) != 0) continue;
    out.push_back(text);
  }
  for (const auto& [name, value] : overrides) out.push_back(name + "=" + value);
  return out;
}

// Waits for the child to end, at most `timeout`; true when it was reaped.
bool reap(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return true;
    if (Clock::now() >= deadline) return false;
    usleep(5000);
  }
}

void stopChild(pid_t pid) {
  kill(pid, SIGTERM);
  if (reap(pid, std::chrono::seconds(5))) return;
  kill(pid, SIGKILL);
  reap(pid, std::chrono::seconds(5));
}

}  // namespace

// --- PrivateHome ---

PrivateHome::PrivateHome() {
  std::error_code error;
  std::string pattern = (std::filesystem::temp_directory_path(error) / "vx-appbench-XXXXXX").string();
  if (error || mkdtemp(pattern.data()) == nullptr) return;
  root_ = pattern;
  for (const char* folder : {"config", "cache", "data", "state", "runtime"}) {
    if (mkdir((root_ / folder).c_str(), 0700) != 0) {
      root_.clear();
      return;
    }
  }
}

PrivateHome::~PrivateHome() {
  if (root_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::map<std::string, std::string> PrivateHome::environment() const {
  return {{"XDG_CONFIG_HOME", (root_ / "config").string()},
          {"XDG_CACHE_HOME", (root_ / "cache").string()},
          {"XDG_DATA_HOME", (root_ / "data").string()},
          {"XDG_STATE_HOME", (root_ / "state").string()},
          {"XDG_RUNTIME_DIR", (root_ / "runtime").string()}};
}

void PrivateHome::applyToThisProcess() const {
  for (const auto& [name, value] : environment()) setenv(name.c_str(), value.c_str(), 1);
  // The keychain file in the data folder: the program is started with the same choice.
  setenv("VX_KEYCHAIN_BACKEND", "file", 1);
}

void storeDemoToken() {
  Vexelworks::TokenStore().saveToken(Vexelworks::AccessToken{std::string(vx::devservice::kDemoTokenKey),
                                                             std::string(vx::devservice::kDemoTokenSecret)});
}

// --- XServer ---

std::unique_ptr<XServer> XServer::startOrSkip(benchmark::State& state) {
  std::string whyNot;
  auto server = start(whyNot);
  if (!server) state.SkipWithError(("skipped: " + whyNot).c_str());
  return server;
}

std::unique_ptr<XServer> XServer::start(std::string& whyNot) {
  const std::string program = findExecutable("Xvfb");
  if (program.empty()) {
    whyNot = "Xvfb is not installed (package xvfb)";
    return nullptr;
  }
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    whyNot = std::string("no pipe: ") + std::strerror(errno);
    return nullptr;
  }
  // The server writes its display number on this descriptor once it accepts clients.
  constexpr int kReadyFd = 9;
  std::vector<std::string> arguments = {
      program, "-displayfd", std::to_string(kReadyFd), "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"};
  auto argv = pointers(arguments);
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    dup2(ready[1], kReadyFd);  // without close-on-exec
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(ready[1]);
  if (pid < 0) {
    close(ready[0]);
    whyNot = std::string("cannot start Xvfb: ") + std::strerror(errno);
    return nullptr;
  }
  std::string number;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (number.find('\n') == std::string::npos && Clock::now() < deadline) {
    pollfd fd{ready[0], POLLIN, 0};
    if (poll(&fd, 1, 100) <= 0) continue;
    char buffer[32];
    const ssize_t n = read(ready[0], buffer, sizeof buffer);
    if (n <= 0) break;  // the server ended without saying where it listens
    number.append(buffer, static_cast<std::size_t>(n));
  }
  close(ready[0]);
  if (number.find('\n') == std::string::npos) {
    stopChild(pid);
    whyNot = "Xvfb did not start";
    return nullptr;
  }
  number.erase(number.find('\n'));
  return std::unique_ptr<XServer>(new XServer(pid, ":" + number));
}

XServer::~XServer() { stopChild(pid_); }

// --- AppProcess ---

std::unique_ptr<AppProcess> AppProcess::start(const std::map<std::string, std::string>& environment,
                                              const std::filesystem::path& errorFile, std::string& whyNot) {
  std::vector<std::string> arguments = {VX_APP_BINARY};
  std::vector<std::string> variables = mergedEnvironment(environment);
  auto argv = pointers(arguments);
  auto envp = pointers(variables);
  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) {
    whyNot = std::string("no pipe: ") + std::strerror(errno);
    return nullptr;
  }
  const int errors = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::unique_ptr<AppProcess> app(new AppProcess);
  app->startedAt_ = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(output[1], 1);
    dup2(errors >= 0 ? errors : null, 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(output[1]);
  if (errors >= 0) close(errors);
  if (pid < 0) {
    close(output[0]);
    whyNot = std::string("cannot start the program: ") + std::strerror(errno);
    return nullptr;
  }
  app->pid_ = pid;
  app->reader_ = std::thread([raw = app.get(), fd = output[0]] { raw->readOutput(fd); });
  return app;
}

AppProcess::~AppProcess() {
  quit();
  if (reader_.joinable()) reader_.join();
}

void AppProcess::readOutput(int fd) {
  char buffer[4096];
  for (;;) {
    pollfd watched{fd, POLLIN, 0};
    const int ready = poll(&watched, 1, 50);
    if (ready == 0) {
      // A helper the program started may hold the pipe open after the program ended.
      std::lock_guard lock(mutex_);
      if (reaped_) break;
      continue;
    }
    if (ready < 0 && errno == EINTR) continue;
    const ssize_t n = ready > 0 ? read(fd, buffer, sizeof buffer) : -1;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    {
      std::lock_guard lock(mutex_);
      output_.append(buffer, static_cast<std::size_t>(n));
    }
    changed_.notify_all();
  }
  close(fd);
  {
    std::lock_guard lock(mutex_);
    outputEnded_ = true;
  }
  changed_.notify_all();
}

std::optional<Clock::time_point> AppProcess::waitForLine(const std::string& text, Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (output_.find(text) != std::string::npos) return Clock::now();
    if (outputEnded_) return std::nullopt;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      if (output_.find(text) != std::string::npos) return Clock::now();
      return std::nullopt;
    }
  }
}

std::string AppProcess::output() const {
  std::lock_guard lock(mutex_);
  return output_;
}

bool AppProcess::running() {
  std::lock_guard lock(mutex_);
  if (reaped_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) reaped_ = true;
  return !reaped_;
}

void AppProcess::quit() {
  {
    std::lock_guard lock(mutex_);
    if (reaped_ || pid_ <= 0) return;
  }
  stopChild(pid_);
  std::lock_guard lock(mutex_);
  reaped_ = true;
}

std::optional<AppProcess::Memory> AppProcess::memory() const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  if (!status) return std::nullopt;
  Memory memory;
  bool rss = false, hwm = false;
  std::string line;
  while (std::getline(status, line)) {
    std::istringstream fields(line);
    std::string name;
    std::uint64_t kilobytes = 0;
    fields >> name >> kilobytes;
    if (name == "VmRSS:") {
      memory.residentBytes = kilobytes * 1024;
      rss = true;
    } else if (name == "VmHWM:") {
      memory.peakResidentBytes = kilobytes * 1024;
      hwm = true;
    }
  }
  if (!rss || !hwm) return std::nullopt;
  return memory;
}

// --- XDisplay ---

XDisplay::XDisplay(const std::string& name) : display_(XOpenDisplay(name.c_str())) {}

XDisplay::~XDisplay() {
  if (display_ != nullptr) XCloseDisplay(static_cast<Display*>(display_));
}

bool XDisplay::ok() const {
  int event = 0, error = 0, major = 0, minor = 0;
  return display_ != nullptr && XTestQueryExtension(static_cast<Display*>(display_), &event, &error, &major, &minor);
}

std::optional<XDisplay::Rect> XDisplay::window(const std::string& title) {
  const auto found = vx::test::topLevelWindow(static_cast<Display*>(display_), title);
  if (!found) return std::nullopt;
  return Rect{found->x, found->y, found->width, found->height};
}

std::optional<std::uint64_t> XDisplay::checksum(const Rect& area) {
  auto* display = static_cast<Display*>(display_);
  XImage* image = XGetImage(display, DefaultRootWindow(display), area.x, area.y, static_cast<unsigned>(area.width),
                            static_cast<unsigned>(area.height), AllPlanes, ZPixmap);
  if (image == nullptr) return std::nullopt;
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  const auto size = static_cast<std::size_t>(image->bytes_per_line) * static_cast<std::size_t>(image->height);
  const auto* bytes = reinterpret_cast<const unsigned char*>(image->data);
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= bytes[i];
    hash *= 1099511628211ull;
  }
  XDestroyImage(image);
  return hash;
}

void XDisplay::scrollDown(int x, int y, int notches) {
  auto* display = static_cast<Display*>(display_);
  XTestFakeMotionEvent(display, -1, x, y, 0);
  for (int i = 0; i < notches; ++i) {
    XTestFakeButtonEvent(display, 5, True, 0);
    XTestFakeButtonEvent(display, 5, False, 0);
  }
  XSync(display, False);
}

std::map<std::string, std::string> signedInEnvironment(const PrivateHome& home, const XServer& x,
                                                       const std::string& serviceBaseURL) {
  std::map<std::string, std::string> environment = home.environment();
  environment["DISPLAY"] = x.display();
  environment["QT_QPA_PLATFORM"] = "xcb";
  environment["VX_KEYCHAIN_BACKEND"] = "file";
  environment["VX_API_BASE_URL"] = serviceBaseURL;
  environment["VX_WEB_BASE_URL"] = serviceBaseURL;
  environment[kStartupMarkerVariable] = "1";
  return environment;
}

int runAppBenchmarks(int argc, char** argv, PrivateHome*& home) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  PrivateHome privateHome;
  if (!privateHome.ok()) {
    std::cerr << "no temporary folder for the program's files" << std::endl;
    return 1;
  }
  privateHome.applyToThisProcess();
  storeDemoToken();
  home = &privateHome;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  home = nullptr;
  return 0;
}

double median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const std::size_t middle = samples.size() / 2;
  if (samples.size() % 2 == 1) return samples[middle];
  return (samples[middle - 1] + samples[middle]) / 2;
}

}  // namespace vx::bench
