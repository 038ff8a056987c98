#include "qxfwimage/info.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "qxfwimage/pack.h"
#include "testing/scratch_dir.h"
#include "util/printable_text.h"

namespace {

class InfoTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& contents) {
    return dir_.Write(name, contents);
  }
  /// A valid firmware file of `payload` made by pack.
  std::string Packed(const std::string& name, const std::string& payload,
                     const std::string& copyright) {
    const std::string path = dir_.path() + "/" + name;
    EXPECT_EQ(PackFirmwareFile("CODE0001", copyright, Write("payload", payload), path).message, "");
    return path;
  }
  testing_support::TempDir dir_;
};

TEST_F(InfoTest, TextReportOfAValidFile) {
  const std::string path = Packed("fw.L1A", "abcd", "(c) line one\nline two");
  const ImageReport report = InspectImageFile(path, ImageFormat::kAdapterFirmware, "1A");
  EXPECT_EQ(FormatReportText(report), "file:         " + path + "\n" +
                                          "format:       adapter firmware file\n"
                                          "size:         276 bytes\n"
                                          "CodeID:       CODE0001\n"
                                          "DataLength:   4 (0x00004)\n"
                                          "header LRC:   0x0f0e0d0b\n"
                                          "computed LRC: 0x0f0e0d0b\n"
                                          "LL from name: 1A\n"
                                          "copyright:\n---\n(c) line one\nline two\n---\n"
                                          "result:       valid\n"
                                          "signature:    missing, not required: no signature "
                                          "file fw.L1A.p7s beside the image\n");
}

TEST_F(InfoTest, JsonReportOfAFileWithAWrongLength) {
  std::string file = std::string(252, '\0') + std::string("\0\0\0\x05\xaa\xaa\xaa\xaa", 8) +
                     "ID\"\\\x01\xe9" + std::string(6, '\0') + "data";
  std::memcpy(file.data(), "\xa9 me", 4);
  const std::string path = Write("odd", file);
  const ImageReport report = InspectImageFile(path, ImageFormat::kAdapterFirmware, nullptr);
  EXPECT_EQ(FormatReportJson(report),
            "{\"file\":\"" + path +
                "\",\"format\":\"adapter\",\"size\":276,\"ll\":null,"
                "\"code_id\":\"ID\\\"\\\\\\u0001\\u00e9\",\"data_length\":5,"
                "\"header_lrc\":2863311530,\"computed_lrc\":203361294,"
                "\"copyright\":\"\\u00a9 me\",\"valid\":false,"
                "\"error\":\"length in header does not match length of data\","
                "\"signature\":{\"required\":false,\"state\":\"missing\",\"signer\":null,"
                "\"anchor\":null,\"reason\":\"no signature file odd.p7s beside the image\"}}\n");
}

TEST_F(InfoTest, UnreadableFileReportsOnlyWhatIsKnown) {
  const std::string path = dir_.path() + "/missing.L2B";
  const ImageReport report = InspectImageFile(path, ImageFormat::kAdapterFirmware, "2B");
  EXPECT_EQ(FormatReportText(report), "file:         " + path + "\n" +
                                          "format:       adapter firmware file\n"
                                          "LL from name: 2B\n"
                                          "result:       invalid: can't open firmware file: " +
                                          path + "\n");
  EXPECT_EQ(FormatReportJson(report),
            "{\"file\":\"" + path +
                "\",\"format\":\"adapter\",\"size\":null,\"ll\":\"2B\",\"code_id\":null,"
                "\"data_length\":null,\"header_lrc\":null,\"computed_lrc\":null,"
                "\"copyright\":null,\"valid\":false,\"error\":\"can't open firmware file: " +
                path + "\",\"signature\":null}\n");
}

TEST_F(InfoTest, AifImageReportsItsLengthAndLrc) {
  std::string aif(128, '\0');
  for (std::size_t offset : {0, 4, 8}) std::memcpy(aif.data() + offset, "\x00\x00\xa0\xe1", 4);
  std::memcpy(aif.data() + 16, "\xfe\xff\xff\xea", 4);
  const ImageReport report = InspectImageFile(Write("image.aif", aif), ImageFormat::kAif, nullptr);
  const std::string text = FormatReportText(report);
  EXPECT_NE(text.find("format:       AIF image\n"), std::string::npos) << text;
  EXPECT_NE(text.find("CodeID:       ????????\nlength:       128 (0x00080)\n"), std::string::npos);
  // 0xAAAAAAAA + 3 * 0xE1A00000 + 0xEAFFFFFE, modulo 2^32
  EXPECT_NE(text.find("computed LRC: 0x3a8aaaa8\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("DataLength"), std::string::npos);
  EXPECT_NE(text.find("result:       valid\n"), std::string::npos);
}

TEST(PrintableTextTest, ControlCharactersAreShownNotSent) {
  EXPECT_EQ(PrintableText("a\x1b[2Jb\tc\nd\x7f", false), "a\\x1b[2Jb\\x09c\\x0ad\\x7f");
  EXPECT_EQ(PrintableText("a\x1b\tc\nd", true), "a\\x1b\tc\nd");
  EXPECT_EQ(PrintableText("caf\xc3\xa9", false), "caf\xc3\xa9");
}

/// The bytes a JSON text value stands for, one per character (U+0000 to
/// U+00FF); nullopt for a character past U+00FF.
std::optional<std::string> BytesOf(const std::string& utf8) {
  std::string bytes;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      bytes.push_back(static_cast<char>(lead));
    } else if ((lead & 0xFE) == 0xC2 && i + 1 < utf8.size()) {
      bytes.push_back(static_cast<char>((lead & 0x03) << 6 | (utf8[++i] & 0x3F)));
    } else {
      return std::nullopt;
    }
  }
  return bytes;
}

// Any bytes of a path (or of a file's texts) give JSON that parses, is plain
// ASCII, and from which the bytes can be read back.
TEST(JsonReportTest, AnyBytesGiveValidJsonThatKeepsThem) {
  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte.push_back(static_cast<char>(b));
  std::vector<std::string> paths = {"", "a\"b\\c", std::string("\n\0\x1f\x7f\x80\xff", 6),
                                    every_byte, "caf\xc3\xa9"};
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    std::string path(random() % 40, '\0');
    for (char& c : path) c = static_cast<char>(random());
    paths.push_back(path);
  }
  for (const std::string& path : paths) {
    ImageReport report;
    report.path = path;
    const std::string text = FormatReportJson(report);
    for (const char c : text) {
      ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << "not plain ASCII: " << text;
    }
    const nlohmann::json json = nlohmann::json::parse(text);
    EXPECT_EQ(BytesOf(json["file"].get<std::string>()), path);
  }
  // What came before nlohmann wrote it: a byte above 0x7F as \u00XX.
  ImageReport report;
  report.path = "\x80\xff";
  EXPECT_EQ(FormatReportJson(report).rfind("{\"file\":\"\\u0080\\u00ff\",", 0), 0u);
}

}  // namespace
