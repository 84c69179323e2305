#include "platform/foundation/Error.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vx {
namespace {

TEST(ResultTest, CarriesValueOrError) {
  Result<int> good(42);
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(*good, 42);

  Result<int> bad(Error("VXTestDomain", 7, "broken"));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().code, 7);
  EXPECT_EQ(bad.valueOr(5), 5);
  EXPECT_EQ(bad.error().toString(), "Error Domain=VXTestDomain Code=7 \"broken\"");

  Result<void> done;
  EXPECT_TRUE(done.ok());
  Result<void> failed(Error("VXTestDomain", 1));
  EXPECT_FALSE(failed.ok());
}

TEST(ErrorTest, UserInfoKeepsDetailsAndCopiesIndependently) {
  Error error("VXTestDomain", 3, "missing", {{"path", "/tmp/x"}, {"errno", 2}});
  EXPECT_EQ(error.userInfo["path"], "/tmp/x");
  EXPECT_EQ(error.userInfo.value("errno", 0), 2);
  EXPECT_TRUE(error.userInfo.contains("path"));
  EXPECT_FALSE(error.userInfo.contains("other"));

  Error copy = error;
  copy.userInfo["path"] = "/tmp/y";
  EXPECT_EQ(error.userInfo["path"], "/tmp/x");
  EXPECT_EQ(copy.userInfo["path"], "/tmp/y");

  Error moved = std::move(copy);
  EXPECT_EQ(moved.userInfo["path"], "/tmp/y");
}

TEST(ErrorTest, UserInfoWithoutDetailsReadsAsEmptyObject) {
  const Error error("VXTestDomain", 1);
  const nlohmann::json& details = error.userInfo;
  EXPECT_EQ(details, nlohmann::json::object());
  EXPECT_FALSE(error.userInfo.contains("path"));
  EXPECT_TRUE(error.userInfo["path"].is_null());  // absent on a const error: null, no assertion
  EXPECT_EQ(error.userInfo.value("path", std::string("none")), "none");

  Error written("VXTestDomain", 1);
  written.userInfo["path"] = "/tmp/z";
  EXPECT_EQ(written.userInfo.json(), (nlohmann::json{{"path", "/tmp/z"}}));
}

TEST(FatalErrorDeathTest, AbortsWithMessage) {
  EXPECT_DEATH(fatalError("request builder not overridden"), "request builder not overridden");
}

}  // namespace
}  // namespace vx
