#include "tool/requests.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "services/inject.h"
#include "sim/machine.h"
#include "testing/bytes.h"
#include "testing/sim_session.h"
#include "transport/adapters.h"
#include "util/coding.h"

namespace {

using testing_support::FromHex;
using testing_support::ToHex;

// Where the driver finds things in a transaction packet.
constexpr std::size_t kDpbAt = 28;
constexpr std::size_t kDataAreaAt = 140;
constexpr std::size_t kFixedPacketSize = 143;
constexpr std::size_t kParmOutAt = kDpbAt + 0x2C;
constexpr std::size_t kDataOutAt = kDpbAt + 0x3C;
constexpr std::size_t kDataInAt = kDpbAt + 0x4C;
constexpr std::size_t kParmInAt = kDpbAt + 0x5C;

constexpr std::uint32_t kNode = 12;

/// The text of a string field of one trace line, or nullopt.
std::optional<std::string> TraceText(const std::string& line, const std::string& key) {
  const std::string opener = "\"" + key + "\":\"";
  const std::size_t at = line.find(opener);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t from = at + opener.size();
  return line.substr(from, line.find('"', from) - from);
}

/// The packet as the driver received it.
struct Sent {
  std::vector<std::uint8_t> bytes;

  std::uint32_t Word(std::size_t at) const { return util::DecodeFixed32(bytes.data() + at); }
  std::uint32_t Base(std::size_t descriptor_at) const { return Word(descriptor_at + 4); }
  std::uint32_t Length(std::size_t descriptor_at) const { return Word(descriptor_at + 12); }
  /// The bytes of the data area that a rewritten descriptor names.
  std::vector<std::uint8_t> Area(std::size_t descriptor_at) const {
    const std::uint64_t start = std::uint64_t{kDataAreaAt} + Base(descriptor_at);
    if (start + Length(descriptor_at) > bytes.size()) {
      ADD_FAILURE() << "descriptor at " << descriptor_at << " points past the packet";
      return {};
    }
    return {bytes.begin() + start, bytes.begin() + start + Length(descriptor_at)};
  }
};

/// 256 bytes that no two offsets share by chance, so a record read from the
/// wrong place or half-copied shows.
std::array<std::uint8_t, kVpdSize> DistinctRecord() {
  std::array<std::uint8_t, kVpdSize> record;
  for (std::size_t i = 0; i < record.size(); ++i) {
    record[i] = static_cast<std::uint8_t>(i * 7 + 3);
  }
  return record;
}

std::string AdapterJson(std::uint32_t node, int mode, const std::string& answers) {
  const auto record = DistinctRecord();
  return R"({"node":)" + std::to_string(node) + R"(,"mode":)" + std::to_string(mode) +
         R"(,"vpd":{"hex":")" + ToHex({record.begin(), record.end()}) + R"("},"answers":{)" +
         answers + "}}";
}

/// One served port carrying node 11 and its partner, and the given adapters.
std::string MachineJson(const std::string& adapters) {
  return R"({"ports":[{"port":0,"driver":"qarmix","node":11}],"adapters":[)" + adapters + "]}";
}

class RequestsTest : public testing_support::SimSessionTest {
 protected:
  RequestsTest() : SimSessionTest(CloseAdapters) {}

  /// Loads a machine with one adapter at kNode; `answers` is the body of its
  /// "answers" object.
  void LoadAdapter(int mode = 0, const std::string& answers = "") {
    LoadMachine(MachineJson(AdapterJson(kNode, mode, answers)));
  }

  void LoadMachine(const std::string& json) {
    LoadSession(json);
    if (HasFatalFailure()) return;
    DiscoverAdapters();
    SetInjectEntry(Inject);
    // Only what the requests send is of interest, not the discovery.
    sim::StartTraceRecording();
  }

  /// Every packet sent to the driver since the machine was loaded.
  static std::vector<Sent> SentPackets() {
    std::vector<Sent> packets;
    for (const std::string& line : sim::RecordedTrace()) {
      if (line.find(R"("op":"DeviceIoControl")") == std::string::npos) continue;
      const std::optional<std::string> sent = TraceText(line, "sent");
      if (sent) packets.push_back({FromHex(*sent)});
    }
    return packets;
  }

