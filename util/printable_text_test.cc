#include "util/printable_text.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <vector>

namespace {

TEST(PrintableText, PlainTextAndLineEndsPrintAsTheyStand) {
  const std::string plain = "(c) 2024 Firm, Inc.\r\nAll rights reserved.\n\tcaf\xc3\xa9 %n%s";
  EXPECT_EQ(PrintableText(plain, true), plain);
  EXPECT_EQ(PrintableText("\x1b[2J\x1b[8m", true), "\\x1b[2J\\x1b[8m");
  EXPECT_EQ(PrintableText("over\rwrite\r", true), "over\\x0dwrite\\x0d");
  EXPECT_EQ(PrintableText("a\tb\r\n", false), "a\\x09b\\x0d\\x0a");
  EXPECT_EQ(PrintableText(std::string("a\0b", 3), true), "a\\x00b");
}

TEST(PrintableText, C1ControlsAreShownOtherUtf8Stays) {
  // CSI and OSC in UTF-8, and as single bytes.
  EXPECT_EQ(PrintableText("a\xc2\x9b"
                          "2Jb\xc2\x9d",
                          true),
            "a\\xc2\\x9b2Jb\\xc2\\x9d");
  EXPECT_EQ(PrintableText("\x9b"
                          "2J\x85",
                          false),
            "\\x9b2J\\x85");
  // U+0100 is C4 80: its 0x80 belongs to the character. U+00A0 is the first
  // character after the C1 range.
  EXPECT_EQ(PrintableText("\xc4\x80\xc2\xa0\xe2\x82\xac\xf0\x9f\x98\x80", false),
            "\xc4\x80\xc2\xa0\xe2\x82\xac\xf0\x9f\x98\x80");
  // Overlong, surrogate and cut sequences are single bytes.
  EXPECT_EQ(PrintableText("\xc0\x9b\xed\xa0\x80\xe2\x82", false),
            "\xc0\\x9b\xed\xa0\\x80\xe2\\x82");
}

// ---------------------------------------------------------------------------
// A model of the rule, written another way: well-formed UTF-8 taken from the
// table of well-formed byte sequences, and each byte judged by whether some
// well-formed sequence around it holds it.

struct Range {
  unsigned char low;
  unsigned char high;
};

/// The well-formed multi-byte sequences: each a lead range and the ranges
/// of the bytes after it.
const std::vector<std::vector<Range>> kWellFormed = {
    {{0xC2, 0xDF}, {0x80, 0xBF}},
    {{0xE0, 0xE0}, {0xA0, 0xBF}, {0x80, 0xBF}},
    {{0xE1, 0xEC}, {0x80, 0xBF}, {0x80, 0xBF}},
    {{0xED, 0xED}, {0x80, 0x9F}, {0x80, 0xBF}},
    {{0xEE, 0xEF}, {0x80, 0xBF}, {0x80, 0xBF}},
    {{0xF0, 0xF0}, {0x90, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}},
    {{0xF1, 0xF3}, {0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}},
    {{0xF4, 0xF4}, {0x80, 0x8F}, {0x80, 0xBF}, {0x80, 0xBF}},
};

bool WellFormedAt(const std::string& text, std::size_t at, std::size_t length) {
  for (const std::vector<Range>& form : kWellFormed) {
    if (form.size() != length || at + length > text.size()) continue;
    bool fits = true;
    for (std::size_t i = 0; i < length; ++i) {
      const auto byte = static_cast<unsigned char>(text[at + i]);
      fits = fits && byte >= form[i].low && byte <= form[i].high;
    }
    if (fits) return true;
  }
  return false;
}

std::string Hex(unsigned char byte) {
  static const char digits[] = "0123456789abcdef";
  return std::string("\\x") + digits[byte >> 4] + digits[byte & 0xF];
}

std::string Model(const std::string& text, bool keep_lines) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // The start of the well-formed sequence that holds byte i, if any.
    std::size_t start = text.size();
    for (std::size_t length = 2; length <= 4; ++length) {
      for (std::size_t back = 0; back < length && back <= i; ++back) {
        if (WellFormedAt(text, i - back, length)) start = i - back;
      }
    }
    bool shown;
    if (start != text.size()) {
      // The only well-formed sequences of U+0080 to U+009F are C2 80..C2 9F.
      const auto lead = static_cast<unsigned char>(text[start]);
      const auto second = static_cast<unsigned char>(text[start + 1]);
      shown = lead == 0xC2 && second <= 0x9F;
    } else if (byte < 0x20 || byte == 0x7F) {
      const bool line_end = byte == '\n' || byte == '\t' ||
                            (byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
      shown = !(keep_lines && line_end);
    } else {
      shown = byte >= 0x80 && byte <= 0x9F;
    }
    out += shown ? Hex(byte) : std::string(1, text[i]);
  }
  return out;
}

TEST(PrintableText, EveryByteAndEveryPairAsTheModelSays) {
  for (const bool keep_lines : {false, true}) {
    for (int first = 0; first < 256; ++first) {
      const std::string one(1, static_cast<char>(first));
      ASSERT_EQ(PrintableText(one, keep_lines), Model(one, keep_lines)) << first;
      for (int second = 0; second < 256; ++second) {
        const std::string two = one + static_cast<char>(second);
        ASSERT_EQ(PrintableText(two, keep_lines), Model(two, keep_lines))
            << first << " " << second << " keep_lines " << keep_lines;
      }
    }
  }
}

TEST(PrintableText, RandomBytesAsTheModelSays) {
  std::mt19937 random(20261209);
  // Bytes weighted towards those that make or break sequences.
  const std::string interesting = std::string(
                                      "\x80\x8f\x90\x9b\x9f\xa0\xbf\xc0\xc1\xc2\xc3\xdf"
                                      "\xe0\xe1\xed\xee\xf0\xf1\xf4\xf5\xff\r\n\t\x1b\x7f"
                                      "a ",
                                      28) +
                                  std::string(1, '\0');
  for (int round = 0; round < 20000; ++round) {
    std::string text(std::uniform_int_distribution<std::size_t>(0, 12)(random), '\0');
    for (char& c : text) {
      c = random() % 2 == 0 ? interesting[random() % interesting.size()]
                            : static_cast<char>(random() % 256);
    }
    const bool keep_lines = random() % 2 == 0;
    ASSERT_EQ(PrintableText(text, keep_lines), Model(text, keep_lines))
        << ::testing::PrintToString(text) << " keep_lines " << keep_lines;
  }
}

}  // namespace
