// Loading and validating firmware images as an operator meets it: the built
// qxfwload and qxfwimage, what they print and their exit statuses. The runs
// use an empty simulated machine, so that a valid image goes on to a scan
// that finds no adapter; only the image phase's own output is checked.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "testing/bytes.h"
#include "testing/run_process.h"
#include "testing/scenario.h"
#include "testing/scratch_dir.h"

namespace {

using testing_support::BuiltProgram;
using testing_support::HexWord;
using testing_support::kBanner;
using testing_support::ProcessOptions;
using testing_support::ProcessResult;
using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::TempDir;
using testing_support::WithAifHeader;

const std::string kPrompt = "Ready to load firmware, press Enter when ready ... ";

ProcessResult RunLoader(const std::vector<std::string>& args, const std::string& input = {}) {
  ProcessOptions options;
  options.unset = {"QXFW_MACHINE", "QXFW_TRACE"};
  options.input = input;
  return RunProcess(BuiltProgram("qxfwload"), args, options);
}

ProcessResult RunImageTool(const std::vector<std::string>& args) {
  return RunProcess(BuiltProgram("qxfwimage"), args);
}

std::string Loading(const std::string& path) { return "Loading firmware file: " + path + "\n"; }

std::string BigEndian(std::uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
          static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::uint32_t Lrc(const std::string& data) {
  std::uint32_t sum = 0xAAAAAAAAu;
  for (std::size_t i = 0; i + 4 <= data.size(); i += 4) {
    std::uint32_t word = 0;
    for (int b = 3; b >= 0; --b) word = (word << 8) | static_cast<unsigned char>(data[i + b]);
    sum += word;
  }
  return sum;
}

/// An adapter firmware file, byte by byte.
std::string FirmwareFile(const std::string& data, const std::string& copyright,
                         const std::string& code_id, std::uint32_t length, std::uint32_t lrc) {
  std::string header = copyright;
  header.resize(252, '\0');
  header += BigEndian(length) + BigEndian(lrc) + code_id;
  header.resize(272, '\0');
  return header + data;
}

std::string ValidFile(const std::string& data, const std::string& copyright = "(c) tests",
                      const std::string& code_id = "ABCD1234") {
  return FirmwareFile(data, copyright, code_id, static_cast<std::uint32_t>(data.size()), Lrc(data));
}

std::string AifImage(std::size_t size) { return WithAifHeader(std::string(size, '\x5a')); }

std::string Payload(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + 3) & 0xFF);
  return data;
}

std::string Summary(const std::string& code_id, std::uint32_t length, std::uint32_t lrc) {
  char line[160];
  std::snprintf(line, sizeof line,
                "Loaded firmware file, CodeID=%8s, length=%lu (0x%05lx), LRC=0x%08lx\n",
                code_id.c_str(), static_cast<unsigned long>(length),
                static_cast<unsigned long>(length), static_cast<unsigned long>(lrc));
  return line;
}

std::string Copyright(const std::string& text) {
  return "Copyright message :-\n---\n" + text + "\n---\n";
}

