// Status classification, secret masking, compression and the payload text of the verbose log.
#include "telemetry/ZerEvuzev/Ingestion/MSCompression.h"
#include "telemetry/ZerEvuzev/Ingestion/MSHttpUtil.h"
#include "telemetry/ZerEvuzev/Ingestion/MSIngestionCall.h"

#include "platform/foundation/JSONLimits.h"
#include "platform/net/URLSession.h"
#include "platform/security/Crypto.h"
#include "platform/security/Gzip.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>

TEST(MSHttpUtilTest, RecoverableStatuses) {
  struct Case {
    int status;
    bool recoverable;
  };
  for (const Case c :
       {Case{0, true}, Case{200, false}, Case{400, false}, Case{401, false}, Case{403, false}, Case{408, true},
        Case{429, true}, Case{499, false}, Case{500, true}, Case{503, true}, Case{599, true}}) {
    EXPECT_EQ(MSHttpUtil::isRecoverableError(c.status), c.recoverable) << c.status;
  }
  EXPECT_TRUE(MSHttpUtil::isSuccessStatusCode(200));
  EXPECT_TRUE(MSHttpUtil::isSuccessStatusCode(299));
  EXPECT_FALSE(MSHttpUtil::isSuccessStatusCode(300));
}

TEST(MSHttpUtilTest, ConnectionErrors) {
  const auto urlError = [](std::int64_t code) {
    return std::optional<vx::Error>(vx::Error(vx::kURLErrorDomain, code));
  };
  EXPECT_TRUE(MSHttpUtil::isNoInternetConnectionError(urlError(-1009)));
  EXPECT_TRUE(MSHttpUtil::isNoInternetConnectionError(urlError(-1005)));
  EXPECT_FALSE(MSHttpUtil::isNoInternetConnectionError(urlError(-1004)));
  EXPECT_FALSE(MSHttpUtil::isNoInternetConnectionError(vx::Error("other", -1009)));
  EXPECT_FALSE(MSHttpUtil::isNoInternetConnectionError(std::nullopt));
  EXPECT_TRUE(MSHttpUtil::isSSLConnectionError(urlError(-1200)));
  EXPECT_TRUE(MSHttpUtil::isSSLConnectionError(urlError(-2000)));
  EXPECT_FALSE(MSHttpUtil::isSSLConnectionError(urlError(-1199)));
  EXPECT_FALSE(MSHttpUtil::isSSLConnectionError(urlError(-2001)));
}

TEST(MSHttpUtilTest, MasksSecretsAndTokens) {
  EXPECT_EQ(MSHttpUtil::hideSecret("abcdefghijkl"), "****efghijkl");
  EXPECT_EQ(MSHttpUtil::hideSecret("12345678"), "********");
  EXPECT_EQ(MSHttpUtil::hideSecret("abc"), "***");
  EXPECT_EQ(MSHttpUtil::hideSecret(""), "");
  EXPECT_EQ(MSHttpUtil::hideAuthToken("Bearer eyJhbGciOi.secret"), "Bearer ***");
  EXPECT_EQ(MSHttpUtil::hideAuthToken("eyJhbGciOi.secret"), "***");
  EXPECT_EQ(MSHttpUtil::hideAuthToken(""), "***");
}

TEST(MSHttpUtilTest, PayloadForLogMasksTokensAndNamesBinary) {
  const std::string json = R"({"token":"s3cr3t","other":"v"})";
  const vx::Bytes body(json.begin(), json.end());
  const auto pretty = MSHttpPayloadForLog(body, "application/json; charset=utf-8");
  EXPECT_NE(pretty.find("\"token\" : \"***\""), std::string::npos) << pretty;
  EXPECT_EQ(pretty.find("s3cr3t"), std::string::npos);
  EXPECT_NE(pretty.find("\"other\" : \"v\""), std::string::npos);
  const std::string text = R"(x "token" : "abc" y)";
  EXPECT_EQ(MSHttpPayloadForLog(vx::Bytes(text.begin(), text.end()), "text/plain"), R"(x "token" : "***" y)");
  EXPECT_EQ(MSHttpPayloadForLog(vx::Bytes{0x89, 0x50}, "image/png"), "<binary>");
  EXPECT_EQ(MSHttpPayloadForLog({}, "application/json"), "");
}

