#include "sim/machine_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace sim {
namespace {

class SimMachineFile : public ::testing::Test {
 protected:
  std::string Parse(const std::string& text) { return ParseMachineFile(text, *config_); }

  std::unique_ptr<MachineConfig> config_ = std::make_unique<MachineConfig>();
};

struct ErrorCase {
  const char* text;
  const char* error;
};

TEST_F(SimMachineFile, RejectsWhatDoesNotFitTheFormat) {
  const ErrorCase cases[] = {
      {"[]", "the machine must be a JSON object"},
      // Unknown and repeated fields.
      {R"({"prots": []})", "unknown field \"prots\""},
      {R"({"ports": [{"port": 1, "drvier": "qarmix"}]})", "ports[0]: unknown field \"drvier\""},
      {R"({"adapters": [{"node": 1, "vpd": {"ll": "1A", "x": 1}}]})",
       "adapters[0].vpd: unknown field \"x\""},
      {R"({"adapters": [{"node": 1, "answers": {"reed": "fail"}}]})",
       "adapters[0].answers: unknown field \"reed\""},
      {R"({"adapters": [{"node": 1, "answers": {"read": {"stat": 1}}}]})",
       "adapters[0].answers.read: unknown field \"stat\""},
      {R"({"adapters": [{"node": 1}, {"node": 2, "node": 3}]})",
       "adapters[1]: duplicate field \"node\""},
      // Wrong types.
      {R"({"ports": {}})", "ports: must be an array"},
      {R"({"ports": [3]})", "ports[0]: must be an object"},
      {R"({"ports": [{"port": "1"}]})", "ports[0].port: must be an integer from 0 to 15"},
      {R"({"ports": [{"port": 1.0}]})", "ports[0].port: must be an integer from 0 to 15"},
      {R"({"ports": [{"port": 1, "driver": 5}]})", "ports[0].driver: must be a string"},
      {R"({"ports": [{"port": 1, "device": "gone"}]})",
       "ports[0].device: must be \"present\" or \"missing\""},
      {R"({"ports": [{"port": 1, "node_query": true}]})",
       "ports[0].node_query: must be \"ok\", \"fail\" or \"silent\""},
      {R"({"ports": [{"port": 1, "transactions": "Fail"}]})",
       "ports[0].transactions: must be \"ok\" or \"fail\""},
      {R"({"adapters": [{"node": 1, "partner": 1}]})",
       "adapters[0].partner: must be true or false"},
      {R"({"adapters": [{"node": 1, "answers": {"mode": "ok"}}]})",
       "adapters[0].answers.mode: must be \"fail\" or an object of \"status\", \"flag\" and "
       "\"code\""},
      {R"({"adapters": [{"node": 1, "answers": []}]})", "adapters[0].answers: must be an object"},
      // Missing and out of range.
      {R"({"ports": [{"driver": "qarmix"}]})", "ports[0]: missing required field \"port\""},
      {R"({"adapters": [{"mode": 1}]})", "adapters[0]: missing required field \"node\""},
      {R"({"ports": [{"port": 16}]})", "ports[0].port: must be an integer from 0 to 15"},
      {R"({"ports": [{"port": -1}]})", "ports[0].port: must be an integer from 0 to 15"},
      {R"({"ports": [{"port": 1, "node": 128}]})",
       "ports[0].node: must be an integer from -128 to 127"},
      {R"({"adapters": [{"node": 4294967296}]})",
       "adapters[0].node: must be an integer from 0 to 4294967295"},
      {R"({"adapters": [{"node": 18446744073709551615}]})",
       "adapters[0].node: must be an integer from 0 to 4294967295"},
      {R"({"adapters": [{"node": 1, "mode": 256}]})",
       "adapters[0].mode: must be an integer from 0 to 255"},
      {R"({"adapters": [{"node": 1, "answers": {"read": {"status": -129}}}]})",
       "adapters[0].answers.read.status: must be an integer from -128 to 127"},
      {R"({"adapters": [{"node": 1, "answers": {"read": {"flag": 256}}}]})",
       "adapters[0].answers.read.flag: must be an integer from 0 to 255"},
      {R"({"adapters": [{"node": 1, "answers": {"read": {"code": 32768}}}]})",
       "adapters[0].answers.read.code: must be an integer from -32768 to 32767"},
      // Repeats.
      {R"({"ports": [{"port": 2}, {"port": 2}]})", "ports[1].port: port 2 is listed twice"},
      {R"({"adapters": [{"node": 7}, {"node": 8}, {"node": 7}]})",
       "adapters[2].node: node 7 is already used by adapters[0]"},
      // VPD records.
      {R"({"adapters": [{"node": 1, "vpd": {}}]})",
       "adapters[0].vpd: must hold exactly one of \"ll\" and \"hex\""},
      {R"({"adapters": [{"node": 1, "vpd": {"ll": "1A", "hex": ""}}]})",
       "adapters[0].vpd: must hold exactly one of \"ll\" and \"hex\""},
      {R"({"adapters": [{"node": 1, "vpd": {"ll": "1AB"}}]})",
       "adapters[0].vpd.ll: must be a string of two printable ASCII characters"},
      {R"({"adapters": [{"node": 1, "vpd": {"ll": "\tA"}}]})",
       "adapters[0].vpd.ll: must be a string of two printable ASCII characters"},
      {R"({"adapters": [{"node": 1, "vpd": {"ll": "\u00e9"}}]})",
       "adapters[0].vpd.ll: must be a string of two printable ASCII characters"},
      {R"({"adapters": [{"node": 1, "vpd": {"hex": "00"}}]})",
       "adapters[0].vpd.hex: must be 512 hex digits (256 bytes), not 2 characters"},
      {R"({"adapters": [{"node": 1, "vpd": {"sn": "S1"}}]})",
       "adapters[0].vpd: must hold exactly one of \"ll\" and \"hex\""},
      {R"({"adapters": [{"node": 1, "vpd": {"hex": "00", "sn": "S1"}}]})",
       "adapters[0].vpd: \"sn\" goes with \"ll\", not with \"hex\""},
      {R"({"adapters": [{"node": 1, "vpd": {"ll": "1A", "sn": ""}}]})",
       "adapters[0].vpd.sn: must be a string of 1 to 64 printable ASCII characters"},
      {R"({"adapters": [{"node": 1, "vpd": {"ll": "1A", "sn": "S\n1"}}]})",
       "adapters[0].vpd.sn: must be a string of 1 to 64 printable ASCII characters"},
      {R"({"adapters": [{"node": 1, "after_download": {"mode": "ok"}}]})",
       "adapters[0].after_download.mode: must be \"fail\" or an object of \"status\", \"flag\" "
       "and \"code\""},
      {R"({"adapters": [{"node": 1, "after_download": {"reed": "fail"}}]})",
       "adapters[0].after_download: unknown field \"reed\""},
      {R"({"adapters": [{"node": 1, "after_download": "fail"}]})",
       "adapters[0].after_download: must be an object"},
      // Fault injection.
      {R"({"ports": [{"port": 1, "fail_after": -1}]})",
       "ports[0].fail_after: must be an integer from 0 to 4294967295"},
      {R"({"adapters": [{"node": 1, "garbage": "yes"}]})",
       "adapters[0].garbage: must be true or false"},
      {R"({"adapters": [{"node": 1, "download_ms": 60001}]})",
       "adapters[0].download_ms: must be an integer from 0 to 60000"},
      // A name from the file is quoted on the one error line.
      {R"({"ports": [{"port": 1, "a\nb\u001b": 1}]})",
       R"(ports[0]: unknown field "a\u000ab\u001b")"},
      {R"({"a\tb": {"x": 1, "x": 2}})", R"(a\u0009b: duplicate field "x")"},
  };
  for (const ErrorCase& c : cases) EXPECT_EQ(Parse(c.text), c.error) << c.text;
}

TEST_F(SimMachineFile, BrokenJsonIsReportedWithItsPosition) {
  const ErrorCase cases[] = {
      {"", "not valid JSON: parse error at line 1, column 1: "},
      {"{\"ports\": []} x", "not valid JSON: parse error at line 1, column 15: "},
      {"{\"ports\":\n [{\"port\": 1,}]}", "not valid JSON: parse error at line 2, column 14: "},
      {"{\"ports\": [{\"driver\": \"\xff\"}]}",
       "not valid JSON: parse error at line 1, column 24: "},
  };
  for (const ErrorCase& c : cases) {
    EXPECT_EQ(Parse(c.text).substr(0, std::strlen(c.error)), c.error) << c.text;
  }
}

TEST_F(SimMachineFile, RejectsBadHexDigitsTooManyEntriesAndDeepNesting) {
  std::string hex(512, '0');
  hex[301] = 'g';
  EXPECT_EQ(Parse(R"({"adapters": [{"node": 1, "vpd": {"hex": ")" + hex + "\"}}]}"),
            "adapters[0].vpd.hex: holds a character that is not a hex digit near position 300");

