// qxfwscan as an operator runs it. The test that matters most: over many
// generated machines, the adapters that qxfwscan plans to download to are
// exactly those that qxfwload with the same options and file then sends the
// image to, in the same order; and qxfwscan never sends anything but node
// queries, probes and identify requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "testing/bytes.h"
#include "testing/machine_builder.h"
#include "testing/run_process.h"
#include "testing/scenario.h"

namespace {

using testing_support::Adapter;
using testing_support::AdapterFirmwareFile;
using testing_support::Machine;
using testing_support::OfOp;
using testing_support::Port;
using testing_support::QarmixPort;
using testing_support::Reply;
using testing_support::RunScenario;
using testing_support::ScenarioResult;
using testing_support::TestPayload;
using testing_support::Transaction;
using testing_support::UnderWine;

const std::string kImage = AdapterFirmwareFile(TestPayload(1000), "SCAN0001", "(c) scan test");

ScenarioResult Scan(const Machine& machine, std::vector<std::string> args) {
  return RunScenario(machine, {{"fw.L1A", kImage}, {"fw.bin", kImage}}, args, "", "qxfwscan");
}

ScenarioResult Load(const Machine& machine, const std::vector<std::string>& args) {
  return RunScenario(machine, {{"fw.L1A", kImage}, {"fw.bin", kImage}}, args);
}

/// Every transaction a scan sent is one of the read-only requests.
void ExpectReadOnly(const ScenarioResult& scan, const std::string& context) {
  for (const Transaction& t : scan.transactions) {
    const std::set<std::string> read_only = {"mode", "read", "read2", "identify"};
    EXPECT_TRUE(read_only.count(t.op) == 1)
        << context << ": qxfwscan sent " << t.op << " to node " << t.node;
  }
}

// ---------------------------------------------------------------------------
// Generated machines.

/// Builds random machines: ports with and without the driver, unopenable
/// devices, failing and silent node queries, ports whose transactions fail;
/// adapters of several LLs and modes, partners, VPD records with and without
/// "*LL" (or with no signature at all), garbage answers and injected answers
/// on every operation. No port fails mid-run: a scan and a run see the same
/// machine.
class MachineGenerator {
 public:
  explicit MachineGenerator(unsigned seed) : random_(seed) {}

  Machine Next() {
    Machine machine;
    std::vector<int> port_numbers(16);
    for (int i = 0; i < 16; ++i) port_numbers[i] = i;
    std::shuffle(port_numbers.begin(), port_numbers.end(), random_);
    const int port_count = Pick(0, 4);
    for (int i = 0; i < port_count; ++i) machine.Add(MakePort(port_numbers[i]));
    std::set<int> nodes;
    const int adapter_count = Pick(0, 8);
    for (int i = 0; i < adapter_count; ++i) {
      const int node = AdapterNode();
      if (!nodes.insert(node).second) continue;
      machine.Add(MakeAdapter(node));
    }
    nodes_ = nodes;
    return machine;
  }

  /// Options for a run on the last machine: -a (often at one of its
  /// adapters), -f, and a file name with or without an LL.
  std::vector<std::string> Options() {
    std::vector<std::string> args;
    if (Chance(2)) {
      args.push_back(Chance(2) ? "-a" : "-n");
      const bool known = !nodes_.empty() && Chance(4) != 0;
      int node = Pick(0, 60);
      if (known) node = *std::next(nodes_.begin(), Pick(0, static_cast<int>(nodes_.size()) - 1));
      args.push_back(std::to_string(node));
    }
    const bool force = Chance(3);
    if (force) args.push_back("-f");
    args.push_back(force && Chance(2) ? "@fw.bin" : "@fw.L1A");
    return args;
  }

  bool Chance(int one_in) { return Pick(1, one_in) == 1; }

 private:
  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  // Each draw in the order of the fields, so that a seed keeps its machines.
  Port MakePort(int number) {
    Port port(number);
    port.Driver(Chance(6) ? "atapi" : "qarmix");
    const int nodes[] = {11, 12, 13, 17, 21, 22, 27, 30, 33, 48, 0, -1, 5};
    port.Node(nodes[Pick(0, 12)]);
    if (Chance(8)) port.DeviceMissing();
    if (Chance(8)) port.NodeQuery(Chance(2) ? "fail" : "silent");
    if (Chance(12)) port.TransactionsFail();
    return port;
  }

