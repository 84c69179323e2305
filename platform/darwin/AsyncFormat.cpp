#include "platform/darwin/AsyncFormat.h"

#include <string.h>

#include <cstring>
#include <limits>

namespace vx {

namespace {

// Decimal <-> binary conversion works in quad precision (113-bit mantissa, software arithmetic
// from the compiler's runtime: no allocation, no locks), far beyond the 53 bits of a double, so
// the digits written and the values read are correctly rounded.
using Wide = __float128;

// 10^k is exact in quad precision for k <= 48 (5^48 < 2^113).
struct PowerTable {
  Wide small[33];  // 10^0 .. 10^32, exact
  Wide big[4];     // 10^32, 10^64, 10^128, 10^256
  constexpr PowerTable() : small(), big() {
    Wide v = 1;
    for (int i = 0; i <= 32; ++i) {
      small[i] = v;
      v *= 10;
    }
    big[0] = small[32];
    for (int i = 1; i < 4; ++i) {
      big[i] = big[i - 1] * big[i - 1];
    }
  }
};
constexpr PowerTable kPowers;

constexpr double kDoublePow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr std::uint64_t kIntPow10[] = {1ULL,
                                       10ULL,
                                       100ULL,
                                       1000ULL,
                                       10000ULL,
                                       100000ULL,
                                       1000000ULL,
                                       10000000ULL,
                                       100000000ULL,
                                       1000000000ULL,
                                       10000000000ULL,
                                       100000000000ULL,
                                       1000000000000ULL,
                                       10000000000000ULL,
                                       100000000000000ULL,
                                       1000000000000000ULL,
                                       10000000000000000ULL,
                                       100000000000000000ULL,
                                       1000000000000000000ULL,
                                       10000000000000000000ULL};

// 10^k for 0 <= k <= 700.
Wide pow10Positive(int k) {
  static constexpr int kBigExponent[] = {32, 64, 128, 256};
  Wide result = 1;
  for (int i = 3; i >= 0; --i) {
    while (k >= kBigExponent[i]) {
      result *= kPowers.big[i];
      k -= kBigExponent[i];
    }
  }
  return result * kPowers.small[k];
}

// mantissa * 10^exponent as the nearest double.
double decimalToDouble(std::uint64_t mantissa, int exponent) {
  if (mantissa == 0) {
    return 0.0;
  }
  if (mantissa <= (1ULL << 53) && exponent >= -22 && exponent <= 22) {
    // Both factors are exact doubles: one correctly rounded operation.
    const double m = static_cast<double>(mantissa);
    return exponent >= 0 ? m * kDoublePow10[exponent] : m / kDoublePow10[-exponent];
  }
  if (exponent > 330) {
    return std::numeric_limits<double>::infinity();
  }
  if (exponent < -360) {
    return 0.0;
  }
  const Wide m = static_cast<Wide>(mantissa);
  const Wide r = exponent >= 0 ? m * pow10Positive(exponent) : m / pow10Positive(-exponent);
  // Past the largest double by half a unit or more is infinity; closer rounds down to it.
  const Wide largest = static_cast<Wide>(std::numeric_limits<double>::max());
  if (r > largest) {
    const Wide halfUnit = static_cast<Wide>(0x1p970);
    return r >= largest + halfUnit ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::max();
  }
  return static_cast<double>(r);
}

std::uint64_t doubleBits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// The `digits`-digit decimal mantissa of value (> 0, finite) rounded to nearest, and the decimal
// exponent of its first digit.
void decimalDigits(double value, int digits, std::uint64_t* mantissa, int* exponent10) {
  const std::uint64_t bits = doubleBits(value);
  const int biased = static_cast<int>((bits >> 52) & 0x7ff);
  int exponent2;
  if (biased == 0) {
    const std::uint64_t fraction = bits & ((1ULL << 52) - 1);
    exponent2 = -1074 + (63 - __builtin_clzll(fraction));
  } else {
    exponent2 = biased - 1023;
  }
  int e10 = (exponent2 * 1233) >> 12;
  const Wide wide = value;
  const Wide lower = static_cast<Wide>(kIntPow10[digits - 1]);
  const Wide upper = static_cast<Wide>(kIntPow10[digits]);
  Wide scaled = 0;
  for (int attempt = 0; attempt < 6; ++attempt) {
    const int shift = digits - 1 - e10;
    scaled = shift >= 0 ? wide * pow10Positive(shift) : wide / pow10Positive(-shift);
    if (scaled >= upper) {
      ++e10;
    } else if (scaled < lower) {
      --e10;
    } else {
      break;
    }
  }
  if (scaled >= upper) {
    scaled = upper - 1;
  } else if (scaled < lower) {
    scaled = lower;
  }
  std::uint64_t whole = static_cast<std::uint64_t>(scaled);
  const Wide fraction = scaled - static_cast<Wide>(whole);
  const Wide half = static_cast<Wide>(0.5);
  if (fraction > half || (fraction == half && (whole & 1) != 0)) {
    ++whole;
  }
  if (whole >= kIntPow10[digits]) {
    whole /= 10;
    ++e10;
  }
  *mantissa = whole;
  *exponent10 = e10;
}

// Appends to a bounded buffer (size > 0); what does not fit is counted but dropped.
struct Writer {
  char* buffer;
  std::size_t size;
  std::size_t length;
  void put(char c) {
    if (length < size - 1) {
      buffer[length] = c;
    }
    ++length;
  }
  void putText(const char* text, int count) {
    for (int i = 0; i < count; ++i) {
      put(text[i]);
    }
  }
};

void padTo(Writer& w, int count, char pad) {
  for (int i = 0; i < count; ++i) {
    w.put(pad);
  }
}

}  // namespace

std::size_t async_strlen(const char* text) {
  if (text == nullptr) {
    return 0;
  }
  std::size_t length = 0;
  while (text[length] != '\0') {
    ++length;
  }
  return length;
}

const char* async_errno_text(int error) {
  // strerrordesc_np returns a static text without touching locale data or the heap.
  const char* text = strerrordesc_np(error);
  return text != nullptr ? text : "Unknown error";
}

int async_format_uint64(std::uint64_t value, char* buffer, std::size_t size) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (buffer == nullptr || size < static_cast<std::size_t>(count) + 1) {
    return -1;
  }
  for (int i = 0; i < count; ++i) {
    buffer[i] = digits[count - 1 - i];
  }
  buffer[count] = '\0';
  return count;
}

