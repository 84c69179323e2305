// Every input kept in the telemetry fuzz corpus (tests/telemetry/fuzz/corpus/<target>) replayed
// through its fuzz target in the normal build.
#include "support/FuzzCorpusReplay.h"
#include "tests/telemetry/fuzz/TelemetryFuzz.h"

#include <gtest/gtest.h>

namespace {

TEST(TelemetryFuzzCorpusReplayTest, EveryKeptArchivePasses) {
  vx::test::replayFuzzCorpus(VX_FUZZ_CORPUS, vx::test::FuzzTarget{"telemetry_archive", vx_fuzz_telemetry_archive});
}

}  // namespace
