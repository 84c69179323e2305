// Named system values for set-up code (they allocate; never at crash time), and the UTF-8
// prefix rule used to cut process names.
#pragma once

#include <cstddef>
#include <cstdint>

// A new buffer (the caller frees it with free()) holding the named value, or null with errno
// set by the failing call. Values that grow between the size query and the read are read again.
char* MShxcrash_sysctl_string(const char* name);

// Reads the named 4-byte value into *out; true on success.
bool MShxcrash_sysctl_int(const char* name, std::int32_t* out);

// How many leading bytes of text, at most maximum, are valid UTF-8 (a leading byte-order mark
// counts as valid). Stops at a NUL. Safe at crash time.
std::size_t MShxcrash_sysctl_valid_utf8_bytes_max(const std::uint8_t* text, std::size_t maximum);
std::size_t MShxcrash_sysctl_valid_utf8_bytes(const std::uint8_t* text);