  std::string many = R"({"adapters": [)";
  for (int i = 0; i <= kMaxAdapters; ++i)
    many += (i ? ",{\"node\":" : "{\"node\":") + std::to_string(i) + "}";
  EXPECT_EQ(Parse(many + "]}"), "adapters: holds 257 entries, at most 256 are allowed");

  std::string deepest = "ports";
  for (int i = 0; i < 31; ++i) deepest += "[0]";
  EXPECT_EQ(Parse(R"({"ports": )" + std::string(40, '[')), deepest + ": nested too deeply");

  std::string long_name(kMaxDriverNameLength + 1, 'q');
  EXPECT_EQ(Parse(R"({"ports": [{"port": 0, "driver": ")" + long_name + "\"}]}"),
            "ports[0].driver: is longer than 255 bytes");
}

TEST_F(SimMachineFile, AbsentFieldsTakeTheirDefaults) {
  ASSERT_EQ(Parse(R"({"ports": [{"port": 3}], "adapters": [{"node": 4294967295}]})"), "");
  const PortConfig& port = config_->ports[3];
  EXPECT_TRUE(port.listed);
  EXPECT_FALSE(port.has_driver);
  EXPECT_TRUE(port.device_present);
  EXPECT_EQ(port.node, 0);
  EXPECT_EQ(port.node_query, NodeQueryMode::kOk);
  EXPECT_FALSE(port.transactions_fail);
  EXPECT_FALSE(port.has_transaction_limit);
  EXPECT_FALSE(config_->ports[2].listed);
  ASSERT_EQ(config_->adapter_count, 1);
  const AdapterConfig& adapter = config_->adapters[0];
  EXPECT_EQ(adapter.node, 4294967295u);
  EXPECT_EQ(adapter.mode, 0);
  EXPECT_FALSE(adapter.partner);
  EXPECT_FALSE(adapter.garbage);
  EXPECT_EQ(adapter.download_ms, 0u);
  std::uint8_t ll00[kVpdSize];
  BuildVpdRecord('0', '0', ll00);
  EXPECT_EQ(0, std::memcmp(adapter.vpd, ll00, kVpdSize));
  for (const Answer& answer : adapter.answers) EXPECT_EQ(answer.kind, AnswerKind::kCarryOut);

  ASSERT_EQ(Parse("{}"), "");
  EXPECT_EQ(config_->adapter_count, 0);
  EXPECT_FALSE(config_->ports[3].listed) << "a parse starts from the empty machine";
}

