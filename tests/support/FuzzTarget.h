// Declares one fuzz target: an ordinary function that the corpus-replay tests call in every
// build. In a libFuzzer program (VX_FUZZ_MAIN, set by vx_fuzzer() on its entry source) the same
// function also becomes LLVMFuzzerTestOneInput.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(VX_FUZZ_MAIN)
#define VX_FUZZ_ENTRY_POINT(function)                       \
  int function(const std::uint8_t* data, std::size_t size); \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { return function(data, size); }
#else
#define VX_FUZZ_ENTRY_POINT(function)
#endif

// VX_FUZZ_DEFINE(vx_fuzz_url) { ... } defines the target vx_fuzz_url.
#define VX_FUZZ_DEFINE(function) \
  VX_FUZZ_ENTRY_POINT(function)  \
  int function(const std::uint8_t* data, std::size_t size)
