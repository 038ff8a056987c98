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
using robustness::ExpectNothingWrongSent;
using robustness::kImage;
using robustness::kPayload;
using robustness::RunOn;
using robustness::TwoGoodAdapters;
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

}  // namespace
