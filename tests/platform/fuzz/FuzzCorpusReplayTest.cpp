// Every input kept in the fuzz corpus (tests/platform/fuzz/corpus/<target>), run through its fuzz
// target in the normal build, under this build's sanitizers: seeds and the inputs that once broke
// a reader must keep passing.
#include "tests/platform/fuzz/PlatformFuzz.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Target {
  const char* name;
  int (*run)(const std::uint8_t*, std::size_t);
};

class PlatformFuzzCorpusReplayTest : public ::testing::TestWithParam<Target> {};

TEST_P(PlatformFuzzCorpusReplayTest, EveryKeptInputPasses) {
  const std::filesystem::path folder = std::filesystem::path(VX_FUZZ_CORPUS) / GetParam().name;
  ASSERT_TRUE(std::filesystem::is_directory(folder)) << folder;
  std::size_t inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    SCOPED_TRACE(entry.path().filename().string());
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    EXPECT_EQ(GetParam().run(bytes.data(), bytes.size()), 0);
    // Every prefix as well: cut input is the commonest damage.
    for (std::size_t cut = 0; cut < bytes.size(); cut += 1 + bytes.size() / 64) {
      EXPECT_EQ(GetParam().run(bytes.data(), cut), 0);
    }
    ++inputs;
  }
  EXPECT_GE(inputs, 2u) << "each target keeps a small seed corpus";
}

INSTANTIATE_TEST_SUITE_P(
    Targets, PlatformFuzzCorpusReplayTest,
    ::testing::Values(Target{"url", vx_fuzz_url}, Target{"date", vx_fuzz_date},
                      Target{"json", vx_fuzz_json}, Target{"keyed_archive", vx_fuzz_keyed_archive}),
    [](const ::testing::TestParamInfo<Target>& info) { return std::string(info.param.name); });

}  // namespace
