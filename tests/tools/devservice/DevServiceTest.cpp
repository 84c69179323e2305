#include "tools/devservice/DevService.h"

#include "platform/net/URLSession.h"
#include "platform/security/Gzip.h"
#include "support/URLSessionTesting.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <ctime>
#include <fstream>
#include <set>

namespace vx::devservice {
namespace {

using namespace std::chrono_literals;
using vx::testing::fetch;

// A route set registered the way other folders add theirs.
DEVSERVICE_ROUTE_SET(testOnlyRoutes) {
  service.addRoute("GET", "/test-set/([a-z]+)", [](const Request& request, Response& response) {
    response.setJSON(nlohmann::json{{"name", request.pathMatches.at(1)}}.dump());
  });
}

class DevServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service.start().ok()); }

  vx::testing::FetchResult get(std::string_view path, std::string method = "GET", std::string body = {}) {
    URLRequest request(service.url(path), std::move(method));
    request.setBody(body);
    return fetch(*session, request);
  }

  DevService service;
  std::shared_ptr<URLSession> session = URLSession::make();
};

TEST_F(DevServiceTest, LogsRequestsWithDecodedQueryAndGunzippedBody) {
  URLRequest request(service.url("/echo/items?b=2&a=x%20y&flag&a=3"), "POST");
  const std::string json = R"({"event":"crash","n":1})";
  auto gz = gzipCompress(ByteView(json));
  ASSERT_TRUE(gz.ok());
  request.body = *gz;
  request.headers.set("Content-Encoding", "gzip");
  request.headers.set("Content-Type", "application/json");
  request.headers.set("X-Plover-Auth", "Plover plover_key=abc");
  auto result = fetch(*session, request);
  ASSERT_EQ(result.status(), 200);

  auto log = service.requestLog();
  ASSERT_EQ(log.size(), 1u);
  const Request& logged = log[0];
  EXPECT_EQ(logged.method, "POST");
  EXPECT_EQ(logged.path, "/echo/items");
  EXPECT_EQ(logged.query, "b=2&a=x%20y&flag&a=3");
  const std::vector<std::pair<std::string, std::string>> items = {{"b", "2"}, {"a", "x y"}, {"flag", ""}, {"a", "3"}};
  EXPECT_EQ(logged.queryItems, items);
  EXPECT_EQ(logged.queryValue("a"), "x y");
  EXPECT_EQ(logged.body, json);
  EXPECT_TRUE(logged.bodyWasGzip);
  EXPECT_EQ(logged.rawBodySize, gz->size());
  EXPECT_EQ(logged.header("x-plover-auth"), "Plover plover_key=abc");
  EXPECT_EQ(logged.header("CONTENT-TYPE"), "application/json");
  EXPECT_FALSE(logged.header("REMOTE_ADDR")) << "only what the client sent";
  EXPECT_EQ(logged.remoteAddress, "127.0.0.1");
  EXPECT_GT(logged.remotePort, 0);

  EXPECT_EQ(service.requests("/echo/.*").size(), 1u);
  EXPECT_TRUE(service.requests("/other").empty());
  service.clearRequestLog();
  EXPECT_TRUE(service.requestLog().empty());
}

