#include "services/print_format.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

PrintWords Words(std::initializer_list<std::uint32_t> words) {
  PrintWords w;
  std::size_t i = 0;
  for (std::uint32_t v : words) w.word[i++] = v;
  return w;
}

struct FormatCase {
  const char* format;
  PrintWords words;
  const char* expected;
};

TEST(PrintFormat, IntegerConversionsReadThirtyTwoBitWords) {
  PrintWords text;
  text.pointer[0] = "ABCD1234";
  text.word[1] = 128000;
  text.word[2] = 128000;
  text.word[3] = 0x0F0E0D0B;
  PrintWords ll;
  ll.pointer[0] = "1A";
  ll.word[1] = 12;
  const FormatCase cases[] = {
      {"%d", Words({0xFFFFFFE2}), "-30"},
      {"%lu", Words({0xFFFFFFFF}), "4294967295"},
      {"0x%05lx", Words({0x1f400}), "0x1f400"},
      {"0x%05lx", Words({0x12}), "0x00012"},
      {"0x%08lx", Words({0xAAAAAAAB}), "0xaaaaaaab"},
      {"%d successful download%s performed\n", Words({2}),
       "2 successful download(null) performed\n"},
      {"100%% done", Words({}), "100% done"},
      {"Loaded firmware file, CodeID=%8s, length=%lu (0x%05lx), LRC=0x%08lx\n", text,
       "Loaded firmware file, CodeID=ABCD1234, length=128000 (0x1f400), LRC=0x0f0e0d0b\n"},
      {"Skipping adapter with LL=%2s, node=%lu\n", ll, "Skipping adapter with LL=1A, node=12\n"},
  };
  for (const FormatCase& c : cases)
    EXPECT_EQ(FormatWords(c.format, c.words), c.expected) << c.format;
}

TEST(PrintFormat, TextsArePaddedAndNeverReadAsFormats) {
  PrintWords w;
  w.pointer[0] = "%n%s%d";
  w.pointer[1] = "ab";
  EXPECT_EQ(FormatWords("[%s] [%8s]", w), "[%n%s%d] [      ab]");
}

TEST(PrintFormat, OddFormatsAreSafe) {
  PrintWords w = Words({1, 2, 3, 4});
  // Past the fourth word: zero, and a null text prints as "(null)".
  EXPECT_EQ(FormatWords("%d %d %d %d %d %s", w), "1 2 3 4 0 (null)");
  EXPECT_EQ(FormatWords("tail %", w), "tail %");
  EXPECT_EQ(FormatWords("%y", w), "%y");
  EXPECT_EQ(FormatWords("%n|%d", w), "|2");
  // Widths can't grow without bound.
  EXPECT_EQ(FormatWords("%99999999d", w).size(), 4096u);
  PrintWords star = Words({0x7FFFFFFF, 5});
  EXPECT_EQ(FormatWords("%*d", star).size(), 4096u);
}

TEST(PrintFormat, DoubleTakesTwoWords) {
  double value = 2.5;
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  PrintWords w =
      Words({static_cast<std::uint32_t>(bits), static_cast<std::uint32_t>(bits >> 32), 9});
  EXPECT_EQ(FormatWords("%.1f %d", w), "2.5 9");
}

}  // namespace
