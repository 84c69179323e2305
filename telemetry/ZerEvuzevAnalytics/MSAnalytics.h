// The telemetry SDK's analytics service. It turns tracking calls into event and page logs and
// enqueues them into its two channel units, "Analytics" (normal) and "Analytics_critical"; it
// owns the session tracker and sends its start-session logs; it activates automatic page views;
// it forwards the channel's send callbacks for events and pages to an application delegate; and,
// as a delegate of the whole channel group, it validates every event and page log before the log
// is stored (names, property counts, lengths and value types).
//
// Started after the crash service (the base priority, 500), no app secret needed. Every refusal
// is a log line under "ZerEvuzevAnalytics", never an error to the caller.
//
// Locks: tracking, pause and resume run under the service's instance lock (the base's, the one
// the class-level enable switch takes), so events from several threads are built and enqueued
// one at a time. The service's own fields sit behind a leaf lock that is never held while calling
// out, so the session tracker may send its logs from the main thread at any time.
#pragma once

#include "platform/foundation/Value.h"
#include "telemetry/ZerEvuzev/Core/MSServiceAbstract.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSEventLog.h"
#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSEventProperties.h"
#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSPageLog.h"
#include "telemetry/ZerEvuzevAnalytics/Internals/Session/MSSessionTracker.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class MSAnalytics;
class MSAnalyticsTransmissionTarget;

// Told when event and page logs are about to be sent, were sent, or failed. Every call is
// optional; they arrive on the thread where the channel units call their delegates.
class MSAnalyticsDelegate {
 public:
  virtual ~MSAnalyticsDelegate() = default;
  virtual void analyticsWillSendEventLog(MSAnalytics& /*analytics*/, const std::shared_ptr<MSEventLog>& /*log*/) {}
  virtual void analyticsWillSendPageLog(MSAnalytics& /*analytics*/, const std::shared_ptr<MSPageLog>& /*log*/) {}
  virtual void analyticsDidSucceedSendingEventLog(MSAnalytics& /*analytics*/,
                                                  const std::shared_ptr<MSEventLog>& /*log*/) {}
  virtual void analyticsDidSucceedSendingPageLog(MSAnalytics& /*analytics*/,
                                                 const std::shared_ptr<MSPageLog>& /*log*/) {}
  virtual void analyticsDidFailSendingEventLog(MSAnalytics& /*analytics*/, const std::shared_ptr<MSEventLog>& /*log*/,
                                               const std::optional<vx::Error>& /*error*/) {}
  virtual void analyticsDidFailSendingPageLog(MSAnalytics& /*analytics*/, const std::shared_ptr<MSPageLog>& /*log*/,
                                              const std::optional<vx::Error>& /*error*/) {}
};

class MSAnalytics : public MSServiceAbstract, public MSChannelDelegate, public MSSessionTrackerDelegate {
 public:
  static constexpr const char* kMSServiceName = "Analytics";
  static constexpr const char* kMSGroupId = "Analytics";
  static constexpr const char* kMSLogTag = "ZerEvuzevAnalytics";
  static constexpr const char* kMSCriticalGroupIdSuffix = "critical";
  static constexpr const char* kMSUniCollectorGroupIdSuffix = "/one";
  // Flags: the low eight bits are the persistence.
  static constexpr std::uint64_t kMSFlagsNormal = 1;
  static constexpr std::uint64_t kMSFlagsCritical = 2;
  static constexpr std::uint64_t kMSFlagsPersistenceMask = 0xFF;
  // Transmission interval, seconds.
  static constexpr std::uint64_t kMSMinFlushInterval = 3;
  static constexpr std::uint64_t kMSMaxFlushInterval = 86400;
  // Validation limits, in characters.
  static constexpr std::size_t kMSMaxEventNameLength = 256;
  static constexpr std::size_t kMSMaxPropertiesPerLog = 20;
  static constexpr std::size_t kMSMaxPropertyKeyLength = 125;
  static constexpr std::size_t kMSMaxPropertyValueLength = 125;

  // Made once, with its session tracker whose delegate it is.
  static std::shared_ptr<MSAnalytics> sharedInstance();
  // The next sharedInstance() makes a new one (tests).
  static void resetSharedInstance();
  // Registers the analytics log classes for unarchiving; safe to call repeatedly.
  static void registerArchivableClasses();

