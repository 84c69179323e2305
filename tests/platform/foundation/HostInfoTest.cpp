#include "platform/foundation/HostInfo.h"

#include <gtest/gtest.h>

#include <sys/statvfs.h>
#include <sys/utsname.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace vx {
namespace {

TEST(HostInfoTest, ReadsTheRunningSystem) {
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(HostInfo::kernelRelease(), names.release);
  EXPECT_EQ(HostInfo::machine(), names.machine);
  EXPECT_FALSE(HostInfo::osName().empty());
  EXPECT_NE(HostInfo::osName(), "macOS");
  EXPECT_GT(HostInfo::physicalMemory(), 0u);
  EXPECT_GT(HostInfo::availableMemory(), 0u);
  EXPECT_GE(HostInfo::processorCount(), 1);
  ASSERT_TRUE(HostInfo::bootTime().has_value());
  EXPECT_LT(*HostInfo::bootTime(), std::chrono::system_clock::now());
}

TEST(HostInfoTest, StorageSizeIsTheSizeOfTheFileSystemHoldingThePath) {
  struct statvfs root {};
  ASSERT_EQ(statvfs("/", &root), 0);
  EXPECT_EQ(HostInfo::storageSize("/"),
            static_cast<std::uint64_t>(root.f_blocks) * static_cast<std::uint64_t>(root.f_frsize));
  ASSERT_TRUE(HostInfo::storageSize().has_value());
  EXPECT_GT(*HostInfo::storageSize(), 0u);
  EXPECT_EQ(HostInfo::storageSize("/nonexistent/folder"), std::nullopt);
  EXPECT_FALSE(HostInfo::timeZoneAbbreviation().empty());
}

TEST(HostInfoTest, ParsesOsReleaseQuotingAndMissingKeys) {
  const auto path = std::filesystem::path(std::getenv("VX_TEST_HOME")) / "os-release";
  std::ofstream(path) << "NAME=\"Example \\\"Linux\\\"\"\n"
                         "VERSION_ID='22.04'\n"
                         "ID=example\n"
                         "EMPTY=\n"
                         "NAMEX=wrong\n";
  EXPECT_EQ(HostInfo::osReleaseValue("NAME", path.string()), "Example \"Linux\"");
  EXPECT_EQ(HostInfo::osReleaseValue("VERSION_ID", path.string()), "22.04");
  EXPECT_EQ(HostInfo::osReleaseValue("ID", path.string()), "example");
  EXPECT_EQ(HostInfo::osReleaseValue("EMPTY", path.string()), std::nullopt);
  EXPECT_EQ(HostInfo::osReleaseValue("MISSING", path.string()), std::nullopt);
  EXPECT_EQ(HostInfo::osReleaseValue("NAME", "/nonexistent/os-release"), std::nullopt);
}

}  // namespace
}  // namespace vx
