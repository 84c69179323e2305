// The per-target overrides of what a transmission target's common-schema events say about the
// application (version, name, locale) and the user (local user id), the default event
// properties merged into every event of the target's subtree, and the opt-in device id
// ("u:" and the machine's platform UUID). For each of the four overrides the nearest node of the
// target tree that has a value supplies it; the device id is this node's own.
//
// A delegate of the channel group: it writes its values into the common-schema logs its target
// tracked while the channel prepares them. The string fields have a lock of their own; the
// default event properties are read and written under the analytics service's lock, the lock the
// events are built under.
#pragma once

#include "telemetry/ZerEvuzev/Channel/MSChannelProtocol.h"
#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSEventProperties.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

class MSAnalyticsTransmissionTarget;

class MSPropertyConfigurator : public MSChannelDelegate {
 public:
  // Keeps the target weakly; empty default properties.
  explicit MSPropertyConfigurator(const std::shared_ptr<MSAnalyticsTransmissionTarget>& target);

  std::optional<std::string> appVersion() const;
  std::optional<std::string> appName() const;
  std::optional<std::string> appLocale() const;
  // The prefixed form ("c:" before an id without a prefix).
  std::optional<std::string> userId() const;
  std::optional<std::string> deviceId() const;
  // std::nullopt: inherit.
  void setAppVersion(std::optional<std::string> appVersion);
  void setAppName(std::optional<std::string> appName);
  void setAppLocale(std::optional<std::string> appLocale);
  // Stored when the common-schema user-id rules accept it; otherwise unchanged (the refusal's
  // error line comes from the user-id context).
  void setUserId(const std::optional<std::string>& userId);

  // Default event properties, each through the container's setter and its checks.
  void setEventPropertyString(const std::optional<std::string>& value, const std::optional<std::string>& key);
  void setEventPropertyDouble(double value, const std::optional<std::string>& key);
  void setEventPropertyInt64(std::int64_t value, const std::optional<std::string>& key);
  void setEventPropertyBool(bool value, const std::optional<std::string>& key);
  void setEventPropertyDate(const std::optional<vx::Date>& value, const std::optional<std::string>& key);
  // A missing key is refused with an error line; an absent key changes nothing.
  void removeEventPropertyForKey(const std::optional<std::string>& key);
  // Adds this node's properties whose keys the container lacks.
  void mergeTypedPropertiesWith(MSEventProperties& properties) const;
  // A copy of this node's default properties.
  std::shared_ptr<MSEventProperties> eventProperties() const;

  // Sets the device id from getDeviceIdentifier (it stays unset when the UUID cannot be read).
  void collectDeviceId();
  // "u:" and the machine's platform UUID; std::nullopt when the machine gives none.
  static std::optional<std::string> getDeviceIdentifier();

  // Fills the common-schema log's application, user and device extensions when the log belongs
  // to this configurator's (enabled) target.
  void channelPrepareLog(MSChannelProtocol* channel, const MSLogPtr& log) override;

 private:
  std::weak_ptr<MSAnalyticsTransmissionTarget> transmissionTarget_;
  mutable std::mutex mutex_;  // the string fields
  std::optional<std::string> appVersion_;
  std::optional<std::string> appName_;
  std::optional<std::string> appLocale_;
  std::optional<std::string> userId_;
  std::optional<std::string> deviceId_;
  const std::shared_ptr<MSEventProperties> eventProperties_ = std::make_shared<MSEventProperties>();
};