  static Sent OnlyPacket() {
    const std::vector<Sent> packets = SentPackets();
    EXPECT_EQ(packets.size(), 1u);
    return packets.empty() ? Sent{std::vector<std::uint8_t>(kFixedPacketSize)} : packets[0];
  }
};

/// A DPB copy as it must reach the driver: the builders' fields, the four
/// descriptors pointing into the data area, and zero everywhere else.
std::vector<std::uint8_t> ExpectedDpbCopy(std::uint8_t tx_class, std::uint32_t unit,
                                          std::uint16_t code, std::uint32_t po, std::uint32_t d_o,
                                          std::uint32_t di, std::uint32_t pi) {
  std::vector<std::uint8_t> dpb(112);
  dpb[0x08] = 19;
  dpb[0x0A] = 5;
  util::EncodeFixed32(&dpb[0x20], kNode);
  util::EncodeFixed32(&dpb[0x24], unit);
  util::EncodeFixed16(&dpb[0x28], code);
  dpb[0x2A] = tx_class;
  const auto put = [&](std::size_t at, std::uint32_t base, std::uint32_t length) {
    dpb[at + 3] = 1;
    util::EncodeFixed32(&dpb[at + 4], base);
    util::EncodeFixed32(&dpb[at + 12], length);
  };
  put(0x2C, 0, po);
  put(0x3C, po + di, d_o);
  put(0x4C, po, di);
  put(0x5C, po + di + d_o, pi);
  return dpb;
}

// The 4-byte image whose LRC is 258: 0xAAAAAAAA + 0x55555658 wraps to 0x102.
constexpr std::uint8_t kImage[4] = {0x58, 0x56, 0x55, 0x55};
constexpr char kCodeId[] = "FW-1.02X";

struct WireCase {
  const char* what;
  std::function<std::int16_t()> send;
  std::uint8_t tx_class;
  std::uint32_t unit;
  std::uint16_t code;
  std::uint32_t po, d_o, di, pi;
  std::string parm_out_hex;
  std::string data_out_hex;
};

std::uint8_t g_buffer[256];

const WireCase kWireCases[] = {
    {"mode query",
     [] {
       std::uint8_t mode = 0;
       return QueryAdapterMode(kNode, &mode);
     },
     3, 1, 11, 0, 0, 0, 4, "", ""},
    {"memory read", [] { return ReadAdapterMemory(kNode, 0x12345678, 16, g_buffer); }, 3, 1, 4, 8,
     0, 16, 0, "7856341210000000", ""},
    {"class-2 memory read",
     [] { return ReadAdapterMemoryClass2(kNode, 0x0A0B0C0D, 0x783FFF00, 256, g_buffer); }, 2,
     0x0A0B0C0D, 3, 8, 0, 0, 256, "00ff3f7800010000", ""},
    {"identify", [] { return IdentifyAdapter(kNode, g_buffer); }, 3, 1, 1, 0, 0, 0, 8, "", ""},
    {"download", [] { return DownloadFirmware(kNode, kImage, 4, 258, kCodeId); }, 3, 1, 7, 16, 4, 0,
     0,
     /* length, LRC, CodeID */ "040000000201000046572d312e303258", "58565555"},
    {"pre-download notice", [] { return SendPreDownloadNotice(kNode); }, 2, 31, 0x225, 0, 0, 0, 0,
     "", ""},
    {"post-download notice", [] { return SendPostDownloadNotice(kNode); }, 2, 31, 0x224, 0, 0, 0, 0,
     "", ""},
};

TEST_F(RequestsTest, EachRequestReachesTheDriverAsItsTableSays) {
  for (const WireCase& c : kWireCases) {
    SCOPED_TRACE(c.what);
    LoadAdapter();
    c.send();
    const Sent sent = OnlyPacket();
    const std::uint32_t d = c.po + c.d_o + c.di + c.pi;
    ASSERT_EQ(sent.bytes.size(), kFixedPacketSize + d);
    EXPECT_EQ(ToHex({sent.bytes.begin() + kDpbAt, sent.bytes.begin() + kDataAreaAt}),
              ToHex(ExpectedDpbCopy(c.tx_class, c.unit, c.code, c.po, c.d_o, c.di, c.pi)));
    EXPECT_EQ(ToHex(sent.Area(kParmOutAt)), c.parm_out_hex);
    EXPECT_EQ(ToHex(sent.Area(kDataOutAt)), c.data_out_hex);
    Unload();
  }
}

TEST_F(RequestsTest, AdapterChecksTheDownloadAgainstItsParameters) {
  LoadAdapter();
  EXPECT_EQ(DownloadFirmware(kNode, kImage, 4, 258, kCodeId), 0);
  const std::optional<sim::KeptFirmware> kept = sim::AdapterFirmware(kNode);
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(kept->length, 4u);
  EXPECT_EQ(kept->lrc, 258u);
  EXPECT_EQ(std::string(kept->code_id.begin(), kept->code_id.end()), "FW-1.02X");
  // A refusal comes back as the adapter's own code, with nothing else failed.
  EXPECT_EQ(DownloadFirmware(kNode, kImage, 4, 259, kCodeId), -10);
  EXPECT_EQ(sim::AdapterFirmware(kNode)->download_count, 1u);
}

struct ReductionCase {
  const char* answer;  // the identify answer override
  std::int16_t result;
};

TEST_F(RequestsTest, OutcomesReduceToOneResult) {
  const ReductionCase cases[] = {
      {R"({"status":0,"flag":0,"code":0})", 0},       {R"({"status":0,"flag":0,"code":-30})", -30},
      {R"({"status":0,"flag":0,"code":1234})", 1234}, {R"({"status":0,"flag":1,"code":0})", -3},
      {R"({"status":0,"flag":1,"code":-30})", -3},    {R"({"status":4,"flag":0,"code":0})", -3},
      {R"({"status":-1,"flag":0,"code":-30})", -3},   {R"("fail")", -3},
  };
  for (const ReductionCase& c : cases) {
    SCOPED_TRACE(c.answer);
    LoadAdapter(0, std::string(R"("identify":)") + c.answer);
    std::uint8_t answer[kIdentifyAnswerSize] = {};
    EXPECT_EQ(IdentifyAdapter(kNode, answer), c.result);
    Unload();
  }
}

TEST_F(RequestsTest, UndeliveredRequestsFail) {
  // A port that knows no such node, and a machine with no port at all.
  LoadMachine(MachineJson(""));
  EXPECT_EQ(SendPreDownloadNotice(kNode), -3);
  Unload();
  LoadMachine(R"({"ports":[],"adapters":[]})");
  EXPECT_EQ(SendPostDownloadNotice(kNode), -3);
  EXPECT_TRUE(SentPackets().empty());
}

TEST_F(RequestsTest, ModeIsSetOnlyOnSuccess) {
  LoadAdapter(1);
  std::uint8_t mode = 0x77;
  EXPECT_EQ(QueryAdapterMode(kNode, &mode), 0);
  EXPECT_EQ(mode, 1);
  Unload();

  // The answer still arrives, but with a nonzero result it means nothing.
  LoadAdapter(1, R"("mode":{"code":5})");
  mode = 0x77;
  EXPECT_EQ(QueryAdapterMode(kNode, &mode), 5);
  EXPECT_EQ(mode, 0x77);
}

/// One memory read of the probe, as sent.
struct ProbeRead {
  std::uint8_t tx_class;
  std::uint32_t unit;
  std::uint32_t address;
};

std::vector<ProbeRead> ReadsOf(const std::vector<Sent>& packets) {
  std::vector<ProbeRead> reads;
  for (const Sent& p : packets) {
    const std::uint8_t tx_class = p.bytes[kDpbAt + 0x2A];
    const std::uint16_t code = util::DecodeFixed16(&p.bytes[kDpbAt + 0x28]);
    const bool is_read = (tx_class == 3 && code == 4) || (tx_class == 2 && code == 3);
    if (!is_read) continue;
    const std::vector<std::uint8_t> parms = p.Area(kParmOutAt);
    EXPECT_EQ(util::DecodeFixed32(parms.data() + 4), kVpdSize);
    // Whichever area the record comes back in must be the whole record, and
    // it goes out empty: neither the caller's bytes nor a failed read's.
    const std::uint32_t receiving = tx_class == 3 ? kDataInAt : kParmInAt;
    EXPECT_EQ(p.Length(receiving), kVpdSize);
    EXPECT_EQ(p.Area(receiving), std::vector<std::uint8_t>(kVpdSize, 0));
    reads.push_back({tx_class, p.Word(kDpbAt + 0x24), util::DecodeFixed32(parms.data())});
  }
  return reads;
}

enum class Got { kNothing, kRecord, kZeros };

struct ProbeCase {
  const char* what;
  int mode;
  const char* answers;
  Got got;
  std::vector<ProbeRead> reads;
};

TEST_F(RequestsTest, ProbeReadsTheRecordWhereTheModeSays) {
  const ProbeCase cases[] = {
      {"mode 0", 0, "", Got::kRecord, {{3, 1, 0x70010}}},
      {"mode 1", 1, "", Got::kRecord, {{3, 1, 0x783FFF00}}},
      {"mode 2 rules the node out", 2, "", Got::kNothing, {}},
      {"mode 255 rules the node out", 255, "", Got::kNothing, {}},
      // A mode-1 adapter has zeros at the mode-0 address.
      {"failed mode query", 1, R"("mode":"fail")", Got::kZeros, {{3, 1, 0x70010}}},
      {"flagged mode query", 1, R"("mode":{"flag":1})", Got::kZeros, {{3, 1, 0x70010}}},
      {"class-3 read fails",
       0,
       R"("read":"fail")",
       Got::kRecord,
       {{3, 1, 0x70010}, {2, 17, 0x70010}}},
      // The failed read still wrote the record: the fallback sends none of it.
      {"class-3 read answered with a code",
       0,
       R"("read":{"code":-5})",
       Got::kRecord,
       {{3, 1, 0x70010}, {2, 17, 0x70010}}},
      {"class-3 read flagged, mode 1",
       1,
       R"("read":{"flag":1})",
       Got::kRecord,
       {{3, 1, 0x783FFF00}, {2, 17, 0x783FFF00}}},
      {"both reads fail",
       0,
       R"("read":"fail","read2":{"code":-30})",
       Got::kNothing,
       {{3, 1, 0x70010}, {2, 17, 0x70010}}},
  };
  const auto record = DistinctRecord();
  for (const ProbeCase& c : cases) {
    SCOPED_TRACE(c.what);
    LoadAdapter(c.mode, c.answers);
    std::array<std::uint8_t, kVpdSize> vpd;
    vpd.fill(0xEE);
    EXPECT_EQ(ProbeAdapter(kNode, vpd.data()), c.got != Got::kNothing);
    if (c.got == Got::kRecord) {
      EXPECT_EQ(vpd, record);
    } else if (c.got == Got::kZeros) {
      EXPECT_EQ(vpd, decltype(vpd){});
    }
    const std::vector<Sent> packets = SentPackets();
    const std::vector<ProbeRead> reads = ReadsOf(packets);
    EXPECT_EQ(packets.size(), 1 + reads.size()) << "the mode query, then the reads only";
    ASSERT_EQ(reads.size(), c.reads.size());
    for (std::size_t i = 0; i < reads.size(); ++i) {
      EXPECT_EQ(reads[i].tx_class, c.reads[i].tx_class) << i;
      EXPECT_EQ(reads[i].unit, c.reads[i].unit) << i;
      EXPECT_EQ(reads[i].address, c.reads[i].address) << i;
    }
    Unload();
  }
}

TEST_F(RequestsTest, ProbedRecordCarriesTheAdaptersLL) {
  LoadMachine(MachineJson(R"({"node":12,"mode":1,"vpd":{"ll":"1A"}})"));
  std::array<std::uint8_t, kVpdSize> vpd{};
  ASSERT_TRUE(ProbeAdapter(kNode, vpd.data()));
  char ll[2] = {};
  ASSERT_TRUE(FindVpdLL(vpd.data(), ll));
  EXPECT_EQ(std::string(ll, 2), "1A");
}

TEST(CopyBytesTest, CopiesExactlyCountAndAnswersIt) {
  const char from[] = "abcdef";
  char to[] = "......";
  EXPECT_EQ(CopyBytes(to, from, 3), 3u);
  EXPECT_STREQ(to, "abc...");
  EXPECT_EQ(CopyBytes(to, from, 0), 0u);
  EXPECT_STREQ(to, "abc...");
}

}  // namespace
