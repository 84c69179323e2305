// The local service's telemetry ingestion endpoint: what it accepts, what it refuses and what it
// keeps, as the sender tests rely on it.
#include "platform/foundation/UUID.h"
#include "platform/security/Gzip.h"
#include "support/URLSessionTesting.h"
#include "tools/devservice/DevService.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

constexpr const char* kContainer = R"({"logs":[{"type":"event","timestamp":"2026-01-02T03:04:05.678Z","sid":"s"}]})";

class TelemetryIngestionRoutesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service.start().ok()); }

  vx::URLRequest request(const std::string& query, const std::string& body) {
    vx::URLRequest r(service.url("/logs") + query, "POST");
    r.headers.set("Content-Type", "application/json");
    r.headers.set("Install-ID", installId);
    r.headers.set("App-Secret", "secret");
    r.setBody(body);
    return r;
  }

  vx::devservice::DevService service;
  std::shared_ptr<vx::URLSession> session = vx::URLSession::make();
  std::string installId = vx::UUID::make().uuidString();
};

TEST_F(TelemetryIngestionRoutesTest, RefusesWhatTheSenderMustNotSend) {
  struct Case {
    const char* name;
    std::function<void(vx::URLRequest&)> change;
    int status;
  };
  const std::vector<Case> cases = {
      {"no api version", [](vx::URLRequest& r) { r.url = r.url.substr(0, r.url.find('?')); }, 400},
      {"no install id", [](vx::URLRequest& r) { r.headers.remove("Install-ID"); }, 401},
      {"bad install id", [](vx::URLRequest& r) { r.headers.set("Install-ID", "nope"); }, 401},
      {"no app secret", [](vx::URLRequest& r) { r.headers.remove("App-Secret"); }, 401},
      {"not JSON", [](vx::URLRequest& r) { r.setBody("{"); }, 400},
      {"no logs", [](vx::URLRequest& r) { r.setBody(R"({"logs":[]})"); }, 400},
      {"log without type", [](vx::URLRequest& r) { r.setBody(R"({"logs":[{"timestamp":"x"}]})"); }, 400},
      {"accepted", [](vx::URLRequest&) {}, 200},
  };
  for (const auto& c : cases) {
    auto r = request("?api-version=1.0.0", kContainer);
    c.change(r);
    EXPECT_EQ(vx::testing::fetch(*session, r).status(), c.status) << c.name;
  }
  const auto kept =
      nlohmann::json::parse(vx::testing::fetch(*session, vx::URLRequest(service.url("/logs/received"))).text());
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0]["installId"], installId);
}

TEST_F(TelemetryIngestionRoutesTest, AcceptsGzippedContainers) {
  auto r = request("?api-version=1.0.0", "");
  auto gz = vx::gzipCompress(std::string(kContainer));
  ASSERT_TRUE(gz.ok());
  r.body = gz.value();
  r.headers.set("Content-Encoding", "gzip");
  EXPECT_EQ(vx::testing::fetch(*session, r).status(), 200);
  const auto kept =
      nlohmann::json::parse(vx::testing::fetch(*session, vx::URLRequest(service.url("/logs/received"))).text());
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0]["gzip"], true);
  EXPECT_EQ(kept[0]["logs"][0]["type"], "event");
}

}  // namespace
