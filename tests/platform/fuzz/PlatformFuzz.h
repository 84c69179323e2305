// The entry point of one fuzz target of the platform readers. Built by run-fuzz.sh with clang's
// libFuzzer (VX_FUZZ_MAIN names the target whose function becomes LLVMFuzzerTestOneInput); in the
// normal test build every target is an ordinary function that FuzzCorpusReplayTest runs over the
// kept corpus.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(VX_FUZZ_MAIN)
#define VX_FUZZ_TARGET(name)                                                    \
  int vx_fuzz_##name(const std::uint8_t* data, std::size_t size);               \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
    return vx_fuzz_##name(data, size);                                          \
  }                                                                             \
  int vx_fuzz_##name(const std::uint8_t* data, std::size_t size)
#else
#define VX_FUZZ_TARGET(name) int vx_fuzz_##name(const std::uint8_t* data, std::size_t size)
#endif

int vx_fuzz_url(const std::uint8_t* data, std::size_t size);
int vx_fuzz_date(const std::uint8_t* data, std::size_t size);
int vx_fuzz_json(const std::uint8_t* data, std::size_t size);
int vx_fuzz_keyed_archive(const std::uint8_t* data, std::size_t size);
