// The base of every telemetry service (analytics, crashes): its enabled state kept in the user
// defaults under "kMS<group id>IsEnabledKey", its channel unit made at start from its
// configuration, and whether it may be used. A subclass names its group, service and log tag and
// may give a channel unit configuration; its shared instance is what the SDK starts.
#pragma once

#include "telemetry/ZerEvuzev/Channel/MSChannelProtocol.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

class MSServiceAbstract : public std::enable_shared_from_this<MSServiceAbstract> {
 public:
  virtual ~MSServiceAbstract() = default;

  // ---- Supplied by the subclass ----
  virtual std::string groupId() const = 0;
  virtual std::string serviceName() const = 0;
  virtual std::string logTag() const = 0;
  // The class's name with its prefix ("MSAnalytics"); messages print it without the first two
  // characters.
  virtual std::string className() const = 0;
  // None: the service has no channel unit of its own.
  virtual std::shared_ptr<MSChannelUnitConfiguration> channelUnitConfiguration() const { return nullptr; }
  virtual int initializationPriority() const { return kMSDefaultInitializationPriority; }
  virtual bool isAppSecretRequired() const { return true; }

  // ---- Instance side ----
  // "kMS<group id>IsEnabledKey".
  std::string isEnabledKey() const;
  // The stored value; true when absent.
  bool isEnabled() const;
  // Applies and stores a changed value. Subclasses may add what follows a change of the switch.
  virtual void setEnabled(bool isEnabled);
  // The channel unit's setEnabled(value, true): disabling deletes the service's stored logs.
  virtual void applyEnabledState(bool isEnabled);
  // Configured SDK and started service; otherwise logs why (error) and answers false.
  bool canBeUsed() const;
  bool isAvailable() const { return isEnabled() && isStarted(); }
  bool isStarted() const;
  bool isStartedFromApplication() const;
  virtual void startWithChannelGroup(const std::shared_ptr<MSChannelGroupProtocol>& channelGroup,
                                     const std::optional<std::string>& appSecret,
                                     const std::optional<std::string>& transmissionTargetToken, bool fromApplication);
  virtual void updateConfigurationWithAppSecret(const std::optional<std::string>& appSecret,
                                                const std::optional<std::string>& transmissionTargetToken);

  std::shared_ptr<MSChannelGroupProtocol> channelGroup() const;
  std::shared_ptr<MSChannelUnitProtocol> channelUnit() const;
  std::optional<std::string> appSecret() const;
  std::optional<std::string> defaultTransmissionTargetToken() const;

  // ---- Class side, on the service's shared instance and under its lock ----
  // Refused (error) while the whole SDK is disabled, unless the SDK itself is pushing its state.
  static void setEnabled(const std::shared_ptr<MSServiceAbstract>& sharedInstance, bool isEnabled);
  static bool isEnabled(const std::shared_ptr<MSServiceAbstract>& sharedInstance);

  static constexpr int kMSDefaultInitializationPriority = 500;

 protected:
  // The class name less its two-letter prefix.
  std::string shortClassName() const;
  // The instance lock the class-level switch holds, for subclasses whose own operations must
  // run one at a time with it.
  std::recursive_mutex& instanceMutex() const { return mutex_; }

 private:
  mutable std::recursive_mutex mutex_;
  std::shared_ptr<MSChannelGroupProtocol> channelGroup_;
  std::shared_ptr<MSChannelUnitProtocol> channelUnit_;
  std::optional<std::string> appSecret_;
  std::optional<std::string> defaultTransmissionTargetToken_;
  bool startedFromApplication_ = false;
  bool started_ = false;
};
