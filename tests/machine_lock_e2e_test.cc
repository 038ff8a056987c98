// One run at a time on a machine, end to end: while qxfwload is inside a
// download, a second qxfwload and a qxfwscan on the same machine refuse at
// once and send nothing, and the first run goes on exactly as it would
// alone. A holder that is killed leaves a lock that the next run takes (and
// says so); runs on different machines never wait for each other.
//
// Under Wine the second process is started beside the first against the
// one loaded stand-in driver (the runner's --bare), not by a second run of
// the runner: the runner serialises its own runs, which would hide a
// missing lock.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "testing/machine_builder.h"
#include "testing/run_process.h"
#include "testing/scenario.h"

namespace {

using namespace std::chrono_literals;
using testing_support::Adapter;
using testing_support::AdapterFirmwareFile;
using testing_support::BuiltProgram;
using testing_support::BuiltProgramBeside;
using testing_support::ProcessOptions;
using testing_support::ProcessResult;
using testing_support::RunProcess;
using testing_support::ScenarioFiles;
using testing_support::ScenarioResult;
using testing_support::StartedProcess;
using testing_support::TestPayload;
using testing_support::Transaction;
using testing_support::UnderWine;
using testing_support::UnderWrapper;

const std::string kImage = AdapterFirmwareFile(TestPayload(4096), "CODEID01");
constexpr auto kPatience = 120s;  // for a step of a run, valgrind and Wine included
constexpr char kInsideDownload[] = "Downloading CODEID01 to adapter, node=11 ... ";
constexpr char kVanished[] =
    "qxfwload: warning: a previous run ended without releasing the adapters\n";

/// Long enough for two more processes to start and end while node 11's
/// download is under way: each start costs a second or more under valgrind
/// or Wine.
int SlowDownloadMs() { return UnderWine() || UnderWrapper() ? 10000 : 2500; }

/// Nodes 11 and 12 of the file's LL; node 11 takes its time over a download.
testing_support::Machine SlowMachine() {
  testing_support::Machine machine = testing_support::Machine::WithPortsFor({11, 12});
  machine.Add(Adapter(11).Ll("1A").DownloadMs(SlowDownloadMs())).Add(Adapter(12).Ll("1A"));
  return machine;
}

/// A run's environment on `files`' machine, kept in the state file `state`.
ProcessOptions OnMachine(const ScenarioFiles& files, const std::string& state) {
  ProcessOptions options = files.Options();
  options.env.push_back("QXFW_STATE=" + files.dir() + "/" + state);
  return options;
}

std::vector<std::string> Keys(const std::vector<Transaction>& transactions) {
  std::vector<std::string> keys;
  for (const Transaction& t : transactions) keys.push_back(t.op + ":" + std::to_string(t.node));
  return keys;
}

/// The refusal of a run that found the adapters taken: one line, status 1,
/// nothing on standard output. Linux names the holder; Windows can't.
void ExpectRefused(const ProcessResult& r, const std::string& program) {
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, "");
  const std::string line = program + ": another run is using the adapters of this machine";
  if (UnderWine()) {
    EXPECT_EQ(r.err, line + "\n");
  } else {
    EXPECT_TRUE(std::regex_match(r.err, std::regex(line + " \\(process [1-9][0-9]*\\)\n")))
        << r.err;
  }
}

/// True while `run` has not printed its final count.
bool StillRunning(StartedProcess& run) { return !run.WaitForOutput("performed\n", 0ms); }

