#include "telemetry/ZerEvuzevCrashes/MSCrashes.h"

#include "telemetry/ZerEvuzev/Context/MSDeviceTracker.h"
#include "telemetry/ZerEvuzev/Context/MSSessionContext.h"
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzev/Context/MSUserIdContext.h"
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/ZerEvuzevCrashes/MSCrashesCXXExceptionHandler.h"
#include "telemetry/ZerEvuzevCrashes/MSCrashesUtil.h"
#include "telemetry/ZerEvuzevCrashes/MSErrorLogFormatter.h"
#include "telemetry/ZerEvuzevCrashes/MSWrapperCrashesHelper.h"
#include "telemetry/ZerEvuzevCrashes/MSWrapperExceptionManager.h"

#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzev/Security/MSEncrypter.h"
#include "platform/foundation/UUID.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <limits>
#include <fstream>
#include <iterator>

namespace {

constexpr const char* kLogTag = MSCrashes::kMSLogTag;

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<MSCrashes>& sharedSlot() {
  static std::shared_ptr<MSCrashes> instance;
  return instance;
}

// The leak checker's switches, present only in sanitizer builds.
extern "C" void __lsan_disable() __attribute__((weak));
extern "C" void __lsan_enable() __attribute__((weak));

// The engine is configured and enabled once per process; later service objects (after a reset)
// share the same reporter.
std::mutex g_reporterMutex;
std::shared_ptr<MSHXCrashReporter> g_reporter;

std::optional<std::vector<std::uint8_t>> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool hasExcludedEnding(const std::string& name) {
  for (const char* ending : {".DS_Store", ".analyzer", ".plist", ".data", ".meta", ".desc"}) {
    const std::string e(ending);
    if (name.size() >= e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0) return true;
  }
  return false;
}

// Seconds since 2001-01-01 00:00:00 UTC.
double secondsSinceReferenceDate() {
  const double unix = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  return unix - 978307200.0;
}

// ---- The crash-time log buffer ----

constexpr int kBufferSlots = 60;
constexpr const char* kBufferExtension = "mscrasheslogbuffer";
constexpr const char* kTokenExtension = "targettoken";

struct MSCrashesBufferSlot {
  std::string logPath;
  std::string logData;
  std::string tokenPath;
  std::string encryptedToken;
  std::string internalId;
  double timestamp = 0;
};

// Guarded by g_bufferMutex outside crash time; read as it stands at crash time. Never destroyed:
// the channel's queue may still empty a slot while the process exits.
MSCrashesBufferSlot* const msCrashesLogBuffer = new MSCrashesBufferSlot[kBufferSlots];
std::recursive_mutex& g_bufferMutex = *new std::recursive_mutex;
volatile std::sig_atomic_t msCrashesLogBufferSaved = 0;

// Writes all the bytes (a write may take fewer), retrying interrupted writes. Async-signal-safe.
int ms_write_buffer_slot(const std::string& data, const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return fd;
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = write(fd, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  return close(fd);
}

void ms_crash_signal_callback(siginfo_t*, ucontext_t*, void*) { ms_save_log_buffer(); }

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

MSEncrypter& tokenEncrypter() {
  static auto* encrypter = new MSEncrypter();
  return *encrypter;
}

}  // namespace

void ms_save_log_buffer() {
  msCrashesLogBufferSaved = 1;
  for (int i = 0; i < kBufferSlots; ++i) {
    const MSCrashesBufferSlot& slot = msCrashesLogBuffer[i];
    if (slot.logPath.empty()) continue;
    ms_write_buffer_slot(slot.logData, slot.logPath);
    // A slot without a token must not leave an earlier crash's token for its next log.
    if (!slot.encryptedToken.empty()) {
      ms_write_buffer_slot(slot.encryptedToken, slot.tokenPath);
    } else {
      unlink(slot.tokenPath.c_str());
    }
  }
}

MSCrashes::MSCrashes()
    : crashesPathComponent_(MSCrashesUtil::crashesDir()),
      analyzerInProgressFilePathComponent_(
          MSFormat("%s/%s", MSCrashesUtil::crashesDir().c_str(), kMSAnalyzerFilename)) {
  // The log store reads the service's logs back by class name.
  MSRegisterCrashesArchivableClasses();
  logBufferPathComponent_ = MSCrashesUtil::logBufferDir();
  setupLogBuffer();
}

void MSCrashes::setupLogBuffer() {
  std::lock_guard lock(g_bufferMutex);
  for (int i = 0; i < kBufferSlots; ++i) {
    const std::string name = MSFormat("%s/%d.%s", logBufferPathComponent_.c_str(), i, kBufferExtension);
    const auto url = MSUtility::fullURLForPathComponent(name);
    // Created empty when missing; a file a crash left keeps its content for the replay.
    MSUtility::createFileAtPathComponent(name, std::nullopt, false, false);
    auto& slot = msCrashesLogBuffer[i];
    slot = MSCrashesBufferSlot{};
    slot.logPath = url ? url->string() : std::string();
    slot.tokenPath = replaceAll(slot.logPath, kBufferExtension, kTokenExtension);
  }
}

void MSCrashes::channelDidPrepareLog(MSChannelProtocol*, const MSLogPtr& log, const std::string& internalId,
                                     std::uint64_t) {
  if (!log || !isEnabled()) return;
  if (std::dynamic_pointer_cast<MSAppleErrorLog>(log) || std::dynamic_pointer_cast<MSErrorAttachmentLog>(log)) return;
  std::lock_guard lock(g_bufferMutex);
  const auto data = MSArchivedData(*log);
  if (!data || data.value().empty()) return;
  std::string token;
  const auto tokens = log->transmissionTargetTokens();
  if (!tokens.empty()) token = tokenEncrypter().encryptString(*tokens.begin()).value_or("");
  MSLogVerbose(kLogTag, "Storing a log to Crashes Buffer: (sid: %s, type: %s)", log->sid.value_or("(null)").c_str(),
               log->type.value_or("(null)").c_str());
  double oldest = std::numeric_limits<double>::max();
  int chosen = -1;
  int oldestIndex = 0;
  for (int i = 0; i < kBufferSlots; ++i) {
    if (msCrashesLogBuffer[i].logData.empty()) {
      chosen = i;
      break;
    }
    if (msCrashesLogBuffer[i].timestamp < oldest) {
      oldest = msCrashesLogBuffer[i].timestamp;
      oldestIndex = i;
      MSLogVerbose(kLogTag, "Remembering index %d for oldest timestamp %f.", i, oldest);
    }
  }
  const bool wasFree = chosen >= 0;
  if (!wasFree) {
    MSLogVerbose(kLogTag, "Reached end of buffer. Next step is overwriting the oldest one.");
    chosen = oldestIndex;
  }
  auto& slot = msCrashesLogBuffer[chosen];
  slot.logData.assign(reinterpret_cast<const char*>(data.value().data()), data.value().size());
  slot.encryptedToken = token;
  slot.internalId = internalId;
  slot.timestamp = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  if (wasFree) {
    MSLogVerbose(kLogTag, "Found an empty buffer position.");
  } else {
    MSLogVerbose(kLogTag, "Overwrote buffered log at index %d.", chosen);
  }
}

void MSCrashes::processLogBufferAfterCrash() {
  const auto group = channelGroup();
  if (!group) return;
  bufferChannelUnit_ = group->addChannelUnitWithConfiguration(
      std::make_shared<MSChannelUnitConfiguration>("CrashesBuffer", 2, 1, 50, 1));
  const auto entries = MSUtility::contentsOfDirectory(logBufferPathComponent_);
  if (!entries) return;
  for (const auto& entry : *entries) {
    if (entry.extension() != std::string(".") + kBufferExtension) continue;
    const auto data = readFile(entry);
    if (data && !data->empty()) {
      auto log = MSUnarchiveObject<MSAbstractLog>(*data);
      if (log) {
        const auto tokenURL = std::filesystem::path(replaceAll(entry.string(), kBufferExtension, kTokenExtension));
        if (const auto tokenData = readFile(tokenURL)) {
          const std::string cipher(tokenData->begin(), tokenData->end());
          if (auto token = tokenEncrypter().decryptString(cipher)) {
            log.value()->addTransmissionTargetToken(*token);
          } else {
            MSLogError(MSZerEvuzev::logTag(), "Failed to decrypt the target token.");
          }
          MSUtility::deleteFileAtURL(tokenURL);
        }
        MSLogDebug(kLogTag, "Re-enqueueing buffered log, type: %s.", log.value()->type.value_or("(null)").c_str());
        if (bufferChannelUnit_) bufferChannelUnit_->enqueueItem(log.value(), 1);
      }
    }
    MSUtility::createFileAtPathComponent(logBufferPathComponent_ + "/" + entry.filename().string(), vx::Bytes{}, false,
                                         true);
  }
}

void MSCrashes::emptyLogBufferFiles() {
  const auto entries = MSUtility::contentsOfDirectory(logBufferPathComponent_);
  if (!entries) {
    MSLogError(kLogTag, "Couldn't get files in the directory \"%s\"", logBufferPathComponent_.c_str());
    return;
  }
  for (const auto& entry : *entries) {
    std::error_code ec;
    if (entry.extension() != std::string(".") + kBufferExtension) continue;
    if (std::filesystem::file_size(entry, ec) == 0 || ec) continue;
    MSUtility::createFileAtPathComponent(logBufferPathComponent_ + "/" + entry.filename().string(), std::nullopt, false,
                                         true);
  }
}

std::shared_ptr<MSCrashes> MSCrashes::sharedInstance() {
  std::lock_guard lock(sharedMutex());
  if (!sharedSlot()) sharedSlot() = std::make_shared<MSCrashes>();
  return sharedSlot();
}

void MSCrashes::resetSharedInstance() {
  std::lock_guard lock(sharedMutex());
  sharedSlot().reset();
}

std::shared_ptr<MSChannelUnitConfiguration> MSCrashes::channelUnitConfiguration() const {
  return std::make_shared<MSChannelUnitConfiguration>(kMSGroupId, 2, 1, 1, 3);
}

// ---- Life cycle ----

void MSCrashes::startWithChannelGroup(const std::shared_ptr<MSChannelGroupProtocol>& channelGroup,
                                      const std::optional<std::string>& appSecret,
                                      const std::optional<std::string>& transmissionTargetToken, bool fromApplication) {
  MSServiceAbstract::startWithChannelGroup(channelGroup, appSecret, transmissionTargetToken, fromApplication);
  if (channelGroup) channelGroup->addDelegate(std::dynamic_pointer_cast<MSChannelDelegate>(shared_from_this()));
  processLogBufferAfterCrash();
  MSLogVerbose(kLogTag, "Started crash service.");
}

void MSCrashes::applyEnabledState(bool isEnabled) {
  MSServiceAbstract::applyEnabledState(isEnabled);
  if (isEnabled) {
    // A wrapper runtime may keep the uncaught-exception hook for itself.
    const auto setupDelegate = MSWrapperCrashesHelper::getCrashHandlerSetupDelegate();
    const bool enableUncaughtExceptionHandler =
        setupDelegate ? setupDelegate->shouldEnableUncaughtExceptionHandler() : true;
    if (setupDelegate) setupDelegate->willSetUpCrashHandlers();
    configureCrashReporterWithUncaughtExceptionHandlerEnabled(enableUncaughtExceptionHandler);
    if (setupDelegate) setupDelegate->didSetUpCrashHandlers();
    // Being switched on by setEnabled, which stores the value afterwards: a report pending from
    // while the service was off is not taken.
    if (!this->isEnabled() && hxCrashReporter_) hxCrashReporter_->purgePendingCrashReport();
    if (hxCrashReporter_ && hxCrashReporter_->hasPendingCrashReport()) {
      didCrashInLastSession_ = true;
      handleLatestCrashReport();
    }
    {
      std::lock_guard lock(stateMutex_);
      crashFiles_ = persistedCrashReports();
    }
    bool anyFiles;
    {
      std::lock_guard lock(stateMutex_);
      anyFiles = !crashFiles_.empty();
    }
    if (anyFiles) {
      startDelayedCrashProcessing();
    } else {
      delayedProcessingSemaphore_.signal();
      processingDone_ = true;
      clearContextHistoryAndKeepCurrentSession();
    }
    if (MSZerEvuzev::isDebuggerAttached()) {
      MSLogInfo(kLogTag,
                "Crashes service has been enabled but the service cannot detect crashes due to running the "
                "application with a debugger attached.");
    } else {
      MSLogInfo(kLogTag, "Crashes service has been enabled.");
    }
  } else {
    MSLogDebug(kLogTag, "Cleaning up all crash files.");
    MSWrapperExceptionManager::deleteAllWrapperExceptions();
    deleteAllFromCrashesDirectory();
    emptyLogBufferFiles();
    MSUtility::deleteItemForPathComponent(analyzerInProgressFilePathComponent_);
    if (hxCrashReporter_) hxCrashReporter_->purgePendingCrashReport();
    clearUnprocessedReports();
    clearContextHistoryAndKeepCurrentSession();
    MSLogInfo(kLogTag, "Crashes service has been disabled.");
  }
}

void MSCrashes::configureCrashReporterWithUncaughtExceptionHandlerEnabled(bool enabled) {
  std::lock_guard lock(g_reporterMutex);
  if (hxCrashReporter_ || g_reporter) {
    hxCrashReporter_ = g_reporter;
    MSLogDebug(kLogTag, "Already configured HXCrashReporter.");
    return;
  }
  if (enabled) {
    MSLogDebug(kLogTag, "EnableUncaughtExceptionHandler is set to YES");
  } else {
    MSLogDebug(kLogTag, "EnableUncaughtExceptionHandler is set to NO, we're running in a wrapper runtime.");
  }
  std::uint64_t type = MSHXCrashReporterSignalHandlerTypeBSD;
  if (enableMachExceptionHandler_) {
    MSLogVerbose(kLogTag, "Enabled Mach exception handler.");
    type = MSHXCrashReporterSignalHandlerTypeMach;
  }
  auto config = std::make_shared<MSHXCrashReporterConfig>(type, MSHXCrashReporterSymbolicationStrategyNone, enabled);
  g_reporter = std::make_shared<MSHXCrashReporter>(config);
  hxCrashReporter_ = g_reporter;
  if (MSZerEvuzev::isDebuggerAttached()) {
    MSLogWarning(kLogTag, "Detecting crashes is NOT enabled due to running the app with a debugger attached.");
    return;
  }
  const std::terminate_handler before = std::get_terminate();
  HXCrashReporterCallbacks callbacks{0, nullptr, ms_crash_signal_callback};
  hxCrashReporter_->setCrashCallbacks(&callbacks);
  vx::Error error("", 0);
  // What enabling makes (handlers, the exception server and its previous registrations) lives
  // for the rest of the process on purpose: not a leak.
  if (__lsan_disable != nullptr) __lsan_disable();
  const bool enabledReporter = hxCrashReporter_->enableCrashReporterAndReturnError(&error);
  if (__lsan_enable != nullptr) __lsan_enable();
  if (!enabledReporter) {
    MSLogError(kLogTag, "Could not enable crash reporter: %s", error.description.c_str());
  }
  const std::terminate_handler after = std::get_terminate();
  if (after != nullptr && after != before) {
    MSLogDebug(kLogTag, "Exception handler successfully initialized.");
  } else if (!enabled && after != nullptr) {
    MSLogDebug(kLogTag,
               "Exception handler successfully initialized but it has not been registered due to the wrapper SDK.");
  } else {
    MSLogError(kLogTag, "Exception handler could not be set. Make sure there is no other exception handler set up!");
  }
  MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(ms_cxx_exception_handler);
}

// ---- Taking in the pending report ----

void MSCrashes::handleLatestCrashReport() {
  if (MSUtility::fileExistsForPathComponent(analyzerInProgressFilePathComponent_)) {
    MSLogError(kLogTag, "Error on loading the crash report, it will be purged.");
  } else {
    if (!MSUtility::createFileAtPathComponent(analyzerInProgressFilePathComponent_, std::nullopt, false, true)) {
      MSLogError(kLogTag, "Couldn't create crash analyzer file.");
    }
    vx::Error error("", 0);
    const auto data = hxCrashReporter_->loadPendingCrashReportDataAndReturnError(&error);
    if (!data) {
      MSLogError(kLogTag, "Couldn't load crash report: %s", error.description.c_str());
    } else if (auto report = MSHXCrashReport::makeWithData(*data, &error); !report) {
      MSLogWarning(kLogTag, "Couldn't parse crash report: %s", error.description.c_str());
    } else {
      // Two crashes within one second must not share a name: the later would be lost.
      const std::string base = MSFormat("%.0f", secondsSinceReferenceDate());
      std::string name = base;
      for (int n = 1; MSUtility::fileExistsForPathComponent(crashesPathComponent_ + "/" + name); ++n) {
        name = base + "-" + std::to_string(n);
      }
      MSUtility::createFileAtPathComponent(crashesPathComponent_ + "/" + name, *data, true, false);
      auto summary = MSErrorLogFormatter::errorReportFromCrashReport(report);
      {
        std::lock_guard lock(stateMutex_);
        lastSessionCrashReport_ = summary;
      }
      MSWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({summary});
    }
  }
  MSUtility::deleteItemForPathComponent(analyzerInProgressFilePathComponent_);
  hxCrashReporter_->purgePendingCrashReport();
}

std::vector<std::filesystem::path> MSCrashes::persistedCrashReports() const {
  std::vector<std::filesystem::path> result;
  const auto entries = MSUtility::contentsOfDirectory(crashesPathComponent_);
  if (!entries) {
    MSLogError(kLogTag, "No persisted crashes found.");
    return result;
  }
  for (const auto& entry : *entries) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(entry, ec)) continue;
    const auto size = std::filesystem::file_size(entry, ec);
    if (ec || size == 0) continue;
    if (hasExcludedEnding(entry.filename().string())) continue;
    result.push_back(entry);
  }
  return result;
}

