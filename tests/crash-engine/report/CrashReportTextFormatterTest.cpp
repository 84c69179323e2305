// The text formatter against a golden crash log of a fixture report.
#include "crash-engine/report/CrashReportTestSupport.h"
#include "crash-engine/report/MSHXCrashReportTextFormatter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace crashtest;

namespace {

Bytes frame(std::uint64_t pc) { return len(2, u(3, pc)); }

Bytes reg(const std::string& name, std::uint64_t value) { return len(4, cat({s(1, name), u(2, value)})); }

Bytes processor(std::uint64_t type, std::uint64_t subtype) { return cat({u(1, 1), u(2, type), u(3, subtype)}); }

// The fixture: a 64-bit report of a crashed second thread with an uncaught exception.
Bytes fixtureReport(int os, Bytes images) {
  Bytes uuid{0x1F, 0x2E, 0x3D, 0x4C, 0x5B, 0x6A, 0x79, 0x88, 0x97, 0xA6, 0xB5, 0xC4, 0xD3, 0xE2, 0xF1, 0x00};
  Bytes m = cat({
      len(9, cat({u(1, 0), len(2, uuid)})),
      len(1,
          cat({u(1, static_cast<std::uint64_t>(os)), s(2, "6.1.0"), s(5, "#1 SMP Debian"), u(3, 1), u(4, 1700000000)})),
      len(8, cat({s(1, "Standard PC"), len(2, processor(0x1000007, 3)), u(3, 4), u(4, 8)})),
      len(2, cat({s(1, "com.vexelworks.app"), s(2, "321"), s(3, "2.1")})),
      len(7, cat({s(1, "vexelworks"), u(2, 4242), s(3, "/opt/vx/bin/vexelworks"), s(4, "bash"), u(5, 1), u(6, 1),
                  u(7, 1699999000)})),
      len(3, cat({u(1, 0), frame(0x7f0000001234), frame(0x400100), u(3, 0)})),
      len(3, cat({u(1, 1), reg("rip", 0x401010), reg("rbp", 0x7ffc0000aa00), reg("rsp", 0x7ffc0000a9f0), reg("rax", 0),
                  reg("rbx", 1), u(3, 1), frame(0x401010), frame(0x400100), frame(0x500000)})),
      images,
      len(5, cat({s(1, "NSRangeException"), s(2, "index 3 beyond bounds"),
                  len(3, cat({u(3, 0x401020), len(6, cat({s(1, "_throwRange"), u(2, 0x401000)}))}))})),
      len(6, cat({s(1, "SIGABRT"), s(2, "SI_TKILL"), u(3, 0)})),
  });
  return file(m);
}

Bytes fixtureImages() {
  return cat({
      len(4, cat({u(2, 0x1000), u(1, 0x7f0000001000), s(3, "/usr/lib/x86_64-linux-gnu/libc.so.6"),
                  len(4, Bytes{0xDE, 0xAD, 0xBE, 0xEF}), len(5, processor(0x1000007, 3))})),
      len(4, cat({u(2, 0x2000), u(1, 0x400000), s(3, "/opt/vx/bin/vexelworks"), len(5, processor(0x1000007, 3))})),
      len(4, cat({u(2, 0), u(1, 0x1000), s(3, "/lib/empty.so")})),
  });
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::shared_ptr<MSHXCrashReport> decode(const Bytes& bytes) {
  vx::Error error;
  auto report = MSHXCrashReport::makeWithData(bytes, &error);
  EXPECT_TRUE(report) << error.description;
  return report;
}

}  // namespace

TEST(CrashReportTextFormatterTest, MatchesGoldenCrashLog) {
  auto report = decode(fixtureReport(0, fixtureImages()));
  ASSERT_TRUE(report);
  const std::string golden = readFile(CE_FIXTURE_DIR "/TextFormatterGolden.crash");
  ASSERT_FALSE(golden.empty());
  EXPECT_EQ(MSHXCrashReportTextFormatter::stringValueForCrashReport(*report, 0), golden);
  MSHXCrashReportTextFormatter formatter(MSHXCrashReportTextFormatiOS, MSHXCrashStringEncodingUTF8);
  const auto data = formatter.formatReport(*report, nullptr);
  EXPECT_EQ(std::string(data.begin(), data.end()), golden);
}

TEST(CrashReportTextFormatterTest, UnknownOSKeepsSymbolUnderscore) {
  auto report = decode(fixtureReport(3, fixtureImages()));
  ASSERT_TRUE(report);
  const std::string text = MSHXCrashReportTextFormatter::stringValueForCrashReport(*report, 0);
  EXPECT_NE(text.find("OS Version:      Unknown (3) 6.1.0 (#1 SMP Debian)\n"), std::string::npos);
  EXPECT_NE(text.find(" _throwRange + 32\n"), std::string::npos);
}

TEST(CrashReportTextFormatterTest, CodeTypeFallsBackToArchitecture) {
  // No image of a known Mach type: architecture 4 decides, 64-bit layout.
  Bytes m = cat({len(1, cat({s(2, "1.0"), u(3, 4), u(4, 0)})), len(2, cat({s(1, "id"), s(2, "1")})),
                 len(3, cat({u(1, 0), u(3, 1), reg("r0", 5), frame(0x1000)})),
                 len(4, cat({u(1, 0x1000), u(2, 0x10), s(3, "/x")})),
                 len(6, cat({s(1, "SIGSEGV"), s(2, "SEGV_MAPERR"), u(3, 8)}))});
  auto report = decode(file(m));
  ASSERT_TRUE(report);
  const std::string text = MSHXCrashReportTextFormatter::stringValueForCrashReport(*report, 0);
  EXPECT_NE(text.find("Code Type:       Unknown (4)\n"), std::string::npos);
  EXPECT_NE(text.find("0   x                                   0x0000000000001000 0x1000 + 0\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("    r0: 0x0000000000000005 \n\n"), std::string::npos);
  EXPECT_NE(text.find("Date/Time:       ???\n"), std::string::npos);
  EXPECT_NE(text.find("Incident Identifier: ???\n"), std::string::npos);
}

TEST(CrashReportTextFormatterTest, AsciiEncodingMarksOtherCharacters) {
  Bytes m = cat({len(1, cat({s(2, "1.0"), u(3, 1), u(4, 0)})), len(2, cat({s(1, "caf\xC3\xA9"), s(2, "1")})),
                 len(3, cat({u(1, 0), u(3, 1)})), len(4, cat({u(1, 0x1000), u(2, 0x10), s(3, "/x")})),
                 len(6, cat({s(1, "SIGSEGV"), s(2, "SEGV_MAPERR"), u(3, 8)}))});
  auto report = decode(file(m));
  ASSERT_TRUE(report);
  const auto ascii = MSHXCrashReportTextFormatter(0, MSHXCrashStringEncodingASCII).formatReport(*report, nullptr);
  const std::string text(ascii.begin(), ascii.end());
  EXPECT_NE(text.find("Identifier:      caf?\n"), std::string::npos);
  const auto utf8 = MSHXCrashReportTextFormatter(0, MSHXCrashStringEncodingUTF8).formatReport(*report, nullptr);
  EXPECT_NE(std::string(utf8.begin(), utf8.end()).find("caf\xC3\xA9\n"), std::string::npos);
}
