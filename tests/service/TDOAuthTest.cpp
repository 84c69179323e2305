#include "app/service/TDOAuth.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/URL.h"
#include "platform/security/Crypto.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace Vexelworks {
namespace {

constexpr const char* kConsumerKey = "9djdj82h48djs9d2";
constexpr const char* kConsumerSecret = "j49sk3j29djd";
constexpr const char* kToken = "kkk9d7dh3k39sjv7";
constexpr const char* kTokenSecret = "dh893hdasih9";
constexpr const char* kNonce = "7D8F3E4A-0000-4000-8000-000000000001";
constexpr std::int64_t kNow = 1700000000;

// Fixes the clock at kNow and the nonce at kNonce for one test.
class TDOAuthTest : public ::testing::Test {
 protected:
  TDOAuthTest() : time_(vx::WallTime(std::chrono::seconds(kNow))) {
    TDOAuth::setNonceSourceForTesting([] { return std::string(kNonce); });
    TDOAuth::setUtcTimeOffset(0);
  }
  ~TDOAuthTest() override {
    TDOAuth::setNonceSourceForTesting(nullptr);
    TDOAuth::setUtcTimeOffset(0);
  }

  // Builds an instance the way the general builder does, to read its intermediate steps.
  static std::optional<vx::URLRequest> get(std::string_view path, TDOAuthParameters params,
                                           std::string_view host = "api.example.com") {
    return TDOAuth::URLRequestForPath(path, params, host, kConsumerKey, kConsumerSecret, kToken, kTokenSecret, "http",
                                      "GET", 0, std::nullopt, 0);
  }

  vx::ScopedVirtualTime time_;
};

std::string header(const vx::URLRequest& request, std::string_view name) {
  return request.headers.value(name).value_or("<missing>");
}

// Pulls oauth_signature out of an Authorization header.
std::string signatureIn(const std::string& authorization) {
  const std::string marker = "oauth_signature=\"";
  auto at = authorization.find(marker);
  if (at == std::string::npos) return {};
  at += marker.size();
  return authorization.substr(at, authorization.find('"', at) - at);
}

TEST_F(TDOAuthTest, FixedVectorMatchesIndependentlyComputedSignature) {
  // Signature computed with:
  //   printf '%s' BASE | openssl dgst -sha1 -hmac 'j49sk3j29djd&dh893hdasih9' -binary | base64
  const std::string expectedBase =
      "GET&http%3A%2F%2Fapi.example.com%3A8080%2Fsearch%2Ficons&oauth_consumer_key%"
      "3D9djdj82h48djs9d2%26oauth_nonce%3D7D8F3E4A-0000-4000-8000-000000000001%26oauth_"
      "signature_method%3DHMAC-SHA1%26oauth_timestamp%3D1700000000%26oauth_token%"
      "3Dkkk9d7dh3k39sjv7%26oauth_version%3D1.0%26page%3D2%26query%3Da%2520b";

  auto oauth = TDOAuth::make(kConsumerKey, kConsumerSecret, kToken, kTokenSecret, 0);
  ASSERT_NE(oauth, nullptr);
  // What the builder sets before signing.
  auto request = TDOAuth::URLRequestForPath("/search/icons", TDOAuthParameters{{"query", "a b"}, {"page", 2}},
                                            "API.Example.com:8080", kConsumerKey, kConsumerSecret, kToken, kTokenSecret,
                                            "http", "GET", 0, std::nullopt, 0);
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->url, "http://API.Example.com:8080/search/icons?query=a%20b&page=2");
  EXPECT_EQ(request->httpMethod, "GET");
  EXPECT_EQ(header(*request, "Authorization"),
            "OAuth oauth_consumer_key=\"9djdj82h48djs9d2\", "
            "oauth_nonce=\"7D8F3E4A-0000-4000-8000-000000000001\", "
            "oauth_timestamp=\"1700000000\", oauth_version=\"1.0\", "
            "oauth_signature_method=\"HMAC-SHA1\", oauth_token=\"kkk9d7dh3k39sjv7\", "
            "oauth_signature=\"WsfNIRBcqdXmXvnOLmQQBQ%2F6554%3D\"");

