// The trace as a witness, end to end: a machine file with errors stops the
// run before any platform call, and a trace that can't be written, or whose
// line can't even be built, ends the run with status 2 rather than let a
// request happen that the trace lacks.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "testing/run_process.h"
#include "testing/scenario.h"
#include "testing/scratch_dir.h"
#include "tests/robustness_support.h"

namespace {

using robustness::kAddressSanitizer;
using robustness::kImage;
using robustness::TwoGoodAdapters;
using testing_support::AdapterFirmwareFile;
using testing_support::BuiltProgram;
using testing_support::ProcessOptions;
using testing_support::ProcessResult;
using testing_support::RunProcess;
using testing_support::RunScenario;
using testing_support::ScenarioFiles;
using testing_support::ScenarioResult;
using testing_support::TempDir;
using testing_support::UnderWine;

// The trace is the witness of what reached the machine: when it can't be
// written, or a line of it can't even be built, the run ends with status 2
// and one line, never with a request that the trace lacks or an abort.
TEST(Robustness, ATraceThatCantBeWrittenEndsTheRun) {
  if (UnderWine()) GTEST_SKIP() << "under Wine the runner writes the trace after the run";
  const ScenarioFiles files(TwoGoodAdapters(), {{"fw.L1A", kImage}});
  ProcessOptions full = files.Options();
  full.env.back() = "QXFW_TRACE=/dev/full";
  const ProcessResult r = RunProcess(BuiltProgram("qxfwload"), files.Args({"@fw.L1A"}), full);
  EXPECT_EQ(r.err,
            "qxfwload: simulated machine: trace file cannot be written: No space left on device\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "") << "the first call ends the run";

  // A download of 64 MiB with its trace line (256 MiB of hex) under an
  // address space too small for the line.
  if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer needs more address space";
  constexpr std::uint32_t kSize = std::uint32_t{1} << 26;
  std::string header = AdapterFirmwareFile("", "ZEROS000");
  for (int i = 0; i < 4; ++i) header[252 + i] = static_cast<char>(kSize >> (24 - 8 * i));
  TempDir dir;
  const std::string zeros = dir.WriteSparse("zeros.L1A", header, kSize + 272);
  const ProcessResult big = RunProcess(
      "/bin/sh",
      {"-c", "ulimit -v 409600 && exec \"$0\" \"$@\"", BuiltProgram("qxfwload"), "-q", zeros},
      files.Options());
  EXPECT_EQ(big.err.rfind("qxfwload: simulated machine: a platform call cannot be answered: ", 0),
            0u)
      << big.err;
  EXPECT_EQ(big.status, 2);
}

TEST(Robustness, MachineFileWithErrorsStopsBeforeAnyCall) {
  const struct {
    std::string machine;
    std::string error;
  } cases[] = {
      {R"({"ports": [{"port": 0, "drvier": "qarmix"}]})", R"(ports[0]: unknown field "drvier")"},
      {R"({"ports": [{"port": 0, "node": 300}]})",
       "ports[0].node: must be an integer from -128 to 127"},
      {R"({"ports": [{"port": 0, "a\nb": 1}]})", R"(ports[0]: unknown field "a\u000ab")"},
      {R"({"adapters": [{"node": 11}, {"node": 11}]})",
       "adapters[1].node: node 11 is already used by adapters[0]"},
      {R"({"ports": [)", "not valid JSON: parse error at line 1, column "},
  };
  for (const auto& c : cases) {
    const ScenarioResult r = RunScenario(c.machine, {{"fw.L1A", kImage}}, {"@fw.L1A"});
    EXPECT_EQ(r.run.status, 2) << c.machine;
    EXPECT_EQ(r.run.out, "") << "nothing runs before the machine is read";
    ASSERT_EQ(r.run.err.rfind("qxfwload: simulated machine: ", 0), 0u) << r.run.err;
    EXPECT_NE(r.run.err.find(".json: " + c.error), std::string::npos) << r.run.err;
    EXPECT_EQ(r.run.err.find('\n'), r.run.err.size() - 1) << "one line: " << r.run.err;
    EXPECT_TRUE(r.trace.empty()) << "no platform call was answered";
  }
}

}  // namespace