// ---- Processing ----

void MSCrashes::startDelayedCrashProcessing() {
  processingScheduled_ = true;
  auto self = std::static_pointer_cast<MSCrashes>(shared_from_this());
  vx::DispatchQueue::global()->asyncAfter(std::chrono::seconds(1), [self] {
    self->startCrashProcessing();
    self->finishProcessing();
  });
}

void MSCrashes::finishProcessing() {
  std::lock_guard lock(stateMutex_);
  if (shouldReleaseProcessingSemaphore_) {
    delayedProcessingSemaphore_.signal();
    shouldReleaseProcessingSemaphore_ = false;
  }
  processingDone_ = true;
}

void MSCrashes::startCrashProcessing() {
  if (isAutomaticProcessingEnabled() && MSUtility::applicationState() == MSApplicationState::Background) {
    MSLogWarning(kLogTag, "Crashes will not be processed because the application is in the background.");
    return;
  }
  MSLogDebug(kLogTag, "Start delayed CrashManager processing");
  processCrashReports();
}

void MSCrashes::processCrashReports() {
  if (!isEnabled()) {
    MSLogDebug(kLogTag, "Crashes service is disabled; discard all crash reports");
    deleteAllFromCrashesDirectory();
    MSWrapperExceptionManager::deleteAllWrapperExceptions();
    return;
  }
  std::vector<std::filesystem::path> files;
  {
    std::lock_guard lock(stateMutex_);
    unprocessedCreated_ = true;
    unprocessedLogs_.clear();
    unprocessedReports_.clear();
    unprocessedFilePaths_.clear();
    files = crashFiles_;
  }
  struct Decoded {
    std::filesystem::path url;
    std::shared_ptr<MSHXCrashReport> report;
    std::shared_ptr<MSErrorReport> summary;
  };
  std::vector<Decoded> decoded;
  for (const auto& url : files) {
    const auto data = readFile(url);
    if (!data || data->empty()) continue;
    vx::Error error("", 0);
    auto report = MSHXCrashReport::makeWithData(*data, &error);
    if (!report) {
      MSLogWarning(kLogTag, "Crash report found but couldn't parse it, discard the crash report: %s",
                   error.description.c_str());
      // It would fail the same way at every launch.
      removeCrashFile(url);
      continue;
    }
    decoded.push_back({url, report, MSErrorLogFormatter::errorReportFromCrashReport(report)});
  }
  std::vector<std::shared_ptr<MSErrorReport>> summaries;
  for (const auto& item : decoded) summaries.push_back(item.summary);
  MSWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(summaries);

  const auto theDelegate = delegate();
  const bool automatic = isAutomaticProcessingEnabled();
  for (const auto& item : decoded) {
    MSLogVerbose(kLogTag, "Crash reports found");
    auto log = MSErrorLogFormatter::errorLogFromCrashReport(*item.report);
    const std::string description = item.report->uuidString().value_or("");
    if (automatic && theDelegate && !theDelegate->crashesShouldProcessErrorReport(*this, item.summary)) {
      MSLogDebug(kLogTag, "shouldProcessErrorReport returned NO, discard the crash report: %s", description.c_str());
      if (item.summary->incidentIdentifier()) {
        MSWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(*item.summary->incidentIdentifier());
      }
      removeCrashFile(item.url);
      continue;
    }
    if (automatic) {
      MSLogDebug(kLogTag,
                 "shouldProcessErrorReport is not implemented or returned YES, processing the crash report: %s",
                 description.c_str());
    } else {
      MSLogDebug(kLogTag, "Automatic crash processing is disabled, storing the crash report for later processing: %s",
                 description.c_str());
    }
    std::lock_guard lock(stateMutex_);
    unprocessedLogs_.push_back(log);
    unprocessedReports_.push_back(item.summary);
    unprocessedFilePaths_.push_back(item.url);
  }
  if (automatic) sendCrashReportsOrAwaitUserConfirmation();
}