  // The same steps, one by one, on an instance.
  ASSERT_EQ(oauth->setParameters(TDOAuthParameters{{"query", "a b"}, {"page", 2}}), "query=a%20b&page=2");
  EXPECT_EQ(oauth->signatureSecret(), "j49sk3j29djd&dh893hdasih9");
  EXPECT_EQ(TDOAuth::signatureBaseString("GET", "HTTP", "api.example.com:8080/search/icons",
                                         [&] {
                                           std::vector<std::pair<std::string, std::string>> p;
                                           for (auto& [k, v] : oauth->oauthParams()) {
                                             p.emplace_back(k, v);
                                           }
                                           for (auto& kv : oauth->params()) p.push_back(kv);
                                           return p;
                                         }()),
            expectedBase);
}

TEST_F(TDOAuthTest, HmacSha256VectorMatchesIndependentlyComputedSignature) {
  // printf '%s' BASE | openssl dgst -sha256 -hmac 'j49sk3j29djd&dh893hdasih9' -binary | base64
  auto request = TDOAuth::URLRequestForPath("/search/icons", TDOAuthParameters{{"query", "a b"}, {"page", 2}},
                                            "API.Example.com:8080", kConsumerKey, kConsumerSecret, kToken, kTokenSecret,
                                            "http", "GET", 0, std::nullopt, 1);
  ASSERT_TRUE(request.has_value());
  const auto authorization = header(*request, "Authorization");
  EXPECT_NE(authorization.find("oauth_signature_method=\"HMAC-SHA256\""), std::string::npos);
  EXPECT_EQ(signatureIn(authorization),
            vx::URL::percentEncode("V5n956WmUfM/dfPhLq3uDhlcSy6+gV+A489/xoHHryU=", vx::PercentEncoding::Unreserved));
}

TEST_F(TDOAuthTest, PostFormVectorWithoutTokenMatchesIndependentlyComputedSignature) {
  // printf '%s' BASE | openssl dgst -sha1 -hmac 'j49sk3j29djd&' -binary | base64
  auto request =
      TDOAuth::URLRequestForPathPOST("/icon/42/download/mac", TDOAuthParameters{{"color", "336699"}, {"type", "svg"}},
                                     "api.example.com", kConsumerKey, kConsumerSecret, std::nullopt, std::nullopt);
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->url, "https://api.example.com/icon/42/download/mac");
  EXPECT_EQ(request->httpMethod, "POST");
  EXPECT_EQ(std::string(request->body.begin(), request->body.end()), "color=336699&type=svg");
  EXPECT_EQ(header(*request, "Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(header(*request, "Content-Length"), "21");
  const auto authorization = header(*request, "Authorization");
  EXPECT_EQ(authorization.find("oauth_token"), std::string::npos);
  EXPECT_EQ(signatureIn(authorization), "oCL0amxRL2qfGQPoc1CBgIzZ7Ig%3D");
}

TEST_F(TDOAuthTest, Rfc5849ExampleBaseString) {
  // RFC 5849 section 3.4.1.1: parameters from the query, the body and the header, decoded.
  const std::vector<std::pair<std::string, std::string>> decoded = {
      {"b5", "=%3D"},
      {"a3", "a"},
      {"c@", ""},
      {"a2", "r b"},
      {"oauth_consumer_key", "9djdj82h48djs9d2"},
      {"oauth_token", "kkk9d7dh3k39sjv7"},
      {"oauth_signature_method", "HMAC-SHA1"},
      {"oauth_timestamp", "137131201"},
      {"oauth_nonce", "7d8f3e4a"},
      {"c2", ""},
      {"a3", "2 q"},
  };
  std::vector<std::pair<std::string, std::string>> encoded;
  for (const auto& [k, v] : decoded) {
    encoded.emplace_back(TDOAuth::percentEncode(k), TDOAuth::percentEncode(v));
  }
  EXPECT_EQ(TDOAuth::signatureBaseString("POST", "http", "example.com/request", encoded),
            "POST&http%3A%2F%2Fexample.com%2Frequest&a2%3Dr%2520b%26a3%3D2%2520q%26a3%3Da%26b5%"
            "3D%253D%25253D%26c%2540%3D%26c2%3D%26oauth_consumer_key%3D9djdj82h48djs9d2%26oauth_"
            "nonce%3D7d8f3e4a%26oauth_signature_method%3DHMAC-SHA1%26oauth_timestamp%"
            "3D137131201%26oauth_token%3Dkkk9d7dh3k39sjv7");
}

TEST(TDOAuthEncodingTest, PercentEncodingTable) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"AZaz09-._~", "AZaz09-._~"},
      {"a b", "a%20b"},
      {"line\r\nbreak", "line%0D%0Abreak"},  // control characters never pass raw
      {std::string("\x01\x1f\x7f", 3), "%01%1F%7F"},
      {std::string("nul\0x", 5), "nul%00x"},
      {"!*'();:@&=+$,/?#[]", "%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%23%5B%5D"},
      {"\"%<>\\^`{|}", "%22%25%3C%3E%5C%5E%60%7B%7C%7D"},
      {"caf\xC3\xA9", "caf%C3%A9"},
      {"\xE2\x98\x83", "%E2%98%83"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(TDOAuth::percentEncode(c.in), c.out) << c.in;
}

