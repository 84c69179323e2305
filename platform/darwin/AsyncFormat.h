// Number and text formatting for crash-time code: no allocation, no locks, no locale, no C
// library formatting or character classes. Both crash libraries print through this one
// implementation (their own names are thin entry points over it).
#pragma once

#include <sys/types.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace vx {

// Crash time. Length of a NUL-terminated text; 0 for null.
std::size_t async_strlen(const char* text);

// Crash time. The system's text for an errno value, from the C library's constant table (no
// locale, no allocation); "Unknown error" for values it does not know.
const char* async_errno_text(int error);

// Crash time. Decimal text of an unsigned or signed 64-bit value, NUL-terminated. Returns the
// number of characters written (without the NUL), or -1 when the buffer is null or too small
// (the buffer is then untouched).
int async_format_uint64(std::uint64_t value, char* buffer, std::size_t size);
int async_format_int64(std::int64_t value, char* buffer, std::size_t size);

// Crash time. Hexadecimal text of value, at least minDigits digits (zero-padded, at most 64),
// upper or lower case, without a "0x" prefix. Same result convention as above.
int async_format_hex(std::uint64_t value, int minDigits, bool upperCase, char* buffer, std::size_t size);

// Crash time. Text that reads back as exactly value: the fewest of 15, 16 or 17 significant
// digits that do (trailing zeros dropped), laid out the way "%g" lays it out ("1500", "0.1",
// "1.5e-07", "1e+300"). -1 for NaN and infinities and when the buffer is too small; 32 bytes
// always suffice.
int async_format_double(double value, char* buffer, std::size_t size);

// Crash time. "%f"-style text rounded to decimals (0 to 9) digits after the point. Magnitudes of
// 9e15 and above are written as async_format_double writes them, NaN as "nan" and infinities as
// "inf"/"-inf". Same result convention as above (also -1 for decimals out of range).
int async_format_fixed(double value, int decimals, char* buffer, std::size_t size);

// Crash time. Reads a decimal number (digits, an optional fraction, an optional exponent; no
// sign, no spaces) that spans exactly length characters, correctly rounded. False when the text
// is not such a number. Values beyond the double range become infinity, tiny ones zero.
bool async_parse_double(const char* text, std::size_t length, double* value);

// Crash time. A small printf: the conversions d i u x X o c s p % and f F e E g G (printed by
// async_format_double; "nan", "inf", "-inf" for the values it refuses), the flags '-' and '0'
// ('+', ' ' and '#' are accepted and ignored), a field width (digits, at most 4096, or '*'), a
// precision for strings ('.N' or '.*'), and the length modifiers hh h l ll j z t (L is skipped).
// Zero padding goes after a sign and after the "0x" of %p. An unknown conversion is copied as
// written; a lone '%' at the end is dropped. The result is always NUL-terminated when size > 0
// and cut to fit; returns the number of bytes stored before the NUL (0 for a null buffer, a
// zero size or a null format).
std::size_t async_vformat(char* buffer, std::size_t size, const char* format, va_list args);
std::size_t async_format(char* buffer, std::size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));

}  // namespace vx
