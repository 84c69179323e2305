// The fuzz targets of the platform readers. In the normal build each is an ordinary function that
// FuzzCorpusReplayTest runs over the kept corpus; vx_fuzzer() also builds each into a libFuzzer
// program of its own.
#pragma once

#include "support/FuzzTarget.h"

#include <cstddef>
#include <cstdint>

#define VX_FUZZ_TARGET(name) VX_FUZZ_DEFINE(vx_fuzz_##name)

int vx_fuzz_url(const std::uint8_t* data, std::size_t size);
int vx_fuzz_date(const std::uint8_t* data, std::size_t size);
int vx_fuzz_json(const std::uint8_t* data, std::size_t size);
int vx_fuzz_keyed_archive(const std::uint8_t* data, std::size_t size);
