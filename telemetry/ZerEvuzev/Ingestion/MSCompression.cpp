#include "telemetry/ZerEvuzev/Ingestion/MSCompression.h"

#include "platform/security/Gzip.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"

#include <zlib.h>

namespace {

const char* initErrorText(std::int64_t code) {
  switch (code) {
    case Z_VERSION_ERROR:
      return "Version of zlib.h & libz library do not match!";
    case Z_MEM_ERROR:
      return "Not enough memory.";
    case Z_STREAM_ERROR:
      return "Invalid parameter passed in to function.";
    default:
      return "Unknown error!";
  }
}

const char* deflateErrorText(std::int64_t code) {
  switch (code) {
    case Z_STREAM_ERROR:
      return "Inconsistent stream state.";
    case Z_BUF_ERROR:
      return "No progress is possible.";
    default:
      return "Unknown error!";
  }
}

}  // namespace

std::optional<vx::Bytes> MSCompression::compressData(const std::optional<vx::Bytes>& data) {
  if (!data || data->empty()) return std::nullopt;
  // The output buffer is sized by deflateBound inside gzipCompress: a fixed "input + 1% + 12"
  // is too small for the gzip wrapper on short or incompressible input and made those fail.
  auto compressed = vx::gzipCompress(*data);
  if (compressed) return std::move(compressed.value());
  const vx::Error& error = compressed.error();
  if (error.description.rfind("deflateInit2", 0) == 0) {
    MSLogError(kMSLogTag, "Compression failed with error: %s", initErrorText(error.code));
  } else {
    MSLogError(kMSLogTag, "Deflate failed with error: %s", deflateErrorText(error.code));
  }
  return std::nullopt;
}
