#include "tool/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "image/firmware_name.h"

namespace {

/// An argument vector that owns its strings.
struct Argv {
  explicit Argv(std::vector<std::string> args) : strings(std::move(args)) {
    strings.insert(strings.begin(), "qxfwload");
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(strings.size()); }
  char** argv() { return pointers.data(); }
  std::vector<std::string> strings;
  std::vector<char*> pointers;
};

struct Parsed {
  CommandLineOutcome options;
  CommandLineOutcome firmware;
  Settings settings;
};

Parsed Parse(std::vector<std::string> args) {
  Argv a(std::move(args));
  Parsed p;
  int index = 1;
  p.options = ParseOptions(a.argc(), a.argv(), &index, &p.settings);
  if (p.options.ok()) p.firmware = TakeFirmwareArgument(a.argc(), a.argv(), index, &p.settings);
  // FirmwarePath points into `a`; keep only what outlives it.
  p.settings.FirmwarePath = nullptr;
  return p;
}

TEST(CommandLine, NodeNumbers) {
  const struct {
    const char* text;
    std::uint32_t node;
  } accepted[] = {{"0x1F", 31},  {"0X1f", 31},
                  {"017", 17},   {"12abc", 12},
                  {"0", 0},      {"00000000000000000011", 11},
                  {"0x 1f", 31}, {"2147483647", 2147483647}};
  for (const auto& c : accepted) {
    const Parsed p = Parse({"-a", c.text, "fw.L12"});
    ASSERT_TRUE(p.options.ok()) << c.text << ": " << p.options.message;
    EXPECT_EQ(p.settings.SelectedNode, c.node) << c.text;
  }
  const struct {
    const char* text;
    const char* message;
  } rejected[] = {{"0x80000000", "node should not be negative"},
                  {"0x-5", "node should not be negative"},
                  {"2147483648", "node should not be negative"},
                  {"-5", "bad node argument"},
                  {"-q", "bad node argument"},
                  {" 5", "bad node argument"},
                  {"0x", "bad node argument"},
                  {"0xg", "bad node argument"},
                  {"0X-", "bad node argument"},
                  // Values past 32 bits used to wrap onto a real node (11).
                  {"4294967307", "bad node argument"},
                  {"4294967296x", "bad node argument"},
                  {"0x10000000b", "bad node argument"},
                  {"0x-80000001", "bad node argument"},
                  {"0x-FFFFFFFF", "bad node argument"},
                  {"99999999999999999999999", "bad node argument"},
                  {"4294967295", "node should not be negative"},
                  {"0x00000000FFFFFFFF", "node should not be negative"},
                  {"0x-80000000", "node should not be negative"}};
  for (const auto& c : rejected) {
    const Parsed p = Parse({"-a", c.text, "fw.L12"});
    EXPECT_EQ(p.options.failure, CommandLineFailure::kError) << c.text;
    EXPECT_EQ(p.options.message, c.message) << c.text;
  }
  EXPECT_EQ(ParseNumberText(nullptr, "node").outcome.message, "missing node argument");
}

TEST(CommandLine, OptionLetters) {
  const Parsed all = Parse({"-quiet", "-F", "-m", "-P", "-N", "7", "-abc", "5", "x.L12"});
  ASSERT_TRUE(all.options.ok());
  EXPECT_EQ(all.settings.Verbose, 0);
  EXPECT_EQ(all.settings.Force, 1);
  EXPECT_EQ(all.settings.AifImage, 1);
  EXPECT_EQ(all.settings.Pause, 1);
  EXPECT_EQ(all.settings.SelectedNode, 5u);  // a later -a replaces the node
  const Parsed defaults = Parse({"fw.L12"});
  EXPECT_EQ(defaults.settings.SelectedNode, kAllAdapters);
  EXPECT_EQ(defaults.settings.Verbose, 1);
  for (std::vector<std::string> args : {std::vector<std::string>{"-x", "fw.L12"},
                                        {"-", "fw.L12"},
                                        {"-a"},
                                        {"fw.L12", "-q"},
                                        {"-f", "fw.bin", "extra"},
                                        {},
                                        {"-q"}}) {
    const Parsed p = Parse(args);
    const CommandLineOutcome& failed = p.options.ok() ? p.firmware : p.options;
    EXPECT_EQ(failed.failure, CommandLineFailure::kUsage) << ::testing::PrintToString(args);
  }
}

TEST(CommandLine, FirmwareNameRule) {
  for (const char* name : {"fw.L12", "fw.l0a", "path.d/fw.LAF", "a.b.L1f"}) {
    const char* ll = FindFirmwareLL(name);
    ASSERT_NE(ll, nullptr) << name;
    EXPECT_EQ(std::string(ll), std::string(name).substr(std::string(name).size() - 2));
  }
  for (const char* name :
       {"fw.L1", "fw.L123", "fw.LG1", "fw.L12.bak", "fw", "dir.L12/fw", "fw.X12", "fw.L1 "}) {
    EXPECT_EQ(FindFirmwareLL(name), nullptr) << name;
  }
  const Parsed bad = Parse({"fw.bin", "extra"});
  EXPECT_EQ(bad.firmware.failure, CommandLineFailure::kError);
  EXPECT_EQ(bad.firmware.message, "firmware must be named name.Lxx where xx is the LL field");
  const Parsed forced = Parse({"-f", "fw.bin"});
  EXPECT_TRUE(forced.firmware.ok());
  EXPECT_EQ(forced.settings.FirmwareLL, nullptr);
}

// ---------------------------------------------------------------------------
// Number texts against a model that works on the digits as text: leading
// zeros dropped, a value fits when it has fewer digits than the bound, or as
// many and is no greater.

struct ModelNumber {
  bool bad = false;
  bool negative_result = false;
  std::uint32_t bits = 0;
};

bool Fits(std::string digits, const std::string& bound) {
  digits.erase(0, digits.find_first_not_of('0'));
  return digits.size() < bound.size() || (digits.size() == bound.size() && digits <= bound);
}

std::uint32_t ValueOf(const std::string& digits, int base) {
  return static_cast<std::uint32_t>(std::stoull(digits, nullptr, base));
}

ModelNumber Model(const std::string& text) {
  const std::string hex_digits = "0123456789abcdefABCDEF";
  ModelNumber m;
  if (text.empty() || text[0] < '0' || text[0] > '9') return {true};
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    std::size_t at = text.find_first_not_of(" \t\n\v\f\r", 2);
    if (at == std::string::npos) return {true};
    const bool negative = text[at] == '-';
    if (text[at] == '-' || text[at] == '+') ++at;
    if (text.compare(at, 2, "0x") == 0 || text.compare(at, 2, "0X") == 0) {
      if (at + 2 < text.size() && hex_digits.find(text[at + 2]) != std::string::npos) at += 2;
    }
    const std::size_t end = std::min(text.find_first_not_of(hex_digits, at), text.size());
    std::string digits = text.substr(at, end - at);
    if (digits.empty()) return {true};
    for (char& c : digits) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!Fits(digits, negative ? "80000000" : "ffffffff")) return {true};
    m.bits = negative ? 0u - ValueOf(digits, 16) : ValueOf(digits, 16);
  } else {
    const std::size_t end = std::min(text.find_first_not_of("0123456789"), text.size());
    const std::string digits = text.substr(0, end);
    if (!Fits(digits, "4294967295")) return {true};
    m.bits = ValueOf(digits, 10);
  }
  m.negative_result = m.bits >= 0x80000000u;
  return m;
}

