#include "qxfwimage/command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

ImageToolCommand Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "qxfwimage");
  return ParseImageToolCommand(static_cast<int>(args.size()), args.data());
}

TEST(ImageToolCommandTest, PackTakesItsOptionsInAnyOrder) {
  const ImageToolCommand command =
      Parse({"pack", "payload.bin", "--copyright", "(c) us", "--code-id", "ID000001", "out.L1A"});
  ASSERT_EQ(command.kind, ImageToolCommand::kPack) << command.error;
  EXPECT_EQ(command.code_id, "ID000001");
  EXPECT_EQ(command.copyright, "(c) us");
  EXPECT_EQ(command.payload, "payload.bin");
  EXPECT_EQ(command.output, "out.L1A");
}

TEST(ImageToolCommandTest, InfoFlagsAndDoubleDash) {
  const ImageToolCommand command = Parse({"info", "--json", "-m", "--", "-odd.L1A"});
  ASSERT_EQ(command.kind, ImageToolCommand::kInfo) << command.error;
  EXPECT_TRUE(command.json);
  EXPECT_TRUE(command.aif);
  EXPECT_EQ(command.file, "-odd.L1A");
  const ImageToolCommand plain = Parse({"info", "fw.L1A"});
  EXPECT_FALSE(plain.json);
  EXPECT_FALSE(plain.aif);
}

TEST(ImageToolCommandTest, HelpWinsAnywhereBeforeDoubleDash) {
  EXPECT_EQ(Parse({"--help"}).kind, ImageToolCommand::kHelp);
  EXPECT_EQ(Parse({"pack", "-h"}).kind, ImageToolCommand::kHelp);
  EXPECT_EQ(Parse({"info", "--", "--help"}).kind, ImageToolCommand::kInfo);
}

TEST(ImageToolCommandTest, UsageErrorsSayWhatIsWrong) {
  const std::string copyright_251(251, 'c');
  const std::string copyright_252(252, 'c');
  struct Case {
    std::vector<const char*> args;
    std::string error;
  };
  const Case cases[] = {
      {{}, "no command given"},
      {{"list"}, "unknown command: list"},
      {{"pack", "in", "out"}, "pack needs --code-id"},
      {{"pack", "--code-id", "", "in", "out"}, "--code-id takes 1 to 8 characters"},
      {{"pack", "--code-id", "123456789", "in", "out"}, "--code-id takes 1 to 8 characters"},
      {{"pack", "--code-id", "ID", "--copyright", copyright_252.c_str(), "in", "out"},
       "--copyright takes at most 251 characters"},
      {{"pack", "--code-id", "ID", "in"}, "pack takes a PAYLOAD and an OUTPUT file"},
      {{"pack", "--code-id", "ID", "a", "b", "c"}, "pack takes a PAYLOAD and an OUTPUT file"},
      {{"pack", "--code-id"}, "--code-id needs a value"},
      {{"pack", "-m", "--code-id", "ID", "a", "b"}, "unknown option for pack: -m"},
      {{"info"}, "info takes one FILE"},
      {{"info", "a", "b"}, "info takes one FILE"},
      {{"info", "--code-id", "X", "a"}, "unknown option for info: --code-id"},
  };
  for (const Case& c : cases) {
    const ImageToolCommand command = Parse(c.args);
    EXPECT_EQ(command.kind, ImageToolCommand::kUsageError) << c.error;
    EXPECT_EQ(command.error, c.error);
  }
  EXPECT_EQ(Parse({"pack", "--code-id", "ID", "--copyright", copyright_251.c_str(), "a", "b"}).kind,
            ImageToolCommand::kPack);
}

}  // namespace