TEST_F(SimMachineFile, ReadsEveryField) {
  std::string hex;
  for (int i = 0; i < kVpdSize; ++i) hex += i % 2 ? "aB" : "0f";
  ASSERT_EQ(Parse(R"({"ports": [{"port": 15, "driver": "qarmix", "device": "missing",
      "node": -128, "node_query": "silent", "transactions": "fail", "fail_after": 4294967295}],
      "adapters": [{"node": 5, "mode": 1, "partner": true, "garbage": true, "download_ms": 60000,
                    "vpd": {"hex": ")" +
                  hex + R"("},
                    "answers": {"download": {"status": -1, "flag": 2, "code": -300},
                                "post_notice": "fail"}}]})"),
            "");
  const PortConfig& port = config_->ports[15];
  EXPECT_EQ(std::string(port.driver, port.driver_length), "qarmix");
  EXPECT_TRUE(PortIsServed(port));
  EXPECT_FALSE(port.device_present);
  EXPECT_EQ(port.node, -128);
  EXPECT_EQ(port.node_query, NodeQueryMode::kSilent);
  EXPECT_TRUE(port.transactions_fail);
  EXPECT_TRUE(port.has_transaction_limit);
  EXPECT_EQ(port.transaction_limit, 4294967295u);
  const AdapterConfig& adapter = config_->adapters[0];
  EXPECT_EQ(adapter.mode, 1);
  EXPECT_TRUE(adapter.partner);
  EXPECT_TRUE(adapter.garbage);
  EXPECT_EQ(adapter.download_ms, 60000u);
  EXPECT_EQ(adapter.vpd[0], 0x0F);
  EXPECT_EQ(adapter.vpd[255], 0xAB);
  const Answer& download = adapter.answers[static_cast<int>(Operation::kDownload)];
  EXPECT_EQ(download.kind, AnswerKind::kOverride);
  EXPECT_EQ(download.status, -1);
  EXPECT_EQ(download.flag, 2);
  EXPECT_EQ(download.code, -300);
  EXPECT_EQ(adapter.answers[static_cast<int>(Operation::kPostNotice)].kind, AnswerKind::kFail);
  EXPECT_EQ(adapter.answers[static_cast<int>(Operation::kRead)].kind, AnswerKind::kCarryOut);
}