std::vector<std::shared_ptr<MSErrorReport>> MSCrashes::unprocessedCrashReports() {
  // A service that never switched on in this process has nothing to wait for.
  if (processingScheduled_.load() || processingDone_.load()) {
    delayedProcessingSemaphore_.wait();
    delayedProcessingSemaphore_.signal();
  }
  std::lock_guard lock(stateMutex_);
  return unprocessedReports_;
}

// ---- Confirmation and sending ----

bool MSCrashes::shouldAlwaysSend() const {
  const auto value = MSUserDefaults::shared()->objectForKey(kMSUserConfirmationKey);
  return value && value->boolValue().value_or(false);
}

bool MSCrashes::sendCrashReportsOrAwaitUserConfirmation() {
  const bool alwaysSend = shouldAlwaysSend();
  {
    std::lock_guard lock(stateMutex_);
    if (unprocessedReports_.empty()) return alwaysSend;
  }
  if (alwaysSend) {
    MSLogDebug(kLogTag, "The flag for user confirmation is set to MSUserConfirmationAlways, continue sending logs");
    handleUserConfirmation(MSUserConfirmationSend);
    return alwaysSend;
  }
  if (!isAutomaticProcessingEnabled()) {
    MSLogDebug(kLogTag,
               "Automatic crash processing is disabled and \"AlwaysSend\" is false. Awaiting user confirmation.");
    return alwaysSend;
  }
  bool hasHandler;
  {
    std::lock_guard lock(stateMutex_);
    hasHandler = static_cast<bool>(userConfirmationHandler_);
  }
  if (hasHandler && userPromptedForConfirmation()) return alwaysSend;
  MSLogDebug(kLogTag, "The user confirmation handler is not implemented or returned NO, continue sending logs");
  handleUserConfirmation(MSUserConfirmationSend);
  return alwaysSend;
}

