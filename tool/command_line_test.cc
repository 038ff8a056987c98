#include "tool/command_line.h"

#include <gtest/gtest.h>

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
  } accepted[] = {{"0x1F", 31}, {"0X1f", 31},       {"017", 17},   {"12abc", 12},
                  {"0", 0},     {"4294967306", 10}, {"0x 1f", 31}, {"2147483647", 2147483647}};
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
                  {"0X-", "bad node argument"}};
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

}  // namespace
