// Adapters that keep their firmware across runs: the built qxfwload run
// twice on one machine and one QXFW_STATE file, the second run meeting what
// the first one left. Runs on both builds: under Wine, scripts/wine-run
// gives the stand-in driver the kept firmware and takes it back after the
// run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testing/machine_builder.h"
#include "testing/run_process.h"
#include "testing/scenario.h"
#include "testing/scratch_dir.h"

namespace {

using testing_support::Adapter;
using testing_support::AdapterFirmwareFile;
using testing_support::BuiltProgram;
using testing_support::Machine;
using testing_support::OfOp;
using testing_support::ProcessOptions;
using testing_support::QarmixPort;
using testing_support::Reply;
using testing_support::RunProcess;
using testing_support::ScenarioFiles;
using testing_support::ScenarioResult;
using testing_support::TestPayload;
using testing_support::Transaction;

const std::string kPayload = TestPayload(1000);
const std::string kImage = AdapterFirmwareFile(kPayload, "CODEID01");

// Node 12 stops answering once it holds firmware; node 13 answers as
// before.
Machine StateMachine() {
  Adapter stops_answering = Adapter(12).Ll("1A");
  for (const char* op : testing_support::kAnswerOperations) {
    stops_answering.AfterDownload(op, Reply::Fail());
  }
  return Machine({QarmixPort(0, 12), QarmixPort(1, 13)},
                 {stops_answering, Adapter(13).LlAndSerial("1A", "SN0013")});
}

class StateRun : public ::testing::Test {
 protected:
  ScenarioResult Run(bool with_state) {
    ProcessOptions options = files_.Options();
    if (with_state) {
      options.env.push_back("QXFW_STATE=" + state_);
    } else {
      options.unset.push_back("QXFW_STATE");
    }
    return files_.Result(
        RunProcess(BuiltProgram("qxfwload"), files_.Args({"-q", "@fw.L1A"}), options));
  }

  // The nodes of one operation's transactions, with whether each was answered.
  static std::vector<std::string> Nodes(const ScenarioResult& r, const std::string& op) {
    std::vector<std::string> nodes;
    for (const Transaction& t : OfOp(r.transactions, op)) {
      nodes.push_back(std::to_string(t.node) + (t.delivered ? "" : " failed"));
    }
    return nodes;
  }

  // Each kept adapter of the state file as "node sn downloads".
  std::vector<std::string> Kept() const {
    std::vector<std::string> kept;
    const nlohmann::json state =
        nlohmann::json::parse(testing_support::ReadFile(state_), nullptr, false);
    if (!state.is_object()) return {"not a state file"};
    for (const nlohmann::json& entry : state["adapters"]) {
      EXPECT_EQ(entry["length"], kPayload.size());
      EXPECT_EQ(entry["lrc"], testing_support::PayloadLrc(kPayload));
      EXPECT_EQ(entry["code_id"], "434f444549443031");  // CODEID01
      kept.push_back(entry["node"].dump() + " " + entry["sn"].get<std::string>() + " " +
                     entry["downloads"].dump());
    }
    return kept;
  }

  const ScenarioFiles files_{StateMachine(), {{"fw.L1A", kImage}}};
  const std::string state_ = files_.dir() + "/state.json";
};

TEST_F(StateRun, SecondRunMeetsTheFirmwareTheFirstOneLeft) {
  const ScenarioResult first = Run(true);
  EXPECT_EQ(first.run.status, 0) << first.run.err;
  EXPECT_EQ(Nodes(first, "download"), (std::vector<std::string>{"12", "13"}));
  EXPECT_EQ(Kept(), (std::vector<std::string>{"12 0000000000 1", "13 SN0013 1"}));

  const ScenarioResult second = Run(true);
  const std::vector<std::string> modes = Nodes(second, "mode");
  EXPECT_NE(std::find(modes.begin(), modes.end(), "12 failed"), modes.end())
      << "node 12's after_download, from the state file";
  EXPECT_EQ(std::find(modes.begin(), modes.end(), "12"), modes.end());
  EXPECT_EQ(Nodes(second, "download"), std::vector<std::string>{"13"});
  EXPECT_EQ(Kept(), (std::vector<std::string>{"12 0000000000 1", "13 SN0013 2"}));

  const ScenarioResult unset = Run(false);
  EXPECT_EQ(Nodes(unset, "download"), (std::vector<std::string>{"12", "13"}))
      << "without QXFW_STATE no adapter holds firmware at the start";
  EXPECT_EQ(Kept(), (std::vector<std::string>{"12 0000000000 1", "13 SN0013 2"}))
      << "and the state file is left alone";
}

TEST_F(StateRun, MalformedStateFileStopsTheRunBeforeAnyRequest) {
  std::ofstream(state_) << R"({"adapters": [{"node": 12}]})";
  const ScenarioResult run = Run(true);
  EXPECT_EQ(run.run.status, 2);
  EXPECT_EQ(run.run.err, "qxfwload: simulated machine: state file " + state_ +
                             ": adapters[0]: missing required field \"sn\"\n");
  EXPECT_TRUE(run.transactions.empty());
}

}  // namespace
