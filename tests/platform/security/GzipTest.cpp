#include "platform/security/Gzip.h"

#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <zlib.h>

namespace vx {
namespace {

namespace fs = std::filesystem;

Bytes textBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes sampleJson(std::size_t events) {
  std::string text = "[";
  for (std::size_t i = 0; i < events; ++i) {
    text += R"({"event_id":")" + std::to_string(i * 7919) +
            R"(","level":"error","platform":"cocoa","message":"Something went wrong"},)";
  }
  text += "{}]";
  return textBytes(text);
}

Bytes randomData(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes out(size);
  for (auto& byte : out) byte = static_cast<std::uint8_t>(generator());
  return out;
}

void writeFile(const fs::path& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs a shell command and checks that it succeeded.
void run(const std::string& command) {
  const int status = std::system(command.c_str());
  ASSERT_EQ(status, 0) << command;
}

TEST(Gzip, RoundTripsDataOfEveryShape) {
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"empty", Bytes{}},           {"one byte", Bytes{0x42}},         {"json", sampleJson(500)},
      {"zeros", Bytes(1 << 20, 0)}, {"random", randomData(300000, 1)},
  };
  for (const auto& [name, data] : cases) {
    SCOPED_TRACE(name);
    auto compressed = gzipCompress(data);
    ASSERT_TRUE(compressed.ok()) << compressed.error();
    ASSERT_GE(compressed.value().size(), 18u);
    // gzip magic, deflate method.
    EXPECT_EQ(compressed.value()[0], 0x1f);
    EXPECT_EQ(compressed.value()[1], 0x8b);
    EXPECT_EQ(compressed.value()[2], 8);
    auto restored = gzipDecompress(compressed.value());
    ASSERT_TRUE(restored.ok()) << restored.error();
    EXPECT_EQ(restored.value(), data);
  }
  // Compressible text really shrinks.
  const Bytes json = sampleJson(500);
  EXPECT_LT(gzipCompress(json).value().size() * 5, json.size());
}

TEST(Gzip, OptionsChangeTheEncodingNotTheContent) {
  const Bytes json = sampleJson(300);
  for (int level : {-1, 0, 1, 9}) {
    for (int memoryLevel : {1, 8, 9}) {
      SCOPED_TRACE(std::to_string(level) + "/" + std::to_string(memoryLevel));
      auto compressed = gzipCompress(json, {level, memoryLevel});
      ASSERT_TRUE(compressed.ok()) << compressed.error();
      EXPECT_EQ(gzipDecompress(compressed.value()).value(), json);
    }
  }
  EXPECT_GT(gzipCompress(json, {0, 8}).value().size(), json.size());  // stored, not deflated
}

TEST(Gzip, BadOptionsFailInitialisation) {
  for (const GzipOptions& options : {GzipOptions{42, 8}, GzipOptions{-1, 0}, GzipOptions{-1, 10}}) {
    auto result = gzipCompress("data", options);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().domain, kGzipErrorDomain);
    EXPECT_EQ(result.error().code, Z_STREAM_ERROR);
    EXPECT_EQ(result.error().description, "deflateInit2 error");
  }
}

TEST(Gzip, InteroperatesWithTheGzipTool) {
  vx::test::TemporaryFolder folder("vx-gzip");
  const Bytes json = sampleJson(2000);
  const Bytes binary = randomData(70000, 2);
  for (const Bytes* data : {&json, &binary}) {
    // Ours -> gzip -dc.
    writeFile(folder.path() / "ours.gz", gzipCompress(*data).value());
    run("gzip -dc '" + (folder.path() / "ours.gz").string() + "' > '" + (folder.path() / "ours.out").string() + "'");
    EXPECT_EQ(readFile(folder.path() / "ours.out"), *data);
    // gzip -c (with a file name in the header) -> ours.
    writeFile(folder.path() / "theirs", *data);
    run("gzip -9 -c '" + (folder.path() / "theirs").string() + "' > '" + (folder.path() / "theirs.gz").string() + "'");
    auto restored = gzipDecompress(readFile(folder.path() / "theirs.gz"));
    ASSERT_TRUE(restored.ok()) << restored.error();
    EXPECT_EQ(restored.value(), *data);
  }
}