  int AdapterNode() {
    if (Chance(10)) return Chance(2) ? Pick(0, 10) : Pick(49, 60);
    return Pick(11, 48);
  }

  void SetVpd(Adapter& adapter) {
    switch (Pick(0, 7)) {
      case 0:
        adapter.Ll("2B");
        return;
      case 1:
        adapter.Ll("1a");
        return;
      case 2:  // a record with a keyword, but no "*LL"
        adapter.VpdBytes(
            std::string("VPD\0\x03\0\0*PN\x03"
                        "AB",
                        13));
        return;
      case 3: {  // anything at all
        std::string hex;
        for (int i = 0; i < 512; ++i) hex += testing_support::kHexDigits[Pick(0, 15)];
        adapter.VpdHex(hex);
        return;
      }
      default:
        adapter.Ll("1A");
    }
  }

  Reply MakeReply() {
    switch (Pick(0, 4)) {
      case 0:
        return Reply::Fail();
      case 1:
        return Reply().Status(-1);
      case 2:
        return Reply().Flag(1);
      case 3:
        return Reply().Code(-30);
      default:
        return Reply().Code(-5);
    }
  }

  Adapter MakeAdapter(int node) {
    Adapter adapter(static_cast<std::uint32_t>(node));
    SetVpd(adapter);
    const int modes[] = {0, 0, 0, 0, 1, 1, 2, 7};
    adapter.Mode(modes[Pick(0, 7)]);
    if (Chance(4)) adapter.Partner();
    if (Chance(10)) adapter.Garbage();
    for (const char* operation : testing_support::kAnswerOperations) {
      if (Chance(6)) adapter.Answer(operation, MakeReply());
    }
    return adapter;
  }

