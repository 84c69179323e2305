// The fuzz targets of the service client's readers of outside bytes. In the normal build each is
// an ordinary function that FuzzCorpusReplayTest runs over the kept corpus; vx_fuzzer() also
// builds each into a libFuzzer program of its own.
#pragma once

#include "support/FuzzTarget.h"

#include <cstddef>
#include <cstdint>

int vx_fuzz_service_reply(const std::uint8_t* data, std::size_t size);
int vx_fuzz_svg_recolor(const std::uint8_t* data, std::size_t size);
