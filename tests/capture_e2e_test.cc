// qxfwscan --save-machine as support uses it: a machine captured by the scan
// and played back by the simulated machine (QXFW_MACHINE, or the stand-in
// driver under Wine) is, to qxfwscan and to qxfwload, the machine it was
// captured from. The generated round trip carries the weight: hundreds of
// random machines, each scanned with a capture, its capture replayed, and
// the reports, the runs and the transactions compared node by node.
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
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
#include "testing/scratch_dir.h"
#include "tool/vpd.h"

namespace {

using testing_support::Adapter;
using testing_support::AdapterFirmwareFile;
using testing_support::BuiltProgram;
using testing_support::Machine;
using testing_support::Port;
using testing_support::ProcessResult;
using testing_support::Reply;
using testing_support::ScenarioFiles;
using testing_support::ScenarioResult;
using testing_support::StringFromHex;
using testing_support::TestPayload;
using testing_support::UnderWine;
using Json = nlohmann::json;

const std::string kImage = AdapterFirmwareFile(TestPayload(1000), "CAPT0001", "(c) capture test");
const std::vector<std::pair<std::string, std::string>> kFiles = {{"fw.L1A", kImage},
                                                                 {"fw.bin", kImage}};

/// Random machines with everything a scan can observe: ports of other
/// drivers and none, missing devices, node queries that fail or stay
/// silent, ports whose transactions fail; adapters in modes 0, 1 and
/// others, with serial numbers, hex records, partners, garbage, and every
/// read-only request failing or answered with a status, flag or code. The
/// downloads and notices stay healthy: a scan never sends them, and a
/// replayed download answers as a healthy adapter.
class MachineGenerator {
 public:
  explicit MachineGenerator(unsigned seed) : random_(seed) {}

  Machine Next() {
    Machine machine;
    std::vector<int> numbers(16);
    for (int i = 0; i < 16; ++i) numbers[i] = i;
    std::shuffle(numbers.begin(), numbers.end(), random_);
    const int port_count = Pick(0, 4);
    for (int i = 0; i < port_count; ++i) machine.Add(MakePort(numbers[i]));
    std::set<int> nodes;
    const int adapter_count = Pick(0, 9);
    for (int i = 0; i < adapter_count; ++i) {
      const int node = Chance(10) ? Pick(0, 60) : Pick(11, 48);
      if (nodes.insert(node).second) machine.Add(MakeAdapter(node));
    }
    nodes_ = nodes;
    return machine;
  }

  /// qxfwscan's and qxfwload's options for the last machine.
  std::vector<std::string> Options() {
    std::vector<std::string> args;
    if (Chance(4)) {
      args.push_back("-a");
      int node = Pick(0, 60);
      if (!nodes_.empty() && !Chance(4)) {
        node = *std::next(nodes_.begin(), Pick(0, static_cast<int>(nodes_.size()) - 1));
      }
      args.push_back(std::to_string(node));
    }
    const bool force = Chance(4);
    if (force) args.push_back("-f");
    if (!Chance(5)) args.push_back(force && Chance(2) ? "@fw.bin" : "@fw.L1A");
    return args;
  }

  bool Chance(int one_in) { return Pick(1, one_in) == 1; }

 private:
  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  Port MakePort(int number) {
    Port port(number);
    const int driver = Pick(0, 9);
    if (driver == 0) return port;  // a key without a "Driver" value
    port.Driver(driver == 1 ? "atapi" : (driver == 2 ? "qarmix-longer-than-16" : "qarmix"));
    const int nodes[] = {11, 12, 13, 17, 21, 22, 27, 30, 48, 0, -1, 5};
    port.Node(nodes[Pick(0, 11)]);
    if (Chance(8)) port.DeviceMissing();
    if (Chance(7)) port.NodeQuery(Chance(2) ? "fail" : "silent");
    if (Chance(15)) port.TransactionsFail();
    return port;
  }