TEST(TDOAuthEncodingTest, PathEscapingTable) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"/search/icons", "/search/icons"},
      {"/a b", "/a%20b"},
      {"/!$&'()*+,-./:;=?@_~", "/!$&'()*+,-./:;=?@_~"},
      {"/\"#%<>[\\]^`{|}", "/%22%23%25%3C%3E%5B%5C%5D%5E%60%7B%7C%7D"},
      {"/x\r\ny", "/x%0D%0Ay"},
      {"/caf\xC3\xA9", "/caf%C3%A9"},
  };
  for (const auto& c : cases) EXPECT_EQ(TDOAuth::escapePath(c.in), c.out) << c.in;
}

TEST_F(TDOAuthTest, QueryParametersAreEncodedOnceInUrlAndTwiceInBaseString) {
  auto oauth = TDOAuth::make(kConsumerKey, kConsumerSecret, kToken, kTokenSecret, 0);
  ASSERT_NE(oauth, nullptr);
  EXPECT_EQ(oauth->setParameters(TDOAuthParameters{{"page", 2}, {"query", "a b"}}), "page=2&query=a%20b");
  auto request = get("/search", TDOAuthParameters{{"page", 2}, {"query", "a b"}});
  ASSERT_TRUE(request);
  EXPECT_EQ(request->url, "http://api.example.com/search?page=2&query=a%20b");
  // Rebuild the base string from the same pieces the request was signed with.
  auto base = TDOAuth::signatureBaseString("GET", "http", "api.example.com/search",
                                           {{"oauth_consumer_key", kConsumerKey},
                                            {"oauth_nonce", kNonce},
                                            {"oauth_timestamp", "1700000000"},
                                            {"oauth_version", "1.0"},
                                            {"oauth_signature_method", "HMAC-SHA1"},
                                            {"oauth_token", kToken},
                                            {"page", "2"},
                                            {"query", "a%20b"}});
  EXPECT_NE(base.find("page%3D2%26query%3Da%2520b"), std::string::npos);
}

TEST_F(TDOAuthTest, ControlCharactersInParametersAreEncodedEverywhere) {
  auto request = get("/search", TDOAuthParameters{{"q\r\n", "x\r\nInjected: 1"}});
  ASSERT_TRUE(request);
  EXPECT_EQ(request->url, "http://api.example.com/search?q%0D%0A=x%0D%0AInjected%3A%201");
  for (const auto& [name, value] : request->headers.all()) {
    EXPECT_EQ(value.find_first_of("\r\n"), std::string::npos) << name;
  }

  auto post = TDOAuth::URLRequestForPath("/p", TDOAuthParameters{{"a", "1\n2"}}, "api.example.com", kConsumerKey,
                                         kConsumerSecret, kToken, kTokenSecret, "https", "POST", 0, std::nullopt, 0);
  ASSERT_TRUE(post);
  EXPECT_EQ(std::string(post->body.begin(), post->body.end()), "a=1%0A2");
}

