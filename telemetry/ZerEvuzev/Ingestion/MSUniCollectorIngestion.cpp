#include "telemetry/ZerEvuzev/Ingestion/MSUniCollectorIngestion.h"

#include "telemetry/ZerEvuzev/Ingestion/MSHttpUtil.h"
#include "telemetry/ZerEvuzev/Ingestion/MSTicketCache.h"
#include "telemetry/ZerEvuzev/Ingestion/MSZEErrors.h"
#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCommonSchemaLog.h"
#include "telemetry/ZerEvuzev/Util/MSJson.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <cmath>
#include <map>
#include <set>

namespace {

std::string clientVersion() {
  return MSFormat(MSUniCollectorIngestion::kMSClientVersionFormat, MSUtility::sdkVersion().c_str());
}

}  // namespace

MSUniCollectorIngestion::MSUniCollectorIngestion(std::string baseUrl, MSReachabilityPtr reachability)
    : MSHttpIngestion(
          std::move(baseUrl), std::string(kMSUniCollectorApiPath) + "/" + kMSUniCollectorApiVersion,
          {{kMSHeaderContentTypeKey, kMSUniCollectorContentType}, {kMSHeaderClientVersionKey, clientVersion()}}, {},
          reachability ? std::move(reachability) : MS_Reachability::reachabilityForInternetConnection(),
          defaultRetryIntervals(), kMSMaxNumberOfConnections) {}

void MSUniCollectorIngestion::sendAsync(std::shared_ptr<MSLogContainer> data, std::optional<std::string> authToken,
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

std::optional<vx::URLRequest> MSUniCollectorIngestion::createRequest(const std::shared_ptr<MSLogContainer>& data,
                                                                     const std::optional<std::string>&,
                                                                     const std::optional<std::string>&) {
  if (!data) return std::nullopt;
  vx::URLRequest request(sendURL(), "POST");
  for (const auto& [key, value] : httpHeaders()) request.headers.set(key, value);

  std::set<std::string> tokens;
  std::map<std::string, std::string> tickets;
  std::string body;
  for (const auto& log : data->logs) {
    if (!log) return std::nullopt;
    for (const auto& token : log->transmissionTargetTokens()) tokens.insert(token);
    if (auto csLog = std::dynamic_pointer_cast<MSCommonSchemaLog>(log);
        csLog && csLog->ext && csLog->ext->protocolExt && csLog->ext->protocolExt->ticketKeys) {
      for (const auto& ticketKey : *csLog->ext->protocolExt->ticketKeys) {
        if (auto ticket = MSTicketCache::sharedInstance().ticketFor(ticketKey)) tickets[ticketKey] = *ticket;
      }
    }
    const auto line = log->serializeLogWithPrettyPrinting(false);
    if (!line) {
      MSLogError(kMSLogTag, "A common-schema log could not be written as JSON; the batch is not sent.");
      return std::nullopt;
    }
    body += *line;
    body += '\n';
  }
  std::string apiKey;
  for (const auto& token : tokens) {
    if (!apiKey.empty()) apiKey += ',';
    apiKey += token;
  }
  request.headers.set(kMSHeaderApiKey, apiKey);
  request.headers.set(kMSHeaderUploadTimeKey,
                      std::to_string(static_cast<long long>(std::trunc(MSUtility::nowInMilliseconds()))));
  if (!tickets.empty()) {
    MSJson json = MSJson::object();
    for (const auto& [key, ticket] : tickets) json[key] = ticket;
    request.headers.set(kMSHeaderTicketsKey, json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }

  setBodyAndLog(request, body);
  return request;
}

std::string MSUniCollectorIngestion::obfuscateHeaderValue(const std::string& value, const std::string& key) {
  if (vx::HTTPHeaderFields::namesEqual(key, kMSHeaderApiKey)) return obfuscateTargetTokens(value);
  if (vx::HTTPHeaderFields::namesEqual(key, kMSHeaderTicketsKey)) return obfuscateTickets(value);
  return value;
}

std::string MSUniCollectorIngestion::obfuscateTargetTokens(const std::string& tokens) {
  std::string result;
  std::size_t start = 0;
  while (true) {
    const auto comma = tokens.find(',', start);
    const auto token = tokens.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    result += MSHttpUtil::hideSecret(token);
    if (comma == std::string::npos) break;
    result += ',';
    start = comma + 1;
  }
  return result;
}

std::string MSUniCollectorIngestion::obfuscateTickets(const std::string& tickets) {
  std::string result;
  for (std::size_t i = 0; i < tickets.size();) {
    if (tickets[i] == ':' && i + 1 < tickets.size() && tickets[i + 1] != '"') {
      result += ":***";
      i += 1;
      while (i < tickets.size() && tickets[i] != '"') ++i;
    } else {
      result += tickets[i++];
    }
  }
  return result;
}
