#pragma once
// Replays every input kept in a fuzz target's corpus folder through the target in the normal
// build, under that build's sanitizers, together with prefixes of each input: seeds and the inputs
// that once broke a reader must keep passing.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace vx::test {

struct FuzzTarget {
  const char* name;
  int (*run)(const std::uint8_t*, std::size_t);
};

inline void replayFuzzCorpus(const std::filesystem::path& corpusRoot, const FuzzTarget& target) {
  const std::filesystem::path folder = corpusRoot / target.name;
  ASSERT_TRUE(std::filesystem::is_directory(folder)) << folder;
  std::size_t inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    SCOPED_TRACE(entry.path().filename().string());
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    EXPECT_EQ(target.run(bytes.data(), bytes.size()), 0);
    // Every prefix as well: cut input is the commonest damage.
    for (std::size_t cut = 0; cut < bytes.size(); cut += 1 + bytes.size() / 64) {
      EXPECT_EQ(target.run(bytes.data(), cut), 0);
    }
    ++inputs;
  }
  EXPECT_GE(inputs, 2u) << "each target keeps a small seed corpus";
}

}  // namespace vx::test