TEST_F(TDOAuthTest, TokenWithReservedCharactersCannotBreakTheHeader) {
  auto request = TDOAuth::URLRequestForPath("/user", std::nullopt, "api.example.com", kConsumerKey, kConsumerSecret,
                                            "tok\"en\r\nX: y", kTokenSecret, "https", "GET", 0, std::nullopt, 0);
  ASSERT_TRUE(request);
  const auto authorization = header(*request, "Authorization");
  EXPECT_NE(authorization.find("oauth_token=\"tok%22en%0D%0AX%3A%20y\""), std::string::npos);
  EXPECT_EQ(authorization.find_first_of("\r\n"), std::string::npos);
}

TEST_F(TDOAuthTest, WithoutAccessTokenNoTokenParameterAndKeyEndsInAmpersand) {
  auto oauth = TDOAuth::make(kConsumerKey, kConsumerSecret, std::nullopt, std::nullopt, 0);
  ASSERT_NE(oauth, nullptr);
  EXPECT_EQ(oauth->signatureSecret(), "j49sk3j29djd&");
  for (const auto& [key, value] : oauth->oauthParams()) EXPECT_NE(key, "oauth_token");
  EXPECT_EQ(oauth->oauthParams().size(), 5u);
}

TEST_F(TDOAuthTest, HostsPortsAndSchemes) {
  struct Case {
    std::string scheme;
    std::string host;
    std::string expectedUrl;
    std::string expectedBaseStart;
    std::string baseHost;  // the authority as signed
  };
  // A default port is signed without it (the "Host" header on the wire has none); any other
  // port is kept.
  const std::vector<Case> cases = {
      {"http", "api.example.com:8080", "http://api.example.com:8080/user",
       "GET&http%3A%2F%2Fapi.example.com%3A8080%2Fuser&", "api.example.com:8080"},
      {"https", "API.EXAMPLE.COM", "https://API.EXAMPLE.COM/user", "GET&https%3A%2F%2Fapi.example.com%2Fuser&",
       "api.example.com"},
      {"HTTPS", "Api.Example.Com:443", "HTTPS://Api.Example.Com:443/user", "GET&https%3A%2F%2Fapi.example.com%2Fuser&",
       "api.example.com"},
      {"http", "api.example.com:80", "http://api.example.com:80/user", "GET&http%3A%2F%2Fapi.example.com%2Fuser&",
       "api.example.com"},
      {"https", "api.example.com:80", "https://api.example.com:80/user",
       "GET&https%3A%2F%2Fapi.example.com%3A80%2Fuser&", "api.example.com:80"},
      {"http", "api.example.com:443", "http://api.example.com:443/user",
       "GET&http%3A%2F%2Fapi.example.com%3A443%2Fuser&", "api.example.com:443"},
      {"http", "api.example.com:8080", "http://api.example.com:8080/user",
       "GET&http%3A%2F%2Fapi.example.com%3A8080%2Fuser&", "api.example.com:8080"},
      {"http", "127.0.0.1:49152", "http://127.0.0.1:49152/user", "GET&http%3A%2F%2F127.0.0.1%3A49152%2Fuser&",
       "127.0.0.1:49152"},
  };
  for (const auto& c : cases) {
    auto request = TDOAuth::URLRequestForPath("/user", std::nullopt, c.host, kConsumerKey, kConsumerSecret, kToken,
                                              kTokenSecret, c.scheme, "GET", 0, std::nullopt, 0);
    ASSERT_TRUE(request) << c.host;
    EXPECT_EQ(request->url, c.expectedUrl);
    // The signature over the expected base string must be the one sent.
    auto oauth = TDOAuth::make(kConsumerKey, kConsumerSecret, kToken, kTokenSecret, 0);
    std::vector<std::pair<std::string, std::string>> pairs(oauth->oauthParams().begin(), oauth->oauthParams().end());
    const std::string hostAndPath = c.baseHost + "/user";
    auto base = TDOAuth::signatureBaseString("GET", c.scheme, hostAndPath, pairs);
    EXPECT_EQ(base.rfind(c.expectedBaseStart, 0), 0u) << base;
    EXPECT_EQ(signatureIn(header(*request, "Authorization")),
              TDOAuth::percentEncode(
                  vx::base64Encode(vx::hmacSha1(std::string(kConsumerSecret) + "&" + kTokenSecret, base))));
  }
}

