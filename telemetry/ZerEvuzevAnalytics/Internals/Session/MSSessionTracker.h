// Decides when an analytics session begins, gives it a new id, hands a start-session log for it
// to its delegate, and stamps the current session id on every log the channel group prepares.
// A session ends only when the application has been inactive for at least the session timeout
// and no log has been created for that long either.
//
// The application's activity reaches the tracker through the application-delegate forwarder
// (the shell hands it the desktop's activation changes) while the tracker is started. Time comes
// from the foundation's current scheduler, so tests move it with a virtual clock.
#pragma once

#include "telemetry/ZerEvuzev/Channel/MSChannelProtocol.h"
#include "telemetry/ZerEvuzev/Context/MSSessionContext.h"
#include "telemetry/ZerEvuzev/Core/MSDelegateForwarder.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class MSSessionTracker;

class MSSessionTrackerDelegate {
 public:
  virtual ~MSSessionTrackerDelegate() = default;
  // Called inside the tracker's lock with the start-session log of a new session.
  virtual void sessionTrackerProcessLog(MSSessionTracker& tracker, const MSLogPtr& log) = 0;
};

class MSSessionTracker : public MSChannelDelegate,
                         public MSAppDelegate,
                         public std::enable_shared_from_this<MSSessionTracker> {
 public:
  static constexpr double kMSDefaultSessionTimeout = 20.0;  // seconds
  static constexpr const char* kMSPastSessionsKey = "pastSessionsKey";

  // Uses the shared session context and removes the obsolete "pastSessionsKey".
  MSSessionTracker();
  ~MSSessionTracker() override;

  // Held weakly: the service owns the tracker.
  void setDelegate(const std::shared_ptr<MSSessionTrackerDelegate>& delegate);
  double sessionTimeout() const;
  void setSessionTimeout(double seconds);
  // The application's state when tracking starts; MSUtility::applicationState unless a test
  // gives another source.
  void setApplicationStateProvider(std::function<MSApplicationState()> provider);

  // Starts a session when the application is active (or inactive, not hidden) and listens to
  // the forwarder. Ignored when already started.
  void start();
  // Stops listening and clears the current session id. Ignored when not started.
  void stop();
  bool isStarted() const;
  // A new session (id, history entry, start-session log) when there is none or it timed out.
  void renewSessionId();
  bool hasSessionTimedOut();

  void applicationDidEnterBackground();
  void applicationWillEnterForeground();

  std::optional<vx::Date> lastCreatedLogTime() const;
  std::optional<vx::Date> lastEnteredForegroundTime() const;
  std::optional<vx::Date> lastEnteredBackgroundTime() const;
  std::shared_ptr<MSSessionContext> context() const { return context_; }

  // ---- MSAppDelegate: the forwarder's events ----
  void applicationDidBecomeActive() override { applicationWillEnterForeground(); }
  void applicationWillResignActive() override { applicationDidEnterBackground(); }

  // ---- MSChannelDelegate ----
  // Stamps the current session id (except on start-session, start-service and marked logs) and
  // records the log's creation as activity (except for start-session and start-service logs).
  void channelPrepareLog(MSChannelProtocol* channel, const MSLogPtr& log) override;

 private:
  bool hasSessionTimedOutLocked();

  // The tracker's lock: start, stop, renewal and the timeout test.
  mutable std::recursive_mutex mutex_;
  // The three times, written from the enqueueing threads and the main thread; its own lock so
  // stamping a log never waits for a renewal.
  mutable std::mutex timesMutex_;
  std::optional<vx::Date> lastCreatedLogTime_;
  std::optional<vx::Date> lastEnteredForegroundTime_;
  std::optional<vx::Date> lastEnteredBackgroundTime_;

  std::shared_ptr<MSSessionContext> context_;
  std::weak_ptr<MSSessionTrackerDelegate> delegate_;
  std::function<MSApplicationState()> applicationStateProvider_;
  double sessionTimeout_ = kMSDefaultSessionTimeout;
  bool started_ = false;
};
