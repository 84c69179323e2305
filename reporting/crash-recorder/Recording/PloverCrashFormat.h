// Number and text formatting that is safe inside a crash handler: no allocation, no locks, no
// locale, no calls into the C library's formatting or character-class functions. Everything the
// recorder prints at crash time (log lines, JSON numbers, dates, ids, hex dumps) goes through here.
// These are the recorder's names for the formatter both crash libraries share
// (platform/darwin/AsyncFormat.h).
#pragma once

#include <cstdarg>
#include <cstdint>

// Every function in this header is safe to call at crash time.

// Decimal text of an unsigned or signed 64-bit value, zero-terminated. Returns the number of
// characters written (without the zero), or -1 when the buffer is too small (buffer untouched).
int plovercrashformat_uint64(std::uint64_t value, char* buffer, int size);
int plovercrashformat_int64(std::int64_t value, char* buffer, int size);

// Hexadecimal text of `value`, at least `minDigits` digits (zero-padded), upper or lower case,
// without a "0x" prefix. Same result convention as above.
int plovercrashformat_hex(std::uint64_t value, int minDigits, bool upperCase, char* buffer, int size);

// Text that reads back as exactly `value`: the fewest of 15, 16 or 17 significant digits that do
// (trailing zeros dropped, so short values stay short), written the way
// "%g" would lay it out: "1500", "0.1", "1.5e-07", "1e+300". Returns -1 for NaN and infinities
// (which have no JSON form) and when the buffer is too small; 32 bytes always suffice.
int plovercrashformat_double(double value, char* buffer, int size);

// Reads a decimal number (digits, an optional fraction, an optional exponent; no sign, no
// spaces) that spans exactly `length` characters. Returns false when the text is not such a
// number. Values beyond the double range become infinity, tiny ones zero.
bool plovercrashformat_parseDouble(const char* text, int length, double* value);

// A small printf: the conversions d i u x X o c s p % and f e g (printed by
// plovercrashformat_double), the flags '-' and '0', a field width (number or '*'), precision for
// strings ('.N' or '.*'), and the length modifiers hh h l ll z j t; zero padding goes after a
// sign and after the "0x" of %p. The result is always zero-terminated and cut to fit; returns the
// length written.
int plovercrashformat_vformat(char* buffer, int size, const char* format, va_list args);
int plovercrashformat_format(char* buffer, int size, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Length of a zero-terminated text, and the text of an errno value (a static description, or
// "Unknown error" for values the C library does not know).
int plovercrashformat_strlen(const char* text);
const char* plovercrashformat_errorText(int errorNumber);

// "%f"-style text: the value rounded to `decimals` (0 to 9) digits after the point ("1.500000"
// for 1.5 and 6). Magnitudes of 9e15 and above, NaN and infinities, which do not fit that
// arithmetic, are written as plovercrashformat_double writes them ("nan", "inf", "-inf" for the
// last three). Same result convention as above.
int plovercrashformat_fixed(double value, int decimals, char* buffer, int size);
