#include "reporting/crash-recorder/Recording/PloverCrashFileUtils.h"

#include "crash-recorder/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

class PloverCrashFileUtilsTest : public ::testing::Test {
 protected:
  TemporaryFolder folder;
};

TEST_F(PloverCrashFileUtilsTest, LastPathEntry) {
  EXPECT_STREQ(plovercrashfu_lastPathEntry("/a/b/c.json"), "c.json");
  EXPECT_STREQ(plovercrashfu_lastPathEntry("plain"), "plain");
  EXPECT_STREQ(plovercrashfu_lastPathEntry("/a/"), "");
  EXPECT_EQ(plovercrashfu_lastPathEntry(nullptr), nullptr);
}

TEST_F(PloverCrashFileUtilsTest, ReadEntireFileWholeAndTail) {
  std::string contents(3000000, '\0');
  for (std::size_t i = 0; i < contents.size(); ++i) {
    contents[i] = static_cast<char>('a' + i % 26);
  }
  const std::string path = folder.file("big");
  TemporaryFolder::write(path, contents);

  char* text = nullptr;
  int length = 0;
  ASSERT_TRUE(plovercrashfu_readEntireFile(path.c_str(), &text, &length, 2000000));
  ASSERT_EQ(length, 2000000);
  EXPECT_EQ(std::memcmp(text, contents.data() + 1000000, 2000000), 0);
  EXPECT_EQ(text[length], '\0');
  std::free(text);

  ASSERT_TRUE(plovercrashfu_readEntireFile(path.c_str(), &text, &length, 0));
  EXPECT_EQ(length, 3000000);
  EXPECT_EQ(std::memcmp(text, contents.data(), contents.size()), 0);
  std::free(text);

  EXPECT_FALSE(plovercrashfu_readEntireFile(folder.file("missing").c_str(), &text, &length, 0));
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(length, 0);
}

TEST_F(PloverCrashFileUtilsTest, WriteAndReadBytesAndLines) {
  const std::string path = folder.file("lines");
  int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(plovercrashfu_writeBytesToFD(fd, "abc", 0));
  EXPECT_TRUE(plovercrashfu_writeStringToFD(fd, "first line\n"));
  EXPECT_FALSE(plovercrashfu_writeStringToFD(fd, ""));
  EXPECT_TRUE(plovercrashfu_writeFmtToFD(fd, "%s %d\n", "second", 2));
  EXPECT_FALSE(plovercrashfu_writeFmtToFD(fd, "%s", ""));  // empty text written: fails
  EXPECT_TRUE(plovercrashfu_writeStringToFD(fd, "last"));
  close(fd);
  EXPECT_EQ(TemporaryFolder::read(path), "first line\nsecond 2\nlast");

  fd = open(path.c_str(), O_RDONLY);
  char line[64];
  EXPECT_EQ(plovercrashfu_readLineFromFD(fd, line, sizeof line), 10);
  EXPECT_STREQ(line, "first line");
  EXPECT_EQ(plovercrashfu_readLineFromFD(fd, line, 5), 4);  // size - 1 bytes at most
  EXPECT_STREQ(line, "seco");
  EXPECT_EQ(plovercrashfu_readLineFromFD(fd, line, sizeof line), 4);
  EXPECT_STREQ(line, "nd 2");
  EXPECT_EQ(plovercrashfu_readLineFromFD(fd, line, sizeof line), 4);
  EXPECT_STREQ(line, "last");
  EXPECT_EQ(plovercrashfu_readLineFromFD(fd, line, sizeof line), 0);
  close(fd);

  fd = open(path.c_str(), O_RDONLY);
  char bytes[8];
  EXPECT_TRUE(plovercrashfu_readBytesFromFD(fd, bytes, 5));
  EXPECT_EQ(std::string(bytes, 5), "first");
  EXPECT_TRUE(plovercrashfu_readBytesFromFD(fd, bytes, 0));
  close(fd);
  fd = open(path.c_str(), O_RDONLY);
  char all[100];
  EXPECT_FALSE(plovercrashfu_readBytesFromFD(fd, all, sizeof all));  // the file ends first
  close(fd);
  EXPECT_FALSE(plovercrashfu_readBytesFromFD(-1, all, 1));
  EXPECT_EQ(plovercrashfu_readLineFromFD(-1, line, sizeof line), -1);
}