TEST(CommandLine, GeneratedNumberTextsAsTheModelSays) {
  std::mt19937 random(20261209);
  const std::string pieces[] = {"0",          "1",  "9",  "4294967295", "4294967296",
                                "2147483648", "f",  "F",  "ffffffff",   "100000000",
                                "80000000",   "0x", "0X", "-",          "+",
                                " ",          "g",  "x",  "000000"};
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int count = std::uniform_int_distribution<int>(1, 5)(random);
    for (int i = 0; i < count; ++i) text += pieces[random() % (sizeof pieces / sizeof pieces[0])];
    const ModelNumber expected = Model(text);
    const NumberParse parse = ParseNumberText(text.c_str(), "node");
    const NumberParse non_negative = ParseNonNegativeText(text.c_str(), "node");
    if (expected.bad) {
      ASSERT_EQ(parse.outcome.message, "bad node argument") << text;
      ASSERT_EQ(non_negative.outcome.message, "bad node argument") << text;
      continue;
    }
    ASSERT_TRUE(parse.outcome.ok()) << text << ": " << parse.outcome.message;
    ASSERT_EQ(static_cast<std::uint32_t>(parse.value), expected.bits) << text;
    if (expected.negative_result) {
      ASSERT_EQ(non_negative.outcome.message, "node should not be negative") << text;
    } else {
      ASSERT_TRUE(non_negative.outcome.ok()) << text;
    }
  }
}

}  // namespace
