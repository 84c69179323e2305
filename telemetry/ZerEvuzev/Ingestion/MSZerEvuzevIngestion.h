// The sender of ordinary telemetry logs: posts a log container as one JSON document to
// "<base>/logs?api-version=1.0.0", authenticated by the application secret and the install id,
// gzipped from 1400 bytes on. Sending, retries and fatal errors are the base's.
#pragma once

#include "telemetry/ZerEvuzev/Ingestion/MSHttpIngestion.h"

#include <cstddef>
#include <optional>
#include <string>

class MSZerEvuzevIngestion : public MSHttpIngestion {
 public:
  static constexpr const char* kMSApiPath = "/logs";
  static constexpr const char* kMSApiVersionKey = "api-version";
  static constexpr const char* kMSApiVersion = "1.0.0";
  static constexpr const char* kMSHeaderInstallIdKey = "Install-ID";
  static constexpr const char* kMSHeaderAppSecretKey = "App-Secret";
  static constexpr const char* kMSAuthorizationHeaderKey = "Authorization";
  static constexpr const char* kMSHeaderContentTypeKey = "Content-Type";
  static constexpr const char* kMSAppliationJsonContentType = "application/json";
  // Bodies of this many bytes or more go out gzip-compressed.

  // MSHttpIngestion::make<MSZerEvuzevIngestion>(baseURL, installId); `reachability` defaults to
  // the internet-connection watcher.
  MSZerEvuzevIngestion(std::string baseURL, std::string installId, MSReachabilityPtr reachability = nullptr);

  // Only once the application secret is known.
  bool isReadyToSend() override;
  // A missing or invalid container never reaches the network: the handler gets error 1 at once.
  // Otherwise sent under the container's batch id, so a resent batch reuses its pending call.
  void sendAsync(std::shared_ptr<MSLogContainer> data, std::optional<std::string> authToken,
                 MSSendAsyncCompletionHandler handler) override;
  using MSHttpIngestion::sendAsync;

  std::optional<std::string> appSecret();
  void setAppSecret(std::optional<std::string> appSecret);

 protected:
  std::optional<vx::URLRequest> createRequest(const std::shared_ptr<MSLogContainer>& data,
                                              const std::optional<std::string>& eTag,
                                              const std::optional<std::string>& authToken) override;
  // "Authorization" and "App-Secret" values masked.
  std::string obfuscateHeaderValue(const std::string& value, const std::string& key) override;

 private:
  std::mutex appSecretMutex_;
  std::optional<std::string> appSecret_;
};
