// The local service's common-schema endpoint: the headers and line format it checks, hostile
// input it refuses, and what it keeps.
#include "platform/security/Gzip.h"
#include "support/URLSessionTesting.h"
#include "tools/devservice/DevService.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

constexpr const char* kLine =
    R"({"ver":"3.0","name":"someEvent","time":"2026-01-02T03:04:05.678Z","iKey":"o:aaaa","ext":{"sdk":{"seq":1}}})";

class CommonSchemaRoutesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service.start().ok()); }

  vx::URLRequest request(const std::string& body) {
    vx::URLRequest r(service.url("/UniCollector/1.0"), "POST");
    r.headers.set("Content-Type", "application/x-json-stream; charset=utf-8");
    r.headers.set("Client-Version", "ACS-iOS-ObjectiveC-no-2.1.0-no");
    r.headers.set("Upload-Time", "1767323045678");
    r.headers.set("apikey", "aaaa-token,bbbb-token");
    r.setBody(body);
    return r;
  }
  nlohmann::json received() {
    return nlohmann::json::parse(
        vx::testing::fetch(*session, vx::URLRequest(service.url("/UniCollector/received"))).text());
  }

  vx::devservice::DevService service;
  std::shared_ptr<vx::URLSession> session = vx::URLSession::make();
};

TEST_F(CommonSchemaRoutesTest, RefusesWhatTheSenderMustNotSend) {
  const std::string line = kLine;
  struct Case {
    const char* name;
    std::function<void(vx::URLRequest&)> change;
    int status;
  };
  const std::vector<Case> cases = {
      {"no apikey", [](vx::URLRequest& r) { r.headers.remove("apikey"); }, 401},
      {"empty token", [](vx::URLRequest& r) { r.headers.set("apikey", "a,,b"); }, 401},
      {"no upload time", [](vx::URLRequest& r) { r.headers.remove("Upload-Time"); }, 400},
      {"upload time not a number", [](vx::URLRequest& r) { r.headers.set("Upload-Time", "12.5"); }, 400},
      {"huge upload time", [](vx::URLRequest& r) { r.headers.set("Upload-Time", std::string(400, '9')); }, 400},
      {"no client version", [](vx::URLRequest& r) { r.headers.remove("Client-Version"); }, 400},
      {"wrong client version", [](vx::URLRequest& r) { r.headers.set("Client-Version", "ACS-iOS-ObjectiveC-no--no"); },
       400},
      {"wrong content type", [](vx::URLRequest& r) { r.headers.set("Content-Type", "application/json"); }, 415},
      {"tickets not JSON", [](vx::URLRequest& r) { r.headers.set("Tickets", "{"); }, 400},
      {"tickets not strings", [](vx::URLRequest& r) { r.headers.set("Tickets", R"({"k":1})"); }, 400},
      {"tickets nest deeply", [](vx::URLRequest& r) { r.headers.set("Tickets", std::string(2000, '[')); }, 400},
      {"no newline at the end", [line](vx::URLRequest& r) { r.setBody(line); }, 400},
      {"empty line", [line](vx::URLRequest& r) { r.setBody(line + "\n\n" + line + "\n"); }, 400},
      {"a container instead of lines",
       [](vx::URLRequest& r) {
         r.setBody(R"({"logs":[]})"
                   "\n");
       },
       400},
      {"a line without name",
       [](vx::URLRequest& r) {
         r.setBody(R"({"ver":"3.0","time":"t","iKey":"o:a"})"
                   "\n");
       },
       400},
      {"not JSON", [](vx::URLRequest& r) { r.setBody("\xff\xfe\n"); }, 400},
      {"empty body", [](vx::URLRequest& r) { r.setBody(""); }, 400},
      {"bad gzip", [](vx::URLRequest& r) { r.headers.set("Content-Encoding", "gzip"); }, 400},
      {"accepted", [](vx::URLRequest&) {}, 200},
      {"accepted with tickets", [](vx::URLRequest& r) { r.headers.set("Tickets", R"({"k":"p:t"})"); }, 200},
  };
  for (const auto& c : cases) {
    auto r = request(line + "\n" + line + "\n");
    c.change(r);
    EXPECT_EQ(vx::testing::fetch(*session, r).status(), c.status) << c.name;
  }
  const auto kept = received();
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0]["apikey"], "aaaa-token,bbbb-token");
  EXPECT_EQ(kept[0]["lines"].size(), 2u);
  EXPECT_EQ(kept[0]["lines"][0]["name"], "someEvent");
  EXPECT_TRUE(kept[0]["tickets"].is_null());
  EXPECT_EQ(kept[1]["tickets"]["k"], "p:t");
}

TEST_F(CommonSchemaRoutesTest, AcceptsGzippedLines) {
  const std::string body = std::string(kLine) + "\n";
  auto r = request("");
  auto gz = vx::gzipCompress(body);
  ASSERT_TRUE(gz.ok());
  r.body = gz.value();
  r.headers.set("Content-Encoding", "gzip");
  EXPECT_EQ(vx::testing::fetch(*session, r).status(), 200);
  const auto kept = received();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0]["gzip"], true);
  EXPECT_EQ(kept[0]["lines"][0]["iKey"], "o:aaaa");
}

}  // namespace