// A reply 50,000 levels deep is named, not printed: pretty-printing would recurse once per
// level, and its compact text would slip past the token mask.
TEST(MSHttpUtilTest, PayloadForLogNamesJsonNestedTooDeep) {
  const std::size_t deep = 50'000;
  const std::string arrays = std::string(deep, '[') + std::string(deep, ']');
  struct Case {
    const char* name;
    std::string body;
    std::string type;
    std::string expected;
    std::size_t warnings;
  } cases[] = {
      {"arrays", arrays, "application/json", kMSHttpPayloadTooDeep, 1},
      {"with a token", R"({"token":"s3cr3t","x":)" + arrays + "}", "application/json; charset=utf-8",
       kMSHttpPayloadTooDeep, 1},
      {"unclosed", std::string(deep, '{'), "application/json", kMSHttpPayloadTooDeep, 1},
      {"not UTF-8", std::string(deep, '[') + "\xFF", "application/json", kMSHttpPayloadTooDeep, 1},
      {"at the limit", std::string(vx::kMaxJSONNesting, '[') + std::string(vx::kMaxJSONNesting, ']'),
       "application/json", "", 0},
      // Text is never parsed, so its depth does not matter.
      {"text", arrays, "text/plain", arrays, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MSLogRecorder log;
    const auto payload = MSHttpPayloadForLog(vx::Bytes(c.body.begin(), c.body.end()), c.type);
    if (c.expected.empty()) {
      EXPECT_EQ(payload.substr(0, 4), "[\n  ");
    } else {
      EXPECT_EQ(payload, c.expected);
    }
    EXPECT_EQ(log.count("Response body nests deeper than " + std::to_string(vx::kMaxJSONNesting) + " levels"),
              c.warnings);
    EXPECT_EQ(payload.find("s3cr3t"), std::string::npos);
  }
}

// Short and incompressible bodies used to overflow a buffer of "input + 1% + 12" bytes, which
// leaves no room for the gzip wrapper; the buffer is now sized by deflateBound.
TEST(MSCompressionTest, CompressesShortAndIncompressibleData) {
  EXPECT_FALSE(MSCompression::compressData(std::nullopt));
  EXPECT_FALSE(MSCompression::compressData(vx::Bytes{}));
  for (const std::size_t size : {1u, 7u, 100u, 5000u, 70000u}) {
    auto random = vx::randomBytes(size);
    ASSERT_TRUE(random.ok());
    const auto compressed = MSCompression::compressData(random.value());
    ASSERT_TRUE(compressed) << size;
    ASSERT_GE(compressed->size(), 18u);
    EXPECT_EQ((*compressed)[0], 0x1f);
    EXPECT_EQ((*compressed)[1], 0x8b);
    const auto back = vx::gzipDecompress(*compressed);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value(), random.value());
  }
}

TEST(MSIngestionCallTest, RetryDelaysAreWholeSecondsBetweenHalfAndFullInterval) {
  MSIngestionCall call({10, 300, 1200});
  for (int i = 0; i < 200; ++i) {
    for (unsigned index = 0; index < 3; ++index) {
      const double interval = call.retryIntervals[index];
      const double delay = call.delayForRetryCount(index);
      EXPECT_GE(delay, interval / 2);
      EXPECT_LT(delay, interval);
      EXPECT_EQ(delay, static_cast<double>(static_cast<long>(delay)));
    }
  }
  EXPECT_EQ(call.delayForRetryCount(3), 0);
  EXPECT_FALSE(call.hasReachedMaxRetries());
  call.retryCount = 3;
  EXPECT_TRUE(call.hasReachedMaxRetries());
  call.resetRetry();
  EXPECT_EQ(call.retryCount, 0u);
}