TEST_F(PloverCrashFileUtilsTest, MakePathAndRemoveFile) {
  const std::string deep = folder.file("a/b/c");
  EXPECT_TRUE(plovercrashfu_makePath(deep.c_str()));
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  EXPECT_TRUE(plovercrashfu_makePath(deep.c_str()));  // existing folders are fine
  EXPECT_EQ(std::filesystem::status(deep).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  const std::string blocker = folder.file("file");
  TemporaryFolder::write(blocker, "x");
  EXPECT_FALSE(plovercrashfu_makePath((blocker + "/sub").c_str()));

  EXPECT_TRUE(plovercrashfu_removeFile(blocker.c_str(), true));
  EXPECT_FALSE(std::filesystem::exists(blocker));
  EXPECT_FALSE(plovercrashfu_removeFile(blocker.c_str(), false));
  EXPECT_FALSE(plovercrashfu_removeFile(blocker.c_str(), true));
}

TEST_F(PloverCrashFileUtilsTest, DeleteContentsKeepsTheFolder) {
  const auto root = folder.path() / "reports";
  std::filesystem::create_directories(root / "sub" / "deeper");
  TemporaryFolder::write((root / "one.json").string(), "1");
  TemporaryFolder::write((root / "sub" / "two.json").string(), "2");
  TemporaryFolder::write((root / "sub" / "deeper" / "three").string(), "3");
  EXPECT_TRUE(plovercrashfu_deleteContentsOfPath(root.c_str()));
  EXPECT_TRUE(std::filesystem::is_directory(root));
  EXPECT_TRUE(std::filesystem::is_empty(root));

  // "." and ".." as last entries are refused outright.
  TemporaryFolder::write((root / "kept").string(), "k");
  EXPECT_FALSE(plovercrashfu_deleteContentsOfPath((root.string() + "/.").c_str()));
  EXPECT_FALSE(plovercrashfu_deleteContentsOfPath((root.string() + "/sub/..").c_str()));
  EXPECT_TRUE(std::filesystem::exists(root / "kept"));
  EXPECT_FALSE(plovercrashfu_deleteContentsOfPath(folder.file("missing").c_str()));
}

// A name that would not fit in the path buffer is left alone instead of being cut to another
// file's name.
TEST_F(PloverCrashFileUtilsTest, DeleteContentsNeverCutsAName) {
  // Nest folders until the path is close to the 500-byte limit.
  std::filesystem::path deep = folder.path();
  while (deep.string().size() < 380) {
    deep /= std::string(60, 'd');
  }
  std::filesystem::create_directories(deep);
  const std::string longName(200, 'n');
  // Its full path is exactly what cutting the long name to 499 characters would give.
  const std::string prefixName(500 - 1 - deep.string().size() - 1, 'n');
  TemporaryFolder::write((deep / longName).string(), "long");
  TemporaryFolder::write((deep / prefixName).string(), "prefix");
  EXPECT_FALSE(plovercrashfu_deleteContentsOfPath(folder.path().c_str()));
  EXPECT_TRUE(std::filesystem::exists(deep / longName));
  EXPECT_FALSE(std::filesystem::exists(deep / prefixName));
}

TEST_F(PloverCrashFileUtilsTest, BufferedWriterKeepsOrderAroundLongWrites) {
  const std::string path = folder.file("report.json");
  char buffer[16];
  PloverCrashBufferedWriter writer;
  ASSERT_TRUE(plovercrashfu_openBufferedWriter(&writer, path.c_str(), buffer, sizeof buffer));
  EXPECT_TRUE(plovercrashfu_writeBufferedWriter(&writer, "head-", 5));
  EXPECT_EQ(TemporaryFolder::read(path), "");  // still held
  const std::string longText(40, 'L');
  EXPECT_TRUE(plovercrashfu_writeBufferedWriter(&writer, longText.data(), 40));
  EXPECT_EQ(TemporaryFolder::read(path), "head-" + longText);
  EXPECT_TRUE(plovercrashfu_writeBufferedWriter(&writer, "0123456789", 10));
  EXPECT_TRUE(plovercrashfu_writeBufferedWriter(&writer, "abcdefghij", 10));  // flushes first
  plovercrashfu_closeBufferedWriter(&writer);
  EXPECT_EQ(writer.fd, -1);
  EXPECT_EQ(TemporaryFolder::read(path), "head-" + longText + "0123456789abcdefghij");
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read | std::filesystem::perms::others_read);

  // The file must not exist yet.
  PloverCrashBufferedWriter second;
  EXPECT_FALSE(plovercrashfu_openBufferedWriter(&second, path.c_str(), buffer, sizeof buffer));
  EXPECT_EQ(second.fd, -1);
}

TEST_F(PloverCrashFileUtilsTest, BufferedReaderRefillsAcrossItsBuffer) {
  std::string contents;
  for (int i = 0; i < 50; ++i) {
    contents += "line " + std::to_string(i) + "\n";
  }
  const std::string path = folder.file("input");
  TemporaryFolder::write(path, contents);

  char buffer[17];
  PloverCrashBufferedReader reader;
  ASSERT_TRUE(plovercrashfu_openBufferedReader(&reader, path.c_str(), buffer, sizeof buffer));
  EXPECT_EQ(reader.bufferLength, 16);
  std::string lines;
  char line[32];
  for (;;) {
    int length = sizeof line;
    const bool found = plovercrashfu_readBufferedReaderUntilChar(&reader, '\n', line, &length);
    lines.append(line, length);
    if (!found) {
      EXPECT_EQ(length, 0);
      break;
    }
    EXPECT_EQ(line[length - 1], '\n');
  }
  EXPECT_EQ(lines, contents);
  plovercrashfu_closeBufferedReader(&reader);
  EXPECT_EQ(reader.fd, -1);

  ASSERT_TRUE(plovercrashfu_openBufferedReader(&reader, path.c_str(), buffer, sizeof buffer));
  std::string all(contents.size() + 10, '\0');
  EXPECT_EQ(plovercrashfu_readBufferedReader(&reader, all.data(), static_cast<int>(all.size())),
            static_cast<int>(contents.size()));
  all.resize(contents.size());
  EXPECT_EQ(all, contents);
  plovercrashfu_closeBufferedReader(&reader);

  // The space runs out before the character: not found, the space is filled.
  ASSERT_TRUE(plovercrashfu_openBufferedReader(&reader, path.c_str(), buffer, sizeof buffer));
  int length = 3;
  EXPECT_FALSE(plovercrashfu_readBufferedReaderUntilChar(&reader, '\n', line, &length));
  EXPECT_EQ(length, 3);
  EXPECT_EQ(std::string(line, 3), "lin");
  plovercrashfu_closeBufferedReader(&reader);

  EXPECT_FALSE(plovercrashfu_openBufferedReader(&reader, folder.file("missing").c_str(), buffer, sizeof buffer));
}

}  // namespace
