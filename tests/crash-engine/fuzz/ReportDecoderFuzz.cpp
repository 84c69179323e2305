// Report files from the input: the decoder, and the crash-log text of what it accepts.
#include "crash-engine/report/MSHXCrashReport.h"
#include "crash-engine/report/MSHXCrashReportTextFormatter.h"
#include "tests/crash-engine/fuzz/CrashEngineFuzz.h"

CE_FUZZ_TARGET(report_decoder) {
  vx::Error error;
  const auto report = MSHXCrashReport::makeWithData(data, size, &error);
  if (report) MSHXCrashReportTextFormatter::stringValueForCrashReport(*report, 0);
  return 0;
}
