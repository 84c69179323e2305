// The telemetry library's fuzz target. In the normal build it is an ordinary function that
// FuzzCorpusReplayTest runs over the kept corpus; vx_fuzzer() also builds it into a libFuzzer
// program of its own.
#pragma once

#include "support/FuzzTarget.h"

#include <cstddef>
#include <cstdint>

int vx_fuzz_telemetry_archive(const std::uint8_t* data, std::size_t size);
