// gzip for telemetry request bodies. A failure is logged and yields nothing, so the caller sends
// the body uncompressed.
#pragma once

#include "platform/foundation/Value.h"

#include <optional>

class MSCompression {
 public:
  MSCompression() = delete;

  // One gzip member of `data`; std::nullopt for missing or empty data (nothing worth sending
  // compressed) and on failure (error line).
  static std::optional<vx::Bytes> compressData(const std::optional<vx::Bytes>& data);
};
