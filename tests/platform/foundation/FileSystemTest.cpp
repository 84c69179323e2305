#include "platform/foundation/FileSystem.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace vx {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FileSystemTest, ReplacesWholeFilesWithTheirModeInBothDurabilities) {
  const fs::path folder = fs::path(std::getenv("VX_TEST_HOME")) / "atomic";
  fs::create_directories(folder);
  struct Case {
    WriteDurability durability;
    unsigned mode;
  } cases[] = {{WriteDurability::synced, 0600}, {WriteDurability::unsynced, 0644}};
  for (const auto& c : cases) {
    const auto path = folder / "file.json";
    ASSERT_TRUE(writeFileAtomically(path, "first", c.mode, c.durability).ok());
    ASSERT_TRUE(writeFileAtomically(path, "second, longer", c.mode, c.durability).ok());
    EXPECT_EQ(contents(path), "second, longer");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, c.mode);
  }
  // Only the target is left behind: no temporaries.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

TEST(FileSystemTest, AFailedWriteNamesTheStepAndLeavesNothing) {
  const fs::path folder = fs::path(std::getenv("VX_TEST_HOME")) / "atomic-fail";
  fs::create_directories(folder);
  const auto result =
      writeFileAtomically(folder / "missing" / "out.bin", "x", 0600, WriteDurability::unsynced, "vx.Test");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().domain, "vx.Test");
  EXPECT_NE(result.error().description.find("missing/out.bin"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(folder));
}

}  // namespace
}  // namespace vx
