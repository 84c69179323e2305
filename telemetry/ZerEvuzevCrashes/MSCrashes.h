// The crash service. Started first (priority 999) with its "Crashes" unit (priority 2, sent after
// 1 second, one log per batch, 3 batches in flight). Switched on, it enables the crash-recording
// engine once per process (every fatal signal on Linux, uncaught C++ exceptions through the
// terminate hook), takes in the report a crash left, and one second later turns every stored
// report into an error log, lets the delegate filter it, asks for confirmation and enqueues it
// as a critical log with the session and user of the crash time. Logs still on their way into
// the channel's store at a crash are kept in a 60-slot buffer, written to files at crash time and
// enqueued again at the next start through the "CrashesBuffer" unit.
#pragma once

#include "crash-engine/MSHXCrashReporter.h"
#include "platform/foundation/DispatchQueue.h"
#include "telemetry/ZerEvuzev/Channel/MSChannelProtocol.h"
#include "telemetry/ZerEvuzev/Core/MSServiceAbstract.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSErrorLogs.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSErrorReport.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class MSCrashes;

// What the application may be told about crashes; every callback is optional.
class MSCrashesDelegate {
 public:
  virtual ~MSCrashesDelegate() = default;
  // False discards the report.
  virtual bool crashesShouldProcessErrorReport(MSCrashes&, const std::shared_ptr<MSErrorReport>&) { return true; }
  virtual std::optional<std::vector<std::shared_ptr<MSErrorAttachmentLog>>> attachmentsWithCrashes(
      MSCrashes&, const std::shared_ptr<MSErrorReport>&) {
    return std::nullopt;
  }
  virtual void crashesWillSendErrorReport(MSCrashes&, const std::shared_ptr<MSErrorReport>&) {}
  virtual void crashesDidSucceedSendingErrorReport(MSCrashes&, const std::shared_ptr<MSErrorReport>&) {}
  virtual void crashesDidFailSendingErrorReport(MSCrashes&, const std::shared_ptr<MSErrorReport>&,
                                                const std::optional<vx::Error>&) {}
};

enum MSUserConfirmation : std::uint64_t {
  MSUserConfirmationDontSend = 0,
  MSUserConfirmationSend = 1,
  MSUserConfirmationAlways = 2,
};

// Answers true when it asked the user and will answer later through notifyWithUserConfirmation.
using MSUserConfirmationHandler = std::function<bool(const std::vector<std::shared_ptr<MSErrorReport>>&)>;

class MSCrashes : public MSServiceAbstract, public MSChannelDelegate {
 public:
  static constexpr const char* kMSServiceName = "Crashes";
  static constexpr const char* kMSGroupId = "Crashes";
  static constexpr const char* kMSLogTag = "ZerEvuzevCrashes";
  static constexpr int kMSInitializationPriority = 999;
  static constexpr const char* kMSUserConfirmationKey = "MSUserConfirmation";
  static constexpr const char* kMSAnalyzerFilename = "MSCrashes.analyzer";

  MSCrashes();

  static std::shared_ptr<MSCrashes> sharedInstance();
  // The next sharedInstance() makes a new one (tests).
  static void resetSharedInstance();

  std::string groupId() const override { return kMSGroupId; }
  std::string serviceName() const override { return kMSServiceName; }
  std::string logTag() const override { return kMSLogTag; }
  std::string className() const override { return "MSCrashes"; }
  int initializationPriority() const override { return kMSInitializationPriority; }
  std::shared_ptr<MSChannelUnitConfiguration> channelUnitConfiguration() const override;

  // ---- Life cycle ----
  void startWithChannelGroup(const std::shared_ptr<MSChannelGroupProtocol>& channelGroup,
                             const std::optional<std::string>& appSecret,
                             const std::optional<std::string>& transmissionTargetToken, bool fromApplication) override;
  void applyEnabledState(bool isEnabled) override;

  // ---- Public operations (class side forwards to the shared instance) ----
  static bool hasCrashedInLastSession();
  static std::shared_ptr<MSErrorReport> lastSessionCrashReport();
  static void setUserConfirmationHandler(MSUserConfirmationHandler handler);
  static void notifyWithUserConfirmation(std::uint64_t userConfirmation);
  // Held weakly.
  static void setDelegate(const std::shared_ptr<MSCrashesDelegate>& delegate);
  // BSD signals instead of the Mach mode; only before the engine is first configured.
  static void disableMachExceptionHandler();
  static bool validatePropertiesForAttachment(const MSErrorAttachmentLog& attachment);
  // Once started: stops the process with an illegal instruction, which the engine records as a
  // crash (also with a debugger attached, after a warning). Before start it does nothing.
  static void generateTestCrash();
  // For wrapper SDKs: sends an exception their runtime handled as a "handledError" log (normal
  // persistence), with the current user id and the valid part of the properties. Nothing
  // happens before start or while the service is disabled.
  static void trackModelException(const std::shared_ptr<MSException>& exception);
  static void trackModelException(const std::shared_ptr<MSException>& exception,
                                  const std::optional<MSStringDictionary>& properties);

