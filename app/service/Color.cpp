#include "app/service/Color.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace Vexelworks {

namespace {

int hexChannel(double component) {
  if (std::isnan(component)) return 0;
  // std::round rounds halves away from zero.
  const double scaled = std::round(std::clamp(component, 0.0, 1.0) * 255.0);
  return static_cast<int>(scaled);
}

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

std::uint32_t scanHexInt(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  // "0x" counts as a prefix only when a hex digit follows it.
  if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      hexDigitValue(text[i + 2]) >= 0) {
    i += 2;
  }
  std::uint64_t value = 0;
  bool saturated = false;
  for (; i < text.size(); ++i) {
    const int digit = hexDigitValue(text[i]);
    if (digit < 0) break;
    if (!saturated) {
      value = value * 16 + static_cast<std::uint64_t>(digit);
      if (value > 0xFFFFFFFFull) saturated = true;
    }
  }
  return saturated ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
}

Color Color::fromHex(std::string_view text) {
  const std::uint32_t number = scanHexInt(text);
  return Color::rgb(static_cast<double>((number >> 16) & 0xFF) / 255.0,
                    static_cast<double>((number >> 8) & 0xFF) / 255.0, static_cast<double>(number & 0xFF) / 255.0, 1.0);
}

RGBA Color::rgba() const {
  switch (model_) {
    case Model::rgb:
    case Model::grey:
      return RGBA{red_, green_, blue_, alpha_};
    case Model::unconvertible:
      break;
  }
  return RGBA{};
}

std::string Color::hexString() const {
  const RGBA c = rgba();
  char text[8];
  std::snprintf(text, sizeof text, "%02X%02X%02X", hexChannel(c.red), hexChannel(c.green), hexChannel(c.blue));
  return text;
}

std::string Color::hexStringWithAlpha() const {
  const RGBA c = rgba();
  char text[12];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X", hexChannel(c.alpha), hexChannel(c.red), hexChannel(c.green),
                hexChannel(c.blue));
  return text;
}

std::string Color::preferredHexString() const { return isOpaque() ? hexString() : hexStringWithAlpha(); }

}  // namespace Vexelworks
