// The telemetry ingestion endpoint: "POST /logs?api-version=1.0.0" takes one log container
// ({"logs":[...]}, gzipped from 1400 bytes on) with the "Install-ID" and "App-Secret" headers, as
// the telemetry client's default ingestion sends it. Every accepted container is kept, and
// "GET /logs/received" gives them back (tests read what arrived; faults change the answers).
#include "tools/devservice/DevService.h"

#include "platform/foundation/UUID.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <mutex>

namespace vx::devservice {
namespace {

struct ReceivedContainers {
  std::mutex mutex;
  nlohmann::json containers = nlohmann::json::array();
};

// Empty when a crash's error log has the fields the service needs, else why not.
std::string errorLogProblem(const nlohmann::json& log) {
  for (const char* key :
       {"id", "processName", "applicationPath", "osExceptionType", "osExceptionCode", "osExceptionAddress"}) {
    if (!log.contains(key) || !log[key].is_string()) return std::string("error log without text \"") + key + "\"";
  }
  for (const char* key : {"processId", "primaryArchitectureId"}) {
    if (!log.contains(key) || !log[key].is_number_integer())
      return std::string("error log without number \"") + key + "\"";
  }
  if (!log.contains("fatal") || !log["fatal"].is_boolean()) return "error log without \"fatal\"";
  for (const char* key : {"threads", "binaries"}) {
    if (!log.contains(key)) continue;
    if (!log[key].is_array()) return std::string("error log whose \"") + key + "\" is not a list";
    for (const auto& element : log[key]) {
      if (!element.is_object() || !element.contains("id"))
        return std::string("error log with an entry of \"") + key + "\" without id";
    }
  }
  return {};
}

// Empty when the container is well formed, else why not.
std::string containerProblem(const nlohmann::json& body) {
  if (!body.is_object() || !body.contains("logs") || !body["logs"].is_array()) return "body is not a log container";
  if (body["logs"].empty()) return "log container holds no logs";
  for (const auto& log : body["logs"]) {
    if (!log.is_object() || !log.contains("type") || !log["type"].is_string() || !log.contains("timestamp")) {
      return "a log has no type or timestamp";
    }
    if (log["type"] == "appleError") {
      if (auto problem = errorLogProblem(log); !problem.empty()) return problem;
    }
  }
  return {};
}

}  // namespace

DEVSERVICE_ROUTE_SET(telemetryIngestion) {
  auto received = std::make_shared<ReceivedContainers>();
  service.addRoute("POST", "/logs", [received](const Request& request, Response& response) {
    if (request.queryValue("api-version") != std::optional<std::string>("1.0.0")) {
      response.setJSON(R"({"error":"unsupported api-version"})", 400);
      return;
    }
    const auto installId = request.header("Install-ID");
    const auto appSecret = request.header("App-Secret");
    if (!installId || !UUID::parse(*installId) || !appSecret || appSecret->empty()) {
      response.setJSON(R"({"error":"missing or invalid Install-ID or App-Secret header"})", 401);
      return;
    }
    if (request.header("Content-Type").value_or("").rfind("application/json", 0) != 0) {
      response.setJSON(R"({"error":"Content-Type must be application/json"})", 415);
      return;
    }
    if (request.bodyError) {
      response.setJSON(R"({"error":"body is not valid gzip"})", 400);
      return;
    }
    const auto body = parseBoundedJSON(request.body);
    const std::string problem = body.is_discarded() ? "body is not JSON or nests too deeply" : containerProblem(body);
    if (!problem.empty()) {
      response.setJSON(nlohmann::json{{"error", problem}}.dump(), 400);
      return;
    }
    {
      std::lock_guard lock(received->mutex);
      received->containers.push_back({{"installId", *installId},
                                      {"appSecret", *appSecret},
                                      {"authorization", request.header("Authorization").value_or("")},
                                      {"gzip", request.bodyWasGzip},
                                      {"rawBodySize", request.rawBodySize},
                                      {"logs", body["logs"]}});
    }
    response.setJSON(R"({"status":"ok"})");
  });
  service.addRoute("GET", "/logs/received", [received](const Request&, Response& response) {
    std::lock_guard lock(received->mutex);
    response.setJSON(dumpForReading(received->containers));
  });
}

}  // namespace vx::devservice
