// Errors of the engine's set-up code.
#include "crash-engine/HXCrashErrors.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>

namespace {

TEST(ErrorsTest, ConstantsKeepTheirValues) {
  EXPECT_STREQ(MSHXCrashReporterErrorDomain, "HXCrashReporterErrorDomain");
  EXPECT_STREQ(MSHXCrashReporterException, "HXCrashReporterException");
}

TEST(ErrorsTest, PopulateErrorFillsDomainCodeDescriptionAndUnderlying) {
  MShxcrash_populate_error(nullptr, 0, "ignored");  // no out-pointer: nothing happens

  vx::Error error;
  MShxcrash_populate_error(&error, 3, "already enabled");
  EXPECT_EQ(error.domain, "HXCrashReporterErrorDomain");
  EXPECT_EQ(error.code, 3);
  EXPECT_EQ(error.description, "already enabled");
  EXPECT_EQ(error.userInfo["NSLocalizedDescription"], "already enabled");
  EXPECT_FALSE(error.userInfo.contains("NSUnderlyingError"));

  MShxcrash_populate_posix_error(&error, ENOENT, "Failed to register signal handler");
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(error.userInfo["NSUnderlyingError"]["domain"], "NSPOSIXErrorDomain");
  EXPECT_EQ(error.userInfo["NSUnderlyingError"]["code"], ENOENT);

  MShxcrash_populate_mach_error(&error, 5, "Mach failure");
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(error.description, "Mach failure");
  EXPECT_EQ(error.userInfo["NSUnderlyingError"]["domain"], "NSMachErrorDomain");
  EXPECT_EQ(error.userInfo["NSUnderlyingError"]["code"], 5);
}

}  // namespace