void ExpectAccepted(const ProcessResult& r, const std::string& out_begins) {
  EXPECT_EQ(r.out.substr(0, out_begins.size()), out_begins);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

struct Refusal {
  const char* name;
  std::vector<std::string> args;
  std::string out;
  std::string err;
};

TEST(ImageLoadRun, EveryRefusalPrintsItsLineAndWhatCameBefore) {
  TempDir dir;
  const std::string missing = dir.path() + "/missing.L1A";
  const std::string folder = dir.path() + "/folder.L1A";
  std::filesystem::create_directory(folder);
  const std::string four_gib = dir.WriteSparse("four.L1A", "", std::uint64_t{1} << 32);
  // 4 GiB + 272 bytes whose length word is 0: in 32 bits the sizes would agree.
  const std::string wraps =
      dir.WriteSparse("wraps.L1A", FirmwareFile("", "", "WRAP0000", 0, 0xAAAAAAAAu),
                      (std::uint64_t{1} << 32) + 272);
  const std::string short_aif = dir.Write("short.L1A", AifImage(127));
  const std::string adapter = dir.Write("adapter.L1A", ValidFile(Payload(64)));
  std::string big_endian_aif = AifImage(128);
  big_endian_aif.replace(0, 4, "\xe1\xa0\x00\x00", 4);
  const std::string not_aif = dir.Write("bigend.L1A", big_endian_aif);
  const std::string empty = dir.Write("empty.L1A", "");
  const std::string data = Payload(100);
  const std::string long_file =
      dir.Write("long.L1A", FirmwareFile(data, "(c) L", "LEN00001", 99, Lrc(data)));
  const std::string bad_lrc =
      dir.Write("lrc.L1A", FirmwareFile(data, "(c) R", "LRC00001", 100, 0x12345678u));
  const std::string percent = dir.path() + "/fw%s%n%08lx.L1A";

  const Refusal cases[] = {
      {"open",
       {missing},
       kBanner + Loading(missing),
       "qxfwload: can't open firmware file: " + missing + "\n"},
      {"directory",
       {folder},
       kBanner + Loading(folder),
       "qxfwload: can't open firmware file: " + folder + "\n"},
      {"percent path",
       {percent},
       kBanner + Loading(percent),
       "qxfwload: can't open firmware file: " + percent + "\n"},
      {"4 GiB",
       {four_gib},
       kBanner + Loading(four_gib),
       "qxfwload: firmware file is too large: " + four_gib + "\n"},
      {"4 GiB + 272",
       {wraps},
       kBanner + Loading(wraps),
       "qxfwload: firmware file is too large: " + wraps + "\n"},
      {"AIF size",
       {"-m", short_aif},
       kBanner + Loading(short_aif),
       "qxfwload: file is too short to be an AIF file: " + short_aif + "\n"},
      {"adapter file as AIF",
       {"-m", adapter},
       kBanner + Loading(adapter),
       "qxfwload: file does not look like an AIF to me: " + adapter + "\n"},
      {"big-endian AIF",
       {"-m", not_aif},
       kBanner + Loading(not_aif),
       "qxfwload: file does not look like an AIF to me: " + not_aif + "\n"},
      {"header size",
       {empty},
       kBanner + Loading(empty),
       "qxfwload: file is too small to be an adapter firmware file: " + empty + "\n"},
      {"empty as AIF",
       {"-m", empty},
       kBanner + Loading(empty),
       "qxfwload: file is too short to be an AIF file: " + empty + "\n"},
      {"length",
       {long_file},
       kBanner + Loading(long_file) + Summary("LEN00001", 99, Lrc(data)) + Copyright("(c) L"),
       "qxfwload: length in header does not match length of data\n"},
      {"LRC",
       {bad_lrc},
       kBanner + Loading(bad_lrc) + Summary("LRC00001", 100, 0x12345678u) + Copyright("(c) R"),
       "qxfwload: LRC in file header is 0x12345678, but LRC of firmware is 0x" +
           HexWord(Lrc(data)) + "\n"},
      {"quiet LRC",
       {"-q", bad_lrc},
       "",
       "qxfwload: LRC in file header is 0x12345678, but LRC of firmware is 0x" +
           HexWord(Lrc(data)) + "\n"},
  };
  for (const Refusal& c : cases) {
    const ProcessResult r = RunLoader(c.args);
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(r.status, 1) << c.name;
  }
}

TEST(ImageLoadRun, ValidAdapterFilesAreSummarisedAndAccepted) {
  TempDir dir;
  const std::string data = Payload(128000);
  const std::string path = dir.Write("fw.L1A", ValidFile(data));
  ExpectAccepted(
      RunLoader({path}),
      kBanner + Loading(path) + Summary("ABCD1234", 128000, Lrc(data)) + Copyright("(c) tests"));

  const std::string empty = dir.Write("empty.L2B", ValidFile("", "", "EMPTY"));
  ExpectAccepted(RunLoader({empty}),
                 kBanner + Loading(empty) + Summary("EMPTY", 0, 0xAAAAAAAAu) + Copyright(""));
}

TEST(ImageLoadRun, LengthsShortOfWholeWordsAreValid) {
  TempDir dir;
  for (std::size_t tail = 1; tail <= 3; ++tail) {
    const std::string data = Payload(40 + tail);
    std::string file = ValidFile(data);
    file.back() = static_cast<char>(file.back() ^ 0x55);  // outside the LRC
    const std::string path = dir.Write("tail.L1A", file);
    const ProcessResult r = RunLoader({path});
    ExpectAccepted(r, kBanner + Loading(path) +
                          Summary("ABCD1234", static_cast<std::uint32_t>(40 + tail), Lrc(data)));
  }
}

TEST(ImageLoadRun, HeaderTextsPrintWithinTheirFields) {
  TempDir dir;
  const std::string full(252, 'C');  // no NUL: exactly these 252 bytes print
  const std::string path =
      dir.Write("full.L1A", ValidFile("abcd", full, std::string("AB\0Z0000", 8)));
  ExpectAccepted(RunLoader({path}),
                 kBanner + Loading(path) + Summary("AB", 4, 0x0F0E0D0Bu) + Copyright(full));
  const std::string formats = dir.Write("formats.L1A", ValidFile("", "%s%n%x", "%n%s%d%x"));
  ExpectAccepted(RunLoader({formats}), kBanner + Loading(formats) +
                                           "Loaded firmware file, CodeID=%n%s%d%x, length=0 "
                                           "(0x00000), LRC=0xaaaaaaaa\n" +
                                           Copyright("%s%n%x"));
}

TEST(ImageLoadRun, AifImagesPrintNoSummary) {
  TempDir dir;
  const std::string path = dir.Write("image.L1A", AifImage(128));
  const ProcessResult r = RunLoader({"-m", path});
  ExpectAccepted(r, kBanner + Loading(path));
  EXPECT_EQ(r.out.find("Loaded firmware file"), std::string::npos);
  EXPECT_EQ(r.out.find("Copyright message"), std::string::npos);
}

TEST(ImageLoadRun, QuietAndPause) {
  TempDir dir;
  const std::string path = dir.Write("fw.L1A", ValidFile(Payload(64)));
  const ProcessResult quiet = RunLoader({"-q", path});
  ExpectAccepted(quiet, "");
  EXPECT_EQ(quiet.out.find("firmware file"), std::string::npos);

  const ProcessResult quiet_pause = RunLoader({"-q", "-p", path}, "\n");
  ExpectAccepted(quiet_pause, kPrompt);
  EXPECT_EQ(quiet_pause.out.find("Loading"), std::string::npos);

  // Standard input at end of file at once: loading goes on.
  ExpectAccepted(RunLoader({"-p", path}), kBanner + kPrompt + Loading(path));
  // A line of any length is one line; what follows it is not read.
  ExpectAccepted(RunLoader({"-p", path}, std::string(100000, 'x') + "\nmore\n"),
                 kBanner + kPrompt + Loading(path));
}

TEST(ImageToolRun, PackThenInfoThenDownloaderAcceptTheSameFile) {
  TempDir dir;
  const std::string data = Payload(1001);
  const std::string payload = dir.Write("payload.bin", data);
  const std::string image = dir.path() + "/built.L3C";
  const ProcessResult pack =
      RunImageTool({"pack", "--code-id", "BUILT001", "--copyright", "(c) built", payload, image});
  ASSERT_EQ(pack.status, 0) << pack.err;
  EXPECT_EQ(pack.out + pack.err, "");

  const ProcessResult info = RunImageTool({"info", image});
  EXPECT_EQ(info.status, 0) << info.out;
  EXPECT_NE(info.out.find("LL from name: 3C\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("result:       valid\n"), std::string::npos) << info.out;

  ExpectAccepted(
      RunLoader({image}),
      kBanner + Loading(image) + Summary("BUILT001", 1001, Lrc(data)) + Copyright("(c) built"));
}

TEST(ImageToolRun, InfoGivesTheDownloadersVerdict) {
  TempDir dir;
  const std::string data = Payload(100);
  const std::string bad = dir.Write("bad.L1A", FirmwareFile(data, "", "X", 100, 1));
  const ProcessResult info = RunImageTool({"info", "--json", bad});
  EXPECT_EQ(info.status, 1);
  const std::string loader_line = RunLoader({"-q", bad}).err;
  ASSERT_EQ(loader_line.rfind("qxfwload: ", 0), 0u);
  const std::string message = loader_line.substr(10, loader_line.size() - 11);
  EXPECT_NE(info.out.find("\"valid\":false,\"error\":\"" + message + "\","), std::string::npos)
      << info.out;

  const std::string aif = dir.Write("image.aif", AifImage(200));
  EXPECT_EQ(RunImageTool({"info", "-m", aif}).status, 0);
  EXPECT_EQ(RunImageTool({"info", aif}).status, 1);
}

TEST(ImageToolRun, UsageAndFailures) {
  const ProcessResult none = RunImageTool({});
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err.rfind("qxfwimage: no command given\nusage: qxfwimage pack", 0), 0u)
      << none.err;

  const ProcessResult help = RunImageTool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out, none.err.substr(none.err.find('\n') + 1));

  TempDir dir;
  const std::string missing = dir.path() + "/missing";
  const ProcessResult pack =
      RunImageTool({"pack", "--code-id", "ID", missing, dir.path() + "/out.L1A"});
  EXPECT_EQ(pack.status, 1);
  EXPECT_EQ(pack.err, "qxfwimage: can't open payload file: " + missing + "\n");
  // A control byte in the path is shown, not sent to the terminal.
  EXPECT_EQ(
      RunImageTool({"pack", "--code-id", "ID", missing + "\x1b[2J", dir.path() + "/o.L1A"}).err,
      "qxfwimage: can't open payload file: " + missing + "\\x1b[2J\n");
}

TEST(SampleImageRun, CommittedSampleIsRemadeExactlyAndAccepted) {
  const std::string sample = std::string(QX_SOURCE_DIR) + "/examples/firmware.L1A";
  TempDir dir;
  const std::string remade = dir.path() + "/firmware.L1A";
  const ProcessResult make =
      RunProcess("/bin/sh", {std::string(QX_SOURCE_DIR) + "/examples/make_firmware.sh",
                             BuiltProgram("qxfwimage"), remade});
  ASSERT_EQ(make.status, 0) << make.err;
  ASSERT_FALSE(ReadFile(sample).empty());
  EXPECT_EQ(ReadFile(remade), ReadFile(sample));

  EXPECT_EQ(RunImageTool({"info", sample}).status, 0);
  const ProcessResult load = RunLoader({sample});
  ExpectAccepted(load, kBanner + Loading(sample) + "Loaded firmware file, CodeID=SAMPLE01");
}

}  // namespace
