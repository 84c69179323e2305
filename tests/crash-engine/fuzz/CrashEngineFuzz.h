// The entry point of one fuzz target. Built by run-fuzz.sh with clang's libFuzzer (CE_FUZZ_MAIN
// names the target whose function becomes LLVMFuzzerTestOneInput); in the normal test build every
// target is an ordinary function that FuzzCorpusReplayTest runs over the kept corpus.
#pragma once

#include <cstddef>
#include <cstdint>

#define CE_FUZZ_CONCAT2(a, b) a##b
#define CE_FUZZ_CONCAT(a, b) CE_FUZZ_CONCAT2(a, b)

#if defined(CE_FUZZ_MAIN)
#define CE_FUZZ_TARGET(name)                                                    \
  int ce_fuzz_##name(const std::uint8_t* data, std::size_t size);               \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
    return ce_fuzz_##name(data, size);                                          \
  }                                                                             \
  int ce_fuzz_##name(const std::uint8_t* data, std::size_t size)
#else
#define CE_FUZZ_TARGET(name) int ce_fuzz_##name(const std::uint8_t* data, std::size_t size)
#endif

int ce_fuzz_dwarf_expression(const std::uint8_t* data, std::size_t size);
int ce_fuzz_dwarf_cfa(const std::uint8_t* data, std::size_t size);
int ce_fuzz_dwarf_cfi(const std::uint8_t* data, std::size_t size);
int ce_fuzz_macho(const std::uint8_t* data, std::size_t size);
int ce_fuzz_report_decoder(const std::uint8_t* data, std::size_t size);
int ce_fuzz_compact_unwind(const std::uint8_t* data, std::size_t size);
int ce_fuzz_symbol_table(const std::uint8_t* data, std::size_t size);