  // ---- Processing ----
  // Stored reports of the crash folder (regular, non-empty, not one of the service's own files).
  std::vector<std::filesystem::path> persistedCrashReports() const;
  // Waits until this launch's processing is over (at once when the service never switched on)
  // and returns the reports waiting for confirmation.
  std::vector<std::shared_ptr<MSErrorReport>> unprocessedCrashReports();
  void processCrashReports();
  bool sendCrashReportsOrAwaitUserConfirmation();
  // Keeps the waiting reports whose incident identifier is listed and deletes the others, then
  // sends or asks as sendCrashReportsOrAwaitUserConfirmation does.
  bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& filteredIds);
  // Off (wrapper SDKs only): reports are processed and kept, neither filtered by the delegate nor
  // sent, until the wrapper asks through sendCrashReportsOrAwaitUserConfirmationForFilteredIds.
  bool isAutomaticProcessingEnabled() const { return automaticProcessingEnabled_.load(); }
  void setAutomaticProcessingEnabled(bool enabled) { automaticProcessingEnabled_ = enabled; }
  void handleUserConfirmation(std::uint64_t userConfirmation);
  void sendErrorAttachments(const std::vector<std::shared_ptr<MSErrorAttachmentLog>>& attachments,
                            const std::string& incidentIdentifier);
  const std::shared_ptr<MSHXCrashReporter>& hxCrashReporter() const { return hxCrashReporter_; }
  // Whether the delayed processing of this launch has finished (tests).
  bool isProcessingDone() const { return processingDone_.load(); }

  // ---- Channel callbacks ----
  void channelDidPrepareLog(MSChannelProtocol* channel, const MSLogPtr& log, const std::string& internalId,
                            std::uint64_t flags) override;
  void channelDidJournalLog(MSChannelProtocol* channel, const MSLogPtr& log, const std::string& internalId) override;
  void channelDidCompleteEnqueueingLog(MSChannelProtocol* channel, const MSLogPtr& log,
                                       const std::string& internalId) override;
  void channelWillSendLog(MSChannelProtocol* channel, const MSLogPtr& log) override;
  void channelDidSucceedSendingLog(MSChannelProtocol* channel, const MSLogPtr& log) override;
  void channelDidFailSendingLog(MSChannelProtocol* channel, const MSLogPtr& log,
                                const std::optional<vx::Error>& error) override;

 private:
  void configureCrashReporterWithUncaughtExceptionHandlerEnabled(bool enabled);
  void handleLatestCrashReport();
  void startDelayedCrashProcessing();
  void startCrashProcessing();
  void finishProcessing();
  bool shouldAlwaysSend() const;
  bool userPromptedForConfirmation();
  void clearUnprocessedReports();
  void clearContextHistoryAndKeepCurrentSession();
  void deleteAllFromCrashesDirectory();
  void deleteCrashReportWithFileURL(const std::filesystem::path& url);
  void removeCrashFile(const std::filesystem::path& url);
  std::shared_ptr<MSCrashesDelegate> delegate() const;
  void setupLogBuffer();
  // Frees the buffer slot holding the log, and its files when a crash has written them.
  void removeLogFromBuffer(const std::string& internalId);
  void processLogBufferAfterCrash();
  void emptyLogBufferFiles();

  mutable std::recursive_mutex stateMutex_;
  std::atomic<bool> didCrashInLastSession_{false};
  bool shouldReleaseProcessingSemaphore_ = true;
  bool enableMachExceptionHandler_ = true;
  std::atomic<bool> automaticProcessingEnabled_{true};
  std::weak_ptr<MSCrashesDelegate> delegate_;
  std::shared_ptr<MSErrorReport> lastSessionCrashReport_;
  vx::DispatchSemaphore delayedProcessingSemaphore_{0};
  std::atomic<bool> processingScheduled_{false};
  std::atomic<bool> processingDone_{false};
  std::vector<std::filesystem::path> crashFiles_;
  std::string crashesPathComponent_;
  std::string analyzerInProgressFilePathComponent_;
  std::shared_ptr<MSHXCrashReporter> hxCrashReporter_;
  bool unprocessedCreated_ = false;
  std::vector<std::shared_ptr<MSAppleErrorLog>> unprocessedLogs_;
  std::vector<std::shared_ptr<MSErrorReport>> unprocessedReports_;
  std::vector<std::filesystem::path> unprocessedFilePaths_;
  // Stored report files whose error log was handed to the channel, removed once the channel has
  // stored the log, so a crash in between leaves the report for the next launch.
  std::vector<std::pair<std::shared_ptr<MSAppleErrorLog>, std::filesystem::path>> filesAwaitingStore_;
  MSUserConfirmationHandler userConfirmationHandler_;
  std::string logBufferPathComponent_;
  std::shared_ptr<MSChannelUnitProtocol> bufferChannelUnit_;
};

// Crash time: writes every buffer slot to its file (and its token file). Async-signal-safe.
void ms_save_log_buffer();