TEST_F(TDOAuthTest, QueryMethodsAndBareQuestionMark) {
  struct Case {
    std::string method;
    std::optional<TDOAuthParameters> params;
    std::string url;
  };
  const std::vector<Case> cases = {
      {"GET", std::nullopt, "http://h.example/p"},
      {"GET", TDOAuthParameters::object(), "http://h.example/p?"},
      {"DELETE", TDOAuthParameters{{"a", "b"}}, "http://h.example/p?a=b"},
      {"HEAD", TDOAuthParameters{{"n", 1.5}}, "http://h.example/p?n=1.5"},
      {"GET", TDOAuthParameters{{"big", 9007199254740993LL}}, "http://h.example/p?big=9007199254740993"},
  };
  for (const auto& c : cases) {
    auto request = TDOAuth::URLRequestForPath("/p", c.params, "h.example", kConsumerKey, kConsumerSecret, kToken,
                                              kTokenSecret, "http", c.method, 0, std::nullopt, 0);
    ASSERT_TRUE(request) << c.method;
    EXPECT_EQ(request->url, c.url);
    EXPECT_EQ(request->httpMethod, c.method);
    EXPECT_TRUE(request->body.empty());
  }
}

TEST_F(TDOAuthTest, PostWithEmptyParametersHasNoBody) {
  for (const auto& params :
       {std::optional<TDOAuthParameters>(), std::optional<TDOAuthParameters>(TDOAuthParameters::object())}) {
    auto request = TDOAuth::URLRequestForPath("/p", params, "h.example", kConsumerKey, kConsumerSecret, kToken,
                                              kTokenSecret, "https", "POST", 0, std::nullopt, 0);
    ASSERT_TRUE(request);
    EXPECT_TRUE(request->body.empty());
    EXPECT_FALSE(request->headers.contains("Content-Type"));
    EXPECT_FALSE(request->headers.contains("Content-Length"));
  }
}

TEST_F(TDOAuthTest, JsonBodyIsNotSigned) {
  const TDOAuthParameters params{{"token", "abc"}, {"n", 3}};
  auto json = TDOAuth::URLRequestForPath("/auth/token", params, "h.example", kConsumerKey, kConsumerSecret,
                                         std::nullopt, std::nullopt, "https", "POST", 1, std::nullopt, 0);
  ASSERT_TRUE(json);
  EXPECT_EQ(json->url, "https://h.example/auth/token");
  EXPECT_EQ(std::string(json->body.begin(), json->body.end()), R"({"token":"abc","n":3})");
  EXPECT_EQ(header(*json, "Content-Type"), "application/json");
  EXPECT_EQ(header(*json, "Content-Length"), "21");

  // The signature equals that of the same POST without any parameters: only the protocol
  // parameters were signed.
  auto bare = TDOAuth::URLRequestForPath("/auth/token", std::nullopt, "h.example", kConsumerKey, kConsumerSecret,
                                         std::nullopt, std::nullopt, "https", "POST", 1, std::nullopt, 0);
  ASSERT_TRUE(bare);
  EXPECT_EQ(header(*json, "Authorization"), header(*bare, "Authorization"));
  auto form = TDOAuth::URLRequestForPath("/auth/token", params, "h.example", kConsumerKey, kConsumerSecret,
                                         std::nullopt, std::nullopt, "https", "POST", 0, std::nullopt, 0);
  ASSERT_TRUE(form);
  EXPECT_NE(header(*json, "Authorization"), header(*form, "Authorization"));
}

