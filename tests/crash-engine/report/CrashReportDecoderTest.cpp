// Decoding of hand-made report encodings: header checks, the required sections and fields, and
// what the decoder tolerates.
#include "crash-engine/report/CrashReportTestSupport.h"
#include "crash-engine/report/MSHXCrashReport.h"
#include "crash-engine/report/MSHXCrashReportTextFormatter.h"

#include <gtest/gtest.h>

#include <functional>

using namespace crashtest;

namespace {

struct Parts {
  Bytes systemInfo = cat({u(1, 0), s(2, "6.1.0"), u(3, 1), u(4, 1700000000), s(5, "#1 SMP")});
  Bytes appInfo = cat({s(1, "com.example.app"), s(2, "42"), s(3, "1.2")});
  Bytes threads = len(3, cat({u(1, 0), len(2, u(3, 0x1234)), u(3, 1), len(4, cat({s(1, "rip"), u(2, 0x1234)}))}));
  Bytes images = len(4, cat({u(2, 0x1000), u(1, 0x400000), s(3, "/bin/app"), len(4, Bytes{0x00, 0xAB}),
                             len(5, cat({u(1, 1), u(2, 0x1000007), u(3, 3)}))}));
  Bytes signal = cat({s(1, "SIGSEGV"), s(2, "SEGV_MAPERR"), u(3, 0)});
  Bytes reportInfo = cat({u(1, 0), len(2, Bytes(16, 0x11))});
  Bytes extra;

  Bytes build() const {
    Bytes m;
    auto add = [&](const Bytes& b) { m.insert(m.end(), b.begin(), b.end()); };
    if (!reportInfo.empty()) add(len(9, reportInfo));
    if (!systemInfo.empty()) add(len(1, systemInfo));
    if (!appInfo.empty()) add(len(2, appInfo));
    add(threads);
    add(images);
    if (!signal.empty()) add(len(6, signal));
    add(extra);
    return file(m);
  }
};

std::string decodeError(const Bytes& data) {
  vx::Error error;
  auto report = MSHXCrashReport::makeWithData(data, &error);
  if (report) return "OK";
  EXPECT_EQ(error.domain, "HXCrashReporterErrorDomain");
  EXPECT_EQ(error.code, 2);
  return error.description;
}

}  // namespace

TEST(CrashReportDecoderTest, HeaderChecks) {
  EXPECT_EQ(decodeError(Bytes{'h', 'x', 'c', 'r', 'a', 's', 'h'}), "Could not decode truncated crash log");
  EXPECT_EQ(decodeError(file({})), "Could not decode truncated crash log");
  Bytes foreign = Parts().build();
  foreign[0] = 'X';
  EXPECT_EQ(decodeError(foreign), "Could not decode invalid crash log header");
  Bytes v2 = Parts().build();
  v2[7] = 2;
  EXPECT_EQ(decodeError(v2), "Could not decode unsupported crash report version: 2");
  EXPECT_EQ(decodeError(file(Bytes{0x0A, 0x50, 0x01})), "An unknown error occured decoding the crash report");
}

