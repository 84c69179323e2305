// Replays every kept fuzz input (the corpus and the cases the fuzzer once found) through the fuzz
// target in the normal sanitized build.
#include "support/FuzzCorpusReplay.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>

int vx_fuzz_recorder_json(const std::uint8_t* data, std::size_t size);

namespace {

TEST(PloverCrashJSONFuzzRegressionTest, ReplaysTheKeptCorpus) {
  // The recorder's corpus is the folder "corpus" itself, beside the target.
  vx::test::replayFuzzCorpus(PLOVERCRASH_FUZZ_DIR, vx::test::FuzzTarget{"corpus", vx_fuzz_recorder_json});
}

}  // namespace
