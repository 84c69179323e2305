// Every input kept in the service client's fuzz corpus (tests/service/fuzz/corpus/<target>)
// replayed through its fuzz target in the normal build.
#include "support/FuzzCorpusReplay.h"
#include "tests/service/fuzz/ServiceFuzz.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using vx::test::FuzzTarget;

class ServiceFuzzCorpusReplayTest : public ::testing::TestWithParam<FuzzTarget> {};

TEST_P(ServiceFuzzCorpusReplayTest, EveryKeptInputPasses) { vx::test::replayFuzzCorpus(VX_FUZZ_CORPUS, GetParam()); }

INSTANTIATE_TEST_SUITE_P(Targets, ServiceFuzzCorpusReplayTest,
                         ::testing::Values(FuzzTarget{"service_reply", vx_fuzz_service_reply},
                                           FuzzTarget{"svg_recolor", vx_fuzz_svg_recolor}),
                         [](const ::testing::TestParamInfo<FuzzTarget>& info) { return std::string(info.param.name); });

}  // namespace
