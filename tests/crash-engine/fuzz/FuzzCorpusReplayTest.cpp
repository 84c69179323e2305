// Every input kept in the fuzz corpus (tests/crash-engine/fuzz/corpus/<target>) replayed through
// its fuzz target in the normal build.
#include "tests/crash-engine/fuzz/CrashEngineFuzz.h"
#include "support/FuzzCorpusReplay.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using vx::test::FuzzTarget;

class FuzzCorpusReplayTest : public ::testing::TestWithParam<FuzzTarget> {};

TEST_P(FuzzCorpusReplayTest, EveryKeptInputPasses) { vx::test::replayFuzzCorpus(CE_FUZZ_CORPUS, GetParam()); }

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpusReplayTest,
                         ::testing::Values(FuzzTarget{"dwarf_expression", ce_fuzz_dwarf_expression},
                                           FuzzTarget{"dwarf_cfa", ce_fuzz_dwarf_cfa},
                                           FuzzTarget{"dwarf_cfi", ce_fuzz_dwarf_cfi},
                                           FuzzTarget{"macho", ce_fuzz_macho},
                                           FuzzTarget{"report_decoder", ce_fuzz_report_decoder},
                                           FuzzTarget{"compact_unwind", ce_fuzz_compact_unwind},
                                           FuzzTarget{"symbol_table", ce_fuzz_symbol_table}),
                         [](const ::testing::TestParamInfo<FuzzTarget>& info) { return std::string(info.param.name); });

}  // namespace
