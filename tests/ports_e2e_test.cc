// The machine's ports as a whole run meets them: which ports are opened,
// asked for their node and given transactions, and what a machine that
// can't be loaded does. Only the DeviceIoControl lines of the trace are
// read, so that the checks hold on the Linux build and on the Windows build
// under Wine alike.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "testing/machine_builder.h"
#include "testing/scenario.h"
#include "testing/scratch_dir.h"

namespace {

using testing_support::Adapter;
using testing_support::AdapterFirmwareFile;
using testing_support::Machine;
using testing_support::OfOp;
using testing_support::Port;
using testing_support::QarmixPort;
using testing_support::RunScenario;
using testing_support::ScenarioResult;
using testing_support::TempDir;
using testing_support::TestPayload;
using testing_support::Transaction;

constexpr std::uint32_t kNodeQueryCode = 0x80000002u;

/// One DeviceIoControl line of the trace.
struct Control {
  int handle = 0;
  int port = -1;
  std::uint32_t control_code = 0;  // the packet's ControlCode
  int node_byte = -1;              // the answer's byte 140, -1 when shorter
  bool result = false;
};

std::uint32_t Word(const std::string& hex, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = value << 8 |
            static_cast<std::uint32_t>(std::stoul(hex.substr(2 * (at + i), 2), nullptr, 16));
  }
  return value;
}

std::vector<Control> Controls(const ScenarioResult& r) {
  std::vector<Control> controls;
  for (const std::string& text : r.trace) {
    const nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
    if (line.is_discarded() || line.value("op", "") != "DeviceIoControl") continue;
    Control c;
    c.handle = line["handle"].get<int>();
    c.port = line.value("port", -1);
    const std::string sent = line["sent"].get<std::string>();
    const std::string answer = line["answer"].get<std::string>();
    if (sent.size() >= 40) c.control_code = Word(sent, 16);
    if (answer.size() > 2 * 140) c.node_byte = std::stoi(answer.substr(280, 2), nullptr, 16);
    c.result = line["result"].get<int>() != 0;
    controls.push_back(c);
  }
  return controls;
}

const std::string kImage = AdapterFirmwareFile(TestPayload(600), "PORTS001", "(c) ports");

// Every way a port can be other than a working qarmix port, next to two that
// work: 0 another driver's, 1 no device, 2 a failing node query, 3 a silent
// one, 4 failing transactions, 5 and 8 good, 6 no "Driver" value, 7 the
// name in capitals. Adapter 12 keeps its VPD record where mode 1 puts it.
const Machine kMixedMachine(
    {Port(0).Driver("atapi").Node(11), QarmixPort(1, 12).DeviceMissing(),
     QarmixPort(2, 12).NodeQuery("fail"), QarmixPort(3, 99).NodeQuery("silent"),
     QarmixPort(4, 11).TransactionsFail(), QarmixPort(5, 12), Port(6).Node(12),
     Port(7).Driver("QARMIX").Node(12), QarmixPort(8, 13)},
    {Adapter(11).Ll("1A"), Adapter(12).Mode(1).Ll("1A"), Adapter(13).Ll("2B")});

TEST(PortsRun, OnlyTheDriversPresentPortsAreOpenedAndQueried) {
  const ScenarioResult r = RunScenario(kMixedMachine, {{"fw.L1A", kImage}}, {"-q", "@fw.L1A"});
  EXPECT_EQ(r.run.err, "");
  EXPECT_EQ(r.run.status, 0);
  std::vector<int> queried_ports;
  std::vector<int> handles;
  std::vector<bool> results;
  std::vector<int> node_bytes;
  std::set<int> ports_used;
  for (const Control& c : Controls(r)) {
    ports_used.insert(c.port);
    if (c.control_code != kNodeQueryCode) continue;
    queried_ports.push_back(c.port);
    handles.push_back(c.handle);
    results.push_back(c.result);
    node_bytes.push_back(c.node_byte);
  }
  // The open devices are numbered in port order; the missing one is not.
  EXPECT_EQ(queried_ports, (std::vector<int>{2, 3, 4, 5, 8}));
  EXPECT_EQ(handles, (std::vector<int>{4, 5, 6, 7, 8}));
  EXPECT_EQ(results, (std::vector<bool>{false, true, true, true, true}));
  // A failed query leaves the buffer as it was sent; a silent one answers
  // without writing the node, so the byte is still the zero sent.
  EXPECT_EQ(node_bytes, (std::vector<int>{0, 0, 11, 12, 13}));
  EXPECT_EQ(ports_used, (std::set<int>{2, 3, 4, 5, 8}));
}

TEST(PortsRun, TransactionsGoWhereTheNodeTableSendsThem) {
  const ScenarioResult r = RunScenario(kMixedMachine, {{"fw.L1A", kImage}}, {"@fw.L1A"});
  // Node 11's port fails every transaction, so only node 12 (mode 1) and 13
  // answer; 13 carries another LL.
  const std::string out = r.run.out;
  EXPECT_NE(out.find("Downloading PORTS001 to adapter, node=12 ... done\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("Skipping adapter with LL=2B, node=13\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("node=11"), std::string::npos) << out;
  EXPECT_NE(out.find("1 successful download performed\n"), std::string::npos) << out;
  for (const Transaction& t : r.transactions) {
    EXPECT_EQ(t.delivered, t.port != 4) << t.op << " to " << t.node << " on port " << t.port;
  }
  const auto downloads = OfOp(r.transactions, "download");
  ASSERT_EQ(downloads.size(), 1u);
  EXPECT_EQ(downloads[0].port, 5);
  EXPECT_EQ(downloads[0].status, 0);
  // Node 11 and its partner, and every node no port carries, go to port 4,
  // the first that reported a node.
  for (const Transaction& t : OfOp(r.transactions, "mode")) {
    const int expected = t.node == 12 || t.node == 22 ? 5 : t.node == 13 || t.node == 23 ? 8 : 4;
    EXPECT_EQ(t.port, expected) << t.node;
  }
}

TEST(PortsRun, AMachineThatCantBeLoadedEndsTheRunWithStatus2) {
  TempDir dir;
  const std::string machine = dir.Write("bad.json", R"({"ports": [{"port": 0, "drvier": "x"}]})");
  testing_support::ProcessOptions options;
  options.env = {"QXFW_MACHINE=" + machine};
  options.unset = {"QXFW_TRACE"};
  const auto r = testing_support::RunProcess(testing_support::BuiltProgram("qxfwload"),
                                             {"-q", "fw.L1A"}, options);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "qxfwload: simulated machine: " + machine + ": ports[0]: unknown field \"drvier\"\n");
  EXPECT_EQ(r.status, 2);
}

}  // namespace
