// Renders a decoded crash report as crash-log text ("Report Version:  104" layout).
#pragma once

#include "crash-engine/report/MSHXCrashReport.h"
#include "platform/foundation/Error.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Something that turns a report into bytes.
class MSHXCrashReportFormatter {
 public:
  virtual ~MSHXCrashReportFormatter() = default;
  virtual std::vector<std::uint8_t> formatReport(const MSHXCrashReport& report, vx::Error* error) = 0;
};

enum MSHXCrashReportTextFormat : int {
  MSHXCrashReportTextFormatiOS = 0,
};

// String encodings the formatter can produce (Foundation's numbers).
inline constexpr std::uint64_t MSHXCrashStringEncodingASCII = 1;
inline constexpr std::uint64_t MSHXCrashStringEncodingUTF8 = 4;

class MSHXCrashReportTextFormatter : public MSHXCrashReportFormatter {
 public:
  // The text format is kept but does not change the output. An encoding other than ASCII is
  // taken as UTF-8; with ASCII every other character becomes "?".
  MSHXCrashReportTextFormatter(int textFormat, std::uint64_t stringEncoding)
      : _textFormat(textFormat), _stringEncoding(stringEncoding) {}

  std::vector<std::uint8_t> formatReport(const MSHXCrashReport& report, vx::Error* error) override;

  static std::string stringValueForCrashReport(const MSHXCrashReport& report, int textFormat);
  // One frame line, ending in a newline.
  static std::string formatStackFrame(const MSHXCrashReportStackFrameInfo& frame, std::int64_t frameIndex,
                                      const MSHXCrashReport& report, bool lp64);

  int textFormat() const { return _textFormat; }
  std::uint64_t stringEncoding() const { return _stringEncoding; }

 private:
  int _textFormat;
  std::uint64_t _stringEncoding;
};