int async_format_int64(std::int64_t value, char* buffer, std::size_t size) {
  if (value >= 0) {
    return async_format_uint64(static_cast<std::uint64_t>(value), buffer, size);
  }
  // The magnitude is computed in unsigned arithmetic so INT64_MIN needs no special case.
  const std::uint64_t magnitude = 0 - static_cast<std::uint64_t>(value);
  if (buffer == nullptr || size < 2) {
    return -1;
  }
  const int written = async_format_uint64(magnitude, buffer + 1, size - 1);
  if (written < 0) {
    return -1;
  }
  buffer[0] = '-';
  return written + 1;
}

int async_format_hex(std::uint64_t value, int minDigits, bool upperCase, char* buffer, std::size_t size) {
  const char* alphabet = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  char digits[16];
  int count = 0;
  do {
    digits[count++] = alphabet[value & 0xf];
    value >>= 4;
  } while (value != 0);
  if (minDigits > 64) {
    minDigits = 64;
  }
  const int total = count > minDigits ? count : minDigits;
  if (buffer == nullptr || size < static_cast<std::size_t>(total) + 1) {
    return -1;
  }
  int pos = 0;
  for (int i = count; i < total; ++i) {
    buffer[pos++] = '0';
  }
  for (int i = 0; i < count; ++i) {
    buffer[pos++] = digits[count - 1 - i];
  }
  buffer[pos] = '\0';
  return pos;
}