  MSAnalytics();

  // ---- Class operations, on the shared instance ----
  static void trackEvent(const std::string& name);
  // String properties; values that are not strings are dropped.
  static void trackEvent(const std::string& name, const std::optional<vx::ValueMap>& properties);
  static void trackEvent(const std::string& name, const std::optional<vx::ValueMap>& properties, std::uint64_t flags);
  static void trackEvent(const std::string& name, const std::shared_ptr<MSEventProperties>& typedProperties);
  static void trackEvent(const std::string& name, const std::shared_ptr<MSEventProperties>& typedProperties,
                         std::uint64_t flags);
  // The event of a transmission target (none: the default target, if any); the target's own
  // properties are not validated.
  static void trackEvent(const std::string& name, const std::shared_ptr<MSEventProperties>& typedProperties,
                         const std::shared_ptr<MSAnalyticsTransmissionTarget>& target, std::uint64_t flags);
  static void trackPage(const std::string& name);
  static void trackPage(const std::string& name, const std::optional<vx::ValueMap>& properties);
  static void pause();
  static void resume();
  static void setAutoPageTrackingEnabled(bool isEnabled);
  static bool isAutoPageTrackingEnabled();
  // 3 to 86400 seconds, before the start only.
  static void setTransmissionInterval(std::uint64_t seconds);
  static void setDelegate(std::shared_ptr<MSAnalyticsDelegate> delegate);
  // The root target of the token, made and kept on first use.
  static std::shared_ptr<MSAnalyticsTransmissionTarget> transmissionTargetForToken(const std::string& token);
  // Hold back and let go of the sending of the token's target key in both common-schema units.
  static void pauseTransmissionTargetForToken(const std::string& token);
  static void resumeTransmissionTargetForToken(const std::string& token);
  // ---- MSServiceAbstract ----
  std::string groupId() const override { return kMSGroupId; }
  std::string serviceName() const override { return kMSServiceName; }
  std::string logTag() const override { return kMSLogTag; }
  std::string className() const override { return "MSAnalytics"; }
  bool isAppSecretRequired() const override { return false; }
  std::shared_ptr<MSChannelUnitConfiguration> channelUnitConfiguration() const override;
  // The "Analytics" unit from the transmission interval, the base start, then the critical unit
  // and the page-view hook.
  void startWithChannelGroup(const std::shared_ptr<MSChannelGroupProtocol>& channelGroup,
                             const std::optional<std::string>& appSecret,
                             const std::optional<std::string>& transmissionTargetToken, bool fromApplication) override;
  // Both units; when started from the application, enabling also resumes, starts the session
  // tracker, joins the channel group's delegates and replays the missed page view, and disabling
  // leaves them, stops the tracker and clears the session history.
  void applyEnabledState(bool isEnabled) override;
  // The base's switch, then the same value for every root target handed out.
  void setEnabled(bool isEnabled) override;
  using MSServiceAbstract::setEnabled;
  void updateConfigurationWithAppSecret(const std::optional<std::string>& appSecret,
                                        const std::optional<std::string>& transmissionTargetToken) override;
  // The service's instance lock: targets and configurators take it for their switches and
  // default properties.
  std::recursive_mutex& serviceLock() const { return instanceMutex(); }

  // ---- Instance operations (the class operations' bodies) ----
  void trackEventInstance(const std::string& name, const std::optional<vx::ValueMap>& properties, std::uint64_t flags);
  void trackEventInstance(const std::string& name, const std::shared_ptr<MSEventProperties>& typedProperties,
                          const std::shared_ptr<MSAnalyticsTransmissionTarget>& target, std::uint64_t flags);
  std::shared_ptr<MSAnalyticsTransmissionTarget> transmissionTargetForTokenInstance(const std::string& token);
  // A new root target; not kept.
  std::shared_ptr<MSAnalyticsTransmissionTarget> createTransmissionTargetForToken(const std::string& token);
  void pauseTransmissionTargetForTokenInstance(const std::string& token);
  void resumeTransmissionTargetForTokenInstance(const std::string& token);
  std::shared_ptr<MSAnalyticsTransmissionTarget> defaultTransmissionTarget() const;
  // The common-schema twins of the two units, looked up on first use.
  std::shared_ptr<MSChannelUnitProtocol> uniCollectorChannelUnit();
  std::shared_ptr<MSChannelUnitProtocol> uniCollectorCriticalChannelUnit();
  void trackPageInstance(const std::string& name, const std::optional<vx::ValueMap>& properties);
  void pauseInstance();
  void resumeInstance();
  void setTransmissionIntervalInstance(std::uint64_t seconds);
  // Enqueues on the critical unit when bit 1 (value 2) of the flags is set, else the normal one.
  void sendLog(const MSLogPtr& log, std::uint64_t flags);
  // The string entries only (a warning for each invalid key).
  static MSStringDictionary removeInvalidProperties(const vx::ValueMap& properties);