TEST_F(DevServiceTest, FaultsByKind) {
  // status
  service.setFault("/health", Fault::withStatus(503));
  auto failed = get("/health");
  EXPECT_EQ(failed.status(), 503);
  EXPECT_EQ(nlohmann::json::parse(failed.text())["status"], 503);

  // rate limiting
  service.setFault("/health", Fault::rateLimited(42));
  auto limited = get("/health");
  EXPECT_EQ(limited.status(), 429);
  EXPECT_EQ(limited.response->headers.value("Retry-After"), "42");

  // malformed body
  service.setFault("/health", Fault::malformedBody());
  auto malformed = get("/health");
  EXPECT_EQ(malformed.status(), 200);
  EXPECT_EQ(malformed.response->headers.value("Content-Type"), "application/json");
  EXPECT_TRUE(nlohmann::json::parse(malformed.text(), nullptr, false).is_discarded());

  // skewed Date
  service.setFault("/health", Fault::skewedDate(std::chrono::hours(-3)));
  auto skewed = get("/health");
  ASSERT_EQ(skewed.status(), 200);
  auto date = skewed.response->headers.value("Date");
  ASSERT_TRUE(date);
  std::tm tm{};
  ASSERT_NE(strptime(date->c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm), nullptr) << *date;
  const auto served = std::chrono::system_clock::from_time_t(timegm(&tm));
  const auto offset = std::chrono::duration_cast<std::chrono::seconds>(served - std::chrono::system_clock::now());
  EXPECT_NEAR(static_cast<double>(offset.count()), -3 * 3600.0, 5.0);

  // delay
  service.setFault("/health", Fault::withDelay(300ms));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(get("/health").status(), 200);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

  // drop and truncate end in transport errors
  service.setFault("/health", Fault::dropConnection());
  EXPECT_EQ(get("/health").errorCode(), kURLErrorNetworkConnectionLost);
  service.setFault("/health", Fault::truncatedBody());
  EXPECT_EQ(get("/health").errorCode(), kURLErrorNetworkConnectionLost);

  service.clearFaults();
  auto healthy = get("/health");
  EXPECT_EQ(healthy.status(), 200);
  EXPECT_EQ(healthy.text(), R"({"status":"ok"})");
  EXPECT_TRUE(healthy.response->headers.contains("Date"));
}

TEST_F(DevServiceTest, FaultsCountTimesAndFilterByMethod) {
  Fault twice = Fault::withStatus(500);
  twice.times = 2;
  service.setFault("/echo(/.*)?", twice, "POST");
  EXPECT_EQ(get("/echo", "GET").status(), 200) << "other methods are untouched";
  EXPECT_EQ(get("/echo", "POST", "a").status(), 500);
  EXPECT_EQ(get("/echo/x", "POST", "b").status(), 500);
  EXPECT_EQ(get("/echo", "POST", "c").status(), 200);
  // Faulted requests are logged too.
  EXPECT_EQ(service.requestLog().size(), 4u);
}

TEST_F(DevServiceTest, AdminCalls) {
  auto set = get("/_admin/faults?path=/status/.*&kind=status&status=418&times=1", "POST");
  EXPECT_EQ(set.status(), 200);
  EXPECT_EQ(get("/status/200").status(), 418);
  EXPECT_EQ(get("/status/200").status(), 200);

  // Parameters may also come as a JSON body.
  EXPECT_EQ(get("/_admin/faults", "POST", R"({"path":"/health","kind":"rate_limit","retry_after":7})").status(), 200);
  auto limited = get("/health");
  EXPECT_EQ(limited.status(), 429);
  EXPECT_EQ(limited.response->headers.value("Retry-After"), "7");
  EXPECT_EQ(get("/_admin/faults", "DELETE").status(), 200);
  EXPECT_EQ(get("/health").status(), 200);

  for (const char* bad : {"/_admin/faults?path=/x&kind=explode", "/_admin/faults?kind=status",
                          "/_admin/faults?path=/x&kind=status&status=abc", "/_admin/faults?path=(&kind=drop"}) {
    EXPECT_EQ(get(bad, "POST").status(), 400) << bad;
  }

  auto log = get("/_admin/requests");
  ASSERT_EQ(log.status(), 200);
  auto entries = nlohmann::json::parse(log.text());
  ASSERT_TRUE(entries.is_array());
  ASSERT_EQ(entries.size(), 4u) << "admin calls are not logged";
  EXPECT_EQ(entries[0]["path"], "/status/200");
  EXPECT_EQ(entries[3]["method"], "GET");
  EXPECT_EQ(get("/_admin/requests", "DELETE").status(), 200);
  EXPECT_TRUE(service.requestLog().empty());
}