  std::string Serial() {
    static constexpr char kChars[] = "ABCDEFGHJKLMNPQRSTUVWXYZ0123456789";
    std::string serial;
    const int length = Chance(8) ? Pick(1, 3) : Pick(6, 20);
    for (int i = 0; i < length; ++i) serial += kChars[Pick(0, 33)];
    // Equal serials on two adapters, now and then.
    if (!serials_.empty() && Chance(6)) return serials_[Pick(0, int(serials_.size()) - 1)];
    serials_.push_back(serial);
    return serial;
  }

  void SetVpd(Adapter& adapter) {
    const char* const lls[] = {"1A", "1A", "1A", "2B", "1a"};
    switch (Pick(0, 6)) {
      case 0: {  // anything at all
        std::string hex;
        for (int i = 0; i < 512; ++i) hex += testing_support::kHexDigits[Pick(0, 15)];
        adapter.VpdHex(hex);
        return;
      }
      case 1:  // a signature and a keyword, but no *LL; then a serial past the area
        adapter.VpdBytes(
            std::string("VPD\0\x03\0\0*PN\x03"
                        "AB\0\0*SN\x04"
                        "XYZW",
                        21));
        return;
      case 2:
        adapter.Ll(lls[Pick(0, 4)]);
        return;
      default:
        adapter.LlAndSerial(lls[Pick(0, 4)], Serial());
    }
  }

  Reply MakeReply() {
    switch (Pick(0, 5)) {
      case 0:
        return Reply::Fail();
      case 1:
        return Reply().Status(-1).Code(-7);
      case 2:
        return Reply().Flag(1);
      case 3:
        return Reply().Status(1);
      case 4:
        return Reply().Code(-30);
      default:
        return Reply().Status(2).Flag(3).Code(1234);
    }
  }

  Adapter MakeAdapter(int node) {
    Adapter adapter(static_cast<std::uint32_t>(node));
    SetVpd(adapter);
    const int modes[] = {0, 0, 0, 0, 1, 1, 2, 9};
    adapter.Mode(modes[Pick(0, 7)]);
    if (Chance(4)) adapter.Partner();
    if (Chance(10)) {  // an identify answer with more in it than the partner byte
      std::string hex;
      for (int i = 0; i < 16; ++i) hex += testing_support::kHexDigits[Pick(0, 15)];
      adapter.IdentifyBytes(hex);
    }
    if (Chance(8)) adapter.Garbage();
    for (const char* operation : {"mode", "read", "read2", "identify"}) {
      if (Chance(6)) adapter.Answer(operation, MakeReply());
    }
    return adapter;
  }

