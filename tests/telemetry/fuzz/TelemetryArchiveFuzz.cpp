// Telemetry archives as the stores read them back: one object of any telemetry class, or an
// array of them. Whatever the bytes, the result is an error or an object that describes itself,
// archives again and reads back as an equal object.
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzev/Model/MSSerializableObject.h"
#include "tests/telemetry/fuzz/TelemetryFuzz.h"

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

}  // namespace

VX_FUZZ_DEFINE(vx_fuzz_telemetry_archive) {
  const vx::Bytes bytes(data, data + size);
  if (auto object = MSUnarchiveObject<MSSerializableObject>(bytes)) {
    const auto& decoded = *object.value();
    (void)decoded.serializeToDictionary();
    (void)decoded.hash();
    if (!decoded.isEqual(decoded)) fail("not equal to itself");
    auto archived = MSArchivedData(decoded);
    if (!archived) fail("does not archive again");
    auto back = MSUnarchiveObject<MSSerializableObject>(archived.value());
    if (!back) fail("its archive does not read back");
    if (!back.value()->isEqual(decoded)) fail("reads back different");
  }
  if (auto objects = MSUnarchiveObjects<vx::Archivable>(bytes)) {
    if (!MSArchivedData(objects.value())) fail("array does not archive again");
  }
  return 0;
}
