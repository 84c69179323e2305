// Checked memory reads for code that looks at a crashed process: a bad address yields false or
// a short count, never a second fault. Every read goes through the crash engine's checked task
// read (process_vm_readv underneath). Every function here is crash-time safe.
#pragma once

// Copies byteCount bytes from src to dst. False when any byte cannot be read or byteCount <= 0.
bool plovercrashmem_copySafely(const void* src, void* dst, int byteCount);

// True when all byteCount bytes at memory can be read (tested in chunks of 10,240 bytes).
bool plovercrashmem_isMemoryReadable(const void* memory, int byteCount);

// How many bytes from memory on can be read in one run (0 when the first cannot).
int plovercrashmem_maxReadableBytes(const void* memory, int tryByteCount);

// Copies as many leading bytes as can be read, at most byteCount, and returns that count.
// A first byte that cannot be read gives 0; a byteCount of 1 or less is returned as it is
// (nothing is copied for 0 or less).
int plovercrashmem_copyMaxPossible(const void* src, void* dst, int byteCount);
