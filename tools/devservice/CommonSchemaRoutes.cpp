// The common-schema ingestion endpoint: "POST /UniCollector/1.0" takes one JSON object per line
// (each line ended by "\n", gzipped from 1400 bytes on), as the telemetry client's common-schema
// ingestion sends it. The headers are checked: "apikey" (target tokens joined by ","),
// "Upload-Time" (milliseconds since 1970), "Client-Version" ("ACS-iOS-ObjectiveC-no-<v>-no"),
// "Content-Type" (application/x-json-stream) and, when present, "Tickets" (a JSON object of
// strings). Every line must be an object with "ver", "name" and "time" strings and an "iKey".
// Accepted requests are kept; "GET /UniCollector/received" gives them back.
#include "tools/devservice/DevService.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <mutex>

namespace vx::devservice {
namespace {

struct ReceivedBatches {
  std::mutex mutex;
  nlohmann::json batches = nlohmann::json::array();
};

bool allDigits(const std::string& text) {
  if (text.empty() || text.size() > 19) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Empty when the header holds non-empty tokens separated by ",", else why not.
std::string apiKeyProblem(const std::optional<std::string>& apiKey) {
  if (!apiKey || apiKey->empty()) return "missing apikey header";
  std::size_t start = 0;
  while (true) {
    const auto comma = apiKey->find(',', start);
    const auto token = apiKey->substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (token.empty()) return "apikey holds an empty token";
    if (comma == std::string::npos) return {};
    start = comma + 1;
  }
}

bool clientVersionValid(const std::optional<std::string>& version) {
  static const std::string prefix = "ACS-iOS-ObjectiveC-no-";
  static const std::string suffix = "-no";
  return version && version->size() > prefix.size() + suffix.size() && version->rfind(prefix, 0) == 0 &&
         version->compare(version->size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The parsed lines, or why the body is not a stream of common-schema objects.
std::string linesProblem(const std::string& body, nlohmann::json& lines) {
  if (body.empty()) return "body holds no lines";
  if (body.back() != '\n') return "the last line has no newline";
  std::size_t start = 0;
  while (start < body.size()) {
    const auto end = body.find('\n', start);
    const std::string line = body.substr(start, end - start);
    start = end + 1;
    if (line.empty()) return "empty line";
    const auto object = parseBoundedJSON(line);
    if (object.is_discarded() || !object.is_object()) return "a line is not a JSON object";
    for (const char* key : {"ver", "name", "time", "iKey"}) {
      if (!object.contains(key) || !object[key].is_string()) return std::string("a line has no string \"") + key + "\"";
    }
    lines.push_back(object);
  }
  return {};
}

}  // namespace

DEVSERVICE_ROUTE_SET(commonSchemaIngestion) {
  auto received = std::make_shared<ReceivedBatches>();
  service.addRoute("POST", "/UniCollector/1\\.0", [received](const Request& request, Response& response) {
    const auto apiKey = request.header("apikey");
    if (const auto problem = apiKeyProblem(apiKey); !problem.empty()) {
      response.setJSON(nlohmann::json{{"error", problem}}.dump(), 401);
      return;
    }
    const auto uploadTime = request.header("Upload-Time");
    const auto clientVersion = request.header("Client-Version");
    if (!uploadTime || !allDigits(*uploadTime) || !clientVersionValid(clientVersion)) {
      response.setJSON(R"({"error":"missing or invalid Upload-Time or Client-Version header"})", 400);
      return;
    }
    if (request.header("Content-Type").value_or("").rfind("application/x-json-stream", 0) != 0) {
      response.setJSON(R"({"error":"Content-Type must be application/x-json-stream"})", 415);
      return;
    }
    nlohmann::json tickets;
    if (const auto text = request.header("Tickets")) {
      tickets = parseBoundedJSON(*text);
      bool valid = !tickets.is_discarded() && tickets.is_object() && !tickets.empty();
      if (valid) {
        for (const auto& [key, value] : tickets.items()) valid = valid && value.is_string();
      }
      if (!valid) {
        response.setJSON(R"({"error":"Tickets is not a JSON object of strings"})", 400);
        return;
      }
    }
    if (request.bodyError) {
      response.setJSON(R"({"error":"body is not valid gzip"})", 400);
      return;
    }
    nlohmann::json lines = nlohmann::json::array();
    if (const auto problem = linesProblem(request.body, lines); !problem.empty()) {
      response.setJSON(nlohmann::json{{"error", problem}}.dump(), 400);
      return;
    }
    {
      std::lock_guard lock(received->mutex);
      received->batches.push_back({{"apikey", *apiKey},
                                   {"uploadTime", *uploadTime},
                                   {"clientVersion", *clientVersion},
                                   {"tickets", tickets},
                                   {"gzip", request.bodyWasGzip},
                                   {"rawBodySize", request.rawBodySize},
                                   {"lines", lines}});
    }
    response.setJSON(R"({"status":"ok"})");
  });
  service.addRoute("GET", "/UniCollector/received", [received](const Request&, Response& response) {
    std::lock_guard lock(received->mutex);
    response.setJSON(dumpForReading(received->batches));
  });
}

}  // namespace vx::devservice