  std::mt19937 random_;
  std::set<int> nodes_;
};

/// The nodes a scan's plan downloads to, in the plan's order; `reachable`:
/// only those that a port carries (the others' downloads fail unsent).
std::vector<std::uint32_t> PlannedDownloads(const nlohmann::json& plan, bool reachable) {
  std::vector<std::uint32_t> nodes;
  for (const nlohmann::json& adapter : plan["adapters"]) {
    if (adapter["action"] != "download" || (reachable && adapter["port"].is_null())) continue;
    nodes.push_back(adapter["node"].get<std::uint32_t>());
  }
  return nodes;
}

std::vector<std::uint32_t> NodesDownloadedTo(const ScenarioResult& run) {
  std::vector<std::uint32_t> nodes;
  for (const Transaction& t : OfOp(run.transactions, "download")) nodes.push_back(t.node);
  return nodes;
}

/// How many machines: 500 on the Linux build; fewer where each run costs
/// far more, under Wine (a process start is about 0.3 s there) and under
/// valgrind, which already sees every path with fewer.
int GeneratedMachines() {
  if (UnderWine()) return 40;
  if (testing_support::UnderWrapper()) return 15;
  return 500;
}

TEST(ScanPlan, IsWhatTheRunDoesOnGeneratedMachines) {
  MachineGenerator generate(20261209);
  int downloads = 0;
  for (int i = 0; i < GeneratedMachines(); ++i) {
    const Machine machine = generate.Next();
    std::vector<std::string> options = generate.Options();
    std::vector<std::string> scan_args = {"--json"};
    scan_args.insert(scan_args.end(), options.begin(), options.end());
    const ScenarioResult scan = Scan(machine, scan_args);
    if (generate.Chance(2)) options.insert(options.begin(), "-q");
    const ScenarioResult run = Load(machine, options);
    const std::string context = "machine " + std::to_string(i) + ": " + machine.Text() +
                                "\noptions: " + ::testing::PrintToString(options);
    ASSERT_EQ(scan.run.status, 0) << context << "\n" << scan.run.err;
    ASSERT_EQ(run.run.status, 0) << context << "\n" << run.run.err;
    const nlohmann::json plan = nlohmann::json::parse(scan.run.out);
    const std::vector<std::uint32_t> planned = PlannedDownloads(plan, false);
    ASSERT_EQ(PlannedDownloads(plan, true), NodesDownloadedTo(run)) << context;
    ASSERT_EQ(plan["plan"]["downloads"], planned.size()) << context;
    ASSERT_EQ(plan["plan"]["skips"], plan["adapters"].size() - planned.size()) << context;
    ExpectReadOnly(scan, context);
    if (::testing::Test::HasFailure()) return;
    downloads += static_cast<int>(planned.size());
  }
  // The machines must reach downloads at all, or the comparison says little.
  EXPECT_GT(downloads, GeneratedMachines() / 4);
}

// ---------------------------------------------------------------------------
// What an operator reads, on the example machine.

const Machine kExampleMachine(
    {Port(0).Driver("atapi"), QarmixPort(1, 11), QarmixPort(2, 12).NodeQuery("fail")},
    {Adapter(11).Ll("1A"), Adapter(21).Ll("1A").Partner(),
     Adapter(12).Ll("2B").Mode(1).Answer("read", Reply::Fail()).Answer("identify", Reply::Fail()),
     Adapter(30).Mode(5)});

TEST(ScanReport, JsonCarriesEveryAdapterWithItsActionAndWhy) {
  const ScenarioResult scan = Scan(kExampleMachine, {"--json", "@fw.L1A"});
  ASSERT_EQ(scan.run.status, 0) << scan.run.err;
  const nlohmann::json report = nlohmann::json::parse(scan.run.out);
  ASSERT_EQ(report["ports"].size(), 2u);
  EXPECT_EQ(report["ports"][1]["device"], "\\\\.\\Scsi2:");
  EXPECT_EQ(report["ports"][1]["opened"], true);
  EXPECT_EQ(report["ports"][1]["node"], nullptr);  // its node query failed
  ASSERT_EQ(report["adapters"].size(), 3u);
  const nlohmann::json& a11 = report["adapters"][0];
  const nlohmann::json& a12 = report["adapters"][1];
  const nlohmann::json& a21 = report["adapters"][2];
  EXPECT_EQ(a11["route"], "node");
  EXPECT_EQ(a11["vpd_read"], "class3");
  EXPECT_EQ(a11["keywords"][2], (nlohmann::json{{"name", "*LL"}, {"value", "1A"}}));
  EXPECT_EQ(a11["action"], "download");
  // Node 12's port reported no node: the first port with a node carries it.
  EXPECT_EQ(a12["port"], 1);
  EXPECT_EQ(a12["route"], "first-port");
  EXPECT_EQ(a12["mode"], 1);
  EXPECT_EQ(a12["vpd_read"], "class2");
  EXPECT_EQ(a12["partner"], nullptr);
  EXPECT_EQ(a12["action"], "skip-ll");
  EXPECT_NE(a12["reason"].get<std::string>().find("2B"), std::string::npos);
  EXPECT_EQ(a21["route"], "partner");
  EXPECT_EQ(a21["action"], "skip-partner");
  EXPECT_EQ(report["image"]["code_id"], "SCAN0001");
  EXPECT_EQ(report["image"]["length"], 1000);
  EXPECT_EQ(report["image"]["ll"], "1A");
  EXPECT_EQ(report["plan"], (nlohmann::json{{"downloads", 1}, {"skips", 2}}));
  // Listing only: no image, no plan, no actions; the partner is still known.
  const nlohmann::json listed = nlohmann::json::parse(Scan(kExampleMachine, {"--json"}).run.out);
  EXPECT_EQ(listed["image"], nullptr);
  EXPECT_EQ(listed["plan"], nullptr);
  EXPECT_EQ(listed["adapters"][0]["action"], nullptr);
  EXPECT_EQ(listed["adapters"][2]["partner"], true);
}

TEST(ScanReport, GivenNodesForcedOrSilent) {
  nlohmann::json report =
      nlohmann::json::parse(Scan(kExampleMachine, {"--json", "-a", "40", "@fw.L1A"}).run.out);
  ASSERT_EQ(report["adapters"].size(), 1u);
  EXPECT_EQ(report["adapters"][0]["answered"], false);
  EXPECT_EQ(report["adapters"][0]["action"], "no-adapter");
  const ScenarioResult forced = Scan(kExampleMachine, {"--json", "-f", "-a", "40", "@fw.bin"});
  report = nlohmann::json::parse(forced.run.out);
  EXPECT_EQ(report["adapters"][0]["probed"], false);
  EXPECT_EQ(report["adapters"][0]["action"], "download");
  EXPECT_EQ(report["image"]["ll"], nullptr);
  // No probe at all: the identify request alone, to the given node.
  ASSERT_EQ(forced.transactions.size(), 1u);
  EXPECT_EQ(forced.transactions[0].op, "identify");
  EXPECT_EQ(forced.transactions[0].node, 40u);
}

TEST(ScanReport, TextTableForPeople) {
  const ScenarioResult scan = Scan(kExampleMachine, {"@fw.L1A"});
  ASSERT_EQ(scan.run.status, 0) << scan.run.err;
  const std::string& out = scan.run.out;
  EXPECT_NE(out.find("     2  \\\\.\\Scsi2:    yes     (node query failed)\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("    11     1  node           0  class3  1A  no       download      "),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("        VPD: *PN=\"QARMIX ADAPTER\" *SN=\"0000000000\" *LL=\"1A\"\n"),
            std::string::npos);
  EXPECT_NE(out.find("Plan: 1 download, 2 skips\n"), std::string::npos) << out;
  const ScenarioResult empty = Scan(Machine(), {});
  EXPECT_EQ(empty.run.out,
            "No port is served by the driver qarmix.\n\n"
            "No adapter answers the probe at nodes 11 to 48.\n");
}

// A file qxfwload refuses is refused with qxfwload's own message, before any
// adapter hears anything.
TEST(ScanCommandLine, RefusalsAndUsage) {
  const std::string short_file = "short";
  const ScenarioResult refused =
      RunScenario(kExampleMachine, {{"fw.L1A", short_file}}, {"@fw.L1A"}, "", "qxfwscan");
  const ScenarioResult load =
      RunScenario(kExampleMachine, {{"fw.L1A", short_file}}, {"-q", "@fw.L1A"});
  EXPECT_EQ(refused.run.status, 1);
  // Each run has a folder of its own for the file.
  const std::regex folder("qxfw-test-[0-9]+");
  ASSERT_EQ(load.run.err.rfind("qxfwload: ", 0), 0u);
  EXPECT_EQ(std::regex_replace(refused.run.err, folder, ""),
            "qxfwscan: " + std::regex_replace(load.run.err.substr(10), folder, ""));
  EXPECT_TRUE(refused.transactions.empty());
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"-q"}, {"-p"}, {"fw.L1A", "extra"}, {"-a"}}) {
    const ScenarioResult usage = Scan(Machine(), args);
    EXPECT_EQ(usage.run.status, 1) << ::testing::PrintToString(args);
    EXPECT_EQ(usage.run.err.rfind("usage: qxfwscan", 0), 0u) << usage.run.err;
  }
  const ScenarioResult bad_node = Scan(Machine(), {"-n", "-5"});
  EXPECT_EQ(bad_node.run.err, "qxfwscan: bad node argument\n");
  // Node texts that don't fit in 32 bits are refused by both programs alike,
  // before any request: 4294967307 and 0x10000000b wrapped onto node 11.
  const struct {
    const char* text;
    const char* message;
  } nodes[] = {{"4294967307", "bad node argument"},           {"0x10000000b", "bad node argument"},
               {"4294967307abc", "bad node argument"},        {"0x-80000001", "bad node argument"},
               {"4294967295", "node should not be negative"}, {"11abc", nullptr}};
  for (const auto& node : nodes) {
    for (const char* option : {"-a", "-N"}) {
      SCOPED_TRACE(std::string(option) + " " + node.text);
      const ScenarioResult scan = Scan(kExampleMachine, {option, node.text, "@fw.L1A"});
      const ScenarioResult run = Load(kExampleMachine, {"-q", option, node.text, "@fw.L1A"});
      if (node.message == nullptr) {
        EXPECT_EQ(scan.run.status, 0) << scan.run.err;
        EXPECT_EQ(NodesDownloadedTo(run), std::vector<std::uint32_t>{11});
        continue;
      }
      EXPECT_EQ(scan.run.err, std::string("qxfwscan: ") + node.message + "\n");
      EXPECT_EQ(run.run.err, std::string("qxfwload: ") + node.message + "\n");
      EXPECT_EQ(scan.run.status, 1);
      EXPECT_EQ(run.run.status, 1);
      EXPECT_TRUE(scan.transactions.empty());
      EXPECT_TRUE(run.transactions.empty());
    }
  }
  const ScenarioResult help = Scan(Machine(), {"--help"});
  EXPECT_EQ(help.run.status, 0);
  EXPECT_EQ(help.run.out.rfind("usage: qxfwscan", 0), 0u);
  EXPECT_EQ(help.run.err, "");
}

}  // namespace
