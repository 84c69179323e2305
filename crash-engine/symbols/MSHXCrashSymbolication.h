// Symbolication: which symbol holds a frame's program counter, asked by the report writer for
// every frame when the reporter's symbolication strategy is not 0.
//
// The symbol table of the image holding the address is searched: an ELF image's prepared
// symbols (or its .dynsym in memory, HXCrashAsyncSymbols.h), a Mach-O image's LC_SYMTAB
// (HXCrashAsyncMachOImage.h). The class-metadata source (strategy bit 1) reads a Mach-O image's
// Objective-C class and method lists (HXCrashAsyncObjCSection.h); no ELF image has them.
//
// Every function here is safe at crash time: no allocation, no locks, no library string
// functions. The caller holds the image list's reading window around each lookup.
#pragma once

#include "crash-engine/macho/HXCrashAsyncObjCSection.h"

#include <cstdint>

// Strategy bits.
inline constexpr std::int32_t MSHXCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE = 1;
inline constexpr std::int32_t MSHXCRASH_SYMBOL_STRATEGY_OBJC = 2;

// What one report's lookups share (the class-metadata lists of the latest image); the record
// lives on the writer's stack.
using MShxcrash_async_symbol_cache = MShxcrash_async_objc_cache;

// Always hxcrash_error_none. free releases what the lookups mapped.
hxcrash_error_t MShxcrash_async_symbol_cache_init(MShxcrash_async_symbol_cache* cache);
void MShxcrash_async_symbol_cache_free(MShxcrash_async_symbol_cache* cache);

// Called once with the symbol's start address and its name (a local string valid during the
// call, at most 255 bytes).
typedef void (*MShxcrash_async_found_symbol_cb)(hxcrash_vm_address_t address, const char* name, void* context);

// Crash time. Names pc in image with the sources of strategy; on hxcrash_error_none callback was
// called exactly once with the candidate that starts closest below pc. When no source finds one,
// two diagnostic lines are written and the symbol table's result is returned
// (hxcrash_error_not_found without a symbol table source). The same image, strategy and pc
// give the same answer every time.
hxcrash_error_t MShxcrash_async_find_symbol(MShxcrash_async_macho* image, std::int32_t strategy,
                                            MShxcrash_async_symbol_cache* cache, hxcrash_vm_address_t pc,
                                            MShxcrash_async_found_symbol_cb callback, void* context);
