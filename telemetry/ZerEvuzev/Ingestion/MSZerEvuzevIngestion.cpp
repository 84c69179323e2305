#include "telemetry/ZerEvuzev/Ingestion/MSZerEvuzevIngestion.h"

#include "telemetry/ZerEvuzev/Ingestion/MSHttpUtil.h"
#include "telemetry/ZerEvuzev/Ingestion/MSZEErrors.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"

MSZerEvuzevIngestion::MSZerEvuzevIngestion(std::string baseURL, std::string installId, MSReachabilityPtr reachability)
    : MSHttpIngestion(
          std::move(baseURL), kMSApiPath,
          {{kMSHeaderContentTypeKey, kMSAppliationJsonContentType}, {kMSHeaderInstallIdKey, std::move(installId)}},
          {{kMSApiVersionKey, kMSApiVersion}},
          reachability ? std::move(reachability) : MS_Reachability::reachabilityForInternetConnection()) {}

bool MSZerEvuzevIngestion::isReadyToSend() { return appSecret().has_value(); }

std::optional<std::string> MSZerEvuzevIngestion::appSecret() {
  std::lock_guard lock(appSecretMutex_);
  return appSecret_;
}

void MSZerEvuzevIngestion::setAppSecret(std::optional<std::string> appSecret) {
  std::lock_guard lock(appSecretMutex_);
  appSecret_ = std::move(appSecret);
}

void MSZerEvuzevIngestion::sendAsync(std::shared_ptr<MSLogContainer> data, std::optional<std::string> authToken,
                                     MSSendAsyncCompletionHandler handler) {
  if (!data || !data->isValid()) {
    const vx::Error error(kMSZEErrorDomain, kMSZELogInvalidContainerErrorCode, kMSZELogInvalidContainerErrorDesc);
    MSLogError(kMSLogTag, "%s", error.description.c_str());
    if (handler) handler(data && data->batchId ? *data->batchId : std::string(), std::nullopt, {}, error);
    return;
  }
  const std::string callId = data->batchId.value_or("");
  MSHttpIngestion::sendAsync(std::move(data), std::nullopt, std::move(authToken), callId, std::move(handler));
}

std::optional<vx::URLRequest> MSZerEvuzevIngestion::createRequest(const std::shared_ptr<MSLogContainer>& data,
                                                                  const std::optional<std::string>&,
                                                                  const std::optional<std::string>& authToken) {
  const auto secret = appSecret();
  if (!secret) {
    MSLogError(kMSLogTag, "ZerEvuzev ingestion is used without app secret.");
    return std::nullopt;
  }
  if (!data) return std::nullopt;
  const auto body = data->serializeLog();
  if (!body) return std::nullopt;

  vx::URLRequest request(sendURL(), "POST");
  for (const auto& [key, value] : httpHeaders()) request.headers.set(key, value);
  request.headers.set(kMSHeaderAppSecretKey, *secret);
  if (authToken && !authToken->empty()) request.headers.set(kMSAuthorizationHeaderKey, "Bearer " + *authToken);

  setBodyAndLog(request, *body);
  return request;
}

std::string MSZerEvuzevIngestion::obfuscateHeaderValue(const std::string& value, const std::string& key) {
  if (vx::HTTPHeaderFields::namesEqual(key, kMSAuthorizationHeaderKey)) return MSHttpUtil::hideAuthToken(value);
  if (vx::HTTPHeaderFields::namesEqual(key, kMSHeaderAppSecretKey)) return MSHttpUtil::hideSecret(value);
  return value;
}
