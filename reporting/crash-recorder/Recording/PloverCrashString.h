// Text checks the recorder uses on memory it does not trust (strings read from another thread's
// stack or an object's storage, addresses in text).
#pragma once

#include <cstdint>

// Crash-time safe. True when a zero byte ends a well-formed UTF-8 text within maxLength bytes, at
// position minLength or later. Control characters other than tab, newline and carriage return
// fail. A maxLength of 0 or less fails.
bool plovercrashstring_isNullTerminatedUTF8String(const void* memory, int minLength, int maxLength);

// Crash-time safe. Finds the first "0x" that is followed by a hexadecimal digit within `length`
// characters and reads the digits after it (up to 16; more do not fit in 64 bits and fail).
// False when there is no such number.
bool plovercrashstring_extractHexValue(const char* string, int length, std::uint64_t* result);

// Crash-time safe. True when the `length` bytes are well-formed UTF-8 (shortest forms, no
// surrogates, nothing above U+10FFFF). Zero bytes are allowed.
bool plovercrashstring_isValidUTF8(const char* text, int length);