TEST_F(TDOAuthTest, RejectedInputsTable) {
  struct Case {
    const char* name;
    std::string path, host, scheme, method;
    std::optional<TDOAuthParameters> params;
    int encoding;
    int signatureMethod;
    std::optional<TDOAuthHeaderValues> headers;
  };
  const TDOAuthParameters some{{"a", "b"}};
  const std::vector<Case> cases = {
      {"empty path", "", "h", "https", "GET", some, 0, 0, std::nullopt},
      {"empty host", "/p", "", "https", "GET", some, 0, 0, std::nullopt},
      {"empty scheme", "/p", "h", "", "GET", some, 0, 0, std::nullopt},
      {"empty method", "/p", "h", "https", "", some, 0, 0, std::nullopt},
      {"signature method 2", "/p", "h", "https", "GET", some, 0, 2, std::nullopt},
      {"signature method -1", "/p", "h", "https", "GET", some, 0, -1, std::nullopt},
      {"unknown encoding with parameters", "/p", "h", "https", "POST", some, 7, 0, std::nullopt},
      {"boolean parameter", "/p", "h", "https", "GET", TDOAuthParameters{{"a", true}}, 0, 0, std::nullopt},
      {"nested parameter", "/p", "h", "https", "POST", TDOAuthParameters{{"a", {1, 2}}}, 0, 0, std::nullopt},
      {"parameters not an object", "/p", "h", "https", "GET", TDOAuthParameters::array(), 0, 0, std::nullopt},
      {"host with a space", "/p", "h x", "https", "GET", some, 0, 0, std::nullopt},
      {"header value with CRLF", "/p", "h", "https", "GET", some, 0, 0,
       TDOAuthHeaderValues{{"X-Extra", "a\r\nEvil: 1"}}},
      {"header name with colon", "/p", "h", "https", "GET", some, 0, 0, TDOAuthHeaderValues{{"X:Y", "a"}}},
      {"JSON with invalid UTF-8", "/p", "h", "https", "POST", TDOAuthParameters{{"a", std::string("\xff\xfe")}}, 1, 0,
       std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(TDOAuth::URLRequestForPath(c.path, c.params, c.host, kConsumerKey, kConsumerSecret, kToken,
                                            kTokenSecret, c.scheme, c.method, c.encoding, c.headers, c.signatureMethod))
        << c.name;
  }
  // An unknown encoding without parameters has nothing to encode and still builds.
  EXPECT_TRUE(TDOAuth::URLRequestForPath("/p", std::nullopt, "h", kConsumerKey, kConsumerSecret, kToken, kTokenSecret,
                                         "https", "POST", 7, std::nullopt, 0));
  EXPECT_EQ(TDOAuth::make(kConsumerKey, kConsumerSecret, kToken, kTokenSecret, 2), nullptr);
}

TEST_F(TDOAuthTest, RequestCarriesStandardHeadersAndTextExtraHeaders) {
  auto request =
      TDOAuth::URLRequestForPath("/p", std::nullopt, "h.example", kConsumerKey, kConsumerSecret, kToken, kTokenSecret,
                                 "https", "GET", 0, TDOAuthHeaderValues{{"X-Text", "yes"}, {"X-Number", 5}}, 0);
  ASSERT_TRUE(request);
  auto& bundle = vx::Bundle::main();
  const std::string name = bundle.displayName().empty() ? bundle.bundleIdentifier() : bundle.displayName();
  EXPECT_EQ(header(*request, "User-Agent"), name + "/" + bundle.buildNumber());
  EXPECT_EQ(OMGUserAgent(), name + "/" + bundle.buildNumber());
  EXPECT_TRUE(request->acceptGzip);
  EXPECT_EQ(request->timeoutInterval, std::chrono::seconds(30));
  EXPECT_EQ(header(*request, "X-Text"), "yes");
  EXPECT_FALSE(request->headers.contains("X-Number"));
  EXPECT_EQ(header(*request, "Authorization").rfind("OAuth ", 0), 0u);
}

TEST_F(TDOAuthTest, ProtocolParameterWinsOverRequestParameterOfSameName) {
  auto request = get("/p", TDOAuthParameters{{"oauth_version", "2.0"}});
  auto reference = get("/p", TDOAuthParameters::object());
  ASSERT_TRUE(request && reference);
  // Same signed set: the request's oauth_version was dropped from the base string.
  EXPECT_EQ(signatureIn(header(*request, "Authorization")), signatureIn(header(*reference, "Authorization")));
  EXPECT_EQ(request->url, "http://api.example.com/p?oauth_version=2.0");
}

TEST_F(TDOAuthTest, ClockOffsetMovesTheTimestamp) {
  struct Case {
    std::int32_t offset;
    std::string timestamp;
  };
  for (const auto& c : {Case{0, "1700000000"}, Case{-3600, "1699996400"}, Case{INT32_MAX, "3847483647"},
                        Case{INT32_MIN, "-447483648"}}) {
    TDOAuth::setUtcTimeOffset(c.offset);
    EXPECT_EQ(TDOAuth::utcTimeOffset(), c.offset);
    auto oauth = TDOAuth::make(kConsumerKey, kConsumerSecret, kToken, kTokenSecret, 0);
    std::string timestamp;
    for (const auto& [k, v] : oauth->oauthParams()) {
      if (k == "oauth_timestamp") timestamp = v;
    }
    EXPECT_EQ(timestamp, c.timestamp);
  }
  time_.advance(std::chrono::seconds(90));
  TDOAuth::setUtcTimeOffset(10);
  auto oauth = TDOAuth::make(kConsumerKey, kConsumerSecret, kToken, kTokenSecret, 0);
  EXPECT_EQ(oauth->oauthParams()[2].second, "1700000100");
}

TEST(TDOAuthClockTest, OffsetIsSafeToSetFromManyThreads) {
  std::atomic<bool> stop{false};
  std::atomic<int> badReads{0};
  std::thread reader([&] {
    while (!stop) {
      const auto value = TDOAuth::utcTimeOffset();
      if (value != 0 && value % 1000 != 7) ++badReads;
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < 10000; ++i) TDOAuth::setUtcTimeOffset((t * 10000 + i) * 1000 + 7);
    });
  }
  for (auto& w : writers) w.join();
  stop = true;
  reader.join();
  EXPECT_EQ(badReads.load(), 0);
  TDOAuth::setUtcTimeOffset(0);
}