TEST(CrashReportDecoderTest, RefusesIncompleteReports) {
  struct Case {
    const char* what;
    std::function<void(Parts&)> edit;
    const char* message;
  };
  const Case cases[] = {
      {"no system info", [](Parts& p) { p.systemInfo.clear(); }, "Crash report is missing System Information section"},
      {"no os version",
       [](Parts& p) {
         p.systemInfo = cat({u(3, 1), u(4, 5)});
       },
       "Crash report is missing System Information OS version field"},
      {"no app info", [](Parts& p) { p.appInfo.clear(); }, "Crash report is missing Application Information section"},
      {"no identifier", [](Parts& p) { p.appInfo = s(2, "1"); },
       "Crash report is missing Application Information app identifier field"},
      {"no version", [](Parts& p) { p.appInfo = s(1, "id"); },
       "Crash report is missing Application Information app version field"},
      {"no signal", [](Parts& p) { p.signal.clear(); }, "Crash report is missing Signal Information section"},
      {"no signal name",
       [](Parts& p) {
         p.signal = cat({s(2, "X"), u(3, 0)});
       },
       "Crash report is missing signal name field"},
      {"no signal code", [](Parts& p) { p.signal = s(1, "SIGABRT"); }, "Crash report is missing signal code field"},
      {"no threads", [](Parts& p) { p.threads.clear(); }, "Crash report is missing thread state information"},
      {"register without name",
       [](Parts& p) {
         p.threads = len(3, cat({u(1, 0), len(4, u(2, 1))}));
       },
       "Missing register name in register value"},
      {"no images", [](Parts& p) { p.images.clear(); }, "Crash report is missing binary image information"},
      {"image without name",
       [](Parts& p) {
         p.images = len(4, cat({u(1, 1), u(2, 2)}));
       },
       "Missing image name in image record"},
      {"15-byte report uuid", [](Parts& p) { p.reportInfo = len(2, Bytes(15, 1)); },
       "Report UUID value is not a standard 16 bytes"},
      {"exception without name", [](Parts& p) { p.extra = len(5, s(2, "why")); },
       "Crash report is missing exception name field"},
      {"exception without reason", [](Parts& p) { p.extra = len(5, s(1, "E")); },
       "Crash report is missing exception reason field"},
  };
  for (const auto& c : cases) {
    Parts parts;
    c.edit(parts);
    EXPECT_EQ(decodeError(parts.build()), c.message) << c.what;
  }
}

TEST(CrashReportDecoderTest, DecodesEveryField) {
  Parts parts;
  parts.extra =
      cat({len(5, cat({s(1, "NSRangeException"), s(2, "out of range"),
                       len(3, cat({u(3, 0x401000), len(6, cat({s(1, "_f"), u(2, 0x400ff0)}))}))})),
           len(7, cat({s(1, "app"), u(2, 77), s(3, "/bin/app"), s(4, "sh"), u(5, 1), u(6, 1), u(7, 1600000000)})),
           len(8, cat({s(1, "Board"), len(2, cat({u(1, 1), u(2, 7), u(3, 3)})), u(3, 4), u(4, 8)}))});
  vx::Error error;
  auto report = MSHXCrashReport::makeWithData(parts.build(), &error);
  ASSERT_TRUE(report) << error.description;
  EXPECT_EQ(report->systemInfo()->operatingSystem(), 0);
  EXPECT_EQ(report->systemInfo()->operatingSystemVersion(), "6.1.0");
  EXPECT_EQ(report->systemInfo()->operatingSystemBuild(), "#1 SMP");
  EXPECT_EQ(report->systemInfo()->architecture(), 1);
  EXPECT_EQ(report->systemInfo()->timestamp(), MSHXCrashReportDate(std::chrono::seconds(1700000000)));
  EXPECT_EQ(report->applicationInfo()->applicationMarketingVersion(), "1.2");
  ASSERT_TRUE(report->hasProcessInfo());
  EXPECT_EQ(report->processInfo()->processID(), 77u);
  EXPECT_EQ(report->processInfo()->parentProcessName(), "sh");
  EXPECT_TRUE(report->processInfo()->native());
  ASSERT_TRUE(report->hasMachineInfo());
  EXPECT_EQ(report->machineInfo()->modelName(), "Board");
  EXPECT_EQ(report->machineInfo()->processorInfo()->type(), 7u);
  EXPECT_EQ(report->machineInfo()->logicalProcessorCount(), 8u);
  ASSERT_EQ(report->threads().size(), 1u);
  EXPECT_TRUE(report->threads()[0]->crashed());
  EXPECT_EQ(report->threads()[0]->stackFrames()[0]->instructionPointer(), 0x1234u);
  EXPECT_EQ(report->threads()[0]->registers()[0]->registerName(), "rip");
  ASSERT_EQ(report->images().size(), 1u);
  EXPECT_EQ(report->images()[0]->imageUUID(), "00ab");
  EXPECT_TRUE(report->images()[0]->hasImageUUID());
  EXPECT_EQ(report->images()[0]->codeType()->type(), 0x1000007u);
  EXPECT_EQ(report->images()[0]->codeType()->typeEncoding(), 1);
  ASSERT_TRUE(report->hasExceptionInfo());
  EXPECT_EQ(report->exceptionInfo()->exceptionName(), "NSRangeException");
  ASSERT_TRUE(report->exceptionInfo()->stackFrames());
  const auto& symbol = (*report->exceptionInfo()->stackFrames())[0]->symbolInfo();
  ASSERT_TRUE(symbol);
  EXPECT_EQ(symbol->symbolName(), "_f");
  EXPECT_EQ(symbol->endAddress(), 0u);
  EXPECT_EQ(report->signalInfo()->code(), "SEGV_MAPERR");
  EXPECT_EQ(report->uuidString(), "11111111-1111-1111-1111-111111111111");
  EXPECT_FALSE(report->machExceptionInfo());
}

