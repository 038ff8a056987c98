// Interrupts and closed outputs, end to end: the built qxfwload on machines
// whose adapters take their time over a download, interrupted at chosen and
// at random moments, and with its standard streams closed, full or cut off
// while it runs. The adapters rely on each adapter's download sequence (the
// pre-download notices to the 37 other nodes, the download, the
// post-download notices to the same 37) coming whole: the trace must show
// every sequence whole or not at all, and nothing after an interrupted one.
// A closed output must change nothing that reaches the adapters.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "testing/machine_builder.h"
#include "testing/scenario.h"

namespace {

using namespace std::chrono_literals;
using testing_support::Adapter;
using testing_support::AdapterFirmwareFile;
using testing_support::BuiltProgram;
using testing_support::DecodeTransactions;
using testing_support::ProcessOptions;
using testing_support::ProcessResult;
using testing_support::Reply;
using testing_support::RunProcess;
using testing_support::ScenarioFiles;
using testing_support::ScenarioResult;
using testing_support::StartedProcess;
using testing_support::StreamSetup;
using testing_support::TestPayload;
using testing_support::Transaction;
using testing_support::UnderWine;
using testing_support::UnderWrapper;

const std::string kImage = AdapterFirmwareFile(TestPayload(4096), "CODEID01");
constexpr auto kPatience = 120s;  // for a step of a run, valgrind and Wine included

/// Adapters of the file's LL at nodes 11, 12 and 13 (11 and 12 on ports of
/// their own, 13 behind the first), taking `download_ms` over a download,
/// node by node; `extra` adds adapters.
testing_support::Machine Machine(const std::vector<int>& download_ms,
                                 const std::vector<Adapter>& extra = {}) {
  testing_support::Machine machine = testing_support::Machine::WithPortsFor({11, 12});
  for (std::size_t i = 0; i < download_ms.size(); ++i) {
    machine.Add(Adapter(static_cast<std::uint32_t>(11 + i)).Ll("1A").DownloadMs(download_ms[i]));
  }
  for (const Adapter& adapter : extra) machine.Add(adapter);
  return machine;
}

ScenarioResult RunOn(const ScenarioFiles& files, const std::vector<std::string>& args,
                     ProcessOptions options) {
  return files.Result(RunProcess(BuiltProgram("qxfwload"), files.Args(args), options));
}

/// Under Wine only SIGINT becomes a console control event (Ctrl-C); Wine
/// ends a program on SIGTERM, SIGHUP, SIGQUIT or SIGXCPU as no Windows event
/// does (Windows has no such signals, and no CPU-time limit that warns), and
/// with it the runner that would write the trace. Ctrl-Break and a closing
/// console can't be sent from Linux. Under valgrind every run costs seconds,
/// and memcheck learns nothing from the others that SIGINT doesn't show: one
/// handler serves all five. SIGXCPU is what a CPU-time limit (ulimit -t)
/// sends first.
std::vector<int> Interrupts() {
  if (UnderWine() || UnderWrapper()) return {SIGINT};
  return {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU};
}

/// A run that an interrupt ended at once: by the signal on Linux; under
/// Wine as Windows' own handler ends a program, with STATUS_CONTROL_C_EXIT
/// (0xC000013A, of which the runner's status keeps the low byte).
bool EndedByInterrupt(const ProcessResult& r, int signal) {
  return UnderWine() ? r.status == 0x3A : r.signal == signal;
}

std::string Notice(std::uint32_t node) {
  return "qxfwload: interrupt: the run stops when the download sequence of node " +
         std::to_string(node) + " is complete\n";
}

std::string Stopped(std::uint32_t node) {
  return "qxfwload: interrupted after the download sequence of node " + std::to_string(node) + "\n";
}

std::string Key(const Transaction& t) { return t.op + ":" + std::to_string(t.node); }

std::vector<std::string> Keys(const std::vector<Transaction>& transactions) {
  std::vector<std::string> keys;
  for (const Transaction& t : transactions) keys.push_back(Key(t));
  return keys;
}

/// One adapter's download sequence among a run's transactions: [first, end).
struct Sequence {
  std::uint32_t node = 0;
  std::size_t first = 0;
  std::size_t end = 0;
};

std::vector<Sequence> SequencesOf(const std::vector<Transaction>& t) {
  std::vector<Sequence> sequences;
  for (std::size_t i = 0; i < t.size();) {
    if (t[i].op != "pre_notice") {
      ++i;
      continue;
    }
    Sequence s{0, i, i};
    while (s.end < t.size() && t[s.end].op == "pre_notice") ++s.end;
    if (s.end < t.size() && t[s.end].op == "download") s.node = t[s.end++].node;
    while (s.end < t.size() && t[s.end].op == "post_notice") ++s.end;
    EXPECT_EQ(s.end - s.first, 37u + 1u + 37u) << "the sequence of node " << s.node;
    sequences.push_back(s);
    i = s.end;
  }
  return sequences;
}

/// Checks that `got` is `full` cut off where no download sequence was under
/// way, and answers where it was cut.
std::size_t ExpectCutBetweenSequences(const std::vector<Transaction>& got,
                                      const std::vector<Transaction>& full) {
  EXPECT_LE(got.size(), full.size()) << "more requests than an uninterrupted run";
  const std::size_t cut = std::min(got.size(), full.size());
  for (std::size_t i = 0; i < cut; ++i) {
    if (Key(got[i]) != Key(full[i])) {
      ADD_FAILURE() << "request " << i << " is " << Key(got[i]) << ", not " << Key(full[i]);
      break;
    }
  }
  for (const Sequence& s : SequencesOf(full)) {
    EXPECT_FALSE(s.first < cut && cut < s.end)
        << "the download sequence of node " << s.node << " was cut after " << cut - s.first
        << " of its " << s.end - s.first << " requests";
  }
  return cut;
}

/// The machine is kept awake from just before the first pre-download notice
/// to the end of a run that ended by itself, and only when something was
/// sent. Only the simulated machine traces the call.
void ExpectAwakeAroundTheSequences(const ScenarioResult& r) {
  if (UnderWine()) return;
  std::vector<std::string> steps;  // the calls that matter, in order
  for (const std::string& line : r.trace) {
    const nlohmann::json json = nlohmann::json::parse(line);
    if (json["op"] == "SetThreadExecutionState") {
      steps.push_back(json["flags"] == 0x80000001u ? "awake" : "sleep " + json["flags"].dump());
      continue;
    }
    const std::vector<Transaction> one = DecodeTransactions({line});
    if (!one.empty() && (steps.empty() || steps.back() != one[0].op)) steps.push_back(one[0].op);
  }
  const auto first_notice = std::find(steps.begin(), steps.end(), "pre_notice");
  if (first_notice == steps.end()) {
    EXPECT_EQ(std::count(steps.begin(), steps.end(), "awake"), 0) << "nothing sent, nothing kept";
    return;
  }
  EXPECT_EQ(std::count(steps.begin(), steps.end(), "awake"), 1);
  EXPECT_EQ(*(first_notice - 1), "awake");
  EXPECT_EQ(steps.back(), "sleep 2147483648") << "released after the last request";
}

// An interrupt while node 12's download is in flight: one line at once, the
// download and its post-download notices, then the final report and an
// error line, and node 13 is never touched. A second interrupt changes
// nothing.
TEST(Interruption, InterruptDuringADownloadStopsTheRunOnceItsSequenceIsOut) {
  const int in_flight_ms = UnderWrapper() || UnderWine() ? 3000 : 800;
  const ScenarioFiles files(Machine({0, in_flight_ms, 0}), {{"fw.L1A", kImage}});
  const ScenarioResult full = RunOn(files, {"-q", "@fw.L1A"}, files.Options());
  ASSERT_EQ(SequencesOf(full.transactions).size(), 3u);
  for (const int signal : Interrupts()) {
    SCOPED_TRACE(strsignal(signal));
    StartedProcess run(BuiltProgram("qxfwload"), files.Args({"@fw.L1A"}), files.Options());
    ASSERT_TRUE(run.WaitForOutput("node=12 ... ", kPatience));
    run.Signal(signal);
    EXPECT_TRUE(run.WaitForError(Notice(12), kPatience));
    EXPECT_FALSE(run.WaitForOutput("node=12 ... done", 0ms)) << "the notice comes at once";
    run.Signal(signal);
    const ScenarioResult r = files.Result(run.Wait());
    EXPECT_EQ(r.run.status, 1);
    EXPECT_EQ(r.run.err, Notice(12) + Stopped(12));
    const std::string tail =
        "Downloading CODEID01 to adapter, node=12 ... done\n2 successful downloads performed\n";
    EXPECT_EQ(r.run.out.substr(r.run.out.size() - std::min(r.run.out.size(), tail.size())), tail);
    EXPECT_EQ(ExpectCutBetweenSequences(r.transactions, full.transactions),
              SequencesOf(full.transactions)[1].end)
        << "node 12's sequence whole, and nothing after it";
    ExpectAwakeAroundTheSequences(r);
  }
}

TEST(Interruption, OutsideASequenceAnInterruptEndsTheRunAtOnce) {
  const ScenarioFiles files(Machine({0}), {{"fw.L1A", kImage}});
  ProcessOptions options = files.Options();
  options.held_input = true;  // the pause waits for a line that never comes
  for (const int signal : Interrupts()) {
    SCOPED_TRACE(strsignal(signal));
    StartedProcess run(BuiltProgram("qxfwload"), files.Args({"-p", "@fw.L1A"}), options);
    ASSERT_TRUE(run.WaitForOutput("press Enter when ready ... ", kPatience));
    run.Signal(signal);
    const ScenarioResult r = files.Result(run.Wait(kPatience));
    EXPECT_TRUE(EndedByInterrupt(r.run, signal)) << r.run.status << " " << r.run.signal;
    EXPECT_EQ(r.run.err.find("qxfwload"), std::string::npos) << r.run.err;
    EXPECT_TRUE(r.transactions.empty());
  }
}

// A model check: interrupts sent at random moments of runs that download to
// three adapters, each run held to the uninterrupted one.
TEST(Interruption, AtAnyMomentEverySequenceGoesOutWholeAndNothingFollowsIt) {
  const int download_ms = UnderWrapper() || UnderWine() ? 300 : 100;
  const ScenarioFiles files(Machine({download_ms, download_ms, download_ms}), {{"fw.L1A", kImage}});
  // Natively every moment from the start counts; a runner's own start-up
  // (valgrind, Wine) is passed before the clock starts.
  const bool from_start = !UnderWrapper() && !UnderWine();
  const auto start_clock = [from_start](StartedProcess& run) {
    if (!from_start) {
      EXPECT_TRUE(run.WaitForOutput("Loading firmware file", kPatience));
    }
    return run.Elapsed();
  };
  StartedProcess reference(BuiltProgram("qxfwload"), files.Args({"@fw.L1A"}), files.Options());
  const auto reference_start = start_clock(reference);
  const ScenarioResult full = files.Result(reference.Wait());
  const auto length = reference.Elapsed() - reference_start;
  ASSERT_EQ(full.run.status, 0);
  const std::vector<Sequence> sequences = SequencesOf(full.transactions);
  ASSERT_EQ(sequences.size(), 3u);

  const unsigned seed = std::random_device()();
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::int64_t> moment(0, length.count());
  const int runs_per_interrupt = from_start ? 6 : 2;  // each run costs seconds under a runner
  int stopped = 0, ended = 0, finished = 0;
  for (const int signal : Interrupts()) {
    for (int i = 0; i < runs_per_interrupt; ++i) {
      const std::chrono::steady_clock::duration delay(moment(random));
      SCOPED_TRACE(std::string(strsignal(signal)) + " after " +
                   std::to_string(delay.count() / 1000000) + " ms, seed " + std::to_string(seed));
      StartedProcess run(BuiltProgram("qxfwload"), files.Args({"@fw.L1A"}), files.Options());
      const auto clock_start = start_clock(run);
      std::this_thread::sleep_for(delay - (run.Elapsed() - clock_start));
      run.Signal(signal);
      const ScenarioResult r = files.Result(run.Wait(kPatience));
      const std::size_t cut = ExpectCutBetweenSequences(r.transactions, full.transactions);
      if (r.run.status == 1) {
        ++stopped;
        const auto last = std::find_if(sequences.begin(), sequences.end(),
                                       [cut](const Sequence& s) { return s.end == cut; });
        ASSERT_NE(last, sequences.end()) << "stopped at request " << cut;
        EXPECT_EQ(r.run.err, Notice(last->node) + Stopped(last->node));
        ExpectAwakeAroundTheSequences(r);
      } else if (r.run.status == 0) {
        ++finished;  // the interrupt came too late to end anything
        EXPECT_EQ(cut, full.transactions.size());
      } else {
        ++ended;
        EXPECT_TRUE(EndedByInterrupt(r.run, signal)) << r.run.status << " " << r.run.signal;
        EXPECT_EQ(r.run.err.find("qxfwload: interrupt"), std::string::npos) << r.run.err;
      }
    }
  }
  std::cout << "interrupts at random moments (seed " << seed << "): " << stopped
            << " stopped after a download sequence, " << ended << " ended the run at once, "
            << finished << " came after the end\n";
}

// The same requests in the same order, and the same status, whatever
// happens to the standard streams: a reader that goes away at any moment
// (as `qxfwload fw.L1A | head -n 9` does), a full device, streams closed
// from the start. Node 14 fails its download, so that quiet mode writes
// between the download and the post-download notices.
TEST(Interruption, AClosedOutputChangesNothingThatReachesTheAdapters) {
  const ScenarioFiles files(
      Machine({20, 20, 20}, {Adapter(14).Ll("1A").Answer("download", Reply().Code(-5))}),
      {{"fw.L1A", kImage}});
  std::mt19937 random(std::random_device{}());
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-q", "@fw.L1A"}, std::vector<std::string>{"@fw.L1A"}}) {
    const std::string mode = args.size() == 2 ? "quiet" : "verbose";
    StartedProcess reference(BuiltProgram("qxfwload"), files.Args(args), files.Options());
    const ScenarioResult full = files.Result(reference.Wait());
    const auto length = std::chrono::duration_cast<std::chrono::milliseconds>(reference.Elapsed());
    ASSERT_EQ(full.run.status, 0);
    ASSERT_EQ(SequencesOf(full.transactions).size(), 4u);
    const struct {
      const char* what;
      StreamSetup out, err;
    } setups[] = {
        {"standard output full", StreamSetup::Path("/dev/full"), {}},
        {"standard output closed", StreamSetup::Closed(), {}},
        {"both full", StreamSetup::Path("/dev/full"), StreamSetup::Path("/dev/full")},
        {"both closed", StreamSetup::Closed(), StreamSetup::Closed()},
    };
    for (const auto& setup : setups) {
      // Under Wine and valgrind each run costs seconds; under Wine the trace
      // is the stand-in driver's, which no stream of the program can reach.
      if ((UnderWine() || UnderWrapper()) && setup.err.kind == StreamSetup::kPipe) continue;
      SCOPED_TRACE(mode + ", " + setup.what);
      ProcessOptions options = files.Options();
      options.out = setup.out;
      options.err = setup.err;
      const ScenarioResult r = RunOn(files, args, options);
      EXPECT_EQ(r.run.status, 0);
      EXPECT_EQ(Keys(r.transactions), Keys(full.transactions));
      // Every trace line is the machine's own: no output went into the trace.
      for (const std::string& line : r.trace) {
        EXPECT_FALSE(nlohmann::json::parse(line, nullptr, false).is_discarded()) << line;
      }
    }
    // The reader goes away at a moment of the run (quiet mode's one line
    // comes last).
    const int cut_offs = UnderWrapper() || UnderWine() ? 1 : 6;
    for (int i = 0; i < cut_offs; ++i) {
      StartedProcess run(BuiltProgram("qxfwload"), files.Args(args), files.Options());
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % length.count()));
      run.CloseOutput();
      const ScenarioResult r = files.Result(run.Wait(kPatience));
      EXPECT_EQ(r.run.status, 0) << mode << " " << r.run.signal;
      EXPECT_EQ(Keys(r.transactions), Keys(full.transactions)) << mode;
    }
  }
  // A run that ends with an error line ends with its status too.
  ProcessOptions full_error = files.Options();
  full_error.err = StreamSetup::Path("/dev/full");
  EXPECT_EQ(RunOn(files, {"-a", "-5", "@fw.L1A"}, full_error).run.status, 1);
}