bool MSCrashes::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& filteredIds) {
  std::vector<std::shared_ptr<MSErrorReport>> dropped;
  std::vector<std::filesystem::path> droppedFiles;
  {
    std::lock_guard lock(stateMutex_);
    std::vector<std::shared_ptr<MSAppleErrorLog>> keptLogs;
    std::vector<std::shared_ptr<MSErrorReport>> keptReports;
    std::vector<std::filesystem::path> keptFiles;
    const std::size_t count =
        std::min({unprocessedLogs_.size(), unprocessedReports_.size(), unprocessedFilePaths_.size()});
    for (std::size_t i = 0; i < count; ++i) {
      const auto& incident = unprocessedReports_[i]->incidentIdentifier();
      const bool kept = incident && std::find(filteredIds.begin(), filteredIds.end(), *incident) != filteredIds.end();
      if (kept) {
        keptLogs.push_back(unprocessedLogs_[i]);
        keptReports.push_back(unprocessedReports_[i]);
        keptFiles.push_back(unprocessedFilePaths_[i]);
      } else {
        dropped.push_back(unprocessedReports_[i]);
        droppedFiles.push_back(unprocessedFilePaths_[i]);
      }
    }
    unprocessedLogs_ = std::move(keptLogs);
    unprocessedReports_ = std::move(keptReports);
    unprocessedFilePaths_ = std::move(keptFiles);
  }
  for (std::size_t i = 0; i < dropped.size(); ++i) {
    if (dropped[i]->incidentIdentifier()) {
      MSWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(*dropped[i]->incidentIdentifier());
    }
    removeCrashFile(droppedFiles[i]);
  }
  return sendCrashReportsOrAwaitUserConfirmation();
}

