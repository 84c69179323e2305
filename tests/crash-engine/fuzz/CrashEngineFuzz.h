// The crash engine's fuzz targets. In the normal build each is an ordinary function that
// FuzzCorpusReplayTest runs over the kept corpus; vx_fuzzer() also builds each into a libFuzzer
// program of its own.
#pragma once

#include "support/FuzzTarget.h"

#include <cstddef>
#include <cstdint>

#define CE_FUZZ_TARGET(name) VX_FUZZ_DEFINE(ce_fuzz_##name)

int ce_fuzz_dwarf_expression(const std::uint8_t* data, std::size_t size);
int ce_fuzz_dwarf_cfa(const std::uint8_t* data, std::size_t size);
int ce_fuzz_dwarf_cfi(const std::uint8_t* data, std::size_t size);
int ce_fuzz_macho(const std::uint8_t* data, std::size_t size);
int ce_fuzz_report_decoder(const std::uint8_t* data, std::size_t size);
int ce_fuzz_compact_unwind(const std::uint8_t* data, std::size_t size);
int ce_fuzz_symbol_table(const std::uint8_t* data, std::size_t size);
