// Every input kept in the fuzz corpus (tests/crash-engine/fuzz/corpus/<target>), run through its
// fuzz target in the normal build, under this build's sanitizers: seeds and the inputs that once
// broke a reader must keep passing.
#include "tests/crash-engine/fuzz/CrashEngineFuzz.h"

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

class FuzzCorpusReplayTest : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzCorpusReplayTest, EveryKeptInputPasses) {
  const std::filesystem::path folder = std::filesystem::path(CE_FUZZ_CORPUS) / GetParam().name;
  ASSERT_TRUE(std::filesystem::is_directory(folder)) << folder;
  std::size_t inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    SCOPED_TRACE(entry.path().filename().string());
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    EXPECT_EQ(GetParam().run(bytes.data(), bytes.size()), 0);
    // Every prefix as well: cut files are the commonest damage.
    for (std::size_t cut = 0; cut < bytes.size(); cut += 1 + bytes.size() / 64) {
      EXPECT_EQ(GetParam().run(bytes.data(), cut), 0);
    }
    ++inputs;
  }
  EXPECT_GE(inputs, 2u) << "each target keeps a small seed corpus";
}

INSTANTIATE_TEST_SUITE_P(
    Targets, FuzzCorpusReplayTest,
    ::testing::Values(Target{"dwarf_expression", ce_fuzz_dwarf_expression},
                      Target{"dwarf_cfa", ce_fuzz_dwarf_cfa}, Target{"dwarf_cfi", ce_fuzz_dwarf_cfi},
                      Target{"macho", ce_fuzz_macho},
                      Target{"report_decoder", ce_fuzz_report_decoder},
                      Target{"compact_unwind", ce_fuzz_compact_unwind},
                      Target{"symbol_table", ce_fuzz_symbol_table}),
    [](const ::testing::TestParamInfo<Target>& info) { return std::string(info.param.name); });

}  // namespace
