// The engine's entry point: a configured reporter is enabled once per process, catches a crash
// (fatal signals; on Linux also in the Mach mode, see README), writes the report into its folder
// ("live_report.hxcrash") at crash time, calls the client's crash callback and keeps the report
// as the pending report for the next launch.
#pragma once

#include "crash-engine/async/HXCrashAsyncImageList.h"
#include "crash-engine/report/MSHXCrashLogWriter.h"
#include "crash-engine/mach/MSHXCrashMachExceptionServer.h"
#include "crash-engine/thread/MSHXCrashThreadState.h"
#include "platform/foundation/Error.h"

#include <signal.h>
#include <ucontext.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

enum MSHXCrashReporterSignalHandlerType : std::uint64_t {
  MSHXCrashReporterSignalHandlerTypeBSD = 0,
  MSHXCrashReporterSignalHandlerTypeMach = 1,
};

enum MSHXCrashReporterSymbolicationStrategy : std::uint64_t {
  MSHXCrashReporterSymbolicationStrategyNone = 0,
  MSHXCrashReporterSymbolicationStrategySymbolTable = 1 << 0,
  MSHXCrashReporterSymbolicationStrategyObjC = 1 << 1,
  MSHXCrashReporterSymbolicationStrategyAll = 3,
};

class MSHXCrashReporterConfig {
 public:
  MSHXCrashReporterConfig() : MSHXCrashReporterConfig(0, 0, true) {}
  MSHXCrashReporterConfig(std::uint64_t signalHandlerType, std::uint64_t symbolicationStrategy,
                          bool shouldRegisterUncaughtExceptionHandler = true)
      : _signalHandlerType(signalHandlerType),
        _symbolicationStrategy(symbolicationStrategy),
        _shouldRegisterUncaughtExceptionHandler(shouldRegisterUncaughtExceptionHandler) {}
  static std::shared_ptr<MSHXCrashReporterConfig> defaultConfiguration() {
    return std::make_shared<MSHXCrashReporterConfig>();
  }
  std::uint64_t signalHandlerType() const { return _signalHandlerType; }
  std::uint64_t symbolicationStrategy() const { return _symbolicationStrategy; }
  bool shouldRegisterUncaughtExceptionHandler() const { return _shouldRegisterUncaughtExceptionHandler; }

 private:
  std::uint64_t _signalHandlerType;
  std::uint64_t _symbolicationStrategy;
  bool _shouldRegisterUncaughtExceptionHandler;
};

// The crash callback runs at crash time after a report was written.
typedef void (*HXCrashReporterPostCrashSignalCallback)(siginfo_t* info, ucontext_t* uap, void* context);
struct HXCrashReporterCallbacks {
  std::uint16_t version;  // 0
  void* context;
  HXCrashReporterPostCrashSignalCallback handleSignal;
};

// What every crash-time callback receives.
struct hxcrash_report_context {
  MShxcrash_log_writer writer;
  char path[4096];
  hxcrash_mach_exception_port_set port_set;
};

class MSHXCrashReporter {
 public:
  // The shared reporter of the main bundle with the default configuration.
  static MSHXCrashReporter* sharedReporter();

  // Identifier and version of the main bundle; without an identifier the process name is
  // used (a fatal error when there is none either), without a version "".
  explicit MSHXCrashReporter(
      std::shared_ptr<MSHXCrashReporterConfig> configuration = MSHXCrashReporterConfig::defaultConfiguration());
  MSHXCrashReporter(std::string applicationIdentifier, std::string appVersion,
                    std::optional<std::string> appMarketingVersion,
                    std::shared_ptr<MSHXCrashReporterConfig> configuration);

  // Only before enable; afterwards a fatal error ("The crash reporter has alread been enabled").
  void setCrashCallbacks(const HXCrashReporterCallbacks* callbacks);

  // Once per process: a second call, on any instance, fails with code 3.
  bool enableCrashReporterAndReturnError(vx::Error* error);
  bool enableCrashReporter() { return enableCrashReporterAndReturnError(nullptr); }

  bool hasPendingCrashReport() const;
  std::optional<std::vector<std::uint8_t>> loadPendingCrashReportDataAndReturnError(vx::Error* error) const;
  std::optional<std::vector<std::uint8_t>> loadPendingCrashReportData() const {
    return loadPendingCrashReportDataAndReturnError(nullptr);
  }
  bool purgePendingCrashReportAndReturnError(vx::Error* error) const;
  bool purgePendingCrashReport() const { return purgePendingCrashReportAndReturnError(nullptr); }

  // A report of the running process for thread (kernel thread id), read back from a temporary
  // file; none with an error (code 0) when it cannot be written or read.
  std::optional<std::vector<std::uint8_t>> generateLiveReportWithThread(vx::thread_t thread, vx::Error* error) const;
  std::optional<std::vector<std::uint8_t>> generateLiveReportAndReturnError(vx::Error* error) const;

  std::filesystem::path crashReportDirectory() const { return _crashReportDirectory; }
  std::filesystem::path queuedCrashReportDirectory() const { return _crashReportDirectory / "queued_reports"; }
  std::filesystem::path crashReportPath() const { return _crashReportDirectory / "live_report.hxcrash"; }
  bool populateCrashReportDirectoryAndReturnError(vx::Error* error) const;
  std::int32_t mapToAsyncSymbolicationStrategy(std::uint64_t strategy) const {
    return static_cast<std::int32_t>(strategy & 3);
  }
  // Starts the exception server and makes it the task's exception port for the fatal
  // exceptions (0x6E, with guard exceptions 0x106E on a kernel above 12); the registrations it
  // replaces go to *previous.
  std::unique_ptr<MSHXCrashMachExceptionServer> enableMachExceptionServerWithPreviousPortSet(
      std::shared_ptr<MSHXCrashMachExceptionPortSet>* previous, void* context, vx::Error* error);
  bool isEnabled() const { return _enabled; }
  const std::shared_ptr<MSHXCrashReporterConfig>& config() const { return _config; }

 private:
  std::shared_ptr<MSHXCrashReporterConfig> _config;
  bool _enabled = false;
  std::string _applicationIdentifier;
  std::string _applicationVersion;
  std::optional<std::string> _applicationMarketingVersion;
  std::filesystem::path _crashReportDirectory;
};

// The process-wide image list that crash-time code walks, made and kept current from first use.
// The first call allocates and must not happen at crash time: constructing and enabling a
// reporter make it. Every later call is safe at crash time.
MShxcrash_async_image_list* hxcrash_shared_image_list();

// Crash time. Writes one report to the context's path: hxcrash_error_internal when the file
// cannot be opened, flushed or closed, else the writer's result.
hxcrash_error_t hxcrash_write_report(hxcrash_report_context* context, vx::thread_t crashed_thread,
                                     const hxcrash_async_thread_state* thread_state,
                                     const MShxcrash_log_signal_info* siginfo);

// Records an uncaught exception (the first only) in the enabled reporter's writer and aborts;
// SIGABRT then writes a report that carries it. Later calls return at once.
void hxcrash_uncaught_exception_hook(const char* name, const char* reason, const std::uint64_t* return_addresses,
                                     std::size_t count);
