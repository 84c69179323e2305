#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"

#include "platform/darwin/AsyncFormat.h"

// The recorder's names for the crash-time formatter both crash libraries share.

namespace {

std::size_t bufferSize(int size) { return size > 0 ? static_cast<std::size_t>(size) : 0; }

}  // namespace

int plovercrashformat_strlen(const char* text) { return static_cast<int>(vx::async_strlen(text)); }

const char* plovercrashformat_errorText(int errorNumber) { return vx::async_errno_text(errorNumber); }

int plovercrashformat_uint64(std::uint64_t value, char* buffer, int size) {
  return vx::async_format_uint64(value, buffer, bufferSize(size));
}

int plovercrashformat_int64(std::int64_t value, char* buffer, int size) {
  return vx::async_format_int64(value, buffer, bufferSize(size));
}

int plovercrashformat_hex(std::uint64_t value, int minDigits, bool upperCase, char* buffer, int size) {
  return vx::async_format_hex(value, minDigits, upperCase, buffer, bufferSize(size));
}

int plovercrashformat_double(double value, char* buffer, int size) {
  return vx::async_format_double(value, buffer, bufferSize(size));
}

bool plovercrashformat_parseDouble(const char* text, int length, double* value) {
  return length > 0 && vx::async_parse_double(text, static_cast<std::size_t>(length), value);
}

int plovercrashformat_format(char* buffer, int size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = plovercrashformat_vformat(buffer, size, format, args);
  va_end(args);
  return length;
}

int plovercrashformat_vformat(char* buffer, int size, const char* format, va_list args) {
  return static_cast<int>(vx::async_vformat(buffer, bufferSize(size), format, args));
}

int plovercrashformat_fixed(double value, int decimals, char* buffer, int size) {
  return vx::async_format_fixed(value, decimals, buffer, bufferSize(size));
}
