// Replays every kept fuzz input (the corpus and the cases the fuzzer once found) through the fuzz
// target in the normal sanitized build.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

TEST(PloverCrashJSONFuzzRegressionTest, ReplaysTheKeptCorpus) {
  const std::filesystem::path corpus = PLOVERCRASH_FUZZ_CORPUS;
  ASSERT_TRUE(std::filesystem::is_directory(corpus)) << corpus;
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    if (!entry.is_regular_file()) {
      continue;
    }
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    SCOPED_TRACE(entry.path().filename().string());
    EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                     bytes.size()),
              0);
    ++replayed;
  }
  EXPECT_GE(replayed, 10);
}

}  // namespace
