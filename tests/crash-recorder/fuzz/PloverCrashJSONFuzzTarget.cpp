// Fuzz target for the recorder's JSON decoder, its re-encoder and the object-level codec.
// A libFuzzer program with VX_FUZZ=ON, and replayed over the kept corpus by
// PloverCrashJSONFuzzRegressionTest in every build.
#include "reporting/crash-recorder/Recording/PloverCrashJSONCodec.h"
#include "reporting/crash-recorder/Recording/PloverCrashJSONCodecObjC.h"
#include "reporting/crash-recorder/Recording/PloverCrashString.h"
#include "support/FuzzTarget.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "fuzz check failed: %s: %s\n", what, detail.c_str());
  std::abort();
}

// Counts callbacks and checks that containers open and close in pairs.
struct Balance {
  int depth = 0;
  long elements = 0;
  bool ended = false;
};

int onScalar(Balance* b) {
  b->elements++;
  return 0;
}

PloverCrashJSONDecodeCallbacks balanceCallbacks() {
  return {
      [](const char*, bool, void* u) { return onScalar(static_cast<Balance*>(u)); },
      [](const char*, double, void* u) { return onScalar(static_cast<Balance*>(u)); },
      [](const char*, std::int64_t, void* u) { return onScalar(static_cast<Balance*>(u)); },
      [](const char*, void* u) { return onScalar(static_cast<Balance*>(u)); },
      [](const char*, const char* value, void* u) {
        if (value == nullptr) fail("string callback", "null value");
        return onScalar(static_cast<Balance*>(u));
      },
      [](const char*, void* u) {
        static_cast<Balance*>(u)->depth++;
        return 0;
      },
      [](const char*, void* u) {
        static_cast<Balance*>(u)->depth++;
        return 0;
      },
      [](void* u) {
        auto* b = static_cast<Balance*>(u);
        if (--b->depth < 0) fail("end container", "more ends than begins");
        return 0;
      },
      [](void* u) {
        auto* b = static_cast<Balance*>(u);
        if (b->ended) fail("end of data", "called twice");
        b->ended = true;
        return 0;
      },
  };
}

int appendText(const char* data, int length, void* userData) {
  static_cast<std::string*>(userData)->append(data, static_cast<std::size_t>(length));
  return 0;
}

// Infinities (from numbers beyond the double range) are written as null.
nlohmann::ordered_json withoutInfinities(const nlohmann::ordered_json& value) {
  if (value.is_number_float() && !std::isfinite(value.get<double>())) {
    return nullptr;
  }
  if (value.is_structured()) {
    nlohmann::ordered_json copy = value;
    for (auto it = copy.begin(); it != copy.end(); ++it) {
      *it = withoutInfinities(*it);
    }
    return copy;
  }
  return value;
}

}  // namespace

VX_FUZZ_DEFINE(vx_fuzz_recorder_json) {
  if (size > 1 << 20) {
    return 0;
  }
  const char* text = reinterpret_cast<const char*>(data);
  const int length = static_cast<int>(size);

  // 1. The callback decoder with a scratch size taken from the input, so small areas get tried.
  {
    const int scratchSize = size > 0 ? 2 + data[0] % 64 : 16;
    for (int scratchLength : {scratchSize, 4096}) {
      std::vector<char> scratch(static_cast<std::size_t>(scratchLength));
      const PloverCrashJSONDecodeCallbacks callbacks = balanceCallbacks();
      Balance balance;
      int offset = -1;
      const int result =
          plovercrashjson_decode(text, length, scratch.data(), scratchLength, &callbacks, &balance, &offset);
      if (result == 0 && (balance.depth != 0 || !balance.ended)) {
        fail("decode", "success without balance");
      }
      if (result != 0 && (offset < 0 || offset > length)) {
        fail("decode", "error offset out of range");
      }
    }
  }

  // 2. Re-encoding with closeLastContainer always gives balanced output; for UTF-8 input that
  // decoded cleanly it is JSON a strict parser accepts.
  {
    std::string output;
    PloverCrashJSONEncodeContext context;
    plovercrashjson_beginEncode(&context, (size & 1) != 0, appendText, &output);
    plovercrashjson_beginObject(&context, nullptr);
    const int result = plovercrashjson_addJSONElement(&context, "value", text, length, true);
    if (context.containerLevel != 1) {
      fail("re-encode", "level not restored");
    }
    plovercrashjson_endEncode(&context);
    if (result == 0 && plovercrashstring_isValidUTF8(text, length) && !nlohmann::json::accept(output)) {
      fail("re-encode", output);
    }
  }

  // 3. The object codec: what decodes must encode and decode back to the same value.
  {
    vx::Error error;
    const auto decoded = PloverCrashJSONCodec::decode(std::string_view(text, size),
                                                      PloverCrashJSONDecodeOptionKeepPartialObject, &error);
    if (decoded) {
      (void)decoded->dump();  // strings were made valid UTF-8
      vx::Error encodeError;
      const auto encoded = PloverCrashJSONCodec::encode(*decoded, 0, &encodeError);
      if (!encoded) {
        // Escaped control characters decode but cannot be written back: the only allowed failure.
        if (encodeError.description.rfind("Invalid character in ", 0) != 0) {
          fail("encode", encodeError.description);
        }
      } else {
        vx::Error again;
        const auto back = PloverCrashJSONCodec::decode(*encoded, 0, &again);
        if (!back) {
          fail("decode of encoded", again.description);
        }
        if (*back != withoutInfinities(*decoded)) {
          fail("round trip", decoded->dump() + " vs " + back->dump());
        }
      }
    }
  }
  return 0;
}
