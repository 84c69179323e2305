// The one cut every logger applies to messages that quote outside input.
#include "platform/foundation/LogText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct CutCase {
  const char* name;
  std::string message;
  std::size_t limit;
  std::string expected;
};

// Small limits make each boundary visible; the last cases use the real limit.
std::vector<CutCase> cutCases() {
  const std::string e = "\xC3\xA9";              // 2 bytes
  const std::string euro = "\xE2\x82\xAC";       // 3 bytes
  const std::string emoji = "\xF0\x9F\x98\x80";  // 4 bytes
  return {
      {"empty", "", 4, ""},
      {"shorter than the limit", "abc", 4, "abc"},
      {"exactly the limit", "abcd", 4, "abcd"},
      {"one byte over", "abcde", 4, "abcd... (1 more bytes)"},
      {"two-byte character across the limit", "abc" + e + "z", 4, "abc... (3 more bytes)"},
      {"two-byte character ending at the limit", "ab" + e + "z", 4, "ab" + e + "... (1 more bytes)"},
      {"three-byte character across the limit", "ab" + euro + "z", 4, "ab... (4 more bytes)"},
      {"four-byte character across the limit", "a" + emoji + "z", 4, "a... (5 more bytes)"},
      {"four-byte character, cut after its first byte", "abc" + emoji, 4, "abc... (4 more bytes)"},
      // Bytes that are not UTF-8 at the cut: cut at the limit, never further back than a
      // character could reach.
      {"stray continuation bytes", std::string(10, '\x80'), 4, std::string(4, '\x80') + "... (6 more bytes)"},
      {"invalid byte then continuation", "abc\xFF\x80\x80", 4, "abc\xFF... (2 more bytes)"},
      {"ASCII then continuation", "abcd\x80\x80", 4, "abcd... (2 more bytes)"},
      {"lead byte announcing more than follows",
       "a\xE2"
       "b\x80z",
       4,
       "a\xE2"
       "b\x80... (1 more bytes)"},
      {"two-byte lead with surplus continuations", "a" + e + "\x80\x80z", 4, "a" + e + "\x80... (2 more bytes)"},
      {"overlong lead counts as one byte", "abc\xC0\x80", 4, "abc\xC0... (1 more bytes)"},
      {"limit zero", "\x80\x80", 0, "... (2 more bytes)"},
      {"a megabyte of text", std::string(1 << 20, 'x'), vx::kMaxLogMessageBytes,
       std::string(vx::kMaxLogMessageBytes, 'x') + "... (" + std::to_string((1 << 20) - vx::kMaxLogMessageBytes) +
           " more bytes)"},
      {"a megabyte of stray continuation bytes", std::string(1 << 20, '\xBF'), vx::kMaxLogMessageBytes,
       std::string(vx::kMaxLogMessageBytes, '\xBF') + "... (" + std::to_string((1 << 20) - vx::kMaxLogMessageBytes) +
           " more bytes)"},
  };
}

TEST(LogTextTest, CutsLongMessagesAtACharacterBoundaryWithAMarker) {
  for (const auto& c : cutCases()) {
    EXPECT_EQ(vx::boundedLogMessage(c.message, c.limit), c.expected) << c.name;
  }
}

TEST(LogTextTest, DefaultLimitKeepsTheFirstCharactersOfAValidMessageWhole) {
  // Characters of 1 to 4 bytes in turn, so every limit position falls somewhere else in one.
  const std::string pattern = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  std::string message;
  while (message.size() < 3 * vx::kMaxLogMessageBytes) message += pattern;
  for (std::size_t offset = 0; offset < pattern.size(); ++offset) {
    const std::string text = message.substr(offset);
    const std::string cut = vx::boundedLogMessage(text);
    const auto marker = cut.rfind("... (");
    ASSERT_NE(marker, std::string::npos) << offset;
    EXPECT_LE(marker, vx::kMaxLogMessageBytes) << offset;
    EXPECT_GE(marker + 3, vx::kMaxLogMessageBytes) << offset;
    EXPECT_EQ(cut.substr(0, marker), text.substr(0, marker)) << offset;
    // The kept part ends where the next character begins.
    EXPECT_NE(static_cast<unsigned char>(text[marker]) & 0xC0, 0x80) << offset;
    EXPECT_EQ(cut.substr(marker), "... (" + std::to_string(text.size() - marker) + " more bytes)") << offset;
  }
}

}  // namespace
