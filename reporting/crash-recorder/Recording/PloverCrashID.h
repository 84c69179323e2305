// Event ids for crash reports.
#pragma once

// Crash-time safe. Writes a new random (version 4) UUID as upper-case text, 36 characters and a
// zero, into a buffer of at least 37 bytes. The bytes come from the kernel's random source.
void plovercrashid_generate(char* destinationBuffer37Bytes);
