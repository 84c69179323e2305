#include "platform/foundation/Error.h"

#include <gtest/gtest.h>

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

TEST(FatalErrorDeathTest, AbortsWithMessage) {
  EXPECT_DEATH(fatalError("request builder not overridden"), "request builder not overridden");
}

}  // namespace
}  // namespace vx
