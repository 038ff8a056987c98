// Images that must be refused, end to end: files that can't be opened,
// measured, read whole or held in memory, and files whose contents are no
// image, each refused with its one line and status 1 before any adapter
// hears a thing; and a path longer than any message shows, which still loads.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "testing/bytes.h"
#include "testing/run_process.h"
#include "testing/scratch_dir.h"
#include "tests/robustness_support.h"

namespace {

using robustness::AdapterFileImage;
using robustness::ExpectNothingWrongSent;
using robustness::kAddressSanitizer;
using robustness::kImage;
using robustness::kPayload;
using robustness::RunOn;
using robustness::TwoGoodAdapters;
using testing_support::AdapterFirmwareFile;
using testing_support::BuiltProgram;
using testing_support::DecodeTransactions;
using testing_support::HexWord;
using testing_support::kBanner;
using testing_support::Machine;
using testing_support::OfOp;
using testing_support::PayloadLrc;
using testing_support::ProcessOptions;
using testing_support::ProcessResult;
using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::ScenarioResult;
using testing_support::TempDir;
using testing_support::TestPayload;
using testing_support::UnderWine;
using testing_support::WithAifHeader;

std::string AifImage(std::size_t size) { return WithAifHeader(TestPayload(size, 7)); }

/// A Unix socket listening at `path`, or -1.
int BoundSocket(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (fd < 0 || path.size() >= sizeof address.sun_path) return -1;
  path.copy(address.sun_path, path.size());
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return -1;
  return fd;
}

struct Refusal {
  const char* what;
  std::vector<std::string> args;
  std::string error;  // the whole of standard error
};

TEST(Robustness, EveryLoadingFailureSendsNothing) {
  TempDir dir;
  const std::string missing = dir.path() + "/missing.L1A";
  const std::string folder = dir.path() + "/folder.L1A";
  std::filesystem::create_directory(folder);
  const std::string four_gib = dir.WriteSparse("four.L1A", "", std::uint64_t{1} << 32);
  // 4 GiB + 272 bytes whose length word is 0: cut to 32 bits the sizes would agree.
  const std::string wraps = dir.WriteSparse("wraps.L1A", AdapterFirmwareFile("", "WRAP0000"),
                                            (std::uint64_t{1} << 32) + 272);
  const std::string empty = dir.Write("empty.L1A", "");
  const std::string short_aif = dir.Write("short.L1A", AifImage(127));
  std::string swapped_aif = AifImage(128);
  swapped_aif.replace(0, 4, "\xe1\xa0\x00\x00", 4);
  const std::string not_aif = dir.Write("notaif.L1A", swapped_aif);
  const std::string long_data = dir.Write("long.L1A", kImage + "x");
  std::string bad_lrc_file = kImage;
  bad_lrc_file[272] = static_cast<char>(bad_lrc_file[272] ^ 1);
  const std::string bad_lrc = dir.Write("lrc.L1A", bad_lrc_file);
  // An AIF image is sent whole: one of 4 GiB - 1 bytes fits no download.
  const std::string huge_aif =
      dir.WriteSparse("huge.L1A", AifImage(128), std::uint64_t{0xFFFFFFFFu});
  // Neither waited on (a FIFO with no writer blocked the open for ever) nor
  // read: only a regular file has a size to read whole.
  const std::string fifo = dir.path() + "/fifo.L1A";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string socket_path = dir.path() + "/socket.L1A";
  const int socket_fd = BoundSocket(socket_path);
  ASSERT_GE(socket_fd, 0);
  const std::string lrc_line = "LRC in file header is 0x" + HexWord(PayloadLrc(kPayload)) +
                               ", but LRC of firmware is 0x" +
                               HexWord(PayloadLrc(bad_lrc_file.substr(272)));

  const Refusal cases[] = {
      {"missing file", {missing}, "can't open firmware file: " + missing},
      {"directory", {folder}, "can't open firmware file: " + folder},
      {"4 GiB sparse file", {four_gib}, "firmware file is too large: " + four_gib},
      {"4 GiB + 272 bytes", {wraps}, "firmware file is too large: " + wraps},
      // A pipe can't be measured: a read failure.
      {"pipe", {"-f", "/dev/stdin"}, "can't read firmware file: /dev/stdin"},
      {"AIF too large for a download", {"-m", huge_aif}, "firmware file is too large: " + huge_aif},
      {"FIFO with no writer", {fifo}, "can't read firmware file: " + fifo},
      {"device", {"-f", "/dev/zero"}, "can't read firmware file: /dev/zero"},
      {"socket", {socket_path}, "can't open firmware file: " + socket_path},
      {"empty file", {empty}, "file is too small to be an adapter firmware file: " + empty},
      {"short AIF", {"-m", short_aif}, "file is too short to be an AIF file: " + short_aif},
      {"AIF words", {"-m", not_aif}, "file does not look like an AIF to me: " + not_aif},
      {"adapter file as AIF", {"-m", bad_lrc}, "file does not look like an AIF to me: " + bad_lrc},
      {"length", {long_data}, "length in header does not match length of data"},
      {"LRC", {bad_lrc}, lrc_line},
  };
  const Machine machine = TwoGoodAdapters();
  for (const Refusal& c : cases) {
    // Under Wine /dev/stdin is no pipe but a Windows console handle.
    if (UnderWine() && std::string(c.what) == "pipe") continue;
    for (const char* mode : {"-q", "-p"}) {  // quiet, and verbose with the pause
      std::vector<std::string> args = {mode};
      args.insert(args.end(), c.args.begin(), c.args.end());
      const ScenarioResult r = RunOn(machine, {}, args, "\n");
      EXPECT_EQ(r.run.err, "qxfwload: " + c.error + "\n") << c.what;
      EXPECT_EQ(r.run.status, 1) << c.what;
      ExpectNothingWrongSent(r, machine, std::nullopt, "1A");
    }
  }
  close(socket_fd);
}

TEST(Robustness, OutOfMemorySendsNothing) {
  // The address space is limited so that a 3 GiB block can't be had; the
  // sanitizers' own reservations don't fit under such a limit.
  if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer needs more address space";
  if (UnderWine()) GTEST_SKIP() << "Wine itself can't start under the address-space limit";
  TempDir dir;
  const Machine machine = TwoGoodAdapters();
  const std::string machine_file = dir.Write("machine.json", machine.Text());
  const std::string trace = dir.path() + "/trace.jsonl";
  const std::string big = dir.WriteSparse("big.L1A", kImage, std::uint64_t{3} << 30);
  ProcessOptions options;
  options.env = {"QXFW_MACHINE=" + machine_file, "QXFW_TRACE=" + trace};
  const ProcessResult r = RunProcess(
      "/bin/sh",
      {"-c", "ulimit -v 1048576 && exec \"$0\" \"$@\"", BuiltProgram("qxfwload"), "-q", big},
      options);
  EXPECT_EQ(r.err, "qxfwload: out of memory allocating 3221225472 bytes\n");
  EXPECT_EQ(r.status, 1);
  std::vector<std::string> lines;
  const std::string text = ReadFile(trace);
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  EXPECT_FALSE(lines.empty()) << "discovery ran";
  EXPECT_TRUE(DecodeTransactions(lines).empty());
}

TEST(Robustness, LongPathsAreCutSafelyAndStillLoad) {
  // A real file 4,000 characters deep: folders of up to 200 characters,
  // then a name of 100 to 250 (a name may have 255 at most).
  constexpr std::size_t kPathLength = 4000;
  TempDir dir;
  std::string folder = dir.path();
  while (kPathLength - folder.size() > 1 + 250) {
    const std::size_t length = std::min<std::size_t>(200, kPathLength - folder.size() - 102);
    folder += '/';
    folder.append(length, 'd');
    std::filesystem::create_directory(folder);
  }
  const std::string name = std::string(kPathLength - folder.size() - 1 - 4, 'f') + ".L1A";
  const std::string good = folder + "/" + name;
  ASSERT_EQ(good.size(), kPathLength);
  { std::ofstream(good, std::ios::binary) << kImage; }
  const Machine machine = TwoGoodAdapters();
  const ScenarioResult loaded = RunOn(machine, {}, {good});
  EXPECT_EQ(loaded.run.out.rfind(kBanner + std::string("Loading firmware file: ") + good + "\n", 0),
            0u);
  EXPECT_EQ(loaded.run.status, 0);
  EXPECT_EQ(OfOp(loaded.transactions, "download").size(), 2u);
  ExpectNothingWrongSent(loaded, machine, AdapterFileImage(kImage), "1A");

  // Refused: the message is cut to 259 characters, ending in "...".
  { std::ofstream(good, std::ios::binary) << "too short"; }
  const ScenarioResult refused = RunOn(machine, {}, {"-q", good});
  const std::string message = "file is too small to be an adapter firmware file: " + good;
  EXPECT_EQ(refused.run.err, "qxfwload: " + message.substr(0, 256) + "...\n");
  EXPECT_EQ(refused.run.status, 1);
  ExpectNothingWrongSent(refused, machine, std::nullopt, "1A");
}

}  // namespace
