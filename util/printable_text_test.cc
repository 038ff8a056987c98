#include "util/printable_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PrintableText, PlainTextAndLineEndsPrintAsTheyStand) {
  const std::string plain = "(c) 2024 Firm, Inc.\r\nAll rights reserved.\n\tcaf\xc3\xa9 %n%s";
  EXPECT_EQ(PrintableText(plain, true), plain);
  EXPECT_EQ(PrintableText("\x1b[2J\x1b[8m", true), "\\x1b[2J\\x1b[8m");
  EXPECT_EQ(PrintableText("over\rwrite\r", true), "over\\x0dwrite\\x0d");
  EXPECT_EQ(PrintableText("a\tb\r\n", false), "a\\x09b\\x0d\\x0a");
  EXPECT_EQ(PrintableText(std::string("a\0b", 3), true), "a\\x00b");
}

}  // namespace
