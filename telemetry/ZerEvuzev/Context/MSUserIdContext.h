// The current user id and the per-launch history of user ids, persisted under the user defaults
// key "UserIdHistory", with the user-id rules of the two ingestion back ends and the delegates
// told about changes.
#pragma once

#include "telemetry/ZerEvuzev/Context/MSHistoryInfo.h"
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class MSUserIdContext;

class MSUserIdContextDelegate {
 public:
  virtual ~MSUserIdContextDelegate() = default;
  // Called outside the context's lock, on the thread that set the user id.
  virtual void userIdContextDidUpdateUserId(MSUserIdContext& context, const std::optional<std::string>& userId) = 0;
};

class MSUserIdContext {
 public:
  static constexpr const char* kHistoryKey = "UserIdHistory";
  static constexpr std::size_t kMaxUserIdLength = 256;

  static std::shared_ptr<MSUserIdContext> sharedInstance();
  static void resetSharedInstance();

  // Default back end: nothing, or at most 256 characters (an error line otherwise).
  static bool isUserIdValidForZerEvuzev(const std::optional<std::string>& userId);
  // Common-schema back end: nothing, an id without ":", or "c:" followed by at least one
  // character (an error line otherwise).
  static bool isUserIdValidForUniCollector(const std::optional<std::string>& userId);
  // "c:" + id when the id holds no ":"; otherwise (and for nothing) unchanged.
  static std::optional<std::string> prefixedUserIdFromUserId(const std::optional<std::string>& userId);

  // Loads the stored history, starts this launch's entry (now, no user id) and writes the history
  // at once.
  explicit MSUserIdContext(std::shared_ptr<MSUserDefaults> defaults = MSUserDefaults::shared());

  std::optional<std::string> userId() const;
  // Does nothing when the id does not change; otherwise stamps this launch's entry, writes the
  // history and tells the delegates (after releasing the lock).
  void setUserId(const std::optional<std::string>& userId);
  std::optional<std::string> userIdAt(vx::Date date) const;
  // Keeps only this launch's entry and writes the history.
  void clearUserIdHistory();

  // Held weakly: a delegate that is gone is skipped.
  void addDelegate(const std::shared_ptr<MSUserIdContextDelegate>& delegate);
  void removeDelegate(const std::shared_ptr<MSUserIdContextDelegate>& delegate);

  MSUserIdHistoryInfo currentUserIdInfo() const;
  std::vector<MSUserIdHistoryInfo> userIdHistory() const;

 private:
  void saveHistoryLocked();

  std::shared_ptr<MSUserDefaults> defaults_;
  mutable std::mutex mutex_;
  std::shared_ptr<MSUserIdHistoryInfo> currentUserIdInfo_;
  std::vector<std::shared_ptr<MSUserIdHistoryInfo>> userIdHistory_;
  std::vector<std::weak_ptr<MSUserIdContextDelegate>> delegates_;
};