int async_format_double(double value, char* buffer, std::size_t size) {
  const std::uint64_t bits = doubleBits(value);
  if (((bits >> 52) & 0x7ff) == 0x7ff) {
    return -1;
  }
  char out[40];
  int pos = 0;
  if ((bits >> 63) != 0) {
    out[pos++] = '-';
    value = -value;
  }
  if (value == 0.0) {
    out[pos++] = '0';
  } else if (value < 9007199254740992.0 && value == static_cast<double>(static_cast<std::uint64_t>(value))) {
    // Whole numbers below 2^53 are exact: their digits are the shortest text.
    pos += async_format_uint64(static_cast<std::uint64_t>(value), out + pos, 21);
  } else {
    std::uint64_t mantissa = 0;
    int e10 = 0;
    int digits = 15;
    for (; digits <= 17; ++digits) {
      decimalDigits(value, digits, &mantissa, &e10);
      if (digits == 17 || decimalToDouble(mantissa, e10 - (digits - 1)) == value) {
        break;
      }
    }
    char text[20];
    int count = async_format_uint64(mantissa, text, sizeof text);
    while (count > 1 && text[count - 1] == '0') {
      --count;
    }
    if (e10 >= -4 && e10 < 17) {
      if (e10 >= 0) {
        for (int i = 0; i <= e10; ++i) {
          out[pos++] = i < count ? text[i] : '0';
        }
        if (count > e10 + 1) {
          out[pos++] = '.';
          for (int i = e10 + 1; i < count; ++i) {
            out[pos++] = text[i];
          }
        }
      } else {
        out[pos++] = '0';
        out[pos++] = '.';
        for (int i = 0; i < -e10 - 1; ++i) {
          out[pos++] = '0';
        }
        for (int i = 0; i < count; ++i) {
          out[pos++] = text[i];
        }
      }
    } else {
      out[pos++] = text[0];
      if (count > 1) {
        out[pos++] = '.';
        for (int i = 1; i < count; ++i) {
          out[pos++] = text[i];
        }
      }
      out[pos++] = 'e';
      out[pos++] = e10 < 0 ? '-' : '+';
      const int magnitude = e10 < 0 ? -e10 : e10;
      if (magnitude < 10) {
        out[pos++] = '0';
      }
      pos += async_format_uint64(static_cast<std::uint64_t>(magnitude), out + pos, 8);
    }
  }
  if (buffer == nullptr || size < static_cast<std::size_t>(pos) + 1) {
    return -1;
  }
  for (int i = 0; i < pos; ++i) {
    buffer[i] = out[i];
  }
  buffer[pos] = '\0';
  return pos;
}

bool async_parse_double(const char* text, std::size_t length, double* value) {
  if (text == nullptr || length == 0 || value == nullptr) {
    return false;
  }
  std::size_t pos = 0;
  std::uint64_t mantissa = 0;
  int significant = 0;
  int exponent = 0;
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  if (!isDigit(text[0])) {
    return false;
  }
  while (pos < length && isDigit(text[pos])) {
    const int digit = text[pos] - '0';
    if (mantissa == 0 && digit == 0) {
      // leading zero
    } else if (significant < 19) {
      mantissa = mantissa * 10 + static_cast<std::uint64_t>(digit);
      ++significant;
    } else {
      ++exponent;
    }
    ++pos;
  }
  if (pos < length && text[pos] == '.') {
    ++pos;
    if (pos >= length || !isDigit(text[pos])) {
      return false;
    }
    while (pos < length && isDigit(text[pos])) {
      const int digit = text[pos] - '0';
      if (mantissa == 0 && digit == 0) {
        --exponent;
      } else if (significant < 19) {
        mantissa = mantissa * 10 + static_cast<std::uint64_t>(digit);
        ++significant;
        --exponent;
      }
      ++pos;
    }
  }
  if (pos < length && (text[pos] == 'e' || text[pos] == 'E')) {
    ++pos;
    bool negative = false;
    if (pos < length && (text[pos] == '+' || text[pos] == '-')) {
      negative = text[pos] == '-';
      ++pos;
    }
    if (pos >= length || !isDigit(text[pos])) {
      return false;
    }
    int written = 0;
    while (pos < length && isDigit(text[pos])) {
      if (written < 100000) {
        written = written * 10 + (text[pos] - '0');
      }
      ++pos;
    }
    exponent += negative ? -written : written;
  }
  if (pos != length) {
    return false;
  }
  *value = decimalToDouble(mantissa, exponent);
  return true;
}

