// A batch holding a log with text that is not UTF-8, sent by the default ingestion to the local
// service: the batch goes out whole, the bad bytes as U+FFFD, and nothing else is held back.
#include "telemetry/ZerEvuzev/Ingestion/MSZerEvuzevIngestion.h"

#include "telemetry/ingestion/IngestionTestSupport.h"
#include "platform/foundation/UUID.h"
#include "tools/devservice/DevService.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

TEST(MSJsonWriterWireTest, ABatchWithTextThatIsNotUtf8ArrivesWholeWithTheBadBytesReplaced) {
  FakeInternetReachability reachability;  // the network state is not what this test is about
  vx::devservice::DevService service;
  ASSERT_TRUE(service.start().ok());
  auto ingestion = MSHttpIngestion::make<MSZerEvuzevIngestion>(service.baseURL(), vx::UUID::make().uuidString());
  ingestion->setAppSecret("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");

  struct Case {
    const char* name;
    std::string bytes;
    std::string repaired;
  } cases[] = {
      {"invalid", "caf\xE9.svg", "caf" + R + ".svg"},
      {"overlong", "\xC0\xAF", R + R},
      {"truncated", "end\xF0\x9F\x98", "end" + R},
  };
  SendRecorder recorder;
  std::size_t sent = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto bad = std::static_pointer_cast<MSLogWithProperties>(makeTestLog(0));
    bad->userId = c.bytes;
    bad->properties = std::map<std::string, std::string>{{"file", c.bytes}, {c.bytes, "key"}};
    auto container = std::make_shared<MSLogContainer>(std::string("batch-") + c.name,
                                                      std::vector<MSLogPtr>{makeTestLog(4), bad, makeTestLog(4)});
    ingestion->sendAsync(container, std::nullopt, recorder.handler());
    ASSERT_TRUE(recorder.waitFor(++sent));
    EXPECT_EQ(vx::statusCodeOf(recorder.results().back().response), 200);

    const auto requests = service.requests("/logs");
    ASSERT_EQ(requests.size(), sent);
    const auto body = nlohmann::json::parse(requests.back().body);
    ASSERT_EQ(body["logs"].size(), 3u);
    EXPECT_EQ(body["logs"][1]["userId"], c.repaired);
    EXPECT_EQ(body["logs"][1]["properties"]["file"], c.repaired);
    EXPECT_EQ(body["logs"][1]["properties"][c.repaired], "key");
    EXPECT_EQ(body["logs"][0]["type"], "testEvent");
    EXPECT_EQ(body["logs"][2]["type"], "testEvent");
  }
  EXPECT_TRUE(waitUntil([&] { return ingestion->pendingCalls().empty(); }));
}

}  // namespace
