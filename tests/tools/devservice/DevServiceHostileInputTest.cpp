// Requests that used to break the local service, each sent over HTTP: the service answers with a
// clear error and keeps serving.
#include "tools/devservice/DevService.h"

#include "platform/net/URLSession.h"
#include "platform/security/Gzip.h"
#include "support/URLSessionTesting.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace vx::devservice {
namespace {

using vx::testing::fetch;

class DevServiceHostileInputTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service.start().ok()); }

  vx::testing::FetchResult send(std::string_view path, std::string method = "GET", std::string body = {},
                                Headers headers = {}) {
    URLRequest request(service.url(path), std::move(method));
    if (!body.empty()) request.setBody(body);
    for (auto& [name, value] : headers) request.headers.set(name, value);
    return fetch(*session, request);
  }

  void expectAlive() { EXPECT_EQ(send("/health").status(), 200); }

  DevService service;
  std::shared_ptr<URLSession> session = URLSession::make();
};

TEST_F(DevServiceHostileInputTest, StaticFilesNeverLeaveTheDataFolder) {
  for (const char* path : {"/static//etc/hostname", "/static/%2fetc/hostname", "/static/%2Fetc%2Fpasswd",
                           "/static/icons/%2e%2e/%2e%2e/DevService.h"}) {
    const auto result = send(path);
    EXPECT_EQ(result.status(), 400) << path;
    EXPECT_EQ(result.text().find("root"), std::string::npos) << path;
  }
  EXPECT_EQ(send("/static/catalog.json").status(), 200);

  // A symbolic link inside the data folder that points out of it is refused too.
  const auto folder = std::filesystem::path(std::getenv("VX_TEST_HOME")) / "static-data";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "inside.txt") << "inside";
  std::error_code ignored;
  std::filesystem::remove(folder / "outside", ignored);
  std::filesystem::create_directory_symlink("/etc", folder / "outside");
  DevService::Options options;
  options.dataDirectory = folder;
  DevService linked(options);
  ASSERT_TRUE(linked.start().ok());
  EXPECT_EQ(fetch(*session, URLRequest(linked.url("/static/inside.txt"))).text(), "inside");
  EXPECT_EQ(fetch(*session, URLRequest(linked.url("/static/outside/hostname"))).status(), 400);
}

TEST_F(DevServiceHostileInputTest, StatusCodesOutsideTheValidRangeAreRefused) {
  for (const char* path : {"/status/000", "/status/099", "/status/100", "/status/199", "/status/600", "/status/999"}) {
    EXPECT_EQ(send(path).status(), 400) << path;
  }
  EXPECT_EQ(send("/status/200").status(), 200);
  EXPECT_EQ(send("/status/599").status(), 599);
}

TEST_F(DevServiceHostileInputTest, AdminFaultsRefuseDeepPatternsAndHugeNumbers) {
  const std::string deep = std::string(3000, '(') + "a" + std::string(3000, ')');
  const std::string parameters[] = {
      "path=" + deep + "&kind=drop",
      "path=/" + std::string(300, 'a') + "&kind=drop",
      "path=/x&kind=delay&delay_ms=9223372036854775807",
      "path=/x&kind=delay&delay_ms=-1",
      "path=/x&kind=skew_date&skew_s=9223372036854775807",
      "path=/x&kind=skew_date&skew_s=-9223372036854775807",
      "path=/x&kind=rate_limit&retry_after=99999999999",
      "path=/x&kind=status&times=99999999999",
  };
  for (const auto& query : parameters) {
    const auto result = send("/_admin/faults?" + query, "POST");
    EXPECT_EQ(result.status(), 400) << query.substr(0, 60) << " " << result.text();
  }
  // A JSON body carries longer patterns, and can nest itself.
  const std::string deeper = std::string(20000, '(') + "a" + std::string(20000, ')');
  EXPECT_EQ(send("/_admin/faults", "POST", R"({"path":")" + deeper + R"(","kind":"drop"})").status(), 400);
  const std::string nested = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(send("/_admin/faults", "POST", R"({"path":"/x","kind":"drop","extra":)" + nested + "}").status(), 400);
  expectAlive();
  // Bounds that a test uses still work.
  EXPECT_EQ(send("/_admin/faults?path=/health&kind=skew_date&skew_s=3153600000&times=1", "POST").status(), 200);
  expectAlive();
}