TEST(CrashReportDecoderTest, ToleratesMissingOptionalParts) {
  Parts parts;
  parts.reportInfo = u(1, 1);  // no uuid
  parts.systemInfo = cat({s(2, "1.0"), u(4, 0)});
  parts.threads = len(3, u(1, 0));  // a thread without frames, registers or flag
  parts.images = len(4, cat({u(1, 0x1000), s(3, "/lib/x.so")}));
  vx::Error error;
  auto report = MSHXCrashReport::makeWithData(parts.build(), &error);
  ASSERT_TRUE(report) << error.description;
  EXPECT_FALSE(report->uuidRef());
  EXPECT_EQ(report->systemInfo()->operatingSystem(), 3);
  EXPECT_FALSE(report->systemInfo()->timestamp());
  EXPECT_FALSE(report->hasMachineInfo());
  EXPECT_FALSE(report->hasProcessInfo());
  EXPECT_FALSE(report->hasExceptionInfo());
  EXPECT_TRUE(report->threads()[0]->stackFrames().empty());
  EXPECT_FALSE(report->images()[0]->hasImageUUID());
  EXPECT_FALSE(report->images()[0]->imageUUID());
  EXPECT_FALSE(report->images()[0]->codeType());
}

TEST(CrashReportDecoderTest, MachExceptionCodeLimit) {
  for (int count : {255, 256}) {
    Parts parts;
    Bytes mach = u(1, 1);
    for (int i = 0; i < count; ++i) mach = cat({mach, u(2, static_cast<std::uint64_t>(i))});
    parts.signal = cat({parts.signal, len(4, mach)});
    vx::Error error;
    auto report = MSHXCrashReport::makeWithData(parts.build(), &error);
    if (count == 255) {
      ASSERT_TRUE(report) << error.description;
      EXPECT_EQ(report->machExceptionInfo()->codes().size(), 255u);
      EXPECT_EQ(report->machExceptionInfo()->codes()[254], 254u);
    } else {
      EXPECT_FALSE(report);
      EXPECT_EQ(error.description, "Crash report includes too many Mach Exception codes");
    }
  }
}

TEST(CrashReportDecoderTest, ImageForAddress) {
  Parts parts;
  parts.images =
      cat({len(4, cat({u(1, 0x1000), u(2, 0x1000), s(3, "a")})), len(4, cat({u(1, 0x1800), u(2, 0x1000), s(3, "b")})),
           len(4, cat({u(1, 0x2000), u(2, 0x100), s(3, "c")}))});
  auto report = MSHXCrashReport::makeWithData(parts.build(), nullptr);
  ASSERT_TRUE(report);
  EXPECT_FALSE(report->imageForAddress(0xFFF));
  EXPECT_EQ(report->imageForAddress(0x1000)->imageName(), "a");
  EXPECT_EQ(report->imageForAddress(0x1900)->imageName(), "a");  // overlap: the earlier wins
  EXPECT_EQ(report->imageForAddress(0x2000)->imageName(), "b");  // end of a: the next that holds it
  EXPECT_FALSE(report->imageForAddress(0x2800));
}