bool MSCrashes::userPromptedForConfirmation() {
  MSUserConfirmationHandler handler;
  std::vector<std::shared_ptr<MSErrorReport>> reports;
  {
    std::lock_guard lock(stateMutex_);
    handler = userConfirmationHandler_;
    reports = unprocessedReports_;
  }
  if (!handler) return false;
  if (vx::DispatchQueue::isMainThread()) return handler(reports);
  bool answer = false;
  vx::DispatchQueue::main()->sync([&] { answer = handler(reports); });
  return answer;
}

void MSCrashes::notifyWithUserConfirmation(std::uint64_t userConfirmation) {
  auto self = sharedInstance();
  bool hasHandler;
  bool processed;
  {
    std::lock_guard lock(self->stateMutex_);
    hasHandler = static_cast<bool>(self->userConfirmationHandler_);
    processed = self->unprocessedCreated_;
  }
  if (!hasHandler && !processed) {
    MSLogError(kLogTag,
               "Incorrect usage of notifyWithUserConfirmation: it should only be called from userConfirmationHandler. "
               "For more information refer to the documentation.");
    return;
  }
  self->handleUserConfirmation(userConfirmation);
}

void MSCrashes::handleUserConfirmation(std::uint64_t userConfirmation) {
  std::vector<std::shared_ptr<MSAppleErrorLog>> logs;
  std::vector<std::shared_ptr<MSErrorReport>> reports;
  std::vector<std::filesystem::path> paths;
  {
    std::lock_guard lock(stateMutex_);
    logs = unprocessedLogs_;
    reports = unprocessedReports_;
    paths = unprocessedFilePaths_;
  }
  if (userConfirmation == MSUserConfirmationDontSend) {
    for (std::size_t i = 0; i < paths.size(); ++i) {
      if (i < reports.size() && reports[i]->incidentIdentifier()) {
        MSWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(*reports[i]->incidentIdentifier());
      }
      removeCrashFile(paths[i]);
    }
    clearUnprocessedReports();
    clearContextHistoryAndKeepCurrentSession();
    return;
  }
  if (userConfirmation == MSUserConfirmationAlways) {
    MSUserDefaults::shared()->setObject(vx::Value(true), kMSUserConfirmationKey);
  }
  const auto theDelegate = delegate();
  const auto unit = channelUnit();
  for (std::size_t i = 0; i < reports.size() && i < logs.size() && i < paths.size(); ++i) {
    const auto& log = logs[i];
    const auto& report = reports[i];
    std::vector<std::shared_ptr<MSErrorAttachmentLog>> attachments;
    if (theDelegate) {
      if (auto given = theDelegate->attachmentsWithCrashes(*this, report)) attachments = std::move(*given);
    } else {
      MSLogDebug(kLogTag, "attachmentsWithCrashes is not implemented");
    }
    // The session and user of the crash, not of this launch.
    if (log->timestamp) {
      log->sid = MSSessionContext::sharedInstance()->sessionIdAt(*log->timestamp);
      log->userId = MSUserIdContext::sharedInstance()->userIdAt(*log->timestamp);
    }
    const bool waitForStore = unit && log->isValid();
    if (waitForStore) {
      std::lock_guard lock(stateMutex_);
      filesAwaitingStore_.emplace_back(log, paths[i]);
    }
    if (unit) unit->enqueueItem(log, 2);
    sendErrorAttachments(attachments, report->incidentIdentifier().value_or(""));
    if (!waitForStore) {
      // The channel refuses it (and would at every launch): nothing waits for its store.
      if (report->incidentIdentifier()) {
        MSWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(*report->incidentIdentifier());
      }
      removeCrashFile(paths[i]);
    }
  }
  clearUnprocessedReports();
  clearContextHistoryAndKeepCurrentSession();
}

