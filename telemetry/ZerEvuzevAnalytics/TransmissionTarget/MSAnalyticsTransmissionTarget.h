// A named recipient of analytics events, identified by a target token: its events are turned
// into common-schema logs and sent through the common-schema units. Root targets come from the
// analytics service; each target hands out child targets by token, forming a tree in which every
// node has a persisted enabled switch (the user-defaults key "kMSAnalyticsIsEnabledKey/<target
// key>", shared by every token with the same part before its first "-"), a property configurator
// whose values children inherit, and pause and resume of its logs' sending. One authentication
// provider, registered on the class, serves every target.
//
// Parents hold their children and the analytics service holds the roots, for the service's life;
// a child refers to its parent weakly, so no cycle outlives the service.
//
// The switches are read and written under the analytics service's lock; the children map has a
// lock of its own; the class-wide provider another.
#pragma once

#include "telemetry/ZerEvuzev/Channel/MSChannelProtocol.h"
#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSEventProperties.h"
#include "telemetry/ZerEvuzevAnalytics/TransmissionTarget/MSAnalyticsAuthenticationProvider.h"
#include "telemetry/ZerEvuzevAnalytics/TransmissionTarget/MSPropertyConfigurator.h"

#include "platform/foundation/Value.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class MSAnalyticsTransmissionTarget : public MSChannelDelegate,
                                      public std::enable_shared_from_this<MSAnalyticsTransmissionTarget> {
 public:
  // A target with its configurator, both added as delegates of the group. Under a disabled parent
  // (or, for a root, a disabled analytics service) the new target's switch is stored off.
  static std::shared_ptr<MSAnalyticsTransmissionTarget> make(
      const std::string& token, const std::shared_ptr<MSAnalyticsTransmissionTarget>& parentTarget,
      const std::shared_ptr<MSChannelGroupProtocol>& channelGroup);

  const std::string& transmissionTargetToken() const { return transmissionTargetToken_; }
  std::shared_ptr<MSAnalyticsTransmissionTarget> parentTarget() const { return parentTarget_.lock(); }
  const std::string& isEnabledKey() const { return isEnabledKey_; }
  std::shared_ptr<MSPropertyConfigurator> propertyConfigurator() const { return propertyConfigurator_; }
  std::shared_ptr<MSChannelGroupProtocol> channelGroup() const { return channelGroup_.lock(); }

  // The child under the token, made and kept on first use.
  std::shared_ptr<MSAnalyticsTransmissionTarget> transmissionTargetForToken(const std::string& token);
  std::map<std::string, std::shared_ptr<MSAnalyticsTransmissionTarget>> childTransmissionTargets() const;
  // The parent's switch, or the analytics service's for a root.
  bool isImmediateParent() const;

  // The stored switch; on when nothing is stored.
  bool isEnabled() const;
  // Changes the switch (enabling under a disabled parent is refused with a warning; enabling
  // resumes) and pushes the value to every child.
  void setEnabled(bool isEnabled);
  // Hold back and let go of the sending of this target's logs; an error line when disabled.
  void pause();
  void resume();

  // Events of this target, with the tree's default properties (the nearest node's value of a
  // key wins; given properties win over all).
  void trackEvent(const std::string& name);
  void trackEvent(const std::string& name, const std::optional<std::map<std::string, std::string>>& properties);
  void trackEvent(const std::string& name, const std::optional<std::map<std::string, std::string>>& properties,
                  std::uint64_t flags);
  void trackEvent(const std::string& name, const std::shared_ptr<MSEventProperties>& properties);
  void trackEvent(const std::string& name, const std::shared_ptr<MSEventProperties>& properties, std::uint64_t flags);

  // ---- Class-wide authentication provider ----
  // Replaces the provider and asks it for its first token; an error line for none.
  static void addAuthenticationProvider(const std::shared_ptr<MSAnalyticsAuthenticationProvider>& provider);
  static std::shared_ptr<MSAnalyticsAuthenticationProvider> authenticationProvider();
  static void setAuthenticationProvider(std::shared_ptr<MSAnalyticsAuthenticationProvider> provider);

  // Sets the provider's ticket key on this target's common-schema logs and lets it renew its
  // token.
  void channelPrepareLog(MSChannelProtocol* channel, const MSLogPtr& log) override;

 private:
  MSAnalyticsTransmissionTarget(std::string token, std::shared_ptr<MSAnalyticsTransmissionTarget> parentTarget,
                                const std::shared_ptr<MSChannelGroupProtocol>& channelGroup);

  const std::string transmissionTargetToken_;
  const std::weak_ptr<MSAnalyticsTransmissionTarget> parentTarget_;
  const bool isRoot_;
  const std::weak_ptr<MSChannelGroupProtocol> channelGroup_;
  std::string isEnabledKey_;
  std::shared_ptr<MSPropertyConfigurator> propertyConfigurator_;
  mutable std::mutex childrenMutex_;
  std::map<std::string, std::shared_ptr<MSAnalyticsTransmissionTarget>> childTransmissionTargets_;
};
