#include "tool/download.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "services/inject.h"
#include "services/safeguards.h"
#include "sim/machine.h"
#include "testing/bytes.h"
#include "testing/machine_builder.h"
#include "testing/sim_session.h"
#include "transport/adapters.h"
#include "util/coding.h"

namespace {

using Json = nlohmann::json;
using testing_support::Adapter;
using testing_support::Machine;
using testing_support::QarmixPort;
using testing_support::Reply;

// Where the driver finds a request's node and code in a transaction packet.
constexpr std::size_t kDpbAt = 28;
constexpr std::size_t kNodeAt = kDpbAt + 0x20;
constexpr std::size_t kCodeAt = kDpbAt + 0x28;

// The request codes of the sequence.
constexpr std::uint16_t kIdentify = 1;
constexpr std::uint16_t kDownload = 7;
constexpr std::uint16_t kPreNotice = 0x225;
constexpr std::uint16_t kPostNotice = 0x224;

// The 4-byte image whose LRC is 258: 0xAAAAAAAA + 0x55555658 wraps to 0x102.
constexpr std::uint8_t kImage[4] = {0x58, 0x56, 0x55, 0x55};
constexpr std::uint32_t kLrc = 258;
constexpr char kCodeId[] = "FW-1.02X";

/// One request as it reached the driver, or the machine asked to stay awake.
struct Step {
  std::uint16_t code;  // 0: SetThreadExecutionState
  std::uint32_t node;
  friend bool operator==(const Step&, const Step&) = default;
};

std::ostream& operator<<(std::ostream& out, const Step& step) {
  return out << "{code " << step.code << ", node " << step.node << "}";
}

/// The requests and execution-state calls of the recorded trace, in order.
std::vector<Step> Steps() {
  std::vector<Step> steps;
  for (const Json& line : testing_support::Trace()) {
    if (line["op"] == "SetThreadExecutionState") steps.push_back({0, 0});
    if (line["op"] != "DeviceIoControl" || !line.contains("sent")) continue;
    const std::vector<std::uint8_t> sent =
        testing_support::FromHex(line["sent"].get<std::string>());
    if (sent.size() < kCodeAt + 2) continue;
    steps.push_back({util::DecodeFixed16(&sent[kCodeAt]), util::DecodeFixed32(&sent[kNodeAt])});
  }
  return steps;
}

/// The sequence for `node` as the adapters must see it: identify, the
/// pre-download notices to every other node of the range in ascending
/// order, the download, and the post-download notices likewise.
std::vector<Step> Sequence(std::uint32_t node) {
  std::vector<Step> steps{{kIdentify, node}};
  for (std::uint16_t code : {kPreNotice, kDownload, kPostNotice}) {
    if (code == kDownload) {
      steps.push_back({kDownload, node});
      continue;
    }
    for (std::uint32_t n = kFirstScanNode; n <= kLastScanNode; ++n) {
      if (n != node) steps.push_back({code, n});
    }
  }
  return steps;
}

/// An adapter of `ll`, a partner or not, answering its download with
/// `download` when one is given.
Adapter AdapterOf(std::uint32_t node, const std::string& ll, bool partner = false,
                  const std::optional<Reply>& download = std::nullopt) {
  Adapter adapter = Adapter(node).Ll(ll).Partner(partner);
  if (download) adapter.Answer("download", *download);
  return adapter;
}

/// How many lines of `console` hold `words`.
int Said(const std::string& console, const std::string& words) {
  int lines = 0;
  std::size_t from = 0;
  while (from < console.size()) {
    std::size_t end = console.find('\n', from);
    if (end == std::string::npos) end = console.size();
    lines += console.substr(from, end - from).find(words) != std::string::npos;
    from = end + 1;
  }
  return lines;
}

class DownloadTest : public testing_support::SimSessionTest {
 protected:
  DownloadTest() : SimSessionTest(CloseAdapters) {}

  void Load(const std::vector<Adapter>& adapters) {
    LoadSession(Machine({QarmixPort(0, 11)}, adapters).Text());
    sim::StartTraceRecording();
    DiscoverAdapters();
    SetInjectEntry(Inject);
    settings_.FirmwarePath = "FW.L1A";
    settings_.FirmwareLL = settings_.FirmwarePath + 4;  // "1A"
  }