void MSCrashes::sendErrorAttachments(const std::vector<std::shared_ptr<MSErrorAttachmentLog>>& attachments,
                                     const std::string& incidentIdentifier) {
  const auto unit = channelUnit();
  unsigned sent = 0;
  for (const auto& attachment : attachments) {
    if (!attachment) continue;
    attachment->errorId = incidentIdentifier;
    if (!validatePropertiesForAttachment(*attachment)) {
      MSLogError(kLogTag, "Not all required fields are present in MSErrorAttachmentLog.");
      continue;
    }
    if (unit) unit->enqueueItem(attachment, 1);
    ++sent;
  }
  if (sent > 2) MSLogWarning(kLogTag, "A limit of %u attachments per error report might be enforced by server.", 2U);
}

bool MSCrashes::validatePropertiesForAttachment(const MSErrorAttachmentLog& attachment) {
  return attachment.errorId && !attachment.errorId->empty() && attachment.attachmentId &&
         !attachment.attachmentId->empty() && attachment.data && !attachment.data->empty() && attachment.contentType &&
         !attachment.contentType->empty();
}

void MSCrashes::clearUnprocessedReports() {
  std::lock_guard lock(stateMutex_);
  unprocessedReports_.clear();
  unprocessedLogs_.clear();
  unprocessedFilePaths_.clear();
}

