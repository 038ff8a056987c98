// Bad input and faults, end to end: the built qxfwload on simulated machines
// whose adapters would take any download, with files, paths and adapters
// that misbehave. Besides what the tool prints and its exit status, every
// run's trace is held to what must never happen: a request other than a
// probe before the image has been validated (a refused image sends nothing
// at all), a download to a partner or to an adapter of another LL, image
// bytes sent that differ from the file's, and a receiving buffer that goes
// out holding data. docs/robustness.md lists the cases.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "testing/scenario.h"
#include "testing/scratch_dir.h"

namespace {

using testing_support::AdapterFirmwareFile;
using testing_support::BuiltProgram;
using testing_support::DecodeTransactions;
using testing_support::kBanner;
using testing_support::OfOp;
using testing_support::PayloadLrc;
using testing_support::ProcessOptions;
using testing_support::ProcessResult;
using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::RunScenario;
using testing_support::ScenarioFiles;
using testing_support::ScenarioResult;
using testing_support::StartedProcess;
using testing_support::StreamSetup;
using testing_support::TempDir;
using testing_support::TestPayload;
using testing_support::Transaction;
using testing_support::UnderWine;
using testing_support::WithAifHeader;

const std::string kPayload = TestPayload(1001);
const std::string kImage = AdapterFirmwareFile(kPayload, "CODEID01", "(c) test");

/// One adapter of a machine, as the checks below need to know it.
struct AdapterSpec {
  std::uint32_t node = 0;
  std::string ll = "1A";  // the LL the system finds in its VPD; empty when none
  std::string vpd_hex;    // the whole record, when given; otherwise one that carries ll
  bool partner = false;
  std::string extra;  // more fields, e.g. R"("answers": {...})"
};

struct MachineSpec {
  std::vector<std::string> ports;  // JSON objects
  std::vector<AdapterSpec> adapters;

  std::string Json() const {
    std::string json = R"({"ports":[)";
    for (std::size_t i = 0; i < ports.size(); ++i) json += (i ? "," : "") + ports[i];
    json += R"(],"adapters":[)";
    for (std::size_t i = 0; i < adapters.size(); ++i) {
      const AdapterSpec& a = adapters[i];
      json += (i ? ",{" : "{") + std::string(R"("node":)") + std::to_string(a.node);
      json += a.vpd_hex.empty() ? R"(,"vpd":{"ll":")" + a.ll + R"("})"
                                : R"(,"vpd":{"hex":")" + a.vpd_hex + R"("})";
      if (a.partner) json += R"(,"partner":true)";
      if (!a.extra.empty()) json += "," + a.extra;
      json += "}";
    }
    return json + "]}";
  }

