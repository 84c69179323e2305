// Crash-time reading of small system files: whole texts and line by line through a fixed buffer.
#include "platform/darwin/AsyncFile.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// One file holding `text`, in a folder of its own that goes with it.
class TextFile {
 public:
  explicit TextFile(const std::string& text) : folder_("async-file"), path_(folder_.write("text", text).string()) {}
  const char* c_str() const { return path_.c_str(); }

 private:
  vx::test::TemporaryFolder folder_;
  std::string path_;
};

std::vector<std::string> lines(const char* path, std::size_t bufferSize) {
  std::vector<char> buffer(bufferSize);
  vx::async_line_reader reader;
  EXPECT_TRUE(vx::async_line_reader_open(&reader, path, buffer.data(), buffer.size()));
  std::vector<std::string> out;
  std::size_t length = 0;
  while (const char* line = vx::async_line_reader_next(&reader, &length)) {
    EXPECT_EQ(std::string(line).size(), length);
    out.emplace_back(line, length);
  }
  vx::async_line_reader_close(&reader);
  vx::async_line_reader_close(&reader);
  return out;
}

TEST(AsyncFileTest, LinesAreCutToTheBufferAndTheLastNeedsNoLineEnd) {
  const TextFile file("first\n\n" + std::string(40, 'x') + "\nshort\nlast");
  const std::vector<std::string> expected = {"first", "", std::string(15, 'x'), "short", "last"};
  EXPECT_EQ(lines(file.c_str(), 16), expected);
  const std::vector<std::string> whole = {"first", "", std::string(40, 'x'), "short", "last"};
  EXPECT_EQ(lines(file.c_str(), 4096), whole);
  const TextFile empty("");
  EXPECT_TRUE(lines(empty.c_str(), 8).empty());
}

TEST(AsyncFileTest, ProcStatHoldsTheBootTimeLine) {
  bool found = false;
  for (const std::string& line : lines("/proc/stat", 64)) found = found || line.rfind("btime ", 0) == 0;
  EXPECT_TRUE(found);
}

TEST(AsyncFileTest, WholeTextsAndTheirErrors) {
  char buffer[8];
  const TextFile fits("1234567 \n\n");
  EXPECT_EQ(vx::async_read_text(fits.c_str(), buffer, sizeof buffer), 7);
  EXPECT_STREQ(buffer, "1234567");
  const TextFile overlong("12345678");
  errno = 0;
  EXPECT_EQ(vx::async_read_text(overlong.c_str(), buffer, sizeof buffer), -1);
  EXPECT_EQ(errno, EOVERFLOW);
  errno = 0;
  EXPECT_EQ(vx::async_read_text("/nonexistent/file", buffer, sizeof buffer), -1);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(vx::async_read_text(fits.c_str(), buffer, 0), -1);
  EXPECT_EQ(errno, EINVAL);
  vx::async_line_reader reader;
  errno = 0;
  EXPECT_FALSE(vx::async_line_reader_open(&reader, "/nonexistent/file", buffer, sizeof buffer));
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
