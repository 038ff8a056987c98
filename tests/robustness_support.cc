#include "tests/robustness_support.h"

#include <gtest/gtest.h>

namespace robustness {

using testing_support::Adapter;
using testing_support::AdapterFirmwareFile;
using testing_support::Machine;
using testing_support::PayloadLrc;
using testing_support::QarmixPort;
using testing_support::ScenarioResult;
using testing_support::TestPayload;
using testing_support::Transaction;

const std::string kPayload = TestPayload(1001);
const std::string kImage = AdapterFirmwareFile(kPayload, "CODEID01", "(c) test");

namespace {

std::string LittleEndian(std::uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}

bool IsProbe(const Transaction& t) { return t.op == "mode" || t.op == "read" || t.op == "read2"; }

}  // namespace

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

Adapter Good(std::uint32_t node) { return Adapter(node).Ll("1A"); }

Machine TwoGoodAdapters() {
  return Machine({QarmixPort(0, 11), QarmixPort(1, 12)}, {Good(11), Good(12)});
}

SentImage AdapterFileImage(const std::string& file) {
  return {file.substr(272), file.substr(260, 8), PayloadLrc(file.substr(272))};
}

void ExpectNothingWrongSent(const ScenarioResult& r, const Machine& machine,
                            const std::optional<SentImage>& image, const std::string& firmware_ll,
                            const std::set<std::uint32_t>& records_of_ll) {
  if (!image) {
    EXPECT_TRUE(r.transactions.empty()) << "a refused image reaches no adapter";
    return;
  }
  bool probing = true;
  std::optional<std::uint32_t> identified;
  for (const Transaction& t : r.transactions) {
    EXPECT_NE(t.op, "other") << "node " << t.node;
    if (IsProbe(t)) {
      EXPECT_TRUE(probing) << "a probe of node " << t.node << " after the probes";
      continue;
    }
    probing = false;
    if (t.op == "identify") identified = t.node;
    if (t.op != "download") continue;
    EXPECT_EQ(identified, t.node) << "a download without its identify request";
    const Adapter* adapter = machine.FindAdapter(t.node);
    if (!firmware_ll.empty()) {
      ASSERT_NE(adapter, nullptr) << "a download to node " << t.node << ", which has no adapter";
      EXPECT_FALSE(adapter->partner()) << "a download to partner node " << t.node;
      const std::string ll =
          adapter->ll().value_or(records_of_ll.count(t.node) != 0 ? firmware_ll : "");
      EXPECT_EQ(ll, firmware_ll) << "a download to node " << t.node << " of another LL";
    }
    EXPECT_TRUE(t.data_out == image->data)
        << "the image bytes sent to node " << t.node << " differ from the file's";
    EXPECT_EQ(t.parm_out, LittleEndian(static_cast<std::uint32_t>(image->data.size())) +
                              LittleEndian(image->lrc) + image->code_id);
  }
  // The buffers that receive answers go out empty: no byte of the tool's
  // memory, nor another adapter's record, nor what a failed read before the
  // fallback read received, reaches an adapter with a request.
  for (const Transaction& t : r.transactions) {
    const std::string areas = t.data_in + t.parm_in;
    EXPECT_EQ(areas, std::string(areas.size(), '\0'))
        << t.op << " to node " << t.node << ": a receiving area went out with data";
  }
}

ScenarioResult RunOn(const Machine& machine,
                     const std::vector<std::pair<std::string, std::string>>& files,
                     const std::vector<std::string>& args, const std::string& input) {
  return testing_support::RunScenario(machine, files, args, input);
}

}  // namespace robustness