  /// The VPD record that the probe reads from `node`.
  static std::vector<std::uint8_t> Record(std::uint32_t node) {
    std::vector<std::uint8_t> vpd(kVpdSize);
    EXPECT_TRUE(ProbeAdapter(node, vpd.data())) << node;
    return vpd;
  }

  /// DownloadToAdapter for `node` with its probed record, seen from the
  /// platform only: what it printed, and the trace of its requests.
  std::string Run(std::uint32_t node) {
    const std::vector<std::uint8_t> vpd = Record(node);
    sim::StartTraceRecording();
    testing::internal::CaptureStdout();
    DownloadToAdapter(settings_, node, kImage, sizeof kImage, kLrc, kCodeId, vpd.data(), &run_);
    return testing::internal::GetCapturedStdout();
  }

  /// Ends the run, then the machine.
  void Unload() override {
    if (run_.kept_awake) LetMachineSleep();
    run_ = DownloadRun{};
    SimSessionTest::Unload();
  }

  Settings settings_;
  DownloadRun run_;
};

TEST_F(DownloadTest, NoticesGoOutAroundTheDownloadAndTheMachineStaysAwake) {
  Load({AdapterOf(12, "1A")});
  const std::string console = Run(12);
  EXPECT_EQ(console, "Downloading FW-1.02X to adapter, node=12 ... done\n");
  std::vector<Step> expected = Sequence(12);
  expected.insert(expected.begin() + 1, Step{0, 0});  // before the first notice
  EXPECT_EQ(Steps(), expected);
  EXPECT_EQ(run_.DownloadCount, 1);
  EXPECT_EQ(Said(console, "use other downloader"), 0);
  EXPECT_TRUE(run_.kept_awake);
  EXPECT_FALSE(run_.interrupted);
  const auto kept = sim::AdapterFirmware(12);
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(kept->download_count, 1u);
  EXPECT_EQ(kept->lrc, kLrc);
}

TEST_F(DownloadTest, TheCountGrowsWithEachGoodDownloadAndTheMachineIsAskedOnce) {
  Load({AdapterOf(12, "1A"), AdapterOf(13, "1A"), AdapterOf(14, "1A", false, Reply::Fail())});
  settings_.Verbose = 0;
  EXPECT_EQ(Run(12), "");
  EXPECT_EQ(Steps().front(), (Step{kIdentify, 12}));
  EXPECT_EQ(Steps().at(1), (Step{0, 0}));
  EXPECT_EQ(Run(13), "");
  EXPECT_EQ(Steps(), Sequence(13));  // already awake: not asked again
  EXPECT_EQ(Run(14), "Download FW-1.02X to adapter, node=14 failed\n");
  EXPECT_EQ(Steps(), Sequence(14));
  EXPECT_EQ(run_.DownloadCount, 2);
}

TEST_F(DownloadTest, AFailedDownloadIsReportedAndNotCounted) {
  Load({AdapterOf(12, "1A", false, Reply::Fail()), AdapterOf(13, "1A", false, Reply().Status(1)),
        AdapterOf(14, "1A", false, Reply().Code(-5))});
  std::string console = Run(12);
  EXPECT_EQ(console, "Downloading FW-1.02X to adapter, node=12 ... failed\n");
  EXPECT_EQ(Steps().back(), (Step{kPostNotice, kLastScanNode}));  // the notices still go out
  const std::string status_line = Run(13);
  EXPECT_EQ(status_line.rfind("Downloading FW-1.02X to adapter, node=13 ... failed", 0), 0u);
  const std::string rc_line = Run(14);
  EXPECT_EQ(rc_line, "Downloading FW-1.02X to adapter, node=14 ... failed: rc=-5\n");
  console += status_line + rc_line;
  EXPECT_EQ(Steps(), Sequence(14));
  EXPECT_EQ(run_.DownloadCount, 0);
  // Only -30 sends the operator to another tool: no other failure says so.
  EXPECT_EQ(Said(console, "use other downloader"), 0);
  EXPECT_EQ(sim::AdapterFirmware(12)->download_count, 0u);
}

TEST_F(DownloadTest, MinusThirtySaysToUseTheOtherDownloader) {
  Load({AdapterOf(12, "1A", false, Reply().Code(-30)), AdapterOf(13, "1A")});
  EXPECT_EQ(Run(12), "Downloading FW-1.02X to adapter, node=12 ... failed, use other downloader\n");
  EXPECT_EQ(run_.DownloadCount, 0);
  settings_.Verbose = 0;
  // Quiet, the failure is still the operator's to see, on a line of its own.
  EXPECT_EQ(Run(12), "Download FW-1.02X to adapter, node=12 failed, use other downloader\n");
  EXPECT_EQ(Run(13), "");
  EXPECT_EQ(Steps(), Sequence(13));  // the next adapter still gets its whole sequence
  EXPECT_EQ(run_.DownloadCount, 1);
}

TEST_F(DownloadTest, SkippedAdaptersGetOnlyTheIdentifyRequest) {
  Load({AdapterOf(21, "1A", true), AdapterOf(12, "2B"), AdapterOf(13, "1A")});
  EXPECT_EQ(Run(21), "Skipping partner adapter, node=21\n");
  EXPECT_EQ(Steps(), (std::vector<Step>{{kIdentify, 21}}));
  EXPECT_EQ(Run(12), "Skipping adapter with LL=2B, node=12\n");
  EXPECT_EQ(Steps(), (std::vector<Step>{{kIdentify, 12}}));
  settings_.Verbose = 0;
  EXPECT_EQ(Run(12), "");
  settings_.Force = 1;
  EXPECT_EQ(Run(12), "");
  std::vector<Step> forced = Sequence(12);  // forced: the LL is not compared
  forced.insert(forced.begin() + 1, Step{0, 0});
  EXPECT_EQ(Steps(), forced);
  EXPECT_EQ(run_.DownloadCount, 1);
  EXPECT_FALSE(sim::AdapterFirmware(13)->download_count);
}

/// What a run of DownloadToAdapter over a random machine must print and
/// count, worked out from the adapters' fields alone.
struct Expected {
  std::string console;
  std::vector<Step> steps;
  int downloads = 0;
  int use_other = 0;  // lines that send the operator to another tool
};

TEST_F(DownloadTest, RandomMachinesGetTheSequencesAndCountsOfTheModel) {
  std::mt19937 random(23);
  const std::optional<Reply> kAnswers[] = {std::nullopt, Reply::Fail(), Reply().Code(-30),
                                           Reply().Code(9)};
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<Adapter> adapters;
    std::vector<std::uint32_t> nodes;
    Expected expected;
    const bool verbose = random() % 2;
    const bool force = random() % 4 == 0;
    for (std::uint32_t node = kFirstScanNode; node <= kLastScanNode; ++node) {
      if (random() % 6 != 0) continue;
      const bool partner = random() % 4 == 0;
      const std::string ll = random() % 3 == 0 ? "2B" : "1A";
      const int answer = static_cast<int>(random() % 4);
      adapters.push_back(AdapterOf(node, ll, partner, kAnswers[answer]));
      nodes.push_back(node);
      const std::string n = std::to_string(node);
      if (partner) {
        if (verbose) expected.console += "Skipping partner adapter, node=" + n + "\n";
        expected.steps.push_back({kIdentify, node});
        continue;
      }
      if (!force && ll != "1A") {
        if (verbose) expected.console += "Skipping adapter with LL=" + ll + ", node=" + n + "\n";
        expected.steps.push_back({kIdentify, node});
        continue;
      }
      const std::vector<Step> sequence = Sequence(node);
      expected.steps.insert(expected.steps.end(), sequence.begin(), sequence.end());
      const std::string outcome = answer == 0   ? "done"
                                  : answer == 1 ? "failed"
                                  : answer == 2 ? "failed, use other downloader"
                                                : "failed: rc=9";
      if (verbose) {
        expected.console += "Downloading FW-1.02X to adapter, node=" + n + " ... " + outcome + "\n";
      } else if (answer != 0) {
        expected.console += "Download FW-1.02X to adapter, node=" + n + " " + outcome + "\n";
      }
      expected.downloads += answer == 0;
      expected.use_other += answer == 2;
    }
    Load(adapters);
    settings_.Verbose = verbose;
    settings_.Force = force;
    std::string console;
    std::vector<Step> steps;
    for (std::uint32_t node : nodes) {
      console += Run(node);
      for (const Step& step : Steps()) {
        if (step.code != 0) steps.push_back(step);
      }
    }
    EXPECT_EQ(console, expected.console);
    EXPECT_EQ(steps, expected.steps);
    EXPECT_EQ(run_.DownloadCount, expected.downloads);
    EXPECT_EQ(Said(console, "use other downloader"), expected.use_other);
    Unload();
  }
}

}  // namespace
