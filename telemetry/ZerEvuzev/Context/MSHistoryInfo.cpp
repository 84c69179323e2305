#include "telemetry/ZerEvuzev/Context/MSHistoryInfo.h"

MSHistoryInfo::MSHistoryInfo(vx::KeyedUnarchiver& coder) : timestamp(coder.decodeDate("timestampKey")) {}

void MSHistoryInfo::encodeWithCoder(vx::KeyedArchiver& coder) const {
  if (timestamp) coder.encodeDate(*timestamp, "timestampKey");
}

MSSessionHistoryInfo::MSSessionHistoryInfo(vx::KeyedUnarchiver& coder)
    : MSHistoryInfo(coder), sessionId(coder.decodeString("sessionIdKey")) {}

void MSSessionHistoryInfo::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSHistoryInfo::encodeWithCoder(coder);
  if (sessionId) coder.encodeString(*sessionId, "sessionIdKey");
}

MSUserIdHistoryInfo::MSUserIdHistoryInfo(vx::KeyedUnarchiver& coder)
    : MSHistoryInfo(coder), userId(coder.decodeString("userIdKey")) {}

void MSUserIdHistoryInfo::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSHistoryInfo::encodeWithCoder(coder);
  if (userId) coder.encodeString(*userId, "userIdKey");
}

MSAuthTokenInfo::MSAuthTokenInfo(std::optional<std::string> authToken, std::optional<std::string> accountId,
                                 std::optional<vx::Date> startTime, std::optional<vx::Date> expiresOn)
    : authToken_(std::move(authToken)),
      accountId_(std::move(accountId)),
      startTime_(startTime),
      expiresOn_(expiresOn) {}

MSAuthTokenInfo::MSAuthTokenInfo(vx::KeyedUnarchiver& coder)
    : authToken_(coder.decodeString("authTokenKey")),
      accountId_(coder.decodeString("accountIdKey")),
      startTime_(coder.decodeDate("startTimeKey")),
      expiresOn_(coder.decodeDate("expiresOnKey")) {}

void MSAuthTokenInfo::encodeWithCoder(vx::KeyedArchiver& coder) const {
  if (authToken_) coder.encodeString(*authToken_, "authTokenKey");
  if (accountId_) coder.encodeString(*accountId_, "accountIdKey");
  if (startTime_) coder.encodeDate(*startTime_, "startTimeKey");
  if (expiresOn_) coder.encodeDate(*expiresOn_, "expiresOnKey");
}
