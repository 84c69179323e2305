// Timestamped history entries the telemetry contexts persist between launches (keyed archives in
// the user defaults), so that a crash found at the next launch can be given the session, user
// and device that were current when it happened.
#pragma once

#include "platform/foundation/KeyedArchiver.h"

#include <optional>
#include <string>

class MSHistoryInfo : public vx::Archivable {
 public:
  MSHistoryInfo() = default;
  explicit MSHistoryInfo(std::optional<vx::Date> timestamp_) : timestamp(timestamp_) {}
  explicit MSHistoryInfo(vx::KeyedUnarchiver& coder);

  std::optional<vx::Date> timestamp;  // "timestampKey"

  std::string className() const override { return "MSHistoryInfo"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
};

class MSSessionHistoryInfo : public MSHistoryInfo {
 public:
  MSSessionHistoryInfo() = default;
  MSSessionHistoryInfo(std::optional<vx::Date> timestamp_, std::optional<std::string> sessionId_)
      : MSHistoryInfo(timestamp_), sessionId(std::move(sessionId_)) {}
  explicit MSSessionHistoryInfo(vx::KeyedUnarchiver& coder);

  std::optional<std::string> sessionId;  // "sessionIdKey"

  std::string className() const override { return "MSSessionHistoryInfo"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
};

class MSUserIdHistoryInfo : public MSHistoryInfo {
 public:
  MSUserIdHistoryInfo() = default;
  MSUserIdHistoryInfo(std::optional<vx::Date> timestamp_, std::optional<std::string> userId_)
      : MSHistoryInfo(timestamp_), userId(std::move(userId_)) {}
  explicit MSUserIdHistoryInfo(vx::KeyedUnarchiver& coder);

  std::optional<std::string> userId;  // "userIdKey"

  std::string className() const override { return "MSUserIdHistoryInfo"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
};

// An auth token with the account it belongs to and its validity range; the entry of the auth
// token history.
class MSAuthTokenInfo : public vx::Archivable {
 public:
  MSAuthTokenInfo() = default;
  MSAuthTokenInfo(std::optional<std::string> authToken, std::optional<std::string> accountId,
                  std::optional<vx::Date> startTime, std::optional<vx::Date> expiresOn);
  explicit MSAuthTokenInfo(vx::KeyedUnarchiver& coder);

  const std::optional<std::string>& authToken() const { return authToken_; }  // "authTokenKey"
  const std::optional<std::string>& accountId() const { return accountId_; }  // "accountIdKey"
  const std::optional<vx::Date>& startTime() const { return startTime_; }     // "startTimeKey"
  const std::optional<vx::Date>& expiresOn() const { return expiresOn_; }     // "expiresOnKey"

  std::string className() const override { return "MSAuthTokenInfo"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;

 private:
  std::optional<std::string> authToken_;
  std::optional<std::string> accountId_;
  std::optional<vx::Date> startTime_;
  std::optional<vx::Date> expiresOn_;
};
