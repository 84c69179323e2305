#include "platform/security/Gzip.h"

#include <nlohmann/json.hpp>
#include <zlib.h>

#include <algorithm>
#include <climits>

namespace vx {
namespace {

constexpr int kGzipWindowBits = 31;              // 15-bit window with the gzip wrapper
constexpr int kGzipInflateWindowBits = 15 + 16;  // inflate: gzip wrapper only, largest window

Error gzipError(std::int64_t code, std::string description, const z_stream* stream = nullptr) {
  nlohmann::json info = nlohmann::json::object();
  if (stream != nullptr && stream->msg != nullptr) info["zlibMessage"] = stream->msg;
  return Error(kGzipErrorDomain, code, std::move(description), std::move(info));
}

struct DeflateGuard {
  z_stream* stream;
  ~DeflateGuard() { deflateEnd(stream); }
};
struct InflateGuard {
  z_stream* stream;
  ~InflateGuard() { inflateEnd(stream); }
};

}  // namespace

Result<Bytes> gzipCompress(ByteView data, const GzipOptions& options) {
  z_stream stream{};
  const int init =
      deflateInit2(&stream, options.level, Z_DEFLATED, kGzipWindowBits, options.memoryLevel, Z_DEFAULT_STRATEGY);
  if (init != Z_OK) return gzipError(init, "deflateInit2 error", &stream);
  DeflateGuard guard{&stream};

  // deflateBound takes a uLong; feed the input in slices that fit a uInt for avail_in.
  Bytes out(deflateBound(&stream, static_cast<uLong>(data.size())));
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(std::min<std::size_t>(out.size(), UINT_MAX));
  std::size_t consumed = 0;
  int status = Z_OK;
  while (status == Z_OK) {
    if (stream.avail_in == 0 && consumed < data.size()) {
      const std::size_t slice = std::min<std::size_t>(data.size() - consumed, UINT_MAX);
      stream.next_in = const_cast<Bytef*>(data.data() + consumed);
      stream.avail_in = static_cast<uInt>(slice);
      consumed += slice;
    }
    const int flush = consumed == data.size() ? Z_FINISH : Z_NO_FLUSH;
    if (stream.avail_out == 0) {
      // deflateBound is an upper bound, so running out of room means zlib broke its promise.
      return gzipError(Z_BUF_ERROR, "deflate error", &stream);
    }
    status = deflate(&stream, flush);
  }
  if (status != Z_STREAM_END) return gzipError(status, "deflate error", &stream);
  out.resize(static_cast<std::size_t>(stream.next_out - out.data()));
  return out;
}

Result<Bytes> gzipDecompress(ByteView data, std::size_t maxOutputSize) {
  if (data.empty()) return gzipError(kGzipErrorTruncated, "gzip data is empty");
  z_stream stream{};
  const int init = inflateInit2(&stream, kGzipInflateWindowBits);
  if (init != Z_OK) return gzipError(init, "inflateInit2 error", &stream);
  InflateGuard guard{&stream};

  // Start from a modest guess and double; the cap bounds the growth.
  constexpr std::size_t kLargestFirstGuess = std::size_t{64} << 20;
  Bytes out(std::min({maxOutputSize, kLargestFirstGuess, std::max<std::size_t>(data.size() * 4, 4096)}));
  std::size_t produced = 0;
  std::size_t consumed = 0;  // bytes of `data` handed to zlib so far
  while (true) {
    if (stream.avail_in == 0 && consumed < data.size()) {
      const std::size_t slice = std::min<std::size_t>(data.size() - consumed, UINT_MAX);
      stream.next_in = const_cast<Bytef*>(data.data() + consumed);
      stream.avail_in = static_cast<uInt>(slice);
      consumed += slice;
    }
    int status = Z_OK;
    if (produced < out.size()) {
      stream.next_out = out.data() + produced;
      stream.avail_out = static_cast<uInt>(std::min<std::size_t>(out.size() - produced, UINT_MAX));
      const std::size_t room = stream.avail_out;
      status = inflate(&stream, Z_NO_FLUSH);
      produced += room - stream.avail_out;
    } else if (out.size() < maxOutputSize) {
      out.resize(std::min<std::size_t>(maxOutputSize, std::max<std::size_t>(out.size() * 2, 1)));
      continue;
    } else {
      // Full at the cap: ask for one more byte to tell "ends exactly at the cap" from "over it".
      std::uint8_t probe = 0;
      stream.next_out = &probe;
      stream.avail_out = 1;
      status = inflate(&stream, Z_NO_FLUSH);
      if (stream.avail_out == 0) {
        return gzipError(kGzipErrorTooLarge,
                         "gzip data expands past the limit of " + std::to_string(maxOutputSize) + " bytes");
      }
    }

    const bool inputLeft = stream.avail_in > 0 || consumed < data.size();
    if (status == Z_OK) continue;
    if (status == Z_BUF_ERROR) {
      // No progress: either zlib needs more room (made on the next turn) or more input.
      if (stream.avail_out == 0) continue;
      if (!inputLeft) return gzipError(kGzipErrorTruncated, "gzip data is truncated");
      return gzipError(Z_BUF_ERROR, "inflate error", &stream);
    }
    if (status != Z_STREAM_END) {
      return gzipError(status == Z_NEED_DICT ? Z_DATA_ERROR : status, "inflate error", &stream);
    }
    // A member ended. Whatever follows must be another member, as the gzip tool expects.
    if (!inputLeft) break;
    const std::size_t remaining = stream.avail_in + (data.size() - consumed);
    const std::uint8_t* next = stream.avail_in > 0 ? stream.next_in : data.data() + consumed;
    if (remaining < 2 || next[0] != 0x1f || next[1] != 0x8b) {
      return gzipError(kGzipErrorTrailingData, std::to_string(remaining) + " bytes after the end of the gzip data");
    }
    const int reset = inflateReset(&stream);
    if (reset != Z_OK) return gzipError(reset, "inflateReset error", &stream);
  }
  out.resize(produced);
  return out;
}

}  // namespace vx