namespace {

// Enum values the schema does not name are kept as the numbers on the wire (never read as the
// enum type), and timestamps beyond what a date can hold leave the date out instead of
// overflowing; the rest of the report decodes.
TEST(CrashReportDecoderTest, OutOfRangeEnumsStayRawAndOverflowingTimestampsAreLeftOut) {
  struct Case {
    const char* name;
    std::uint64_t operatingSystem;
    std::uint64_t architecture;
    std::uint64_t timestamp;
    std::uint64_t startTime;
    std::uint64_t encoding;
    int expectedOs;
    int expectedArch;
    bool hasTimestamp;
    bool hasStartTime;
    int expectedEncoding;
  };
  const std::uint64_t minusOne = ~std::uint64_t{0};  // -1 as a 64-bit varint
  const Case cases[] = {
      {"in range", 1, 1, 1700000000, 1699999000, 1, 1, 1, true, true, 1},
      {"unnamed values", 77, 4000, 1700000000, 1, 9, 77, 4000, true, true, 9},
      {"negative values", minusOne, minusOne, minusOne, 5, minusOne, -1, -1, true, true, -1},
      {"largest timestamps", 0, 0, 0x7fffffffffffffffull, 0xffffffffffffffffull, 0, 0, 0, false, false, 0},
      {"smallest timestamp", 0, 0, 0x8000000000000000ull, 0x8000000000000000ull, 0, 0, 0, false, false, 0},
      {"just beyond the date", 0, 0, 9300000000000ull, 9300000000000ull, 0, 0, 0, false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Parts parts;
    parts.systemInfo =
        cat({u(1, c.operatingSystem), s(2, "6.1.0"), u(3, c.architecture), u(4, c.timestamp), s(5, "#1 SMP")});
    parts.images = len(4, cat({u(2, 0x1000), u(1, 0x400000), s(3, "/bin/app"),
                               len(5, cat({u(1, c.encoding), u(2, 0x1000007), u(3, 3)}))}));
    parts.extra = len(7, cat({s(1, "app"), u(2, 77), u(5, 1), u(6, 1), u(7, c.startTime)}));
    vx::Error error;
    auto report = MSHXCrashReport::makeWithData(parts.build(), &error);
    ASSERT_NE(report, nullptr) << error.description;
    EXPECT_EQ(report->systemInfo()->operatingSystem(), c.expectedOs);
    EXPECT_EQ(report->systemInfo()->architecture(), c.expectedArch);
    EXPECT_EQ(report->systemInfo()->timestamp().has_value(), c.hasTimestamp);
    ASSERT_TRUE(report->hasProcessInfo());
    EXPECT_EQ(report->processInfo()->processStartTime().has_value(), c.hasStartTime);
    ASSERT_EQ(report->images().size(), 1u);
    ASSERT_NE(report->images()[0]->codeType(), nullptr);
    EXPECT_EQ(report->images()[0]->codeType()->typeEncoding(), c.expectedEncoding);
    // The crash-log text names what it knows and goes on past what it does not.
    EXPECT_NE(MSHXCrashReportTextFormatter::stringValueForCrashReport(*report, 0).find("Report Version:"),
              std::string::npos);
    if (c.hasTimestamp) {
      EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(report->systemInfo()->timestamp()->time_since_epoch())
                    .count(),
                static_cast<std::int64_t>(c.timestamp));
    }
  }
}

}  // namespace
