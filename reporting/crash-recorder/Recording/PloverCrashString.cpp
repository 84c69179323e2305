#include "reporting/crash-recorder/Recording/PloverCrashString.h"

namespace {

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace

bool plovercrashstring_isNullTerminatedUTF8String(const void* memory, int minLength, int maxLength) {
  if (memory == nullptr || maxLength <= 0) {
    return false;
  }
  const auto* text = static_cast<const char*>(memory);
  int length = 0;
  for (; length < maxLength; ++length) {
    const auto ch = static_cast<unsigned char>(text[length]);
    if (ch == 0) {
      break;
    }
    if (ch < 0x20 && ch != '\t' && ch != '\n' && ch != '\r') {
      return false;
    }
  }
  // Well-formed UTF-8 only (no 5- or 6-byte forms, overlongs or surrogates): the bytes go into
  // the report as a JSON string, which strict readers refuse otherwise.
  return length < maxLength && length >= minLength && plovercrashstring_isValidUTF8(text, length);
}

bool plovercrashstring_extractHexValue(const char* string, int length, std::uint64_t* result) {
  if (string == nullptr || length < 3 || result == nullptr) {
    return false;
  }
  for (int i = 0; i + 2 < length; ++i) {
    if (string[i] != '0' || string[i + 1] != 'x' || hexDigitValue(string[i + 2]) < 0) {
      continue;
    }
    std::uint64_t value = 0;
    int digits = 0;
    for (int j = i + 2; j < length; ++j) {
      const int digit = hexDigitValue(string[j]);
      if (digit < 0) {
        break;
      }
      if (++digits > 16) {
        return false;
      }
      value = (value << 4) | static_cast<std::uint64_t>(digit);
    }
    *result = value;
    return true;
  }
  return false;
}

bool plovercrashstring_isValidUTF8(const char* text, int length) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  int i = 0;
  while (i < length) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    int extra;
    std::uint32_t codePoint;
    if (c >= 0xc2 && c <= 0xdf) {
      extra = 1;
      codePoint = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
      extra = 2;
      codePoint = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      extra = 3;
      codePoint = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= length) {
      return false;
    }
    for (int k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xc0) != 0x80) {
        return false;
      }
      codePoint = (codePoint << 6) | (p[i + k] & 0x3f);
    }
    if ((extra == 2 && (codePoint < 0x800 || (codePoint >= 0xd800 && codePoint <= 0xdfff))) ||
        (extra == 3 && (codePoint < 0x10000 || codePoint > 0x10ffff))) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}