TEST(TDOAuthNonceTest, TwoRequestsInOneSecondDifferInNonceAndSignature) {
  vx::ScopedVirtualTime time{vx::WallTime(std::chrono::seconds(kNow))};
  std::set<std::string> nonces;
  std::set<std::string> signatures;
  for (int i = 0; i < 2; ++i) {
    auto oauth = TDOAuth::make(kConsumerKey, kConsumerSecret, kToken, kTokenSecret, 0);
    const std::string nonce = oauth->oauthParams()[1].second;
    EXPECT_EQ(nonce.size(), 36u);
    EXPECT_TRUE(vx::UUID::parse(nonce).has_value());
    EXPECT_EQ(nonce.find_first_of("abcdef"), std::string::npos) << "upper-case hex";
    nonces.insert(nonce);
    auto request = TDOAuth::URLRequestForPathGET("/p", std::nullopt, "h.example", kConsumerKey, kConsumerSecret, kToken,
                                                 kTokenSecret);
    signatures.insert(signatureIn(header(*request, "Authorization")));
  }
  EXPECT_EQ(nonces.size(), 2u);
  EXPECT_EQ(signatures.size(), 2u);
}

TEST_F(TDOAuthTest, ConvenienceBuildersUseTheirSchemeAndMethod) {
  auto plain = TDOAuth::URLRequestForPathGET("/p", std::nullopt, "h.example", kConsumerKey, kConsumerSecret, kToken,
                                             kTokenSecret);
  auto scheme = TDOAuth::URLRequestForPathGET("/p", std::nullopt, "https", "h.example", kConsumerKey, kConsumerSecret,
                                              kToken, kTokenSecret);
  auto post = TDOAuth::URLRequestForPathPOST("/p", std::nullopt, "h.example", kConsumerKey, kConsumerSecret, kToken,
                                             kTokenSecret);
  ASSERT_TRUE(plain && scheme && post);
  EXPECT_EQ(plain->url, "http://h.example/p");
  EXPECT_EQ(plain->httpMethod, "GET");
  EXPECT_EQ(scheme->url, "https://h.example/p");
  EXPECT_EQ(post->url, "https://h.example/p");
  EXPECT_EQ(post->httpMethod, "POST");
}

}  // namespace
}  // namespace Vexelworks
