// Every input kept in the fuzz corpus (tests/platform/fuzz/corpus/<target>) replayed through its
// fuzz target in the normal build.
#include "tests/platform/fuzz/PlatformFuzz.h"
#include "support/FuzzCorpusReplay.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using vx::test::FuzzTarget;

class PlatformFuzzCorpusReplayTest : public ::testing::TestWithParam<FuzzTarget> {};

TEST_P(PlatformFuzzCorpusReplayTest, EveryKeptInputPasses) { vx::test::replayFuzzCorpus(VX_FUZZ_CORPUS, GetParam()); }

INSTANTIATE_TEST_SUITE_P(Targets, PlatformFuzzCorpusReplayTest,
                         ::testing::Values(FuzzTarget{"url", vx_fuzz_url}, FuzzTarget{"date", vx_fuzz_date},
                                           FuzzTarget{"json", vx_fuzz_json},
                                           FuzzTarget{"keyed_archive", vx_fuzz_keyed_archive}),
                         [](const ::testing::TestParamInfo<FuzzTarget>& info) { return std::string(info.param.name); });

}  // namespace