std::size_t async_format(char* buffer, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::size_t length = async_vformat(buffer, size, format, args);
  va_end(args);
  return length;
}

std::size_t async_vformat(char* buffer, std::size_t size, const char* format, va_list args) {
  if (buffer == nullptr || size == 0) {
    return 0;
  }
  Writer w{buffer, size, 0};
  if (format == nullptr) {
    buffer[0] = '\0';
    return 0;
  }
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      w.put(*p);
      continue;
    }
    ++p;
    bool leftAlign = false;
    bool zeroPad = false;
    for (;; ++p) {
      if (*p == '-') {
        leftAlign = true;
      } else if (*p == '0') {
        zeroPad = true;
      } else if (*p == '+' || *p == ' ' || *p == '#') {
        // accepted, no effect
      } else {
        break;
      }
    }
    int width = 0;
    if (*p == '*') {
      width = va_arg(args, int);
      if (width < 0) {
        leftAlign = true;
        width = width == INT32_MIN ? 4096 : -width;
      }
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') {
        width = width * 10 + (*p - '0');
        if (width > 4096) {
          width = 4096;
        }
        ++p;
      }
    }
    int precision = -1;
    if (*p == '.') {
      ++p;
      precision = 0;
      if (*p == '*') {
        precision = va_arg(args, int);
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') {
          precision = precision * 10 + (*p - '0');
          if (precision > 1 << 20) {
            precision = 1 << 20;
          }
          ++p;
        }
      }
    }
    int lengthModifier = 0;  // 0 int, 1 long, 2 long long, -1 short, -2 char, 3 size/ptrdiff/intmax
    if (*p == 'h') {
      lengthModifier = -1;
      ++p;
      if (*p == 'h') {
        lengthModifier = -2;
        ++p;
      }
    } else if (*p == 'l') {
      lengthModifier = 1;
      ++p;
      if (*p == 'l') {
        lengthModifier = 2;
        ++p;
      }
    } else if (*p == 'z' || *p == 'j' || *p == 't') {
      lengthModifier = 3;
      ++p;
    } else if (*p == 'L') {
      ++p;
    }
    char text[72];
    int count = 0;
    int prefix = 0;  // leading characters that zero padding goes after: a sign or "0x"
    const char* piece = text;
    bool numeric = true;
    switch (*p) {
      case 'd':
      case 'i': {
        std::int64_t v;
        switch (lengthModifier) {
          case 1:
            v = va_arg(args, long);
            break;
          case 2:
            v = va_arg(args, long long);
            break;
          case 3:
            v = va_arg(args, std::int64_t);
            break;
          case -1:
            v = static_cast<short>(va_arg(args, int));
            break;
          // NOLINTNEXTLINE(bugprone-signed-char-misuse): %hhd wants the sign extended
          case -2:
            v = static_cast<signed char>(va_arg(args, int));
            break;
          default:
            v = va_arg(args, int);
            break;
        }
        count = async_format_int64(v, text, sizeof text);
        prefix = v < 0 ? 1 : 0;
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        std::uint64_t v;
        switch (lengthModifier) {
          case 1:
            v = va_arg(args, unsigned long);
            break;
          case 2:
            v = va_arg(args, unsigned long long);
            break;
          case 3:
            v = va_arg(args, std::uint64_t);
            break;
          case -1:
            v = static_cast<unsigned short>(va_arg(args, unsigned));
            break;
          case -2:
            v = static_cast<unsigned char>(va_arg(args, unsigned));
            break;
          default:
            v = va_arg(args, unsigned);
            break;
        }
        if (*p == 'u') {
          count = async_format_uint64(v, text, sizeof text);
        } else if (*p == 'o') {
          char digits[24];
          int n = 0;
          do {
            digits[n++] = static_cast<char>('0' + (v & 7));
            v >>= 3;
          } while (v != 0);
          for (int i = 0; i < n; ++i) {
            text[i] = digits[n - 1 - i];
          }
          count = n;
        } else {
          count = async_format_hex(v, 1, *p == 'X', text, sizeof text);
        }
        break;
      }
      case 'p': {
        const auto v = reinterpret_cast<std::uintptr_t>(va_arg(args, void*));
        text[0] = '0';
        text[1] = 'x';
        count = 2 + async_format_hex(v, 1, false, text + 2, sizeof text - 2);
        prefix = 2;
        break;
      }
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G': {
        const double v = va_arg(args, double);
        count = async_format_double(v, text, sizeof text);
        if (count < 0) {
          const bool negative = (doubleBits(v) >> 63) != 0;
          const char* word = v != v ? "nan" : (negative ? "-inf" : "inf");
          count = static_cast<int>(async_strlen(word));
          for (int i = 0; i < count; ++i) {
            text[i] = word[i];
          }
        }
        prefix = count > 0 && text[0] == '-' ? 1 : 0;
        break;
      }
      case 'c':
        text[0] = static_cast<char>(va_arg(args, int));
        count = 1;
        numeric = false;
        break;
      case 's': {
        const char* s = va_arg(args, const char*);
        piece = s != nullptr ? s : "(null)";
        count = 0;
        while (piece[count] != '\0' && (precision < 0 || count < precision)) {
          ++count;
        }
        numeric = false;
        break;
      }
      case '%':
        w.put('%');
        continue;
      case '\0':
        --p;  // a lone '%' at the end: stop after it
        continue;
      default:
        // Unknown conversion: shown as written.
        w.put('%');
        w.put(*p);
        continue;
    }
    if (count < 0) {
      count = 0;
    }
    const int padding = width > count ? width - count : 0;
    if (!leftAlign) {
      if (zeroPad && numeric) {
        w.putText(piece, prefix);
        padTo(w, padding, '0');
        w.putText(piece + prefix, count - prefix);
      } else {
        padTo(w, padding, ' ');
        w.putText(piece, count);
      }
    } else {
      w.putText(piece, count);
      padTo(w, padding, ' ');
    }
  }
  const std::size_t written = w.length < size - 1 ? w.length : size - 1;
  buffer[written] = '\0';
  return written;
}

