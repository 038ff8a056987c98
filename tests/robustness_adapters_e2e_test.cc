// Adapters that misbehave, end to end: malformed VPD records, garbage in
// answers, injected status bytes, flags and codes, a port whose device goes
// away mid-run, every node answering -30. The run goes on as each answer
// says, and its trace keeps the rules of every run.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "testing/machine_builder.h"
#include "testing/scenario.h"
#include "tests/robustness_support.h"

namespace {

using robustness::AdapterFileImage;
using robustness::Bytes;
using robustness::ExpectNothingWrongSent;
using robustness::Good;
using robustness::kImage;
using robustness::RunOn;
using robustness::TwoGoodAdapters;
using testing_support::Adapter;
using testing_support::Machine;
using testing_support::OfOp;
using testing_support::QarmixPort;
using testing_support::Reply;
using testing_support::ScenarioResult;
using testing_support::Transaction;

TEST(Robustness, EveryMalformedVpdRecordIsSkipped) {
  const std::string keywords =
      "*PN" + Bytes({9}) + "QARMIX ADAPTER*SN" + Bytes({7}) + "0000000000*LL" + Bytes({3}) + "1A";
  const std::string head = Bytes({0, 19, 0, 0});         // bytes 3-6: 38 bytes of keywords
  const std::string long_area = Bytes({0, 0x7f, 0, 0});  // 254 bytes of keywords
  const struct {
    const char* rule;
    std::string record;
  } records[] = {
      {"no signature", "VPd" + head + keywords},
      {"area under 4 bytes", "VPD" + Bytes({0, 1, 0, 0}) + keywords},
      {"keyword longer than the area", "VPD" + Bytes({0, 3, 0, 0}) + "*LL" + Bytes({4}) + "1A"},
      {"keyword without '*'", "VPD" + head + "-PN" + keywords.substr(3)},
      {"keyword of length 0", "VPD" + head + "*PN" + Bytes({0}) + keywords.substr(4)},
      {"keyword header past the record", "VPD" + long_area + "*PN" + Bytes({123})},
      {"LL value past the record",
       "VPD" + long_area + "*PN" + Bytes({122}) + std::string(240, ' ') + "*LL" + Bytes({3}) + "1"},
      {"lower-case *ll", "VPD" + head + keywords.substr(0, 32) + "*ll" + keywords.substr(35)},
      {"area that wraps", "VPD" + Bytes({0, 0x81, 0, 0}) + keywords},  // 2 bytes, not 258
  };
  Machine machine({QarmixPort(0, 11)});
  std::uint32_t node = 11;
  std::string expected;
  for (const auto& r : records) {
    ASSERT_LE(r.record.size(), 256u) << r.rule;
    machine.Add(Adapter(node).VpdBytes(r.record));
    expected += "Unable to determine LL of adapter, node=" + std::to_string(node) + "\n";
    ++node;
  }
  machine.Add(Adapter(node).Ll("2B"));  // a well-formed record of another LL
  machine.Add(Good(node + 1));          // and the one good adapter
  const ScenarioResult r = RunOn(machine, {{"fw.L1A", kImage}}, {"-q", "@fw.L1A"});
  EXPECT_EQ(r.run.out, expected);  // quiet: the other LL is skipped silently
  EXPECT_EQ(r.run.status, 0);
  const auto downloads = OfOp(r.transactions, "download");
  ASSERT_EQ(downloads.size(), 1u);
  EXPECT_EQ(downloads[0].node, node + 1);
  EXPECT_EQ(OfOp(r.transactions, "pre_notice").size(), 37u) << "skipped nodes cause no notices";
  ExpectNothingWrongSent(r, machine, AdapterFileImage(kImage), "1A");
}

TEST(Robustness, GarbageInAnswersChangesNothingTheSystemDoesNotRead) {
  // Garbage over every byte the pass-through must not read back: the run is
  // the same as on clean adapters, and the second download still carries
  // the file's bytes although the first answer scribbled over its image.
  const Machine clean({QarmixPort(0, 11), QarmixPort(1, 12)},
                      {Good(11), Good(21).Partner(), Good(12)});
  Machine garbage = clean;
  for (Adapter& a : garbage.adapters()) a.Garbage();
  const ScenarioResult expected = RunOn(clean, {{"fw.L1A", kImage}}, {"@fw.L1A"});
  const ScenarioResult r = RunOn(garbage, {{"fw.L1A", kImage}}, {"@fw.L1A"});
  // The same lines, after the one that names the temporary file.
  const auto after_path = [](const std::string& out) { return out.substr(out.find("\nLoaded")); };
  EXPECT_EQ(after_path(r.run.out), after_path(expected.run.out));
  EXPECT_NE(r.run.out.find("2 successful downloads performed\n"), std::string::npos);
  EXPECT_EQ(r.run.status, 0);
  ASSERT_EQ(r.transactions.size(), expected.transactions.size());
  for (std::size_t i = 0; i < r.transactions.size(); ++i) {
    EXPECT_EQ(r.transactions[i].op, expected.transactions[i].op) << i;
    EXPECT_EQ(r.transactions[i].parm_out, expected.transactions[i].parm_out) << i;
  }
  ExpectNothingWrongSent(r, garbage, AdapterFileImage(kImage), "1A");
}

TEST(Robustness, GarbageAnswersAreTakenForWhatTheySay) {
  // Each adapter answers one request with garbage where the system does
  // read: an unknown mode, odd status bytes, flags and codes.
  const std::string ll_1a_record = "VPD" + Bytes({0, 3, 0, 0}) + "*LL" + Bytes({3}) + "1A";
  const Machine machine(
      {QarmixPort(0, 11)},
      {
          Good(11).Mode(127),                                   // no such mode
          Good(12).Answer("mode", Reply().Status(85)),          // read at mode 0
          Good(13).Answer("read", Reply().Flag(255).Code(77)),  // read2 then
          Good(14).Answer("read", Reply().Status(-1)).Answer("read2", Reply().Status(1)),  // no VPD
          Adapter(15).VpdBytes(std::string(256, '\xff')),
          Good(16).Answer("identify", Reply().Status(-77).Code(1)),
          Good(17).Answer("download", Reply().Code(4660)),
          Good(18).Answer("download", Reply().Status(1)),
          Good(19).Answer("download", Reply().Code(-32768)),
          Adapter(20)
              .VpdBytes(ll_1a_record)
              .Garbage()
              .Answer("pre_notice", Reply().Status(-5))
              .Answer("post_notice", Reply::Fail()),
      });
  const ScenarioResult r = RunOn(machine, {{"fw.L1A", kImage}}, {"-q", "@fw.L1A"});
  EXPECT_EQ(r.run.out,
            "Unable to determine LL of adapter, node=15\n"
            "Download CODEID01 to adapter, node=17 failed: rc=4660\n"
            "Download CODEID01 to adapter, node=18 failed\n"
            "Download CODEID01 to adapter, node=19 failed: rc=-32768\n");
  EXPECT_EQ(r.run.status, 0);
  std::vector<std::uint32_t> downloaded;
  for (const Transaction& t : OfOp(r.transactions, "download")) downloaded.push_back(t.node);
  EXPECT_EQ(downloaded, (std::vector<std::uint32_t>{12, 13, 16, 17, 18, 19, 20}));
  EXPECT_TRUE(OfOp(r.transactions, "read").size() == 37u) << "node 11's mode rules out a read";
  ExpectNothingWrongSent(r, machine, AdapterFileImage(kImage), "1A", {20});
}

TEST(Robustness, PortThatFailsMidRun) {
  // Port 0 carries node 11 and, by the fallback, every node without a port
  // of its own; port 1 carries node 12. A first run counts what port 0
  // serves before its first notice; the device then goes away a few
  // requests into the notices, and again in the middle of the probes.
  const Machine healthy = TwoGoodAdapters();
  const ScenarioResult before = RunOn(healthy, {{"fw.L1A", kImage}}, {"-q", "@fw.L1A"});
  std::uint32_t served_before_notices = 0;
  for (const Transaction& t : before.transactions) {
    if (t.op == "pre_notice") break;
    if (t.port == 0) ++served_before_notices;
  }
  const struct {
    std::uint32_t limit;
    std::string out;
  } cases[] = {
      {served_before_notices + 5,
       "Download CODEID01 to adapter, node=11 failed\n"},  // node 12 is still downloaded
      {4,  // dies during the probe of node 13, after node 11 answered its own
       "Download CODEID01 to adapter, node=11 failed\n"},
      {0, ""},  // dead from the start: only node 12 answers
  };
  for (const auto& c : cases) {
    Machine failing = healthy;
    failing.ports()[0].FailAfter(c.limit);
    const ScenarioResult r = RunOn(failing, {{"fw.L1A", kImage}}, {"-q", "@fw.L1A"});
    EXPECT_EQ(r.run.out, c.out) << c.limit;
    EXPECT_EQ(r.run.status, 0);
    std::uint32_t on_port_0 = 0;
    for (const Transaction& t : r.transactions) {
      if (t.port != 0) continue;
      ++on_port_0;
      EXPECT_EQ(t.delivered, on_port_0 <= c.limit) << "request " << on_port_0 << " on port 0";
    }
    EXPECT_GT(on_port_0, c.limit) << "the run went on after the device went away";
    const auto downloads = OfOp(r.transactions, "download");
    ASSERT_FALSE(downloads.empty());
    EXPECT_EQ(downloads.back().node, 12u);
    EXPECT_TRUE(downloads.back().delivered);
    ExpectNothingWrongSent(r, failing, AdapterFileImage(kImage), "1A");
  }
}

TEST(Robustness, EveryNodeAnsweringMinus30) {
  // 38 adapters, all reached through one port.
  Machine downloads_refused({QarmixPort(0, 11)});
  Machine all_refused = downloads_refused;
  std::string verbose, quiet;
  for (std::uint32_t node = 11; node <= 48; ++node) {
    downloads_refused.Add(Good(node).Answer("download", Reply().Code(-30)));
    Adapter every = Good(node);
    for (const char* op : testing_support::kAnswerOperations) every.Answer(op, Reply().Code(-30));
    all_refused.Add(every);
    const std::string n = std::to_string(node);
    verbose += "Downloading CODEID01 to adapter, node=" + n + " ... failed, use other downloader\n";
    quiet += "Download CODEID01 to adapter, node=" + n + " failed, use other downloader\n";
  }
  const ScenarioResult r = RunOn(downloads_refused, {{"fw.L1A", kImage}}, {"@fw.L1A"});
  EXPECT_EQ(r.run.out.substr(r.run.out.find("Downloading")),
            verbose + "0 successful downloads performed\n");
  EXPECT_EQ(r.run.status, 0);
  EXPECT_EQ(OfOp(r.transactions, "download").size(), 38u);
  EXPECT_EQ(OfOp(r.transactions, "post_notice").size(), 38u * 37u);
  ExpectNothingWrongSent(r, downloads_refused, AdapterFileImage(kImage), "1A");
  const ScenarioResult q = RunOn(downloads_refused, {{"fw.L1A", kImage}}, {"-q", "@fw.L1A"});
  EXPECT_EQ(q.run.out, quiet + "Warning: didn't do any downloads\n");

  // Every request answered -30: no probe succeeds, so nothing is downloaded;
  // forced to a node, the download's own -30 is reported.
  const ScenarioResult none = RunOn(all_refused, {{"fw.L1A", kImage}}, {"-q", "@fw.L1A"});
  EXPECT_EQ(none.run.out, "Warning: didn't do any downloads\n");
  EXPECT_TRUE(OfOp(none.transactions, "download").empty());
  const ScenarioResult given =
      RunOn(all_refused, {{"fw.L1A", kImage}}, {"-q", "-a", "30", "@fw.L1A"});
  EXPECT_EQ(given.run.out, "No adapter at node 30\nWarning: didn't do any downloads\n");
  const ScenarioResult forced =
      RunOn(all_refused, {{"fw.L1A", kImage}}, {"-q", "-f", "-a", "30", "@fw.L1A"});
  EXPECT_EQ(forced.run.out,
            "Download CODEID01 to adapter, node=30 failed, use other downloader\n"
            "Warning: didn't do any downloads\n");
  for (const ScenarioResult* run : {&none, &given}) {
    EXPECT_EQ(run->run.status, 0);
    ExpectNothingWrongSent(*run, all_refused, AdapterFileImage(kImage), "1A");
  }
  ExpectNothingWrongSent(forced, all_refused, AdapterFileImage(kImage), "");
}

// A class-3 read that is answered with a code has still written the record:
// the class-2 read that follows it must send none of it.
TEST(Robustness, FallbackReadSendsNothingOfTheFailedRead) {
  Machine machine = TwoGoodAdapters();
  machine.adapters()[0].Answer("read", Reply().Code(-5));
  const ScenarioResult r = RunOn(machine, {{"fw.L1A", kImage}}, {"-q", "@fw.L1A"});
  EXPECT_EQ(r.run.status, 0);
  const auto fallback = OfOp(r.transactions, "read2");
  ASSERT_FALSE(fallback.empty());
  EXPECT_EQ(fallback[0].node, 11u);
  EXPECT_EQ(OfOp(r.transactions, "download").size(), 2u);
  ExpectNothingWrongSent(r, machine, AdapterFileImage(kImage), "1A");
}

}  // namespace