  std::mt19937 random_;
  std::set<int> nodes_;
  std::vector<std::string> serials_;
};

/// One DeviceIoControl of a transaction, as the trace shows it.
struct Call {
  std::string sent, answer;
  int port = -1;
  bool result = false;
};

std::vector<Call> TransactionCalls(const ScenarioResult& run) {
  std::vector<Call> calls;
  for (const std::string& text : run.trace) {
    const Json line = Json::parse(text);
    if (line["op"] != "DeviceIoControl") continue;
    Call call;
    call.sent = StringFromHex(line["sent"].get<std::string>());
    if (call.sent.size() < 143 || testing_support::WordAt(call.sent, 16) != 0x80000001u) continue;
    call.answer = line.contains("answer") ? StringFromHex(line["answer"].get<std::string>()) : "";
    call.port = line.value("port", -1);
    call.result = line["result"].get<int>() != 0;
    calls.push_back(call);
  }
  return calls;
}

/// Where the *SN values of a record lie, as the program's keyword walk finds them.
std::vector<std::pair<std::size_t, std::size_t>> SerialSpans(const std::string& record) {
  std::vector<std::pair<std::size_t, std::size_t>> spans;
  if (record.size() != kVpdSize) return spans;
  for (const VpdKeyword& k : VpdKeywords(reinterpret_cast<const std::uint8_t*>(record.data()))) {
    if (k.name == "*SN") spans.emplace_back(k.at + 4, k.value.size());
  }
  return spans;
}

/// The receiving area (DataIn, else ParmIn) of a packet as sent.
std::pair<std::size_t, std::size_t> ReceivingArea(const std::string& sent) {
  for (std::size_t descriptor : {104u, 120u}) {
    const std::uint32_t length = testing_support::WordAt(sent, descriptor + 12);
    if (length != 0) return {140 + testing_support::WordAt(sent, descriptor + 4), length};
  }
  return {0, 0};
}

/// The transactions of a replay are those of the original, node by node:
/// the same packets to the same ports, answered alike. With redaction the
/// answers differ only inside the *SN values of a record that was read.
void ExpectSameTransactions(const ScenarioResult& original, const ScenarioResult& replay,
                            bool redacted, const std::string& context) {
  const std::vector<Call> a = TransactionCalls(original);
  const std::vector<Call> b = TransactionCalls(replay);
  ASSERT_EQ(a.size(), b.size()) << context;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const std::string where = context + "\ntransaction " + std::to_string(i);
    ASSERT_EQ(testing_support::ToHex(a[i].sent), testing_support::ToHex(b[i].sent)) << where;
    ASSERT_EQ(a[i].port, b[i].port) << where;
    ASSERT_EQ(a[i].result, b[i].result) << where;
    std::string expected = a[i].answer;
    if (redacted && expected.size() == b[i].answer.size()) {
      const auto [at, length] = ReceivingArea(a[i].sent);
      if (length == kVpdSize && at + length <= expected.size()) {
        for (const auto& [start, size] : SerialSpans(expected.substr(at, length))) {
          // Only the serial's own bytes change; the zero bytes that pad it stay.
          for (std::size_t k = 0; k < size; ++k) {
            if (expected[at + start + k] != '\0' || b[i].answer[at + start + k] != '\0') {
              expected[at + start + k] = b[i].answer[at + start + k];
            }
          }
        }
      }
    }
    ASSERT_EQ(testing_support::ToHex(expected), testing_support::ToHex(b[i].answer)) << where;
  }
}

/// A JSON report with every *SN value blanked, for comparing redacted runs.
Json WithoutSerials(Json report) {
  for (Json& adapter : report["adapters"]) {
    if (!adapter.contains("keywords")) continue;
    for (Json& keyword : adapter["keywords"]) {
      if (keyword["name"] == "*SN") keyword["value"] = "";
    }
  }
  return report;
}

std::string TextWithoutSerials(const std::string& text) {
  std::string kept;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    kept += line.find("*SN=") == std::string::npos ? line : "(a line with a serial)";
    kept += '\n';
    start = end + 1;
  }
  return kept;
}

/// The downloads of a run were all answered 0, as a replayed one is.
bool DownloadsHealthy(const ScenarioResult& run) {
  for (const Call& call : TransactionCalls(run)) {
    if (call.sent[70] != 3 || call.sent[68] != 7) continue;
    if (!call.result || call.answer[39] != 0 || call.answer[136] != 0 || call.answer[137] != 0 ||
        call.answer[138] != 0) {
      return false;
    }
  }
  return true;
}