TEST_F(DevServiceTest, RoutesAndRouteSets) {
  const auto sets = registeredRouteSets();
  EXPECT_NE(std::find(sets.begin(), sets.end(), "testOnlyRoutes"), sets.end());
  auto named = get("/test-set/anchor");
  EXPECT_EQ(named.status(), 200);
  EXPECT_EQ(nlohmann::json::parse(named.text())["name"], "anchor");

  EXPECT_EQ(get("/no-such-thing").status(), 404);
  EXPECT_EQ(get("/health", "POST").status(), 405);

  service.addRoute("GET", "/health",
                   [](const Request&, Response& response) { response.setJSON(R"({"status":"replaced"})"); });
  EXPECT_EQ(get("/health").text(), R"({"status":"replaced"})");

  service.addRoute("GET", "/throws", [](const Request&, Response&) { throw std::runtime_error("handler failed"); });
  EXPECT_EQ(get("/throws").status(), 500);
  EXPECT_EQ(get("/status/204").status(), 204);
  EXPECT_EQ(get("/status/204").text(), "");
}

TEST_F(DevServiceTest, ServesDataFilesAndRefusesEscapes) {
  auto catalog = get("/static/catalog.json");
  ASSERT_EQ(catalog.status(), 200);
  EXPECT_TRUE(nlohmann::json::parse(catalog.text()).contains("icons"));
  EXPECT_EQ(get("/static/nothing-here.svg").status(), 404);
  EXPECT_EQ(get("/static/icons/%2e%2e/%2e%2e/DevService.h").status(), 400);
  EXPECT_NE(get("/static/icons/../../DevService.h").status(), 200);
}

TEST_F(DevServiceTest, StopClosesIdleConnectionsPromptly) {
  EXPECT_EQ(get("/health").status(), 200);  // leaves a keep-alive connection open
  const auto start = std::chrono::steady_clock::now();
  service.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_FALSE(service.isRunning());
  EXPECT_EQ(get("/health").errorCode(), kURLErrorCannotConnectToHost);
  ASSERT_TRUE(service.start().ok());
  EXPECT_EQ(get("/health").status(), 200);
}

TEST(DevServiceOptions, FixedPortInUseFails) {
  DevService first;
  auto port = first.start();
  ASSERT_TRUE(port.ok());
  DevService::Options options;
  options.port = *port;
  DevService second(options);
  EXPECT_FALSE(second.start().ok());
}

// The sample data the icon API serves: enough icons, each with a file that is an SVG.
TEST(SampleData, CatalogIsCompleteAndConsistent) {
  const auto dir = defaultDataDirectory();
  std::ifstream in(dir / "catalog.json");
  ASSERT_TRUE(in) << dir;
  auto catalog = nlohmann::json::parse(in);
  const auto& icons = catalog.at("icons");
  ASSERT_GE(icons.size(), 60u);
  std::set<std::string> creators, collections, ids;
  for (const auto& c : catalog.at("creators")) {
    for (const char* key : {"id", "name", "username", "location", "permalink"}) {
      EXPECT_TRUE(c.at(key).is_string()) << key;
    }
    creators.insert(c["id"].get<std::string>());
  }
  for (const auto& c : catalog.at("collections")) collections.insert(c.at("id").get<std::string>());
  int styled = 0, viewBoxOnly = 0, painted = 0;
  for (const auto& icon : icons) {
    const auto id = icon.at("id").get<std::string>();
    EXPECT_TRUE(ids.insert(id).second) << "duplicate id " << id;
    for (const char* key : {"term", "term_slug", "permalink", "uploader_id", "file"}) {
      EXPECT_TRUE(icon.at(key).is_string()) << id << " " << key;
    }
    EXPECT_TRUE(creators.count(icon["uploader_id"].get<std::string>())) << id;
    for (const auto& cid : icon.at("collection_ids")) EXPECT_TRUE(collections.count(cid.get<std::string>()));
    std::ifstream svgFile(dir / icon["file"].get<std::string>());
    ASSERT_TRUE(svgFile) << icon["file"];
    const std::string svg((std::istreambuf_iterator<char>(svgFile)), std::istreambuf_iterator<char>());
    EXPECT_NE(svg.find("<svg"), std::string::npos);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    if (svg.find("<style") != std::string::npos) ++styled;
    if (svg.find("fill=") != std::string::npos || svg.find("stroke=") != std::string::npos) ++painted;
    if (svg.find("viewBox") != std::string::npos && svg.find(" width=") == std::string::npos) ++viewBoxOnly;
  }
  EXPECT_GE(styled, 3);
  EXPECT_GE(painted, 10);
  EXPECT_GE(viewBoxOnly, 10);
}

}  // namespace
}  // namespace vx::devservice