int async_format_fixed(double value, int decimals, char* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0 || decimals < 0 || decimals > 9) return -1;
  if (value != value) return size < 4 ? -1 : static_cast<int>(async_format(buffer, size, "nan"));
  const double magnitude = value < 0 ? -value : value;
  if (magnitude >= 9.0e15) {
    if (magnitude > std::numeric_limits<double>::max()) {
      const char* text = value < 0 ? "-inf" : "inf";
      if (async_strlen(text) >= size) return -1;
      return static_cast<int>(async_format(buffer, size, "%s", text));
    }
    return async_format_double(value, buffer, size);
  }
  std::uint64_t scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  // Rounded half away from zero; the product stays below 2^64 for the magnitudes allowed here.
  const long double scaled = static_cast<long double>(magnitude) * scale + 0.5L;
  const auto units = static_cast<std::uint64_t>(scaled);
  char whole[24];
  char fraction[16];
  if (async_format_uint64(units / scale, whole, sizeof whole) < 0) return -1;
  std::uint64_t rest = units % scale;
  for (int i = decimals - 1; i >= 0; --i) {
    fraction[i] = static_cast<char>('0' + rest % 10);
    rest /= 10;
  }
  fraction[decimals] = '\0';
  const std::size_t needed = (value < 0 && units != 0 ? 1 : 0) + async_strlen(whole) +
                             (decimals > 0 ? 1 + static_cast<std::size_t>(decimals) : 0);
  if (needed >= size) return -1;
  return static_cast<int>(async_format(buffer, size, "%s%s%s%s", value < 0 && units != 0 ? "-" : "", whole,
                                       decimals > 0 ? "." : "", fraction));
}

}  // namespace vx