/// Runs qxfwload under a file-size limit of kFileSizeLimit bytes, with
/// standard output (and with `error_too` standard error) appended to
/// `out_path`.
constexpr off_t kFileSizeLimit = 8192 * 512;  // far above any trace of these runs
ScenarioResult RunUnderFileSizeLimit(const ScenarioFiles& files, std::vector<std::string> args,
                                     const std::string& out_path, bool error_too) {
  // sh's ulimit -f counts blocks of 512 bytes.
  std::vector<std::string> sh_args = {
      "-c",
      std::string("ulimit -f 8192 && exec \"$0\" \"$@\" >>\"$QXFW_LIMITED_OUT\"") +
          (error_too ? " 2>&1" : ""),
      BuiltProgram("qxfwload")};
  for (const std::string& arg : files.Args(args)) sh_args.push_back(arg);
  ProcessOptions options = files.Options();
  options.env.push_back("QXFW_LIMITED_OUT=" + out_path);
  return files.Result(RunProcess("/bin/sh", sh_args, options));
}

/// A file of `size` bytes, all a hole, at `path`.
void MakeSparseFile(const std::string& path, off_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).close();
  ASSERT_EQ(truncate(path.c_str(), size), 0) << path;
}

std::string FileFrom(const std::string& path, off_t offset) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(offset);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Standard output a file under a file-size limit (ulimit -f): a write past
// the limit failed with SIGXFSZ, which ended the process, once after node
// 11's pre-download notices. Now every write past it fails and changes
// nothing: the same requests, the same status, and the file holds the run's
// output up to the limit. The limit is met at random points of the output.
TEST(Interruption, AFileSizeLimitChangesNothingThatReachesTheAdapters) {
  if (UnderWine()) GTEST_SKIP() << "file-size limits and SIGXFSZ are Linux's: Windows has neither";
  const ScenarioFiles files(
      Machine({20, 20, 20}, {Adapter(14).Ll("1A").Answer("download", Reply().Code(-5))}),
      {{"fw.L1A", kImage}});
  const std::string out_path = files.dir() + "/limited-output";
  std::mt19937 random(std::random_device{}());
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-q", "@fw.L1A"}, std::vector<std::string>{"@fw.L1A"}}) {
    const std::string mode = args.size() == 2 ? "quiet" : "verbose";
    const ScenarioResult full = RunOn(files, args, files.Options());
    ASSERT_EQ(full.run.status, 0);
    ASSERT_EQ(SequencesOf(full.transactions).size(), 4u);
    // How much of the output fits below the limit: none, one byte, all but
    // one, and random amounts.
    std::vector<std::size_t> rooms = {0, 1, full.run.out.size() - 1};
    for (int i = 0; i < (UnderWrapper() ? 1 : 5); ++i)
      rooms.push_back(random() % full.run.out.size());
    for (const std::size_t room : rooms) {
      SCOPED_TRACE(mode + ", " + std::to_string(room) + " bytes below the limit");
      MakeSparseFile(out_path, kFileSizeLimit - static_cast<off_t>(room));
      const ScenarioResult r = RunUnderFileSizeLimit(files, args, out_path, false);
      EXPECT_EQ(r.run.status, 0) << "signal " << r.run.signal << ": " << r.run.err;
      EXPECT_EQ(r.run.err, "");
      EXPECT_EQ(Keys(r.transactions), Keys(full.transactions));
      EXPECT_EQ(FileFrom(out_path, kFileSizeLimit - static_cast<off_t>(room)),
                full.run.out.substr(0, room));
    }
  }
  // A run that ends with an error line, with both streams past the limit,
  // ends with its status.
  MakeSparseFile(out_path, kFileSizeLimit);
  const ScenarioResult error =
      RunUnderFileSizeLimit(files, {"-a", "-5", "@fw.L1A"}, out_path, true);
  EXPECT_EQ(error.run.status, 1) << "signal " << error.run.signal;
  EXPECT_EQ(FileFrom(out_path, kFileSizeLimit), "");
}

}  // namespace