/// The Linux build's qxfwscan beside this test binary, which a capture
/// made under Wine must replay on too.
std::string LinuxScan() {
  char exe[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string path(exe, n > 0 ? static_cast<std::size_t>(n) : 0);
  path = path.substr(0, path.rfind('/'));
  return path.substr(0, path.rfind('/')) + "/tool/qxfwscan";
}

int GeneratedMachines() {
  if (UnderWine()) return 40;
  if (testing_support::UnderWrapper()) return 12;
  return 300;
}

TEST(MachineCapture, ReplaysAsTheOriginalOnGeneratedMachines) {
  MachineGenerator generate(20270301);
  int adapters_captured = 0;
  int runs_compared = 0;
  int redacted = 0;
  for (int i = 0; i < GeneratedMachines(); ++i) {
    const Machine machine = generate.Next();
    const std::vector<std::string> options = generate.Options();
    const bool json = generate.Chance(2);
    const bool redact = generate.Chance(2);
    redacted += redact ? 1 : 0;
    const std::string context = "machine " + std::to_string(i) + ": " + machine.Text() +
                                "\noptions: " + ::testing::PrintToString(options) +
                                (redact ? " --redact" : "") + (json ? " --json" : "");
    // The original machine: a scan that captures it, and a run.
    const ScenarioFiles original(machine, kFiles);
    const std::string capture_path = original.dir() + "/captured.json";
    std::vector<std::string> scan_args = {"--save-machine", capture_path};
    if (redact) scan_args.push_back("--redact");
    if (json) scan_args.push_back("--json");
    scan_args.insert(scan_args.end(), options.begin(), options.end());
    const ScenarioResult scan = original.Result(testing_support::RunProcess(
        BuiltProgram("qxfwscan"), original.Args(scan_args), original.Options()));
    ASSERT_EQ(scan.run.status, 0) << context << "\n" << scan.run.err;
    const std::string capture = testing_support::ReadFile(capture_path);
    const Json captured = Json::parse(capture);
    ASSERT_EQ(captured["capture"]["redacted"], redact) << capture;
    adapters_captured += static_cast<int>(captured["adapters"].size());
    std::vector<std::string> plain_args(options);
    if (json) plain_args.insert(plain_args.begin(), "--json");

    // The captured machine, replayed from the file the scan wrote, beside
    // the same image files.
    const auto run_on = [&](const std::string& machine_path, const std::string& program,
                            const std::vector<std::string>& args) {
      testing_support::ProcessOptions process = original.Options();
      for (std::string& entry : process.env) {
        if (entry.rfind("QXFW_MACHINE=", 0) == 0) entry = "QXFW_MACHINE=" + machine_path;
      }
      return original.Result(testing_support::RunProcess(program, original.Args(args), process));
    };
    const std::string original_path = original.dir() + "/machine.json";
    const std::string& replayed = capture_path;
    const ScenarioResult replay = run_on(replayed, BuiltProgram("qxfwscan"), plain_args);
    const std::string replay_context = context + "\ncapture: " + capture;
    ASSERT_EQ(replay.run.status, 0) << replay_context << "\n" << replay.run.err;
    ASSERT_EQ(replay.run.err, scan.run.err) << replay_context;
    if (!redact) {
      ASSERT_EQ(replay.run.out, scan.run.out) << replay_context;
    } else if (json) {
      ASSERT_EQ(WithoutSerials(Json::parse(replay.run.out)),
                WithoutSerials(Json::parse(scan.run.out)))
          << replay_context;
    } else {
      ASSERT_EQ(TextWithoutSerials(replay.run.out), TextWithoutSerials(scan.run.out))
          << replay_context;
    }
    ExpectSameTransactions(scan, replay, redact, replay_context);
    if (UnderWine() && i % 4 == 0) {
      // A capture of the Windows build replays on the Linux build as well.
      const ScenarioResult linux_replay = run_on(replayed, LinuxScan(), plain_args);
      ASSERT_EQ(linux_replay.run.out, replay.run.out) << replay_context;
    }

    // qxfwload on the original and on the replay.
    std::vector<std::string> load_args(options);
    if (generate.Chance(2)) load_args.insert(load_args.begin(), "-q");
    const ScenarioResult run = run_on(original_path, BuiltProgram("qxfwload"), load_args);
    if (!DownloadsHealthy(run)) continue;  // a replayed download would not fail so
    const ScenarioResult rerun = run_on(replayed, BuiltProgram("qxfwload"), load_args);
    ASSERT_EQ(rerun.run.status, run.run.status) << replay_context;
    ASSERT_EQ(rerun.run.err, run.run.err) << replay_context;
    ASSERT_EQ(rerun.run.out, run.run.out) << replay_context;
    // The same requests to the same ports: notices to nodes the scan never
    // probed may be answered otherwise, and their answers are not looked at.
    const std::vector<Call> sent = TransactionCalls(run);
    const std::vector<Call> resent = TransactionCalls(rerun);
    ASSERT_EQ(sent.size(), resent.size()) << replay_context;
    for (std::size_t k = 0; k < sent.size(); ++k) {
      ASSERT_EQ(sent[k].sent, resent[k].sent) << replay_context << "\nrequest " << k;
      ASSERT_EQ(sent[k].port, resent[k].port) << replay_context << "\nrequest " << k;
    }
    ++runs_compared;
    if (::testing::Test::HasFailure()) return;
  }
  // The comparisons must have met real adapters, runs and redactions.
  EXPECT_GT(adapters_captured, GeneratedMachines());
  EXPECT_GT(runs_compared, GeneratedMachines() / 2);
  EXPECT_GT(redacted, GeneratedMachines() / 4);
}

// ---------------------------------------------------------------------------
// What a capture holds, and what it leaves alone.

const Machine kSerialMachine({Port(0).Driver("atapi"), testing_support::QarmixPort(1, 11)},
                             {Adapter(11).LlAndSerial("1A", "CUSTOMER-SN-4711"),
                              Adapter(12).LlAndSerial("1A", "QQ7"),
                              Adapter(13).LlAndSerial("2B", "CUSTOMER-SN-4711"),
                              Adapter(14).LlAndSerial("1A", "QQ8")});

struct Capture {
  ScenarioResult scan;
  std::string text;
};

Capture CaptureOf(const Machine& machine, const std::vector<std::string>& options) {
  const ScenarioFiles files(machine, kFiles);
  const std::string path = files.dir() + "/captured.json";
  std::vector<std::string> args = {"--save-machine", path};
  args.insert(args.end(), options.begin(), options.end());
  Capture capture;
  capture.scan = files.Result(
      testing_support::RunProcess(BuiltProgram("qxfwscan"), files.Args(args), files.Options()));
  capture.text = testing_support::ReadFile(path);
  return capture;
}

TEST(MachineCapture, RedactedSerialsAppearNowhereAndTheRestStays) {
  const Capture plain = CaptureOf(kSerialMachine, {"@fw.L1A"});
  const Capture redacted = CaptureOf(kSerialMachine, {"--redact", "@fw.L1A"});
  ASSERT_EQ(redacted.scan.run.status, 0) << redacted.scan.run.err;
  // The scan prints what it prints without a capture.
  const std::regex folder("qxfw-test-[0-9]+");
  EXPECT_EQ(std::regex_replace(redacted.scan.run.out, folder, ""),
            std::regex_replace(plain.scan.run.out, folder, ""));
  for (const std::string serial : {"CUSTOMER-SN-4711", "QQ7", "QQ8"}) {
    EXPECT_NE(plain.text.find(testing_support::ToHex(serial)), std::string::npos) << serial;
    EXPECT_EQ(redacted.text.find(testing_support::ToHex(serial)), std::string::npos) << serial;
    EXPECT_EQ(redacted.text.find(serial), std::string::npos) << serial;
  }
  const Json a = Json::parse(plain.text);
  const Json b = Json::parse(redacted.text);
  EXPECT_EQ(b["capture"]["redacted"], true);
  ASSERT_EQ(a["adapters"].size(), 4u);
  ASSERT_EQ(b["adapters"].size(), 4u);
  std::vector<std::string> tokens;
  for (std::size_t i = 0; i < 4; ++i) {
    const std::string before = StringFromHex(a["adapters"][i]["vpd"]["hex"].get<std::string>());
    const std::string after = StringFromHex(b["adapters"][i]["vpd"]["hex"].get<std::string>());
    const auto spans = SerialSpans(before);
    ASSERT_EQ(spans.size(), 1u);
    const auto [at, size] = spans[0];
    // Byte for byte the same record but for the serial's own bytes.
    EXPECT_EQ(before.substr(0, at), after.substr(0, at));
    EXPECT_EQ(before.substr(at + size), after.substr(at + size));
    std::string token = after.substr(at, size);
    while (!token.empty() && token.back() == '\0') token.pop_back();
    for (char c : token)
      EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_');
    tokens.push_back(token);
  }
  // Equal serials, equal tokens; different serials, different tokens.
  EXPECT_EQ(tokens[0], tokens[2]);
  EXPECT_EQ(tokens[0].size(), 16u);
  EXPECT_NE(tokens[1], tokens[3]);
  EXPECT_EQ(tokens[1].size(), 3u);
  // A key of its own each time: the same serial is another token in another capture.
  const Json again = Json::parse(CaptureOf(kSerialMachine, {"--redact"}).text);
  EXPECT_NE(again["adapters"][0]["vpd"], b["adapters"][0]["vpd"]);
}

TEST(MachineCapture, HoldsNoPathHostOrUserName) {
  const Capture capture = CaptureOf(kSerialMachine, {"--json", "@fw.L1A"});
  ASSERT_EQ(capture.scan.run.status, 0) << capture.scan.run.err;
  const Json json = Json::parse(capture.text);
  EXPECT_EQ(json["capture"]["format"], 1);
  EXPECT_EQ(json["capture"]["program"].get<std::string>().rfind("qxfwscan ", 0), 0u);
  EXPECT_TRUE(
      std::regex_match(json["capture"]["time"].get<std::string>(),
                       std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z")));
  EXPECT_EQ(json["capture"].size(), 4u);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const char* user = std::getenv("USER");
  for (const std::string& text : {std::string("qxfw-test-"), std::string("/tmp"), std::string(host),
                                  std::string(user != nullptr ? user : "")}) {
    if (text.size() >= 3) {
      EXPECT_EQ(capture.text.find(text), std::string::npos) << text;
    }
  }
}

TEST(MachineCapture, ExistingFileIsLeftAndUnknownFormatRefused) {
  const ScenarioFiles files(kSerialMachine, {{"fw.L1A", kImage}, {"taken.json", "mine\n"}});
  const ScenarioResult taken = files.Result(testing_support::RunProcess(
      BuiltProgram("qxfwscan"), files.Args({"--save-machine", "@taken.json", "@fw.L1A"}),
      files.Options()));
  EXPECT_EQ(taken.run.status, 1);
  EXPECT_EQ(taken.run.out, "");
  EXPECT_NE(taken.run.err.find("qxfwscan: machine file "), std::string::npos) << taken.run.err;
  EXPECT_NE(taken.run.err.find("taken.json already exists"), std::string::npos) << taken.run.err;
  EXPECT_TRUE(taken.transactions.empty());
  EXPECT_EQ(testing_support::ReadFile(files.dir() + "/taken.json"), "mine\n");
  // Nothing is left beside it either.
  const ScenarioResult listed =
      files.Result(testing_support::RunProcess("/bin/ls", {files.dir()}, {}));
  EXPECT_EQ(listed.run.out, "fw.L1A\nmachine.json\ntaken.json\n");

  // --redact is for a capture only.
  const ScenarioResult usage = files.Result(
      testing_support::RunProcess(BuiltProgram("qxfwscan"), {"--redact"}, files.Options()));
  EXPECT_EQ(usage.run.status, 1);
  EXPECT_EQ(usage.run.err.rfind("usage: qxfwscan", 0), 0u) << usage.run.err;

  // A capture of a later format is refused by its number, before any request.
  Json later = Json::parse(CaptureOf(kSerialMachine, {}).text);
  later["capture"]["format"] = 2;
  later["capture"]["new_field"] = true;
  const ScenarioFiles replay(later.dump(), kFiles);
  for (const char* program : {"qxfwscan", "qxfwload"}) {
    const ScenarioResult refused = replay.Result(testing_support::RunProcess(
        BuiltProgram(program), replay.Args({"@fw.L1A"}), replay.Options()));
    EXPECT_EQ(refused.run.status, 2) << program;
    EXPECT_NE(refused.run.err.find(": capture.format: capture format 2 is unknown: this simulated "
                                   "machine plays captures of format 1 only\n"),
              std::string::npos)
        << refused.run.err;
    EXPECT_TRUE(refused.transactions.empty());
  }
}

}  // namespace
