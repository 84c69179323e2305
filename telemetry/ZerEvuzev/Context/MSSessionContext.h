// The current session id and the per-launch history of session ids, persisted under the user
// defaults key "SessionIdHistory", so that a crash found at the next launch can be given the
// session that was current when it happened. One entry per launch: the launch's entry is made at
// initialisation and re-used by every change in that launch.
#pragma once

#include "telemetry/ZerEvuzev/Context/MSHistoryInfo.h"
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class MSSessionContext {
 public:
  static constexpr const char* kHistoryKey = "SessionIdHistory";

  // The process-wide context over MSUserDefaults::shared(), made on first use.
  static std::shared_ptr<MSSessionContext> sharedInstance();
  // Drops the shared context; the next sharedInstance() makes a fresh one (tests).
  static void resetSharedInstance();

  // Loads the stored history (an unreadable one counts as none) and starts this launch's entry,
  // stamped now, without a session id. Nothing is written yet.
  explicit MSSessionContext(std::shared_ptr<MSUserDefaults> defaults = MSUserDefaults::shared());

  // Every member takes the context's lock.
  std::optional<std::string> sessionId() const;
  // Stamps this launch's entry with the id and the current time, moves it to the end of the
  // history and writes the history.
  void setSessionId(const std::optional<std::string>& sessionId);
  // The session id of the newest entry strictly earlier than the date; nothing when none is.
  std::optional<std::string> sessionIdAt(vx::Date date) const;
  // Empties the history, keeps this launch's entry when asked, and writes the history.
  void clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession);

  // Copies, oldest entry first.
  MSSessionHistoryInfo currentSessionInfo() const;
  std::vector<MSSessionHistoryInfo> sessionHistory() const;

 private:
  void saveHistoryLocked();

  std::shared_ptr<MSUserDefaults> defaults_;
  mutable std::mutex mutex_;
  std::shared_ptr<MSSessionHistoryInfo> currentSessionInfo_;
  std::vector<std::shared_ptr<MSSessionHistoryInfo>> sessionHistory_;
};
