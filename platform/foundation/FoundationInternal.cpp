#include "platform/foundation/FoundationInternal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vx::detail {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int decodeChar(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string base64Encode(const std::vector<std::uint8_t>& data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    const std::uint32_t n = data[i] << 16 | data[i + 1] << 8 | data[i + 2];
    out += kAlphabet[n >> 18 & 63];
    out += kAlphabet[n >> 12 & 63];
    out += kAlphabet[n >> 6 & 63];
    out += kAlphabet[n & 63];
  }
  if (i < data.size()) {
    std::uint32_t n = data[i] << 16;
    if (i + 1 < data.size()) n |= data[i + 1] << 8;
    out += kAlphabet[n >> 18 & 63];
    out += kAlphabet[n >> 12 & 63];
    out += i + 1 < data.size() ? kAlphabet[n >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) return std::nullopt;  // data after padding
      v[k] = decodeChar(c);
      if (v[k] < 0) return std::nullopt;
    }
    const std::uint32_t n = v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3];
    out.push_back(static_cast<std::uint8_t>(n >> 16));
    if (padding < 2) out.push_back(static_cast<std::uint8_t>(n >> 8 & 0xFF));
    if (padding < 1) out.push_back(static_cast<std::uint8_t>(n & 0xFF));
  }
  return out;
}

Result<void> createPrivateFolders(const std::filesystem::path& path, const char* domain) {
  std::filesystem::path partial;
  for (const auto& part : path) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      const int error = errno;
      return Error(domain, 2, "Cannot create folder " + partial.string() + ": " + std::strerror(error),
                   {{"path", partial.string()}, {"errno", error}});
    }
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(path, ec)) {
    return Error(domain, 3, path.string() + " exists and is not a folder.", {{"path", path.string()}});
  }
  return Result<void>::success();
}

}  // namespace vx::detail