TEST(MachineLock, SecondRunsRefuseDuringADownloadAndTheFirstGoesOnAsAlone) {
  ScenarioFiles files(SlowMachine(), {{"fw.L1A", kImage}});
  const std::vector<std::string> args = files.Args({"@fw.L1A"});
  const ScenarioResult alone =
      files.Result(RunProcess(BuiltProgram("qxfwload"), args, OnMachine(files, "alone.json")));
  ASSERT_EQ(alone.run.status, 0) << alone.run.err;

  const ProcessOptions shared = OnMachine(files, "shared.json");
  StartedProcess first(BuiltProgram("qxfwload"), args, shared);
  ASSERT_TRUE(first.WaitForOutput(kInsideDownload, kPatience));
  ExpectRefused(RunProcess(BuiltProgramBeside("qxfwload"), args, shared), "qxfwload");
  ExpectRefused(RunProcess(BuiltProgramBeside("qxfwscan"), args, shared), "qxfwscan");
  ExpectRefused(RunProcess(BuiltProgramBeside("qxfwscan"), {"--json"}, shared), "qxfwscan");
  EXPECT_TRUE(StillRunning(first)) << "the refusals came after the download, proving nothing";
  const ScenarioResult together = files.Result(first.Wait());

  EXPECT_EQ(together.run.status, alone.run.status);
  EXPECT_EQ(together.run.out, alone.run.out);
  EXPECT_EQ(together.run.err, alone.run.err);
  EXPECT_EQ(Keys(together.transactions), Keys(alone.transactions));
  // The trace holds every process's platform calls: the refused ones made none.
  EXPECT_EQ(together.trace.size(), alone.trace.size());
}

TEST(MachineLock, AKilledHolderLeavesALockThatTheNextRunTakes) {
  ScenarioFiles files(SlowMachine(), {{"fw.L1A", kImage}});
  const std::vector<std::string> args = files.Args({"-q", "@fw.L1A"});
  const ProcessOptions options = OnMachine(files, "state.json");
  {
    StartedProcess holder(BuiltProgram("qxfwload"), files.Args({"@fw.L1A"}), options);
    ASSERT_TRUE(holder.WaitForOutput(kInsideDownload, kPatience));
    holder.Signal(SIGKILL);
    holder.Wait(kPatience);
  }
  const ScenarioResult next = files.Result(RunProcess(BuiltProgram("qxfwload"), args, options));
  EXPECT_EQ(next.run.status, 0);
  EXPECT_EQ(next.run.err, kVanished) << "said once, and the run goes on";
  EXPECT_EQ(testing_support::OfOp(next.transactions, "download").size(), 2u);

  // That run released the lock as it ended: the one after says nothing.
  const ScenarioResult after = files.Result(RunProcess(BuiltProgram("qxfwload"), args, options));
  EXPECT_EQ(after.run.status, 0);
  EXPECT_EQ(after.run.err, "");
}

TEST(MachineLock, RunsOnDifferentMachinesGoOnAtOnce) {
  if (UnderWine()) {
    GTEST_SKIP() << "one Wine prefix is one machine: its stand-in driver plays one machine at a "
                    "time, and every process in it shares the one lock";
  }
  // Different state files, and no state file at all: each a machine of its own.
  for (const bool with_state : {true, false}) {
    SCOPED_TRACE(with_state ? "different state files" : "no state file");
    ScenarioFiles one(SlowMachine(), {{"fw.L1A", kImage}});
    ScenarioFiles two(SlowMachine(), {{"fw.L1A", kImage}});
    const ProcessOptions options_one = with_state ? OnMachine(one, "state.json") : one.Options();
    const ProcessOptions options_two = with_state ? OnMachine(two, "state.json") : two.Options();
    StartedProcess first(BuiltProgram("qxfwload"), one.Args({"@fw.L1A"}), options_one);
    ASSERT_TRUE(first.WaitForOutput(kInsideDownload, kPatience));
    StartedProcess second(BuiltProgram("qxfwload"), two.Args({"@fw.L1A"}), options_two);
    EXPECT_TRUE(second.WaitForOutput(kInsideDownload, kPatience));
    EXPECT_TRUE(StillRunning(first)) << "the second run waited for the first";
    for (StartedProcess* run : {&first, &second}) {
      const ProcessResult r = run->Wait(kPatience);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, "");
      EXPECT_NE(r.out.find("2 successful downloads performed\n"), std::string::npos) << r.out;
    }
  }
}

}  // namespace
