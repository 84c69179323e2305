#include "telemetry/ZerEvuzevCrashes/MSWrapperCrashesHelper.h"

#include "telemetry/ZerEvuzevCrashes/MSCrashes.h"

MSWrapperCrashesHelper& MSWrapperCrashesHelper::sharedInstance() {
  // Never destroyed: the crash service may ask for the delegate while the process exits.
  static auto* instance = new MSWrapperCrashesHelper();
  return *instance;
}

void MSWrapperCrashesHelper::setCrashHandlerSetupDelegate(
    const std::shared_ptr<MSCrashHandlerSetupDelegate>& delegate) {
  auto& self = sharedInstance();
  std::lock_guard lock(self.mutex_);
  self.crashHandlerSetupDelegate_ = delegate;
}

std::shared_ptr<MSCrashHandlerSetupDelegate> MSWrapperCrashesHelper::getCrashHandlerSetupDelegate() {
  auto& self = sharedInstance();
  std::lock_guard lock(self.mutex_);
  return self.crashHandlerSetupDelegate_.lock();
}

void MSWrapperCrashesHelper::setAutomaticProcessing(bool automaticProcessing) {
  MSCrashes::sharedInstance()->setAutomaticProcessingEnabled(automaticProcessing);
}

std::vector<std::shared_ptr<MSErrorReport>> MSWrapperCrashesHelper::unprocessedCrashReports() {
  return MSCrashes::sharedInstance()->unprocessedCrashReports();
}

bool MSWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
    const std::vector<std::string>& filteredIds) {
  return MSCrashes::sharedInstance()->sendCrashReportsOrAwaitUserConfirmationForFilteredIds(filteredIds);
}

void MSWrapperCrashesHelper::sendErrorAttachments(
    const std::vector<std::shared_ptr<MSErrorAttachmentLog>>& errorAttachments, const std::string& incidentIdentifier) {
  MSCrashes::sharedInstance()->sendErrorAttachments(errorAttachments, incidentIdentifier);
}
