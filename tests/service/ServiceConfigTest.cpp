#include "app/service/ServiceConfig.h"

#include "app/service/ServiceDefaults.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace Vexelworks {
namespace {

class ServiceConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }
  static void clear() {
    unsetenv(kAPIBaseURLEnvironmentVariable);
    unsetenv(kWebBaseURLEnvironmentVariable);
    setAPIBaseURL(std::nullopt);
    setWebBaseURL(std::nullopt);
  }
};

TEST_F(ServiceConfigTest, DefaultsToTheBuildsServiceAddresses) {
  EXPECT_EQ(apiBaseURL().string(), parseBaseURL(VX_API_BASE_URL_DEFAULT)->string());
  EXPECT_EQ(webBaseURL().string(), parseBaseURL(VX_WEB_BASE_URL_DEFAULT)->string());
}

TEST_F(ServiceConfigTest, EnvironmentThenProcessOverride) {
  setenv(kAPIBaseURLEnvironmentVariable, "https://api.example.test", 1);
  setenv(kWebBaseURLEnvironmentVariable, "https://www.example.test:8443", 1);
  EXPECT_EQ(apiBaseURL().string(), "https://api.example.test");
  EXPECT_EQ(webBaseURL().string(), "https://www.example.test:8443");
  EXPECT_EQ(webBaseURL().port(), 8443);

  setAPIBaseURL(vx::URL::parse("http://127.0.0.1:40000"));
  EXPECT_EQ(apiBaseURL().string(), "http://127.0.0.1:40000");
  EXPECT_EQ(webBaseURL().string(), "https://www.example.test:8443");  // untouched
  setAPIBaseURL(std::nullopt);
  EXPECT_EQ(apiBaseURL().string(), "https://api.example.test");
}

TEST_F(ServiceConfigTest, EmptyEnvironmentValueMeansUnset) {
  setenv(kAPIBaseURLEnvironmentVariable, "", 1);
  EXPECT_EQ(apiBaseURL().string(), parseBaseURL(VX_API_BASE_URL_DEFAULT)->string());
}

TEST(ServiceConfigParseTest, BaseURLTable) {
  struct Case {
    std::string text;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"https://api.example.test", true},
      {"http://127.0.0.1:8765", true},
      {"HTTPS://Api.Example.Test", true},
      {"ftp://example.test", false},
      {"/relative/path", false},
      {"example.test", false},
      {"https://", false},
      {"https://exa mple.test", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(parseBaseURL(c.text).has_value(), c.accepted) << c.text;
}

TEST(ServiceConfigDeathTest, AMalformedEnvironmentValueStopsWithItsName) {
  EXPECT_DEATH(
      {
        setenv(kAPIBaseURLEnvironmentVariable, "not a url", 1);
        (void)apiBaseURL();
      },
      "VX_API_BASE_URL");
  EXPECT_DEATH(
      {
        setenv(kWebBaseURLEnvironmentVariable, "ftp://example.test", 1);
        (void)webBaseURL();
      },
      "VX_WEB_BASE_URL");
}

}  // namespace
}  // namespace Vexelworks
