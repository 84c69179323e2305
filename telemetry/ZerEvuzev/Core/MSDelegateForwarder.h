// Hands application events to the telemetry services that registered for them. Nothing is
// swapped at run time on this platform: the application shell calls the application forwarder
// with each event it receives (activation, deactivation, URLs to open), and the forwarder passes
// it to every registered delegate. Whether it may forward is a switch read from the bundle's info
// dictionary; while switched off, registering delegates does nothing.
//
// The trace buffer holds the forwarder's own log lines until the SDK's log level is first set,
// so they appear at the level the application chose.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What a service may hear about the application. Every call is optional.
class MSAppDelegate {
 public:
  virtual ~MSAppDelegate() = default;
  virtual void applicationDidBecomeActive() {}
  virtual void applicationWillResignActive() {}
  virtual void applicationOpenURLs(const std::vector<std::string>& /*urls*/) {}
};

class MSDelegateForwarder {
 public:
  using MSTraceBlock = std::function<void()>;

  MSDelegateForwarder();
  virtual ~MSDelegateForwarder() = default;

  // Under the forwarder's lock and only while enabled; delegates are held weakly.
  void addDelegate(const std::shared_ptr<MSAppDelegate>& delegate);
  void removeDelegate(const std::shared_ptr<MSAppDelegate>& delegate);
  // Reads the boolean key from the main bundle's info dictionary (absent: enabled), applies it
  // and traces the outcome.
  void setEnabledFromPlistForKey(const std::string& key);
  bool isEnabled();
  // Disabling drops every delegate.
  void setEnabled(bool isEnabled);
  // The live delegates, in registration order.
  std::vector<std::shared_ptr<MSAppDelegate>> delegates();

  // Queued until flushTraceBuffer(), run at once afterwards.
  static void addTraceBlock(MSTraceBlock block);
  // Runs the queued blocks in order and stops buffering; later blocks run at once.
  static void flushTraceBuffer();
  // Starts buffering again (tests).
  static void resetTraceBufferForTesting();

 protected:
  // Calls `call` on every live delegate, in order, under the class-wide forwarding lock; nothing
  // while disabled.
  void forward(const std::function<void(MSAppDelegate&)>& call);

 private:
  std::mutex mutex_;
  std::vector<std::weak_ptr<MSAppDelegate>> delegates_;
  bool enabled_ = true;
};

// The forwarder of the application's events; its switch is "ZerEvuzevAppDelegateForwarderEnabled".
class MSAppDelegateForwarder : public MSDelegateForwarder {
 public:
  static constexpr const char* kMSAppDelegateForwarderEnabledKey = "ZerEvuzevAppDelegateForwarderEnabled";

  // Made once; reads its switch when made.
  static std::shared_ptr<MSAppDelegateForwarder> sharedInstance();
  // Replaces the shared instance by a new one, which reads its switch again (tests).
  static void resetSharedInstance();
  static std::string enabledKey() { return kMSAppDelegateForwarderEnabledKey; }

  // The shell's events.
  void applicationDidBecomeActive();
  void applicationWillResignActive();
  void applicationOpenURLs(const std::vector<std::string>& urls);
};
