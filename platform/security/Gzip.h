// gzip (deflate in the gzip wrapper) over zlib, for request bodies of the error-reporting and
// telemetry clients. Decompression checks every byte it is given and is bounded by a size cap,
// so a hostile or broken body ends in an Error, never in a crash or an exhausted memory.
#pragma once

#include "platform/foundation/Error.h"
#include "platform/security/Crypto.h"

#include <cstddef>
#include <cstdint>

namespace vx {

// Error domain of the functions below. Codes are zlib's own return codes (Z_DATA_ERROR -3,
// Z_MEM_ERROR -4, Z_BUF_ERROR -5, Z_VERSION_ERROR -6, Z_STREAM_ERROR -2) or the kGzip* values.
inline constexpr const char* kGzipErrorDomain = "vx.gzip";
inline constexpr std::int64_t kGzipErrorTruncated = 1;     // input ends inside a member
inline constexpr std::int64_t kGzipErrorTooLarge = 2;      // output would pass the size cap
inline constexpr std::int64_t kGzipErrorTrailingData = 3;  // bytes after the last member that are not gzip

struct GzipOptions {
  int level = -1;       // 0..9, or -1 for zlib's default (6)
  int memoryLevel = 8;  // 1..9
};

// Compresses `data` into one gzip member (window bits 31) in a single pass into a buffer sized
// by deflateBound. Empty input gives a valid gzip member of an empty file; callers that send no
// body for empty data check for that themselves.
// Fails with description "deflateInit2 error" and zlib's code when the stream cannot be set up
// (e.g. an out-of-range level), or "deflate error" and zlib's code when deflate fails.
Result<Bytes> gzipCompress(ByteView data, const GzipOptions& options = {});

inline constexpr std::size_t kGzipDefaultMaxOutput = std::size_t{256} << 20;  // 256 MiB

// Decompresses gzip data (one or more concatenated members, as the gzip tool accepts).
// Fails with:
//  - zlib's Z_DATA_ERROR for a bad header, corrupt deflate data or a CRC/length mismatch;
//  - kGzipErrorTruncated when the input ends before the end of a member (also for empty input);
//  - kGzipErrorTooLarge as soon as the output would exceed `maxOutputSize` bytes;
//  - kGzipErrorTrailingData for bytes after the last member that do not start another member.
Result<Bytes> gzipDecompress(ByteView data, std::size_t maxOutputSize = kGzipDefaultMaxOutput);

}  // namespace vx
