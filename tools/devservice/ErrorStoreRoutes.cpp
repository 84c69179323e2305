// The error-reporting store endpoint: "<prefix>/api/<project>/store/" takes one gzipped JSON event
// with an "X-Plover-Auth" header, as the error-reporting client sends it.
#include "tools/devservice/DevService.h"

#include <nlohmann/json.hpp>

#include <map>
#include <sstream>

namespace vx::devservice {
namespace {

// "Plover a=1,b=2" -> {a: 1, b: 2}; empty when the scheme word is missing.
std::map<std::string, std::string> parseAuthHeader(const std::string& header) {
  std::map<std::string, std::string> pairs;
  const std::string scheme = "Plover ";
  if (header.compare(0, scheme.size(), scheme) != 0) return pairs;
  std::istringstream in(header.substr(scheme.size()));
  std::string pair;
  while (std::getline(in, pair, ',')) {
    const auto eq = pair.find('=');
    if (eq == std::string::npos) continue;
    pairs[pair.substr(0, eq)] = pair.substr(eq + 1);
  }
  return pairs;
}

}  // namespace

DEVSERVICE_ROUTE_SET(errorStore) {
  service.addRoute("POST", "(/.*)?/api/([^/]+)/store/", [](const Request& request, Response& response) {
    const auto auth = parseAuthHeader(request.header("X-Plover-Auth").value_or(""));
    if (auth.count("plover_version") == 0 || auth.at("plover_version") != "7" || auth.count("plover_key") == 0 ||
        auth.at("plover_key").empty() || auth.count("plover_timestamp") == 0 || auth.count("plover_client") == 0) {
      response.setJSON(R"({"error":"missing or invalid X-Plover-Auth header"})", 401);
      return;
    }
    if (request.bodyError || !request.bodyWasGzip) {
      response.setJSON(R"({"error":"body must be gzip-encoded JSON"})", 400);
      return;
    }
    const auto event = parseBoundedJSON(request.body);
    if (event.is_discarded() || !event.is_object() || !event.contains("event_id") || !event["event_id"].is_string()) {
      response.setJSON(R"({"error":"body is not an event"})", 400);
      return;
    }
    response.setJSON(nlohmann::json{{"id", event["event_id"]}}.dump());
  });
}

}  // namespace vx::devservice
