// The whole run end to end: the built qxfwload on simulated machines, with
// its output, its exit status and the transactions that reached the driver.
#include <gtest/gtest.h>

#include "testing/bytes.h"
#include "testing/machine_builder.h"
#include "testing/scenario.h"

namespace {

using testing_support::Adapter;
using testing_support::AdapterFirmwareFile;
using testing_support::HexWord;
using testing_support::kBanner;
using testing_support::OfOp;
using testing_support::Reply;
using testing_support::RunScenario;
using testing_support::ScenarioResult;
using testing_support::TestPayload;
using testing_support::Transaction;

const std::string kPayload = TestPayload(1000);
const std::string kImage = AdapterFirmwareFile(kPayload, "CODEID01", "(c) test");

std::string ImagePrelude(const std::string& path) {
  return std::string(kBanner) + "Loading firmware file: " + path +
         "\nLoaded firmware file, CodeID=CODEID01, length=1000 (0x003e8), LRC=0x" +
         HexWord(testing_support::PayloadLrc(kPayload)) +
         "\nCopyright message :-\n---\n(c) test\n---\n";
}

/// A machine with qarmix ports for the given nodes (one port each) and the
/// given adapters.
testing_support::Machine Machine(const std::vector<int>& port_nodes,
                                 const std::vector<Adapter>& adapters) {
  testing_support::Machine machine = testing_support::Machine::WithPortsFor(port_nodes);
  for (const Adapter& adapter : adapters) machine.Add(adapter);
  return machine;
}

/// An adapter of the image's LL.
Adapter Good(std::uint32_t node) { return Adapter(node).Ll("1A"); }

ScenarioResult RunQxfwload(const testing_support::Machine& machine, std::vector<std::string> args,
                           const std::string& image = kImage) {
  return RunScenario(machine, {{"fw.L1A", image}, {"fw.L1a", image}, {"fw.bin", image}}, args);
}

/// Replaces the temporary path in the output by "fw.L1A".
std::string Out(const ScenarioResult& r) {
  std::string out = r.run.out;
  const std::string marker = "/fw.L";
  for (std::size_t at = out.find("Loading firmware file: /"); at != std::string::npos;
       at = out.find("Loading firmware file: /", at + 1)) {
    const std::size_t start = at + 23;
    const std::size_t end = out.find(marker, start);
    if (end != std::string::npos) out.erase(start, end + 1 - start);
  }
  return out;
}

std::vector<std::string> Ops(const std::vector<Transaction>& transactions) {
  std::vector<std::string> ops;
  for (const Transaction& t : transactions) ops.push_back(t.op + ":" + std::to_string(t.node));
  return ops;
}

TEST(DownloadRun, NoAdapterAtAll) {
  const ScenarioResult verbose = RunQxfwload(Machine({}, {}), {"@fw.L1A"});
  EXPECT_EQ(Out(verbose), ImagePrelude("fw.L1A") + "0 successful downloads performed\n");
  EXPECT_EQ(verbose.run.err, "");
  EXPECT_EQ(verbose.run.status, 0);
  const ScenarioResult quiet = RunQxfwload(Machine({}, {}), {"-q", "@fw.L1A"});
  EXPECT_EQ(quiet.run.out, "Warning: didn't do any downloads\n");
  EXPECT_EQ(quiet.run.status, 0);
  EXPECT_TRUE(quiet.transactions.empty());  // no port: nothing reaches a driver
}

TEST(DownloadRun, OneAndTwoSuccessfulDownloads) {
  const ScenarioResult one = RunQxfwload(Machine({11}, {Good(11)}), {"@fw.L1A"});
  EXPECT_EQ(Out(one), ImagePrelude("fw.L1A") +
                          "Downloading CODEID01 to adapter, node=11 ... done\n"
                          "1 successful download performed\n");
  EXPECT_EQ(one.run.status, 0);
  const ScenarioResult two = RunQxfwload(Machine({11, 12}, {Good(11), Good(12)}), {"@fw.L1A"});
  EXPECT_EQ(Out(two), ImagePrelude("fw.L1A") +
                          "Downloading CODEID01 to adapter, node=11 ... done\n"
                          "Downloading CODEID01 to adapter, node=12 ... done\n"
                          "2 successful downloads performed\n");
  const ScenarioResult quiet =
      RunQxfwload(Machine({11, 12}, {Good(11), Good(12)}), {"-q", "@fw.L1A"});
  EXPECT_EQ(quiet.run.out, "");
  EXPECT_EQ(quiet.run.err, "");
  EXPECT_EQ(quiet.run.status, 0);
}

TEST(DownloadRun, EveryTransactionInOrderAndTheImageBytesSent) {
  const ScenarioResult r = RunQxfwload(Machine({11, 12}, {Good(11), Good(12)}), {"-q", "@fw.L1A"});
  std::vector<std::string> expected;
  for (int node = 11; node <= 48; ++node) {
    expected.push_back("mode:" + std::to_string(node));
    expected.push_back("read:" + std::to_string(node));
    if (node != 11 && node != 12) expected.push_back("read2:" + std::to_string(node));
  }
  for (int node : {11, 12}) {
    expected.push_back("identify:" + std::to_string(node));
    for (int n = 11; n <= 48; ++n) {
      if (n != node) expected.push_back("pre_notice:" + std::to_string(n));
    }
    expected.push_back("download:" + std::to_string(node));
    for (int n = 11; n <= 48; ++n) {
      if (n != node) expected.push_back("post_notice:" + std::to_string(n));
    }
  }
  EXPECT_EQ(Ops(r.transactions), expected);
  const auto downloads = OfOp(r.transactions, "download");
  ASSERT_EQ(downloads.size(), 2u);
  for (const Transaction& d : downloads) {
    EXPECT_EQ(d.data_out, kPayload);
    ASSERT_EQ(d.parm_out.size(), 16u);
    EXPECT_EQ(d.parm_out.substr(8), "CODEID01");
  }
}

TEST(DownloadRun, FailedDownloadLines) {
  const Adapter fails_with_5 = Good(11).Answer("download", Reply().Code(-5));
  const ScenarioResult quiet = RunQxfwload(Machine({11}, {fails_with_5}), {"-q", "@fw.L1A"});
  EXPECT_EQ(quiet.run.out,
            "Download CODEID01 to adapter, node=11 failed: rc=-5\n"
            "Warning: didn't do any downloads\n");
  EXPECT_EQ(quiet.run.status, 0);
  const Adapter other_downloader = Good(11).Answer("download", Reply().Code(-30));
  const ScenarioResult verbose = RunQxfwload(Machine({11}, {other_downloader}), {"@fw.L1A"});
  EXPECT_EQ(Out(verbose), ImagePrelude("fw.L1A") +
                              "Downloading CODEID01 to adapter, node=11 ... failed, use other "
                              "downloader\n0 successful downloads performed\n");
  EXPECT_EQ(verbose.run.status, 0);
  // Every download failing still ends with status 0; the notices still follow each attempt.
  const Adapter flag_set = Good(11).Answer("download", Reply().Flag(1));
  const Adapter no_delivery = Good(12).Answer("download", Reply::Fail());
  const ScenarioResult all_fail =
      RunQxfwload(Machine({11, 12}, {flag_set, no_delivery}), {"-q", "@fw.L1A"});
  EXPECT_EQ(all_fail.run.out,
            "Download CODEID01 to adapter, node=11 failed\n"
            "Download CODEID01 to adapter, node=12 failed\n"
            "Warning: didn't do any downloads\n");
  EXPECT_EQ(all_fail.run.status, 0);
  EXPECT_EQ(OfOp(all_fail.transactions, "post_notice").size(), 2u * 37u);
}

TEST(DownloadRun, SkippedAdaptersGetNothing) {
  // Node 21 is carried by the port of 11, its partner.
  const std::vector<Adapter> adapters = {Good(11), Good(21).Partner(), Adapter(12).Ll("2B")};
  const ScenarioResult r = RunQxfwload(Machine({11, 12}, adapters), {"@fw.L1A"});
  EXPECT_EQ(Out(r), ImagePrelude("fw.L1A") +
                        "Downloading CODEID01 to adapter, node=11 ... done\n"
                        "Skipping adapter with LL=2B, node=12\n"
                        "Skipping partner adapter, node=21\n"
                        "1 successful download performed\n");
  for (const Transaction& t : r.transactions) {
    if (t.node == 12 || t.node == 21) {
      EXPECT_TRUE(t.op == "mode" || t.op == "read" || t.op == "read2" || t.op == "identify" ||
                  t.op == "pre_notice" || t.op == "post_notice")
          << t.op << " to " << t.node;
    }
  }
  // Only node 11's download sent notices; the skipped nodes caused none.
  EXPECT_EQ(OfOp(r.transactions, "pre_notice").size(), 37u);
  EXPECT_EQ(OfOp(r.transactions, "download").size(), 1u);
  // Quiet: a partner as the only adapter is skipped silently.
  const ScenarioResult quiet = RunQxfwload(Machine({21}, {Good(21).Partner()}), {"-q", "@fw.L1A"});
  EXPECT_EQ(quiet.run.out, "Warning: didn't do any downloads\n");
}

TEST(DownloadRun, LLIsComparedAsTyped) {
  const ScenarioResult r = RunQxfwload(Machine({11}, {Good(11)}), {"-q", "@fw.L1a"});
  EXPECT_EQ(r.run.out, "Warning: didn't do any downloads\n");
  const ScenarioResult verbose = RunQxfwload(Machine({11}, {Good(11)}), {"@fw.L1a"});
  EXPECT_NE(verbose.run.out.find("Skipping adapter with LL=1A, node=11\n"), std::string::npos);
  const ScenarioResult no_ll =
      RunQxfwload(Machine({11}, {Adapter(11).VpdHex(std::string(512, '0'))}), {"-q", "@fw.L1A"});
  EXPECT_EQ(no_ll.run.out,
            "Unable to determine LL of adapter, node=11\nWarning: didn't do any downloads\n");
}

TEST(DownloadRun, GivenNodes) {
  const ScenarioResult absent =
      RunQxfwload(Machine({11}, {Good(11)}), {"-q", "-a", "30", "@fw.L1A"});
  // Node 30 is carried by the first port, whose driver has no such adapter.
  EXPECT_EQ(absent.run.out, "No adapter at node 30\nWarning: didn't do any downloads\n");
  EXPECT_EQ(absent.run.status, 0);
  EXPECT_TRUE(OfOp(absent.transactions, "identify").empty());

  // Forced with a node: no probe; the download's failure line is all there is.
  const ScenarioResult forced =
      RunQxfwload(Machine({11}, {Good(11)}), {"-q", "-f", "-a", "30", "@fw.L1A"});
  EXPECT_EQ(forced.run.out,
            "Download CODEID01 to adapter, node=30 failed\nWarning: didn't do any downloads\n");
  ASSERT_FALSE(forced.transactions.empty());
  EXPECT_EQ(forced.transactions.front().op, "identify");
  EXPECT_TRUE(OfOp(forced.transactions, "mode").empty());

  // Node 20 lies in the range: 37 notices each way. Node 50 lies outside: 38.
  for (int node : {20, 50}) {
    const ScenarioResult r =
        RunQxfwload(Machine({node}, {Good(node)}), {"-q", "-a", std::to_string(node), "@fw.L1A"});
    const std::size_t others = node == 20 ? 37u : 38u;
    EXPECT_EQ(OfOp(r.transactions, "pre_notice").size(), others) << node;
    EXPECT_EQ(OfOp(r.transactions, "post_notice").size(), others) << node;
    EXPECT_EQ(OfOp(r.transactions, "download").size(), 1u);
    EXPECT_EQ(r.run.out, "") << node;
  }
}

TEST(DownloadRun, ForcedWithoutNodeProbesButSkipsTheLLCheck) {
  const std::vector<Adapter> adapters = {Adapter(11).Ll("2B"), Adapter(12).Mode(2)};
  const ScenarioResult r = RunQxfwload(Machine({11, 12}, adapters), {"-q", "-f", "@fw.bin"});
  EXPECT_EQ(r.run.out, "");
  EXPECT_EQ(r.run.status, 0);
  EXPECT_EQ(OfOp(r.transactions, "mode").size(), 38u);
  const auto downloads = OfOp(r.transactions, "download");
  ASSERT_EQ(downloads.size(), 1u);  // node 12's mode 2 ruled it out
  EXPECT_EQ(downloads[0].node, 11u);
}

TEST(DownloadRun, InvalidImageReachesNoAdapter) {
  std::string bad = kImage;
  bad[272] = static_cast<char>(bad[272] ^ 1);
  const ScenarioResult r = RunQxfwload(Machine({11}, {Good(11)}), {"-q", "@fw.L1A"}, bad);
  EXPECT_EQ(r.run.status, 1);
  EXPECT_EQ(r.run.err.rfind("qxfwload: LRC in file header is 0x", 0), 0u);
  EXPECT_TRUE(r.transactions.empty());
}

}  // namespace