TEST(Gzip, ConcatenatedMembersDecodeAsTheGzipToolDoes) {
  vx::test::TemporaryFolder folder("vx-gzip");
  Bytes joined = gzipCompress("first part, ").value();
  const Bytes second = gzipCompress("second part").value();
  joined.insert(joined.end(), second.begin(), second.end());
  EXPECT_EQ(gzipDecompress(joined).value(), textBytes("first part, second part"));
  writeFile(folder.path() / "joined.gz", joined);
  run("gzip -dc '" + (folder.path() / "joined.gz").string() + "' > '" + (folder.path() / "joined").string() + "'");
  EXPECT_EQ(readFile(folder.path() / "joined"), textBytes("first part, second part"));
}

TEST(Gzip, EveryTruncationIsReportedAsTruncated) {
  const Bytes full = gzipCompress(sampleJson(40)).value();
  for (std::size_t length = 0; length < full.size(); ++length) {
    SCOPED_TRACE(length);
    auto result = gzipDecompress(ByteView(full.data(), length));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().code, kGzipErrorTruncated);
  }
}

TEST(Gzip, CorruptDataIsAnErrorNeverWrongOutput) {
  const Bytes data = sampleJson(100);
  const Bytes good = gzipCompress(data).value();

  struct Case {
    const char* name;
    std::size_t offset;
  };
  const std::vector<Case> cases = {
      {"magic", 0},
      {"method", 2},
      {"crc32", good.size() - 8},
      {"length", good.size() - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bad = good;
    bad[c.offset] ^= 0x5a;
    auto result = gzipDecompress(bad);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().code, Z_DATA_ERROR);
  }
  // Random damage anywhere: an error, or (when the damage does not matter, e.g. the header's
  // time stamp) exactly the original bytes.
  std::mt19937 generator(7);
  int errors = 0;
  for (int round = 0; round < 2000; ++round) {
    Bytes bad = good;
    const int flips = 1 + static_cast<int>(generator() % 4);
    for (int f = 0; f < flips; ++f) bad[generator() % bad.size()] ^= static_cast<std::uint8_t>(1 + generator() % 255);
    auto result = gzipDecompress(bad, 1 << 20);
    if (result.ok()) {
      EXPECT_EQ(result.value(), data) << "round " << round;
    } else {
      ++errors;
    }
  }
  EXPECT_GT(errors, 1500);

  // Not gzip at all, and bytes after the last member.
  EXPECT_EQ(gzipDecompress("plain text, not gzip").error().code, Z_DATA_ERROR);
  Bytes trailing = good;
  trailing.push_back(0x00);
  trailing.push_back(0x01);
  EXPECT_EQ(gzipDecompress(trailing).error().code, kGzipErrorTrailingData);
}

TEST(Gzip, SizeCapStopsDecompressionBombs) {
  const Bytes zeros(10 << 20, 0);
  const Bytes bomb = gzipCompress(zeros, {9, 9}).value();
  ASSERT_LT(bomb.size(), 20000u);

  auto capped = gzipDecompress(bomb, 1 << 20);
  ASSERT_FALSE(capped.ok());
  EXPECT_EQ(capped.error().code, kGzipErrorTooLarge);

  EXPECT_EQ(gzipDecompress(bomb, zeros.size() - 1).error().code, kGzipErrorTooLarge);
  auto exact = gzipDecompress(bomb, zeros.size());
  ASSERT_TRUE(exact.ok()) << exact.error();
  EXPECT_EQ(exact.value().size(), zeros.size());

  // The cap counts the output of all members together.
  Bytes twice = gzipCompress(Bytes(600, 'x')).value();
  const Bytes copy = twice;
  twice.insert(twice.end(), copy.begin(), copy.end());
  EXPECT_EQ(gzipDecompress(twice, 1000).error().code, kGzipErrorTooLarge);
  EXPECT_EQ(gzipDecompress(twice, 1200).value().size(), 1200u);

  // A cap of zero still accepts an empty file.
  EXPECT_TRUE(gzipDecompress(gzipCompress("").value(), 0).value().empty());
  EXPECT_EQ(gzipDecompress(gzipCompress("a").value(), 0).error().code, kGzipErrorTooLarge);
}

}  // namespace
}  // namespace vx