void MSCrashes::clearContextHistoryAndKeepCurrentSession() {
  MSDeviceTracker::sharedInstance()->clearDevices();
  MSSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(true);
  MSUserIdContext::sharedInstance()->clearUserIdHistory();
}

void MSCrashes::deleteAllFromCrashesDirectory() {
  MSUtility::deleteItemForPathComponent(crashesPathComponent_);
  MSCrashesUtil::resetDirectory();
  std::lock_guard lock(stateMutex_);
  crashFiles_.clear();
}

void MSCrashes::deleteCrashReportWithFileURL(const std::filesystem::path& url) { MSUtility::deleteFileAtURL(url); }

void MSCrashes::removeCrashFile(const std::filesystem::path& url) {
  deleteCrashReportWithFileURL(url);
  std::lock_guard lock(stateMutex_);
  crashFiles_.erase(std::remove(crashFiles_.begin(), crashFiles_.end(), url), crashFiles_.end());
}

std::shared_ptr<MSCrashesDelegate> MSCrashes::delegate() const {
  std::lock_guard lock(stateMutex_);
  return delegate_.lock();
}

// ---- Class side ----

void MSCrashes::generateTestCrash() {
  auto self = sharedInstance();
  std::lock_guard lock(self->instanceMutex());
  if (!self->canBeUsed()) return;
  if (MSUtility::currentAppEnvironment() == MSAppEnvironment::AppStore) {
    MSLogWarning(kLogTag, "GenerateTestCrash was just called in an App Store environment. The call will be ignored.");
    return;
  }
  if (MSZerEvuzev::isDebuggerAttached()) {
    MSLogWarning(kLogTag, "The debugger is attached. The following crash cannot be detected by the SDK!");
  }
  __builtin_trap();
}

void MSCrashes::trackModelException(const std::shared_ptr<MSException>& exception) {
  trackModelException(exception, std::nullopt);
}

void MSCrashes::trackModelException(const std::shared_ptr<MSException>& exception,
                                    const std::optional<MSStringDictionary>& properties) {
  auto self = sharedInstance();
  std::lock_guard lock(self->instanceMutex());
  if (!self->canBeUsed() || !self->isEnabled()) return;
  auto log = std::make_shared<MSHandledErrorLog>();
  log->userId = MSUserIdContext::sharedInstance()->userId();
  log->errorId = vx::UUID::make().uuidString();
  log->exception = exception;
  if (properties && !properties->empty()) {
    vx::ValueMap values;
    for (const auto& property : *properties) values.set(property.first, vx::Value(property.second));
    log->properties =
        MSUtility::validateProperties(values, MSFormat("ErrorLog: %s", log->errorId->c_str()), *log->type);
  }
  if (const auto unit = self->channelUnit()) unit->enqueueItem(log, 1);
}