  bool autoPageTrackingEnabled() const;
  void setAutoPageTrackingEnabledInstance(bool isEnabled);
  std::uint64_t flushInterval() const;
  // Sets the interval the next start uses, without the range check of setTransmissionInterval.
  void setFlushInterval(std::uint64_t seconds);
  std::shared_ptr<MSAnalyticsDelegate> delegate() const;
  std::shared_ptr<MSSessionTracker> sessionTracker() const { return sessionTracker_; }
  std::shared_ptr<MSChannelUnitProtocol> criticalChannelUnit() const;

  // ---- Validation ----
  // Names and string properties of an event or page log, corrected in place; false drops it.
  static bool validateLog(MSLogWithNameAndProperties& log);
  // The name, cut to 256 characters (warning); std::nullopt (error) for a missing or empty one.
  static std::optional<std::string> validateEventName(const std::optional<std::string>& name,
                                                      const std::string& logType);
  static MSStringDictionary validateProperties(const MSStringDictionary& properties, const std::string& logName,
                                               const std::string& logType);
  // At most 20 properties (warning once), keys and string values cut to 125 characters.
  static std::shared_ptr<MSEventProperties> validateZerEvuzevEventProperties(const MSEventProperties& properties);
  // A new property of the same kind with a checked name (and string value); nullptr for another
  // kind.
  static std::shared_ptr<MSTypedProperty> validateZerEvuzevTypedProperty(const MSTypedProperty& property);
  static std::string validateZerEvuzevPropertyName(const std::string& key);
  static std::string validateZerEvuzevStringTypedPropertyValue(const std::string& value);

  // ---- MSSessionTrackerDelegate ----
  void sessionTrackerProcessLog(MSSessionTracker& tracker, const MSLogPtr& log) override;

  // ---- MSChannelDelegate ----
  void channelWillSendLog(MSChannelProtocol* channel, const MSLogPtr& log) override;
  void channelDidSucceedSendingLog(MSChannelProtocol* channel, const MSLogPtr& log) override;
  void channelDidFailSendingLog(MSChannelProtocol* channel, const MSLogPtr& log,
                                const std::optional<vx::Error>& error) override;
  // Keeps every log but events and pages; those are dropped when they do not validate.
  bool channelUnitShouldFilterLog(MSChannelUnitProtocol* channelUnit, const MSLogPtr& log) override;

 private:
  std::shared_ptr<MSAnalytics> self();

  const std::shared_ptr<MSSessionTracker> sessionTracker_;
  // Leaf lock of the fields below; nothing is called while it is held.
  mutable std::mutex mutex_;
  bool autoPageTrackingEnabled_ = false;
  std::uint64_t flushInterval_ = MSChannelUnitConfiguration::kMSDefaultFlushInterval;
  std::shared_ptr<MSChannelUnitConfiguration> channelUnitConfiguration_;
  std::shared_ptr<MSChannelUnitProtocol> normalChannelUnit_;
  std::shared_ptr<MSChannelUnitProtocol> criticalChannelUnit_;
  std::shared_ptr<MSAnalyticsDelegate> delegate_;
  std::map<std::string, std::shared_ptr<MSAnalyticsTransmissionTarget>> transmissionTargets_;
  std::shared_ptr<MSAnalyticsTransmissionTarget> defaultTransmissionTarget_;
  std::shared_ptr<MSChannelUnitProtocol> uniCollectorChannelUnit_;
  std::shared_ptr<MSChannelUnitProtocol> uniCollectorCriticalChannelUnit_;
};
