// The sender of common-schema logs: posts a container to "<base>/UniCollector/1.0" as one JSON
// object per line, the logs' distinct target tokens in "apikey", the upload time in milliseconds,
// the tickets the cache holds for the logs' ticket keys, gzipped from 1400 bytes on. Sending,
// retries and fatal errors are the base's.
#pragma once

#include "telemetry/ZerEvuzev/Ingestion/MSHttpIngestion.h"

#include <cstddef>
#include <optional>
#include <string>

class MSUniCollectorIngestion : public MSHttpIngestion {
 public:
  static constexpr const char* kMSUniCollectorApiPath = "/UniCollector";
  static constexpr const char* kMSUniCollectorApiVersion = "1.0";
  static constexpr const char* kMSHeaderContentTypeKey = "Content-Type";
  static constexpr const char* kMSUniCollectorContentType = "application/x-json-stream; charset=utf-8";
  static constexpr const char* kMSHeaderClientVersionKey = "Client-Version";
  static constexpr const char* kMSClientVersionFormat = "ACS-iOS-ObjectiveC-no-%s-no";
  static constexpr const char* kMSHeaderUploadTimeKey = "Upload-Time";
  static constexpr const char* kMSHeaderApiKey = "apikey";
  static constexpr const char* kMSHeaderTicketsKey = "Tickets";
  static constexpr std::size_t kMSMaxNumberOfConnections = 2;

  // MSHttpIngestion::make<MSUniCollectorIngestion>(baseUrl); `reachability` defaults to the
  // internet-connection watcher.
  explicit MSUniCollectorIngestion(std::string baseUrl, MSReachabilityPtr reachability = nullptr);

  // A missing or invalid container never reaches the network: the handler gets error 1 at once.
  void sendAsync(std::shared_ptr<MSLogContainer> data, std::optional<std::string> authToken,
                 MSSendAsyncCompletionHandler handler) override;
  using MSHttpIngestion::sendAsync;

  // The value as it may be logged: target tokens in "apikey" and tickets in "Tickets" masked.
  std::string obfuscateHeaderValue(const std::string& value, const std::string& key) override;
  static std::string obfuscateTargetTokens(const std::string& tokens);
  // Every ':' followed by characters other than '"' becomes ":***".
  static std::string obfuscateTickets(const std::string& tickets);

  // Public so tests can read the request the container would make.
  std::optional<vx::URLRequest> createRequest(const std::shared_ptr<MSLogContainer>& data,
                                              const std::optional<std::string>& eTag,
                                              const std::optional<std::string>& authToken) override;
};
