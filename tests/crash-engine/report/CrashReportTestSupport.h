// A tiny protobuf encoder for tests, independent of the engine's own writer, to make report
// encodings by hand.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace crashtest {

using Bytes = std::vector<std::uint8_t>;

inline void varint(Bytes& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

inline Bytes u(std::uint32_t field, std::uint64_t value) {
  Bytes out;
  varint(out, field << 3);
  varint(out, value);
  return out;
}

inline Bytes len(std::uint32_t field, const Bytes& body) {
  Bytes out;
  varint(out, (field << 3) | 2);
  varint(out, body.size());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

inline Bytes s(std::uint32_t field, const std::string& text) { return len(field, Bytes(text.begin(), text.end())); }

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes file(const Bytes& message, std::uint8_t version = 1) {
  Bytes out{'h', 'x', 'c', 'r', 'a', 's', 'h', version};
  out.insert(out.end(), message.begin(), message.end());
  return out;
}

}  // namespace crashtest