TEST_F(SimMachineFile, ReadsAfterDownloadAndTheSerialNumber) {
  ASSERT_EQ(Parse(R"({"adapters": [
      {"node": 1, "vpd": {"ll": "2B", "sn": "SN-0001"},
       "after_download": {"mode": "fail", "identify": {"status": 3}}},
      {"node": 2, "after_download": {}},
      {"node": 3, "vpd": {"ll": "2B", "sn": "X"},
       "answers": {"read": "fail"}}]})"),
            "");
  const AdapterConfig* adapters = config_->adapters;
  std::uint8_t expected[kVpdSize];
  BuildVpdRecord('2', 'B', "SN-0001", 7, expected);
  EXPECT_EQ(std::memcmp(adapters[0].vpd, expected, kVpdSize), 0);
  EXPECT_TRUE(adapters[0].has_after_download);
  EXPECT_EQ(adapters[0].after_download[static_cast<int>(Operation::kModeQuery)].kind,
            AnswerKind::kFail);
  const Answer& identify = adapters[0].after_download[static_cast<int>(Operation::kIdentify)];
  EXPECT_EQ(identify.kind, AnswerKind::kOverride);
  EXPECT_EQ(identify.status, 3);
  EXPECT_EQ(adapters[0].answers[static_cast<int>(Operation::kModeQuery)].kind,
            AnswerKind::kCarryOut);
  EXPECT_TRUE(adapters[1].has_after_download) << "{}: every operation carried out after";
  EXPECT_FALSE(adapters[2].has_after_download);
  EXPECT_EQ(adapters[2].answers[static_cast<int>(Operation::kRead)].kind, AnswerKind::kFail);
}

TEST_F(SimMachineFile, OnlyTheExactNameQarmixIsServed) {
  ASSERT_EQ(Parse(R"({"ports": [{"port": 0, "driver": "Qarmix"}, {"port": 1, "driver": "qarmix "},
      {"port": 2}, {"port": 3, "driver": "qarmix"}]})"),
            "");
  EXPECT_FALSE(PortIsServed(config_->ports[0]));
  EXPECT_FALSE(PortIsServed(config_->ports[1]));
  EXPECT_FALSE(PortIsServed(config_->ports[2]));
  EXPECT_TRUE(PortIsServed(config_->ports[3]));
}

// Walks the keyword area as the system reads it: "VPD", the area length at
// byte 4 and keywords from byte 7, lengths in 2-byte units. Returns the
// names in order and the LL value.
struct WalkedRecord {
  std::string names;
  std::string ll;
};

WalkedRecord Walk(const std::uint8_t* vpd) {
  WalkedRecord walked;
  if (std::string(reinterpret_cast<const char*>(vpd), 3) != "VPD") return walked;
  std::size_t at = 7;
  const std::size_t end = at + 2 * std::size_t{vpd[4]};
  while (at + 4 <= end && end <= kVpdSize && vpd[at + 3] != 0) {
    const std::string name(reinterpret_cast<const char*>(vpd + at), 3);
    walked.names += name;
    if (name == "*LL") walked.ll = std::string(reinterpret_cast<const char*>(vpd + at + 4), 2);
    at += 2 * std::size_t{vpd[at + 3]};
  }
  if (at != end) walked.names += "(ends at " + std::to_string(at) + ")";
  return walked;
}

TEST_F(SimMachineFile, VpdRecordFromLlIsWellFormed) {
  ASSERT_EQ(Parse(R"({"adapters": [{"node": 1, "vpd": {"ll": "1A"}}, {"node": 2}]})"), "");
  const WalkedRecord given = Walk(config_->adapters[0].vpd);
  EXPECT_EQ(given.names, "*PN*SN*LL");
  EXPECT_EQ(given.ll, "1A");
  EXPECT_EQ(Walk(config_->adapters[1].vpd).ll, "00");
}

TEST_F(SimMachineFile, ExampleMachineIsTheDocumentedOne) {
  std::ifstream file(QX_SOURCE_DIR "/examples/machine.json");
  std::stringstream text;
  text << file.rdbuf();
  ASSERT_EQ(Parse(text.str()), "");
  EXPECT_FALSE(PortIsServed(config_->ports[0]));
  EXPECT_TRUE(config_->ports[0].listed);
  EXPECT_EQ(config_->ports[1].node, 11);
  EXPECT_TRUE(PortIsServed(config_->ports[1]));
  EXPECT_EQ(config_->ports[2].node, 12);
  EXPECT_TRUE(PortIsServed(config_->ports[2]));
  ASSERT_EQ(config_->adapter_count, 3);
  for (std::uint32_t node : {11u, 12u, 21u}) {
    const int i = FindAdapter(*config_, node);
    ASSERT_GE(i, 0) << node;
    EXPECT_EQ(config_->adapters[i].partner, node == 21) << node;
    EXPECT_EQ(Walk(config_->adapters[i].vpd).ll, "1A") << node;
  }
}

}  // namespace
}  // namespace sim