bool MSCrashes::hasCrashedInLastSession() { return sharedInstance()->didCrashInLastSession_.load(); }

std::shared_ptr<MSErrorReport> MSCrashes::lastSessionCrashReport() {
  auto self = sharedInstance();
  std::lock_guard lock(self->stateMutex_);
  return self->lastSessionCrashReport_;
}

void MSCrashes::setUserConfirmationHandler(MSUserConfirmationHandler handler) {
  auto self = sharedInstance();
  std::lock_guard lock(self->stateMutex_);
  self->userConfirmationHandler_ = std::move(handler);
}

void MSCrashes::setDelegate(const std::shared_ptr<MSCrashesDelegate>& delegate) {
  auto self = sharedInstance();
  std::lock_guard lock(self->stateMutex_);
  self->delegate_ = delegate;
}

void MSCrashes::disableMachExceptionHandler() {
  auto self = sharedInstance();
  std::lock_guard lock(self->stateMutex_);
  self->enableMachExceptionHandler_ = false;
}

// ---- Channel callbacks ----

void MSCrashes::removeLogFromBuffer(const std::string& internalId) {
  if (internalId.empty()) return;
  std::lock_guard lock(g_bufferMutex);
  for (int i = 0; i < kBufferSlots; ++i) {
    MSCrashesBufferSlot& slot = msCrashesLogBuffer[i];
    if (slot.internalId.empty() || slot.internalId != internalId) continue;
    MSLogVerbose(kLogTag, "Deleting a log from buffer with id %s", internalId.c_str());
    slot.logData.clear();
    slot.encryptedToken.clear();
    slot.internalId.clear();
    slot.timestamp = 0;
    if (msCrashesLogBufferSaved) {
      unlink(slot.logPath.c_str());
      // Its token belonged to this log only.
      unlink(slot.tokenPath.c_str());
      MSLogVerbose(kLogTag, "Deleted crash buffer file: %s.", slot.logPath.c_str());
    }
  }
}

// The journal brings the log back after a crash; a buffered copy would make the next launch send
// it twice.
void MSCrashes::channelDidJournalLog(MSChannelProtocol*, const MSLogPtr&, const std::string& internalId) {
  removeLogFromBuffer(internalId);
}

void MSCrashes::channelDidCompleteEnqueueingLog(MSChannelProtocol*, const MSLogPtr& log,
                                                const std::string& internalId) {
  removeLogFromBuffer(internalId);
  std::optional<std::filesystem::path> stored;
  std::shared_ptr<MSAppleErrorLog> errorLog;
  {
    std::lock_guard lock(stateMutex_);
    for (auto it = filesAwaitingStore_.begin(); it != filesAwaitingStore_.end(); ++it) {
      if (it->first.get() == log.get()) {
        stored = it->second;
        errorLog = it->first;
        filesAwaitingStore_.erase(it);
        break;
      }
    }
  }
  if (!stored) return;
  // The log is in the channel's store now: its report file has done its job.
  if (errorLog->errorId) MSWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(*errorLog->errorId);
  removeCrashFile(*stored);
}

void MSCrashes::channelWillSendLog(MSChannelProtocol*, const MSLogPtr& log) {
  const auto theDelegate = delegate();
  const auto errorLog = std::dynamic_pointer_cast<MSAppleErrorLog>(log);
  if (theDelegate && errorLog) {
    theDelegate->crashesWillSendErrorReport(*this, MSErrorLogFormatter::errorReportFromLog(*errorLog));
  }
}

void MSCrashes::channelDidSucceedSendingLog(MSChannelProtocol*, const MSLogPtr& log) {
  const auto theDelegate = delegate();
  const auto errorLog = std::dynamic_pointer_cast<MSAppleErrorLog>(log);
  if (theDelegate && errorLog) {
    theDelegate->crashesDidSucceedSendingErrorReport(*this, MSErrorLogFormatter::errorReportFromLog(*errorLog));
  }
}

void MSCrashes::channelDidFailSendingLog(MSChannelProtocol*, const MSLogPtr& log,
                                         const std::optional<vx::Error>& error) {
  const auto theDelegate = delegate();
  const auto errorLog = std::dynamic_pointer_cast<MSAppleErrorLog>(log);
  if (theDelegate && errorLog) {
    theDelegate->crashesDidFailSendingErrorReport(*this, MSErrorLogFormatter::errorReportFromLog(*errorLog), error);
  }
}
