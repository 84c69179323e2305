// The entry point of wrapper SDKs (a runtime that hosts the application on top of this client):
// they may take part in setting up the crash handlers, switch automatic processing off and then
// drive processing and sending themselves. The application never uses it.
#pragma once

#include "telemetry/ZerEvuzevCrashes/Model/MSErrorLogs.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSErrorReport.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Told while the crash service sets up its handlers; every operation is optional, and the
// defaults are what runs without a delegate.
class MSCrashHandlerSetupDelegate {
 public:
  virtual ~MSCrashHandlerSetupDelegate() = default;
  // Asked first. False: the engine leaves the uncaught-exception hook to the wrapper runtime.
  virtual bool shouldEnableUncaughtExceptionHandler() { return true; }
  // Before the crash-recording engine is configured and enabled.
  virtual void willSetUpCrashHandlers() {}
  // After.
  virtual void didSetUpCrashHandlers() {}
};

class MSWrapperCrashesHelper {
 public:
  // The process-wide instance, created once.
  static MSWrapperCrashesHelper& sharedInstance();

  // Held weakly: a delegate released by its owner is no longer asked.
  static void setCrashHandlerSetupDelegate(const std::shared_ptr<MSCrashHandlerSetupDelegate>& delegate);
  // The delegate, or nullptr when none is set or it was released.
  static std::shared_ptr<MSCrashHandlerSetupDelegate> getCrashHandlerSetupDelegate();

  // The rest forward to the crash service's shared instance.
  static void setAutomaticProcessing(bool automaticProcessing);
  // Waits until this launch's processing is over; the reports that wait for confirmation.
  static std::vector<std::shared_ptr<MSErrorReport>> unprocessedCrashReports();
  // Sends the waiting reports whose incident identifiers are listed (or asks for confirmation)
  // and discards the others; the stored "always send" answer.
  static bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& filteredIds);
  static void sendErrorAttachments(const std::vector<std::shared_ptr<MSErrorAttachmentLog>>& errorAttachments,
                                   const std::string& incidentIdentifier);

 private:
  MSWrapperCrashesHelper() = default;

  mutable std::mutex mutex_;
  std::weak_ptr<MSCrashHandlerSetupDelegate> crashHandlerSetupDelegate_;
};
