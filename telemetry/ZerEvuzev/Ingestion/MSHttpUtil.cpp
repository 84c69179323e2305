#include "telemetry/ZerEvuzev/Ingestion/MSHttpUtil.h"

#include "platform/foundation/JSONLimits.h"
#include "platform/net/URLSession.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <sstream>
#include <vector>

bool MSHttpUtil::isRecoverableError(int statusCode) {
  return statusCode > 499 || statusCode == 408 || statusCode == 429 || statusCode == 0;
}

bool MSHttpUtil::isSuccessStatusCode(int statusCode) { return statusCode >= 200 && statusCode < 300; }

bool MSHttpUtil::isNoInternetConnectionError(const std::optional<vx::Error>& error) {
  return error && error->domain == vx::kURLErrorDomain &&
         (error->code == vx::kURLErrorNotConnectedToInternet || error->code == vx::kURLErrorNetworkConnectionLost);
}

bool MSHttpUtil::isSSLConnectionError(const std::optional<vx::Error>& error) {
  return error && error->domain == vx::kURLErrorDomain && error->code >= -2000 && error->code <= -1200;
}

std::string MSHttpUtil::hideSecret(const std::string& secret) {
  constexpr std::size_t kVisible = 8;
  if (secret.size() <= kVisible) return std::string(secret.size(), '*');
  return std::string(secret.size() - kVisible, '*') + secret.substr(secret.size() - kVisible);
}

std::string MSHttpUtil::hideAuthToken(const std::string& token) {
  std::istringstream in(token);
  std::vector<std::string> parts;
  for (std::string part; in >> part;) parts.push_back(part);
  if (parts.size() <= 1) return "***";
  return parts.front() + " ***";
}

std::string MSHttpPayloadForLog(const std::vector<std::uint8_t>& data, const std::optional<std::string>& contentType) {
  if (data.empty()) return {};
  const std::string type = contentType.value_or("");
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  std::optional<std::string> payload;
  if (type.rfind("application/json", 0) == 0) {
    // Too deep to pretty-print, and its compact text would slip past the token mask below.
    if (!vx::jsonNestingWithin(text)) {
      MSLogWarning(kMSLogTag, "Response body nests deeper than %zu levels; not printed", vx::kMaxJSONNesting);
      return kMSHttpPayloadTooDeep;
    }
    payload = MSUtility::prettyPrintJson(text);
  } else if (type.empty() || type.rfind("text/", 0) == 0 || type.rfind("application/", 0) == 0) {
    payload = std::string(text);
  } else {
    return "<binary>";
  }
  if (!payload) return "<binary>";
  return MSUtility::obfuscateString(payload, "\"token\" : \"[^\"]+\"", "\"token\" : \"***\"").value_or(*payload);
}