  const AdapterSpec* Find(std::uint32_t node) const {
    for (const AdapterSpec& a : adapters) {
      if (a.node == node) return &a;
    }
    return nullptr;
  }
};

std::string Port(int port, int node, const std::string& extra = "") {
  return R"({"port":)" + std::to_string(port) + R"(,"driver":"qarmix","node":)" +
         std::to_string(node) + extra + "}";
}

AdapterSpec Adapter(std::uint32_t node, const std::string& extra = "") {
  AdapterSpec a;
  a.node = node;
  a.extra = extra;
  return a;
}

AdapterSpec AdapterOfLL(std::uint32_t node, const std::string& ll) {
  AdapterSpec a = Adapter(node);
  a.ll = ll;
  return a;
}

/// An adapter whose VPD is `hex`, in which the system finds `ll` (or none).
AdapterSpec AdapterWithRecord(std::uint32_t node, const std::string& hex,
                              const std::string& ll = "", const std::string& extra = "") {
  AdapterSpec a = Adapter(node, extra);
  a.vpd_hex = hex;
  a.ll = ll;
  return a;
}

AdapterSpec PartnerAdapter(std::uint32_t node) {
  AdapterSpec a = Adapter(node);
  a.partner = true;
  return a;
}

/// Two good adapters on their own ports: any image that got through would
/// be downloaded to both.
MachineSpec TwoGoodAdapters() { return {{Port(0, 11), Port(1, 12)}, {Adapter(11), Adapter(12)}}; }

/// What a download must carry: the bytes to send, as the file holds them.
struct SentImage {
  std::string data;
  std::string code_id;  // 8 bytes
  std::uint32_t lrc = 0;
};

SentImage AdapterFileImage(const std::string& file) {
  return {file.substr(272), file.substr(260, 8), PayloadLrc(file.substr(272))};
}

std::string LittleEndian(std::uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}

bool IsProbe(const Transaction& t) { return t.op == "mode" || t.op == "read" || t.op == "read2"; }

/// The rules every run obeys. `image` is null when the image must be
/// refused; `firmware_ll` is empty when the run is forced (no LL check).
void ExpectNothingWrongSent(const ScenarioResult& r, const MachineSpec& machine,
                            const std::optional<SentImage>& image, const std::string& firmware_ll) {
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
    const AdapterSpec* adapter = machine.Find(t.node);
    if (!firmware_ll.empty()) {
      ASSERT_NE(adapter, nullptr) << "a download to node " << t.node << ", which has no adapter";
      EXPECT_FALSE(adapter->partner) << "a download to partner node " << t.node;
      EXPECT_EQ(adapter->ll, firmware_ll) << "a download to node " << t.node << " of another LL";
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

/// Runs qxfwload on `machine` with the files and arguments of RunScenario.
ScenarioResult RunOn(const MachineSpec& machine,
                     const std::vector<std::pair<std::string, std::string>>& files,
                     const std::vector<std::string>& args, const std::string& input = "") {
  return RunScenario(machine.Json(), files, args, input);
}

std::string AifImage(std::size_t size) { return WithAifHeader(TestPayload(size, 7)); }

/// A Unix socket listening at `path`, or -1.
int BoundSocket(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (fd < 0 || path.size() >= sizeof address.sun_path) return -1;
  path.copy(address.sun_path, path.size());
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return -1;
  return fd;
}

struct Refusal {
  const char* what;
  std::vector<std::string> args;
  std::string error;  // the whole of standard error
};

TEST(Robustness, EveryLoadingFailureSendsNothing) {
  TempDir dir;
  const std::string missing = dir.path() + "/missing.L1A";
  const std::string folder = dir.path() + "/folder.L1A";
  std::filesystem::create_directory(folder);
  const std::string four_gib = dir.WriteSparse("four.L1A", "", std::uint64_t{1} << 32);
  // 4 GiB + 272 bytes whose length word is 0: cut to 32 bits the sizes would agree.
  const std::string wraps = dir.WriteSparse("wraps.L1A", AdapterFirmwareFile("", "WRAP0000"),
                                            (std::uint64_t{1} << 32) + 272);
  const std::string empty = dir.Write("empty.L1A", "");
  const std::string short_aif = dir.Write("short.L1A", AifImage(127));
  std::string swapped_aif = AifImage(128);
  swapped_aif.replace(0, 4, "\xe1\xa0\x00\x00", 4);
  const std::string not_aif = dir.Write("notaif.L1A", swapped_aif);
  const std::string long_data = dir.Write("long.L1A", kImage + "x");
  std::string bad_lrc_file = kImage;
  bad_lrc_file[272] = static_cast<char>(bad_lrc_file[272] ^ 1);
  const std::string bad_lrc = dir.Write("lrc.L1A", bad_lrc_file);
  // An AIF image is sent whole: one of 4 GiB - 1 bytes fits no download.
  const std::string huge_aif =
      dir.WriteSparse("huge.L1A", AifImage(128), std::uint64_t{0xFFFFFFFFu});
  // Neither waited on (a FIFO with no writer blocked the open for ever) nor
  // read: only a regular file has a size to read whole.
  const std::string fifo = dir.path() + "/fifo.L1A";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string socket_path = dir.path() + "/socket.L1A";
  const int socket_fd = BoundSocket(socket_path);
  ASSERT_GE(socket_fd, 0);
  char lrc_line[96];
  std::snprintf(lrc_line, sizeof lrc_line,
                "LRC in file header is 0x%08lx, but LRC of firmware is 0x%08lx",
                static_cast<unsigned long>(PayloadLrc(kPayload)),
                static_cast<unsigned long>(PayloadLrc(bad_lrc_file.substr(272))));

  const Refusal cases[] = {
      {"missing file", {missing}, "can't open firmware file: " + missing},
      {"directory", {folder}, "can't open firmware file: " + folder},
      {"4 GiB sparse file", {four_gib}, "firmware file is too large: " + four_gib},
      {"4 GiB + 272 bytes", {wraps}, "firmware file is too large: " + wraps},
      // A pipe can't be measured: a read failure.
      {"pipe", {"-f", "/dev/stdin"}, "can't read firmware file: /dev/stdin"},
      {"AIF too large for a download", {"-m", huge_aif}, "firmware file is too large: " + huge_aif},
      {"FIFO with no writer", {fifo}, "can't read firmware file: " + fifo},
      {"device", {"-f", "/dev/zero"}, "can't read firmware file: /dev/zero"},
      {"socket", {socket_path}, "can't open firmware file: " + socket_path},
      {"empty file", {empty}, "file is too small to be an adapter firmware file: " + empty},
      {"short AIF", {"-m", short_aif}, "file is too short to be an AIF file: " + short_aif},
      {"AIF words", {"-m", not_aif}, "file does not look like an AIF to me: " + not_aif},
      {"adapter file as AIF", {"-m", bad_lrc}, "file does not look like an AIF to me: " + bad_lrc},
      {"length", {long_data}, "length in header does not match length of data"},
      {"LRC", {bad_lrc}, lrc_line},
  };
  const MachineSpec machine = TwoGoodAdapters();
  for (const Refusal& c : cases) {
    // Under Wine /dev/stdin is no pipe but a Windows console handle.
    if (UnderWine() && std::string(c.what) == "pipe") continue;
    for (const char* mode : {"-q", "-p"}) {  // quiet, and verbose with the pause
      std::vector<std::string> args = {mode};
      args.insert(args.end(), c.args.begin(), c.args.end());
      const ScenarioResult r = RunOn(machine, {}, args, "\n");
      EXPECT_EQ(r.run.err, "qxfwload: " + c.error + "\n") << c.what;
      EXPECT_EQ(r.run.status, 1) << c.what;
      ExpectNothingWrongSent(r, machine, std::nullopt, "1A");
    }
  }
  close(socket_fd);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

TEST(Robustness, OutOfMemorySendsNothing) {
  // The address space is limited so that a 3 GiB block can't be had; the
  // sanitizers' own reservations don't fit under such a limit.
  if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer needs more address space";
  if (UnderWine()) GTEST_SKIP() << "Wine itself can't start under the address-space limit";
  TempDir dir;
  const MachineSpec machine = TwoGoodAdapters();
  const std::string machine_file = dir.Write("machine.json", machine.Json());
  const std::string trace = dir.path() + "/trace.jsonl";
  const std::string big = dir.WriteSparse("big.L1A", kImage, std::uint64_t{3} << 30);
  ProcessOptions options;
  options.env = {"QXFW_MACHINE=" + machine_file, "QXFW_TRACE=" + trace};
  const ProcessResult r = RunProcess(
      "/bin/sh",
      {"-c", "ulimit -v 1048576 && exec \"$0\" \"$@\"", BuiltProgram("qxfwload"), "-q", big},
      options);
  EXPECT_EQ(r.err, "qxfwload: out of memory allocating 3221225472 bytes\n");
  EXPECT_EQ(r.status, 1);
  std::vector<std::string> lines;
  const std::string text = ReadFile(trace);
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  EXPECT_FALSE(lines.empty()) << "discovery ran";
  EXPECT_TRUE(DecodeTransactions(lines).empty());
}

TEST(Robustness, LongPathsAreCutSafelyAndStillLoad) {
  // A real file 4,000 characters deep: folders of up to 200 characters,
  // then a name of 100 to 250 (a name may have 255 at most).
  constexpr std::size_t kPathLength = 4000;
  TempDir dir;
  std::string folder = dir.path();
  while (kPathLength - folder.size() > 1 + 250) {
    const std::size_t length = std::min<std::size_t>(200, kPathLength - folder.size() - 102);
    folder += '/';
    folder.append(length, 'd');
    std::filesystem::create_directory(folder);
  }
  const std::string name = std::string(kPathLength - folder.size() - 1 - 4, 'f') + ".L1A";
  const std::string good = folder + "/" + name;
  ASSERT_EQ(good.size(), kPathLength);
  { std::ofstream(good, std::ios::binary) << kImage; }
  const MachineSpec machine = TwoGoodAdapters();
  const ScenarioResult loaded = RunOn(machine, {}, {good});
  EXPECT_EQ(loaded.run.out.rfind(kBanner + std::string("Loading firmware file: ") + good + "\n", 0),
            0u);
  EXPECT_EQ(loaded.run.status, 0);
  EXPECT_EQ(OfOp(loaded.transactions, "download").size(), 2u);
  ExpectNothingWrongSent(loaded, machine, AdapterFileImage(kImage), "1A");

  // Refused: the message is cut to 259 characters, ending in "...".
  { std::ofstream(good, std::ios::binary) << "too short"; }
  const ScenarioResult refused = RunOn(machine, {}, {"-q", good});
  const std::string message = "file is too small to be an adapter firmware file: " + good;
  EXPECT_EQ(refused.run.err, "qxfwload: " + message.substr(0, 256) + "...\n");
  EXPECT_EQ(refused.run.status, 1);
  ExpectNothingWrongSent(refused, machine, std::nullopt, "1A");
}

TEST(Robustness, ConversionsInPathsAndHeaderTextsArePrintedAsText) {
  // A copyright text of 252 characters without a NUL, and a path and a
  // CodeID full of conversions: each is printed as it stands.
  std::string image = AdapterFirmwareFile(kPayload, "%n%s%d%x");
  image.replace(0, 252, std::string(126, '%') + std::string(126, 'n'));
  const MachineSpec machine = TwoGoodAdapters();
  const ScenarioResult r = RunOn(machine, {{"fw%n%s%x.L1A", image}}, {"@fw%n%s%x.L1A"});
  const std::string& out = r.run.out;
  EXPECT_NE(out.find("fw%n%s%x.L1A\nLoaded firmware file, CodeID=%n%s%d%x, length=1001"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Copyright message :-\n---\n" + std::string(126, '%') + std::string(126, 'n') +
                     "\n---\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Downloading %n%s%d%x to adapter, node=11 ... done\n"), std::string::npos);
  EXPECT_EQ(r.run.status, 0);
  ExpectNothingWrongSent(r, machine, AdapterFileImage(image), "1A");

  const ScenarioResult missing = RunOn(machine, {}, {"-q", "/nonexistent/%n%s.L1A"});
  EXPECT_EQ(missing.run.err, "qxfwload: can't open firmware file: /nonexistent/%n%s.L1A\n");
  ExpectNothingWrongSent(missing, machine, std::nullopt, "1A");
}

/// A 256-byte record as hex: `start` and zero bytes after it.
std::string VpdHex(const std::string& start) {
  static const char kDigits[] = "0123456789abcdef";
  std::string record = start;
  record.resize(256, '\0');
  std::string hex;
  for (const char c : record) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 0xF];
  }
  return hex;
}

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

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
  MachineSpec machine = {{Port(0, 11)}, {}};
  std::uint32_t node = 11;
  std::string expected;
  for (const auto& r : records) {
    ASSERT_LE(r.record.size(), 256u) << r.rule;
    machine.adapters.push_back(AdapterWithRecord(node, VpdHex(r.record)));
    expected += "Unable to determine LL of adapter, node=" + std::to_string(node) + "\n";
    ++node;
  }
  machine.adapters.push_back(AdapterOfLL(node, "2B"));  // a well-formed record of another LL
  machine.adapters.push_back(Adapter(node + 1));        // and the one good adapter
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
  MachineSpec clean = {{Port(0, 11), Port(1, 12)}, {Adapter(11), PartnerAdapter(21), Adapter(12)}};
  MachineSpec garbage = clean;
  for (AdapterSpec& a : garbage.adapters) a.extra = R"("garbage":true)";
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
  const std::string ll_1a_hex = VpdHex("VPD" + Bytes({0, 3, 0, 0}) + "*LL" + Bytes({3}) + "1A");
  MachineSpec machine = {
      {Port(0, 11)},
      {
          Adapter(11, R"("mode":127)"),                                 // no such mode
          Adapter(12, R"("answers":{"mode":{"status":85}})"),           // read at mode 0
          Adapter(13, R"("answers":{"read":{"flag":255,"code":77}})"),  // read2 then
          Adapter(14, R"("answers":{"read":{"status":-1},"read2":{"status":1}})"),  // no VPD
          AdapterWithRecord(15, VpdHex(std::string(256, '\xff'))),
          Adapter(16, R"("answers":{"identify":{"status":-77,"code":1}})"),
          Adapter(17, R"("answers":{"download":{"code":4660}})"),
          Adapter(18, R"("answers":{"download":{"status":1}})"),
          Adapter(19, R"("answers":{"download":{"code":-32768}})"),
          AdapterWithRecord(
              20, ll_1a_hex, "1A",
              R"("garbage":true,"answers":{"pre_notice":{"status":-5},"post_notice":"fail"})"),
      }};
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
  ExpectNothingWrongSent(r, machine, AdapterFileImage(kImage), "1A");
}

TEST(Robustness, PortThatFailsMidRun) {
  // Port 0 carries node 11 and, by the fallback, every node without a port
  // of its own; port 1 carries node 12. A first run counts what port 0
  // serves before its first notice; the device then goes away a few
  // requests into the notices, and again in the middle of the probes.
  const MachineSpec healthy = TwoGoodAdapters();
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
    MachineSpec failing = healthy;
    failing.ports[0] = Port(0, 11, R"(,"fail_after":)" + std::to_string(c.limit));
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
  MachineSpec downloads_refused = {{Port(0, 11)}, {}};
  MachineSpec all_refused = downloads_refused;
  std::string verbose, quiet;
  for (std::uint32_t node = 11; node <= 48; ++node) {
    downloads_refused.adapters.push_back(Adapter(node, R"("answers":{"download":{"code":-30}})"));
    std::string every;
    for (const char* op :
         {"mode", "read", "read2", "identify", "download", "pre_notice", "post_notice"}) {
      every += std::string(every.empty() ? "" : ",") + "\"" + op + R"(":{"code":-30})";
    }
    all_refused.adapters.push_back(Adapter(node, R"("answers":{)" + every + "}"));
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

// The pause ends on a line or a true end of input only: standard input that
// can't be read ends the run before the file is opened, and one that has no
// data yet is waited on.
TEST(Robustness, ThePauseWaitsForTheOperator) {
  const MachineSpec machine = TwoGoodAdapters();
  const ScenarioFiles files(machine.Json(), {{"fw.L1A", kImage}});
  const std::string prompt = "Ready to load firmware, press Enter when ready ... ";
  ProcessOptions directory = files.Options();
  directory.in = StreamSetup::Path("/");
  const ScenarioResult refused = files.Result(
      RunProcess(BuiltProgram("qxfwload"), files.Args({"-p", "@missing.L1A"}), directory));
  // The C runtime's words for reading a directory: Linux's, and Wine's.
  const std::string why = UnderWine() ? "Invalid argument" : "Is a directory";
  EXPECT_EQ(refused.run.err, "qxfwload: can't read standard input: " + why + "\n");
  EXPECT_EQ(refused.run.status, 1);
  EXPECT_EQ(refused.run.out, kBanner + prompt) << "the file is not opened";
  ExpectNothingWrongSent(refused, machine, std::nullopt, "1A");

  ProcessOptions waiting = files.Options();
  waiting.held_input = waiting.nonblocking_input = true;
  StartedProcess run(BuiltProgram("qxfwload"), files.Args({"-p", "@fw.L1A"}), waiting);
  ASSERT_TRUE(run.WaitForOutput(prompt, std::chrono::minutes(2)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(run.WaitForOutput("Loading firmware file", std::chrono::milliseconds(0)))
      << "no data yet is no answer";
  run.WriteInput("\n");
  const ScenarioResult loaded = files.Result(run.Wait());
  EXPECT_EQ(loaded.run.status, 0);
  EXPECT_EQ(OfOp(loaded.transactions, "download").size(), 2u);
}

// Escape sequences in the copyright text and the CodeID would clear the
// screen or hide every later line: they are shown, and the CodeID's bytes
// still go to the adapters as they stand.
TEST(Robustness, ControlBytesFromTheFileAreShownNotSent) {
  const std::string code_id = "\x1b[8mAB\x7f\x01";
  const std::string image =
      AdapterFirmwareFile(kPayload, code_id, "\x1b[2J\x1b[8m(c) test\r\nline two\x07\rX\tY");
  const std::string shown = "\\x1b[8mAB\\x7f\\x01";
  MachineSpec machine = TwoGoodAdapters();
  machine.adapters[1].extra = R"("answers":{"download":{"code":-5}})";
  const ScenarioResult verbose = RunOn(machine, {{"fw.L1A", image}}, {"@fw.L1A"});
  const ScenarioResult quiet = RunOn(machine, {{"fw.L1A", image}}, {"-q", "@fw.L1A"});
  for (const ScenarioResult* r : {&verbose, &quiet}) {
    for (const char c : r->run.out) {
      EXPECT_TRUE(c == '\n' || c == '\r' || c == '\t' || (c >= 0x20 && c != 0x7F))
          << "control byte " << int{c} << " sent to the console";
    }
    EXPECT_EQ(r->run.status, 0);
    ExpectNothingWrongSent(*r, machine, AdapterFileImage(image), "1A");
  }
  const std::string& out = verbose.run.out;
  EXPECT_NE(out.find("Loaded firmware file, CodeID=" + shown + ", length=1001"), std::string::npos)
      << out;
  EXPECT_NE(out.find("---\n\\x1b[2J\\x1b[8m(c) test\r\nline two\\x07\\x0dX\tY\n---\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Downloading " + shown + " to adapter, node=11 ... done\n"),
            std::string::npos);
  EXPECT_EQ(quiet.run.out, "Download " + shown + " to adapter, node=12 failed: rc=-5\n");
}

/// Nothing in `text` drives a terminal: no C0 control but tab, LF and the
/// CR of a CR LF, no DEL, no C1 control (C2 80..C2 9F, or a byte 0x80..0x9F
/// that no lead byte of another character comes before).
void ExpectNothingDrivesTheConsole(const std::string& text, const std::string& stream) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const auto before = i == 0 ? 0u : static_cast<unsigned char>(text[i - 1]);
    const bool line_layout =
        c == '\n' || c == '\t' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
    EXPECT_TRUE(line_layout || (c >= 0x20 && c != 0x7F))
        << stream << ": control byte " << int{c} << " at " << i;
    if (c >= 0x80 && c <= 0x9F) {
      EXPECT_TRUE(before >= 0xC3 || (before >= 0x80 && before <= 0xBF))
          << stream << ": C1 control " << int{c} << " at " << i;
    }
  }
}

// Bytes from adapters and files that would drive a terminal: an adapter's
// LL (ESC c reset the terminal, CR LF split the skip line), C1 controls in
// UTF-8 (C2 9B is CSI) and alone (0x9B) in the LL, the CodeID and the
// copyright text, and a file name that holds an escape sequence. Each is
// shown as \xNN; printable text, and UTF-8 of other characters, print as
// they stand.
TEST(Robustness, AdapterAndFileBytesThatWouldDriveTheConsoleAreShown) {
  const struct {
    std::string ll, shown;
  } lls[] = {{"\033c", "\\x1bc"}, {"\r\n", "\\x0d\\x0a"},   {"\xc2\x9b", "\\xc2\\x9b"},
             {"\233A", "\\x9bA"}, {"\xc4\x80", "\xc4\x80"}, {"2B", "2B"}};
  MachineSpec machine = TwoGoodAdapters();
  std::uint32_t node = 13;
  for (const auto& ll : lls) {
    machine.adapters.push_back(AdapterWithRecord(
        node++, VpdHex("VPD" + Bytes({0, 3, 0, 0}) + "*LL" + Bytes({3}) + ll.ll), ll.ll));
  }
  const std::string code_id = "A\xc2\x9b\tB\nC\x85";
  const std::string shown_code_id = "A\\xc2\\x9b\\x09B\\x0aC\\x85";
  const std::string image =
      AdapterFirmwareFile(kPayload, code_id, "(c) caf\xc3\xa9\xc2\x9d;x\x07 \x9b;J");
  const ScenarioResult r = RunOn(machine, {{"fw.L1A", image}}, {"@fw.L1A"});
  ExpectNothingDrivesTheConsole(r.run.out, "standard output");
  EXPECT_EQ(r.run.status, 0) << r.run.err;
  ExpectNothingWrongSent(r, machine, AdapterFileImage(image), "1A");
  const std::string& out = r.run.out;
  node = 13;
  for (const auto& ll : lls) {
    const std::string line =
        "Skipping adapter with LL=" + ll.shown + ", node=" + std::to_string(node++) + "\n";
    EXPECT_NE(out.find(line), std::string::npos) << line << out;
  }
  EXPECT_NE(out.find("CodeID=" + shown_code_id + ", length=1001"), std::string::npos) << out;
  EXPECT_NE(out.find("---\n(c) caf\xc3\xa9\\xc2\\x9d;x\\x07 \\x9b;J\n---\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("Downloading " + shown_code_id + " to adapter, node=11 ... done\n"),
            std::string::npos)
      << out;

  // A name with an escape sequence, in the loading line and the error line.
  // It names no file: Windows allows no control character in a file name,
  // and Wine turns a byte above 0x7F of one into '?'.
  const ScenarioResult missing = RunOn(machine, {}, {"/nonexistent/fw\x1b[2J.L1A"});
  EXPECT_NE(missing.run.out.find("Loading firmware file: /nonexistent/fw\\x1b[2J.L1A\n"),
            std::string::npos)
      << missing.run.out;
  EXPECT_EQ(missing.run.err, "qxfwload: can't open firmware file: /nonexistent/fw\\x1b[2J.L1A\n");
  ExpectNothingWrongSent(missing, machine, std::nullopt, "1A");
}

// A class-3 read that is answered with a code has still written the record:
// the class-2 read that follows it must send none of it.
TEST(Robustness, FallbackReadSendsNothingOfTheFailedRead) {
  MachineSpec machine = TwoGoodAdapters();
  machine.adapters[0].extra = R"("answers":{"read":{"code":-5}})";
  const ScenarioResult r = RunOn(machine, {{"fw.L1A", kImage}}, {"-q", "@fw.L1A"});
  EXPECT_EQ(r.run.status, 0);
  const auto fallback = OfOp(r.transactions, "read2");
  ASSERT_FALSE(fallback.empty());
  EXPECT_EQ(fallback[0].node, 11u);
  EXPECT_EQ(OfOp(r.transactions, "download").size(), 2u);
  ExpectNothingWrongSent(r, machine, AdapterFileImage(kImage), "1A");
}

// The trace is the witness of what reached the machine: when it can't be
// written, or a line of it can't even be built, the run ends with status 2
// and one line, never with a request that the trace lacks or an abort.
TEST(Robustness, ATraceThatCantBeWrittenEndsTheRun) {
  if (UnderWine()) GTEST_SKIP() << "under Wine the runner writes the trace after the run";
  const MachineSpec machine = TwoGoodAdapters();
  const ScenarioFiles files(machine.Json(), {{"fw.L1A", kImage}});
  ProcessOptions full = files.Options();
  full.env.back() = "QXFW_TRACE=/dev/full";
  const ProcessResult r = RunProcess(BuiltProgram("qxfwload"), files.Args({"@fw.L1A"}), full);
  EXPECT_EQ(r.err,
            "qxfwload: simulated machine: trace file cannot be written: No space left on device\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "") << "the first call ends the run";

  // A download of 64 MiB with its trace line (256 MiB of hex) under an
  // address space too small for the line.
  if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer needs more address space";
  constexpr std::uint32_t kSize = std::uint32_t{1} << 26;
  std::string header = AdapterFirmwareFile("", "ZEROS000");
  for (int i = 0; i < 4; ++i) header[252 + i] = static_cast<char>(kSize >> (24 - 8 * i));
  TempDir dir;
  const std::string zeros = dir.WriteSparse("zeros.L1A", header, kSize + 272);
  const ProcessResult big = RunProcess(
      "/bin/sh",
      {"-c", "ulimit -v 409600 && exec \"$0\" \"$@\"", BuiltProgram("qxfwload"), "-q", zeros},
      files.Options());
  EXPECT_EQ(big.err.rfind("qxfwload: simulated machine: a platform call cannot be answered: ", 0),
            0u)
      << big.err;
  EXPECT_EQ(big.status, 2);
}

TEST(Robustness, MachineFileWithErrorsStopsBeforeAnyCall) {
  const struct {
    std::string machine;
    std::string error;
  } cases[] = {
      {R"({"ports": [{"port": 0, "drvier": "qarmix"}]})", R"(ports[0]: unknown field "drvier")"},
      {R"({"ports": [{"port": 0, "node": 300}]})",
       "ports[0].node: must be an integer from -128 to 127"},
      {R"({"ports": [{"port": 0, "a\nb": 1}]})", R"(ports[0]: unknown field "a\u000ab")"},
      {R"({"adapters": [{"node": 11}, {"node": 11}]})",
       "adapters[1].node: node 11 is already used by adapters[0]"},
      {R"({"ports": [)", "not valid JSON: parse error at line 1, column "},
  };
  for (const auto& c : cases) {
    const ScenarioResult r = RunScenario(c.machine, {{"fw.L1A", kImage}}, {"@fw.L1A"});
    EXPECT_EQ(r.run.status, 2) << c.machine;
    EXPECT_EQ(r.run.out, "") << "nothing runs before the machine is read";
    ASSERT_EQ(r.run.err.rfind("qxfwload: simulated machine: ", 0), 0u) << r.run.err;
    EXPECT_NE(r.run.err.find(".json: " + c.error), std::string::npos) << r.run.err;
    EXPECT_EQ(r.run.err.find('\n'), r.run.err.size() - 1) << "one line: " << r.run.err;
    EXPECT_TRUE(r.trace.empty()) << "no platform call was answered";
  }
}

}  // namespace
