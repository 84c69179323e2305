// The read-only summary of one crash that the application's delegate and confirmation handler
// see. Not serialised and not archived; only the signal may be changed.
#pragma once

#include "platform/foundation/DateFormat.h"
#include "telemetry/ZerEvuzev/Model/MSDevice.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class MSErrorReport {
 public:
  MSErrorReport(std::optional<std::string> incidentIdentifier, std::optional<std::string> reporterKey,
                std::optional<std::string> signal, std::optional<std::string> exceptionName,
                std::optional<std::string> exceptionReason, std::optional<vx::Date> appStartTime,
                std::optional<vx::Date> appErrorTime, std::shared_ptr<MSDevice> device,
                std::uint64_t appProcessIdentifier);

  const std::optional<std::string>& incidentIdentifier() const { return incidentIdentifier_; }
  const std::optional<std::string>& reporterKey() const { return reporterKey_; }
  const std::optional<std::string>& signal() const { return signal_; }
  void setSignal(std::optional<std::string> signal) { signal_ = std::move(signal); }
  const std::optional<std::string>& exceptionName() const { return exceptionName_; }
  const std::optional<std::string>& exceptionReason() const { return exceptionReason_; }
  const std::optional<vx::Date>& appStartTime() const { return appStartTime_; }
  const std::optional<vx::Date>& appErrorTime() const { return appErrorTime_; }
  const std::shared_ptr<MSDevice>& device() const { return device_; }
  std::uint64_t appProcessIdentifier() const { return appProcessIdentifier_; }

  // The signal, upper-cased, is "SIGKILL".
  bool isAppKill() const;

 private:
  std::optional<std::string> incidentIdentifier_;
  std::optional<std::string> reporterKey_;
  std::optional<std::string> signal_;
  std::optional<std::string> exceptionName_;
  std::optional<std::string> exceptionReason_;
  std::optional<vx::Date> appStartTime_;
  std::optional<vx::Date> appErrorTime_;
  std::shared_ptr<MSDevice> device_;
  std::uint64_t appProcessIdentifier_;
};