TEST_F(DevServiceHostileInputTest, DeeplyNestedBodiesAreRefusedNotFollowed) {
  const std::string nested =
      R"({"logs":[{"type":"t","timestamp":"x","p":)" + std::string(200000, '[') + std::string(200000, ']') + "}]}";
  const auto result = send("/logs?api-version=1.0.0", "POST", nested,
                           {{"Install-ID", "6f1a3c2e-1111-4222-8333-944455556666"},
                            {"App-Secret", "secret"},
                            {"Content-Type", "application/json"}});
  EXPECT_EQ(result.status(), 400) << result.text();
  EXPECT_EQ(send("/logs/received").status(), 200);
  expectAlive();
}

TEST_F(DevServiceHostileInputTest, AGzipBodyIsCappedAfterDecoding) {
  // 40 MiB of zeros compress to about 40 KB on the wire.
  const std::string zeros(40u << 20, '\0');
  auto compressed = vx::gzipCompress(vx::ByteView(zeros));
  ASSERT_TRUE(compressed.ok());
  URLRequest request(service.url("/echo"), "POST");
  request.body = std::move(compressed).value();
  request.headers.set("Content-Encoding", "gzip");
  const auto result = fetch(*session, request);
  EXPECT_EQ(result.status(), 413);
  expectAlive();
  // A body within the cap still arrives decoded.
  const std::string small(1000, 'x');
  URLRequest ok(service.url("/echo"), "POST");
  ok.body = vx::gzipCompress(vx::ByteView(small)).value();
  ok.headers.set("Content-Encoding", "gzip");
  EXPECT_EQ(nlohmann::json::parse(fetch(*session, ok).text())["body"], small);
}

TEST_F(DevServiceHostileInputTest, BytesThatAreNotUtf8NeverBreakTheReadBackAnswers) {
  const std::string r = "\xEF\xBF\xBD";
  auto echo = send("/echo", "POST", "caf\xE9", {{"X-Name", "b\xFFz"}});
  ASSERT_EQ(echo.status(), 200) << echo.text();
  EXPECT_EQ(nlohmann::json::parse(echo.text())["body"], "caf" + r);
  const auto ingest =
      send("/logs?api-version=1.0.0", "POST", R"({"logs":[{"type":"t","timestamp":"2024-01-01T00:00:00Z"}]})",
           {{"Install-ID", "6f1a3c2e-1111-4222-8333-944455556666"},
            {"App-Secret", "s\xE9"},
            {"Content-Type", "application/json"}});
  EXPECT_EQ(ingest.status(), 200) << ingest.text();
  const auto requests = send("/_admin/requests");
  ASSERT_EQ(requests.status(), 200) << requests.text();
  EXPECT_EQ(nlohmann::json::parse(requests.text())[0]["body"], "caf" + r);
  const auto received = send("/logs/received");
  ASSERT_EQ(received.status(), 200) << received.text();
  EXPECT_EQ(nlohmann::json::parse(received.text())[0]["appSecret"], "s" + r);
}

TEST(DevServiceLogTest, TheRequestLogKeepsOnlyTheNewestEntries) {
  DevService::Options options;
  options.maxLoggedRequests = 5;
  options.maxLoggedBodyBytes = 1000;
  DevService service(options);
  ASSERT_TRUE(service.start().ok());
  auto session = URLSession::make();
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(fetch(*session, URLRequest(service.url("/echo/" + std::to_string(i)))).status(), 200);
  }
  auto log = service.requestLog();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log.front().path, "/echo/3");
  EXPECT_EQ(log.back().path, "/echo/7");
  // Bodies count too: three of 400 bytes leave room for two.
  for (int i = 0; i < 3; ++i) {
    URLRequest request(service.url("/echo/big" + std::to_string(i)), "POST");
    request.setBody(std::string(400, 'b'));
    ASSERT_EQ(fetch(*session, request).status(), 200);
  }
  log = service.requestLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log.front().path, "/echo/big1");
}

}  // namespace
}  // namespace vx::devservice
