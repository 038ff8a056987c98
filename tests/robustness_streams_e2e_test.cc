// The operator's streams, end to end: texts from the file and the command
// line that would act on the console are printed as text, and the pause
// waits for a line or a true end of standard input.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "testing/run_process.h"
#include "testing/scenario.h"
#include "tests/robustness_support.h"

namespace {

using robustness::AdapterFileImage;
using robustness::Bytes;
using robustness::ExpectNothingWrongSent;
using robustness::kImage;
using robustness::kPayload;
using robustness::RunOn;
using robustness::TwoGoodAdapters;
using testing_support::Adapter;
using testing_support::AdapterFirmwareFile;
using testing_support::BuiltProgram;
using testing_support::kBanner;
using testing_support::Machine;
using testing_support::OfOp;
using testing_support::ProcessOptions;
using testing_support::Reply;
using testing_support::RunProcess;
using testing_support::ScenarioFiles;
using testing_support::ScenarioResult;
using testing_support::StartedProcess;
using testing_support::StreamSetup;
using testing_support::UnderWine;

TEST(Robustness, ConversionsInPathsAndHeaderTextsArePrintedAsText) {
  // A copyright text of 252 characters without a NUL, and a path and a
  // CodeID full of conversions: each is printed as it stands.
  std::string image = AdapterFirmwareFile(kPayload, "%n%s%d%x");
  image.replace(0, 252, std::string(126, '%') + std::string(126, 'n'));
  const Machine machine = TwoGoodAdapters();
  const ScenarioResult r = RunOn(machine, {{"fw%n%s%x.L1A", image}}, {"@fw%n%s%x.L1A"});
  const std::string& out = r.run.out;
  EXPECT_NE(out.find("fw%n%s%x.L1A\nLoaded firmware file, CodeID=%n%s%d%x, length=1001"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Copyright message :-\n---\n" + std::string(126, '%') + std::string(126, 'n') +
                     "\n---\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Downloading %n%s%d%x to adapter, node=11 ... done\n"), std::string::npos);
  EXPECT_EQ(r.run.status, 0);
  ExpectNothingWrongSent(r, machine, AdapterFileImage(image), "1A");

  const ScenarioResult missing = RunOn(machine, {}, {"-q", "/nonexistent/%n%s.L1A"});
  EXPECT_EQ(missing.run.err, "qxfwload: can't open firmware file: /nonexistent/%n%s.L1A\n");
  ExpectNothingWrongSent(missing, machine, std::nullopt, "1A");
}

// The pause ends on a line or a true end of input only: standard input that
// can't be read ends the run before the file is opened, and one that has no
// data yet is waited on.
TEST(Robustness, ThePauseWaitsForTheOperator) {
  const Machine machine = TwoGoodAdapters();
  const ScenarioFiles files(machine, {{"fw.L1A", kImage}});
  const std::string prompt = "Ready to load firmware, press Enter when ready ... ";
  ProcessOptions directory = files.Options();
  directory.in = StreamSetup::Path("/");
  const ScenarioResult refused = files.Result(
      RunProcess(BuiltProgram("qxfwload"), files.Args({"-p", "@missing.L1A"}), directory));
  // The C runtime's words for reading a directory: Linux's, and Wine's.
  const std::string why = UnderWine() ? "Invalid argument" : "Is a directory";
  EXPECT_EQ(refused.run.err, "qxfwload: can't read standard input: " + why + "\n");
  EXPECT_EQ(refused.run.status, 1);
  EXPECT_EQ(refused.run.out, kBanner + prompt) << "the file is not opened";
  ExpectNothingWrongSent(refused, machine, std::nullopt, "1A");

  ProcessOptions waiting = files.Options();
  waiting.held_input = waiting.nonblocking_input = true;
  StartedProcess run(BuiltProgram("qxfwload"), files.Args({"-p", "@fw.L1A"}), waiting);
  ASSERT_TRUE(run.WaitForOutput(prompt, std::chrono::minutes(2)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(run.WaitForOutput("Loading firmware file", std::chrono::milliseconds(0)))
      << "no data yet is no answer";
  run.WriteInput("\n");
  const ScenarioResult loaded = files.Result(run.Wait());
  EXPECT_EQ(loaded.run.status, 0);
  EXPECT_EQ(OfOp(loaded.transactions, "download").size(), 2u);
}

// Escape sequences in the copyright text and the CodeID would clear the
// screen or hide every later line: they are shown, and the CodeID's bytes
// still go to the adapters as they stand.
TEST(Robustness, ControlBytesFromTheFileAreShownNotSent) {
  const std::string code_id = "\x1b[8mAB\x7f\x01";
  const std::string image =
      AdapterFirmwareFile(kPayload, code_id, "\x1b[2J\x1b[8m(c) test\r\nline two\x07\rX\tY");
  const std::string shown = "\\x1b[8mAB\\x7f\\x01";
  Machine machine = TwoGoodAdapters();
  machine.adapters()[1].Answer("download", Reply().Code(-5));
  const ScenarioResult verbose = RunOn(machine, {{"fw.L1A", image}}, {"@fw.L1A"});
  const ScenarioResult quiet = RunOn(machine, {{"fw.L1A", image}}, {"-q", "@fw.L1A"});
  for (const ScenarioResult* r : {&verbose, &quiet}) {
    for (const char c : r->run.out) {
      EXPECT_TRUE(c == '\n' || c == '\r' || c == '\t' || (c >= 0x20 && c != 0x7F))
          << "control byte " << int{c} << " sent to the console";
    }
    EXPECT_EQ(r->run.status, 0);
    ExpectNothingWrongSent(*r, machine, AdapterFileImage(image), "1A");
  }
  const std::string& out = verbose.run.out;
  EXPECT_NE(out.find("Loaded firmware file, CodeID=" + shown + ", length=1001"), std::string::npos)
      << out;
  EXPECT_NE(out.find("---\n\\x1b[2J\\x1b[8m(c) test\r\nline two\\x07\\x0dX\tY\n---\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Downloading " + shown + " to adapter, node=11 ... done\n"),
            std::string::npos);
  EXPECT_EQ(quiet.run.out, "Download " + shown + " to adapter, node=12 failed: rc=-5\n");
}

/// Nothing in `text` drives a terminal: no C0 control but tab, LF and the
/// CR of a CR LF, no DEL, no C1 control (C2 80..C2 9F, or a byte 0x80..0x9F
/// that no lead byte of another character comes before).
void ExpectNothingDrivesTheConsole(const std::string& text, const std::string& stream) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const auto before = i == 0 ? 0u : static_cast<unsigned char>(text[i - 1]);
    const bool line_layout =
        c == '\n' || c == '\t' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
    EXPECT_TRUE(line_layout || (c >= 0x20 && c != 0x7F))
        << stream << ": control byte " << int{c} << " at " << i;
    if (c >= 0x80 && c <= 0x9F) {
      EXPECT_TRUE(before >= 0xC3 || (before >= 0x80 && before <= 0xBF))
          << stream << ": C1 control " << int{c} << " at " << i;
    }
  }
}

// Bytes from adapters and files that would drive a terminal: an adapter's
// LL (ESC c reset the terminal, CR LF split the skip line), C1 controls in
// UTF-8 (C2 9B is CSI) and alone (0x9B) in the LL, the CodeID and the
// copyright text, and a file name that holds an escape sequence. Each is
// shown as \xNN; printable text, and UTF-8 of other characters, print as
// they stand.
TEST(Robustness, AdapterAndFileBytesThatWouldDriveTheConsoleAreShown) {
  const struct {
    std::string ll, shown;
  } lls[] = {{"\033c", "\\x1bc"}, {"\r\n", "\\x0d\\x0a"},   {"\xc2\x9b", "\\xc2\\x9b"},
             {"\233A", "\\x9bA"}, {"\xc4\x80", "\xc4\x80"}, {"2B", "2B"}};
  Machine machine = TwoGoodAdapters();
  std::uint32_t node = 13;
  for (const auto& ll : lls) {
    machine.Add(Adapter(node++).VpdBytes("VPD" + Bytes({0, 3, 0, 0}) + "*LL" + Bytes({3}) + ll.ll));
  }
  const std::string code_id = "A\xc2\x9b\tB\nC\x85";
  const std::string shown_code_id = "A\\xc2\\x9b\\x09B\\x0aC\\x85";
  const std::string image =
      AdapterFirmwareFile(kPayload, code_id, "(c) caf\xc3\xa9\xc2\x9d;x\x07 \x9b;J");
  const ScenarioResult r = RunOn(machine, {{"fw.L1A", image}}, {"@fw.L1A"});
  ExpectNothingDrivesTheConsole(r.run.out, "standard output");
  EXPECT_EQ(r.run.status, 0) << r.run.err;
  ExpectNothingWrongSent(r, machine, AdapterFileImage(image), "1A");
  const std::string& out = r.run.out;
  node = 13;
  for (const auto& ll : lls) {
    const std::string line =
        "Skipping adapter with LL=" + ll.shown + ", node=" + std::to_string(node++) + "\n";
    EXPECT_NE(out.find(line), std::string::npos) << line << out;
  }
  EXPECT_NE(out.find("CodeID=" + shown_code_id + ", length=1001"), std::string::npos) << out;
  EXPECT_NE(out.find("---\n(c) caf\xc3\xa9\\xc2\\x9d;x\\x07 \\x9b;J\n---\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("Downloading " + shown_code_id + " to adapter, node=11 ... done\n"),
            std::string::npos)
      << out;

  // A name with an escape sequence, in the loading line and the error line.
  // It names no file: Windows allows no control character in a file name,
  // and Wine turns a byte above 0x7F of one into '?'.
  const ScenarioResult missing = RunOn(machine, {}, {"/nonexistent/fw\x1b[2J.L1A"});
  EXPECT_NE(missing.run.out.find("Loading firmware file: /nonexistent/fw\\x1b[2J.L1A\n"),
            std::string::npos)
      << missing.run.out;
  EXPECT_EQ(missing.run.err, "qxfwload: can't open firmware file: /nonexistent/fw\\x1b[2J.L1A\n");
  ExpectNothingWrongSent(missing, machine, std::nullopt, "1A");
}

}  // namespace
