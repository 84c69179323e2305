// What the application benchmarks share: a private home for the program's files, a private X
// server (Xvfb), the real "Vexelworks" program started as a user starts it (signed in, against
// the local service), its standard output watched for the start-up marker, its memory read from
// /proc, and the pointer's wheel over its window.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace benchmark {
class State;
}

namespace vx::bench {

// What the program prints once when the search view first paints, with VX_STARTUP_MARKER set
// (app/main.cpp).
inline constexpr const char* kStartupMarkerVariable = "VX_STARTUP_MARKER";
inline constexpr const char* kSearchViewPaintedMarker = "vexelworks: search view painted";

using Clock = std::chrono::steady_clock;

// A temporary folder holding every XDG folder of the program (settings, caches, data, the
// single-instance socket), so runs share nothing with the user's own or each other's files.
// Removed with everything in it.
class PrivateHome {
 public:
  PrivateHome();
  ~PrivateHome();
  PrivateHome(const PrivateHome&) = delete;
  PrivateHome& operator=(const PrivateHome&) = delete;

  bool ok() const { return !root_.empty(); }
  const std::filesystem::path& root() const { return root_; }
  // XDG_CONFIG_HOME, XDG_CACHE_HOME, XDG_DATA_HOME, XDG_STATE_HOME, XDG_RUNTIME_DIR.
  std::map<std::string, std::string> environment() const;
  // Points this process's own XDG variables here (before any thread starts), so what it stores
  // (the access token) lands where the program reads it.
  void applyToThisProcess() const;

 private:
  std::filesystem::path root_;
};

// Stores the local service's demo access token where the program started with `home` reads it:
// a signed-in start. Call after home.applyToThisProcess().
void storeDemoToken();

// A private X server on a free display number. `start` says why there is none when Xvfb is
// missing or does not come up.
class XServer {
 public:
  static std::unique_ptr<XServer> start(std::string& whyNot);
  // As start(), but where there is none the benchmark is skipped, saying why.
  static std::unique_ptr<XServer> startOrSkip(benchmark::State& state);
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  const std::string& display() const { return display_; }

 private:
  XServer(pid_t pid, std::string display) : pid_(pid), display_(std::move(display)) {}
  pid_t pid_;
  std::string display_;
};

// The real program, started with the environment of this process plus `environment`; its
// standard output is read on a thread of its own (so the program never blocks on a full pipe),
// its standard error goes to a file.
class AppProcess {
 public:
  static std::unique_ptr<AppProcess> start(const std::map<std::string, std::string>& environment,
                                           const std::filesystem::path& errorFile, std::string& whyNot);
  // Ends the program (quit()) if it still runs.
  ~AppProcess();
  AppProcess(const AppProcess&) = delete;
  AppProcess& operator=(const AppProcess&) = delete;

  pid_t pid() const { return pid_; }
  Clock::time_point startedAt() const { return startedAt_; }
  // When a line holding `text` arrived on standard output; none if it did not before `deadline`
  // or the program ended first.
  std::optional<Clock::time_point> waitForLine(const std::string& text, Clock::time_point deadline);
  // Everything read from standard output so far.
  std::string output() const;
  bool running();
  // SIGTERM, then SIGKILL if it has not ended within a few seconds; reaps the program.
  void quit();

  // VmRSS and VmHWM of the program, in bytes, from /proc/<pid>/status.
  struct Memory {
    std::uint64_t residentBytes = 0;
    std::uint64_t peakResidentBytes = 0;
  };
  std::optional<Memory> memory() const;

 private:
  AppProcess() = default;
  void readOutput(int fd);

  pid_t pid_ = -1;
  bool reaped_ = false;
  Clock::time_point startedAt_;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;
  bool outputEnded_ = false;
};

// The pointer and the screen of an X display: where the program's window is, what it shows, and
// wheel turns over it.
class XDisplay {
 public:
  explicit XDisplay(const std::string& name);
  ~XDisplay();
  XDisplay(const XDisplay&) = delete;
  XDisplay& operator=(const XDisplay&) = delete;

  bool ok() const;
  struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
  };
  // The mapped top-level window titled `title`, in screen coordinates.
  std::optional<Rect> window(const std::string& title);
  // A checksum of what the screen shows inside `area`.
  std::optional<std::uint64_t> checksum(const Rect& area);
  // `notches` turns of the wheel towards the end (button 5) with the pointer at (x, y).
  void scrollDown(int x, int y, int notches);

 private:
  void* display_;  // Display*
};

// What a signed-in start on `x` against the local service at `serviceBaseURL` adds to this
// process's environment: the private home, the X display, the file keychain, the service for
// both the API and the web pages, and the start-up marker switched on.
std::map<std::string, std::string> signedInEnvironment(const PrivateHome& home, const XServer& x,
                                                       const std::string& serviceBaseURL);

// The main of an application benchmark: parses the arguments, points this process at a private
// home (before any thread starts, as this process and the program share its folders) with the
// demo token stored, makes it `home` for the benchmarks while they run, and runs them.
int runAppBenchmarks(int argc, char** argv, PrivateHome*& home);

// The median of the samples (mean of the middle two for an even count); 0 for none.
double median(std::vector<double> samples);

}  // namespace vx::bench
