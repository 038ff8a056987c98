#include "sim/machine_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/machine_file.h"

namespace sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::unique_ptr<MachineConfig> Parsed(const std::string& json) {
  auto config = std::make_unique<MachineConfig>();
  EXPECT_EQ(ParseMachineFile(json, *config), "");
  return config;
}

Bytes Encoded(const MachineConfig& config) {
  Bytes image(MachineImageSize(config));
  EncodeMachineImage(config, image.data());
  return image;
}

bool Decode(const Bytes& image, MachineConfig& config) {
  return DecodeMachineImage(image.data(), static_cast<std::uint32_t>(image.size()), config);
}

void ExpectSameMachine(const MachineConfig& a, const MachineConfig& b) {
  for (int i = 0; i < kPortCount; ++i) {
    const PortConfig& x = a.ports[i];
    const PortConfig& y = b.ports[i];
    EXPECT_EQ(x.listed, y.listed) << i;
    EXPECT_EQ(x.has_driver, y.has_driver) << i;
    EXPECT_EQ(std::string(x.driver, x.driver_length), std::string(y.driver, y.driver_length)) << i;
    EXPECT_EQ(x.device_present, y.device_present) << i;
    EXPECT_EQ(x.node, y.node) << i;
    EXPECT_EQ(x.node_query, y.node_query) << i;
    EXPECT_EQ(x.transactions_fail, y.transactions_fail) << i;
    EXPECT_EQ(x.has_transaction_limit, y.has_transaction_limit) << i;
    EXPECT_EQ(x.transaction_limit, y.transaction_limit) << i;
  }
  ASSERT_EQ(a.adapter_count, b.adapter_count);
  for (int i = 0; i < a.adapter_count; ++i) {
    const AdapterConfig& x = a.adapters[i];
    const AdapterConfig& y = b.adapters[i];
    EXPECT_EQ(x.node, y.node) << i;
    EXPECT_EQ(x.mode, y.mode) << i;
    EXPECT_EQ(x.partner, y.partner) << i;
    EXPECT_EQ(x.garbage, y.garbage) << i;
    EXPECT_EQ(x.download_ms, y.download_ms) << i;
    EXPECT_EQ(x.has_after_download, y.has_after_download) << i;
    EXPECT_EQ(x.has_identify_bytes, y.has_identify_bytes) << i;
    EXPECT_EQ(Bytes(x.identify_bytes, x.identify_bytes + kIdentifyAnswerSize),
              Bytes(y.identify_bytes, y.identify_bytes + kIdentifyAnswerSize))
        << i;
    EXPECT_EQ(Bytes(x.vpd, x.vpd + kVpdSize), Bytes(y.vpd, y.vpd + kVpdSize)) << i;
    for (int op = 0; op < kOperationCount; ++op) {
      EXPECT_EQ(x.answers[op].kind, y.answers[op].kind) << i << " " << op;
      EXPECT_EQ(x.answers[op].status, y.answers[op].status) << i << " " << op;
      EXPECT_EQ(x.answers[op].flag, y.answers[op].flag) << i << " " << op;
      EXPECT_EQ(x.answers[op].code, y.answers[op].code) << i << " " << op;
      EXPECT_EQ(x.after_download[op].kind, y.after_download[op].kind) << i << " " << op;
      EXPECT_EQ(x.after_download[op].status, y.after_download[op].status) << i << " " << op;
      EXPECT_EQ(x.after_download[op].flag, y.after_download[op].flag) << i << " " << op;
      EXPECT_EQ(x.after_download[op].code, y.after_download[op].code) << i << " " << op;
    }
  }
}

// Every field away from its default somewhere, and a name with a NUL in it.
const std::string kRichMachine = R"({
  "ports": [{"port": 15, "driver": "qarmix", "node": -128, "node_query": "silent"},
            {"port": 0, "driver": "q\u0000x", "device": "missing", "transactions": "fail"},
            {"port": 7, "node": 127, "node_query": "fail", "fail_after": 4000000000},
            {"port": 3, "driver": ""}],
  "adapters": [{"node": 4294967295, "mode": 255, "partner": true, "garbage": true,
                "vpd": {"ll": "Zz"}, "download_ms": 60000,
                "answers": {"mode": "fail", "read": {"status": -128, "flag": 255,
                            "code": -32768}, "post_notice": {"code": 32767}},
                "after_download": {"identify": "fail", "download": {"status": 127, "flag": 1,
                                   "code": -1}}},
               {"node": 0, "identify_bytes": "0102030405064208", "vpd": {"hex": ")" +
                                 [] {
                                   std::string hex;
                                   for (int i = 0; i < kVpdSize; ++i) hex += i % 3 ? "f1" : "0e";
                                   return hex;
                                 }() +
                                 R"("}}]})";

TEST(SimMachineImage, CarriesEveryFieldOfTheMachine) {
  const auto machine = Parsed(kRichMachine);
  const Bytes image = Encoded(*machine);
  auto decoded = std::make_unique<MachineConfig>();
  decoded->adapter_count = 9;  // reset by the decoder
  decoded->ports[1].listed = true;
  ASSERT_TRUE(Decode(image, *decoded));
  ExpectSameMachine(*machine, *decoded);
}

TEST(SimMachineImage, LayoutIsExplicitLittleEndian) {
  const Bytes empty = Encoded(*Parsed("{}"));
  EXPECT_EQ(empty, (Bytes{'Q', 'X', 'M', 'I', 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  const Bytes image = Encoded(*Parsed(
      R"({"ports": [{"port": 9, "driver": "ab", "node": -2, "node_query": "fail"}],
          "adapters": [{"node": 258, "mode": 3, "answers": {"identify": {"code": -2}},
                        "download_ms": 1025}]})"));
  ASSERT_EQ(image.size(), 16u + 10u + 2u + 364u);
  EXPECT_EQ(Bytes(image.begin() + 8, image.begin() + 16), (Bytes{1, 0, 0, 0, 1, 0, 0, 0}));
  // Port 9: driver and present device flags, node 0xFE, "fail", no transaction
  // limit, a 2-byte name.
  EXPECT_EQ(Bytes(image.begin() + 16, image.begin() + 28),
            (Bytes{9, 3, 0xFE, 1, 0, 0, 0, 0, 2, 0, 'a', 'b'}));
  const std::size_t adapter = 28;
  EXPECT_EQ(Bytes(image.begin() + adapter, image.begin() + adapter + 6), (Bytes{2, 1, 0, 0, 3, 0}));
  const std::size_t identify = adapter + 262 + 3 * 5;
  EXPECT_EQ(Bytes(image.begin() + identify, image.begin() + identify + 5),
            (Bytes{1, 0, 0, 0xFE, 0xFF}));
  const std::size_t download_ms = adapter + 297;
  EXPECT_EQ(Bytes(image.begin() + download_ms, image.begin() + download_ms + 4),
            (Bytes{1, 4, 0, 0}));
  EXPECT_EQ(Bytes(image.begin() + download_ms + 4, image.end()), Bytes(35 + 20 + 8, 0))
      << "no after_download, no kept firmware, no identify bytes";

  const auto machine = Parsed(R"({"adapters": [{"node": 1, "after_download": {"read": "fail"}}]})");
  FirmwareRecord kept{0x01020304, 0xA0B0C0D0, {'C', 'O', 'D', 'E', 'I', 'D', '0', '1'}, 7};
  Bytes with_kept(MachineImageSize(*machine));
  EncodeMachineImage(*machine, with_kept.data(), &kept);
  ASSERT_EQ(with_kept.size(), 16u + 364u);
  EXPECT_EQ(with_kept[16 + 5], 4) << "the after_download flag";
  EXPECT_EQ(Bytes(with_kept.begin() + 16 + 301, with_kept.begin() + 16 + 311),
            (Bytes{0, 0, 0, 0, 0, 2, 0, 0, 0, 0}));  // mode carried out, read "fail"
  EXPECT_EQ(Bytes(with_kept.begin() + 16 + 336, with_kept.begin() + 16 + 356),
            (Bytes{4,   3,   2,   1,   0xD0, 0xC0, 0xB0, 0xA0, 'C', 'O',
                   'D', 'E', 'I', 'D', '0',  '1',  7,    0,    0,   0}));
}

TEST(SimMachineImage, CarriesTheFirmwareTheAdaptersHoldAtLoad) {
  const auto machine = Parsed(kRichMachine);
  FirmwareRecord kept[2] = {{1000, 0xDEADBEEF, {1, 2, 3, 4, 5, 6, 7, 8}, 3}, {}};
  Bytes image(MachineImageSize(*machine));
  EncodeMachineImage(*machine, image.data(), kept);
  auto decoded = std::make_unique<MachineConfig>();
  auto firmware = std::make_unique<FirmwareRecord[]>(kMaxAdapters);
  firmware[1].download_count = 9;  // reset by the decoder
  ASSERT_TRUE(DecodeMachineImage(image.data(), static_cast<std::uint32_t>(image.size()), *decoded,
                                 firmware.get()));
  ExpectSameMachine(*machine, *decoded);
  EXPECT_EQ(firmware[0].length, 1000u);
  EXPECT_EQ(firmware[0].lrc, 0xDEADBEEFu);
  EXPECT_EQ(Bytes(firmware[0].code_id, firmware[0].code_id + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(firmware[0].download_count, 3u);
  EXPECT_EQ(firmware[1].download_count, 0u);
  EXPECT_EQ(firmware[1].length, 0u);
  ASSERT_TRUE(Decode(image, *decoded)) << "the firmware may be left unread";
}

TEST(SimMachineImage, TheFullestMachineFitsTheLargestSize) {
  auto machine = std::make_unique<MachineConfig>();
  for (PortConfig& port : machine->ports) {
    port.listed = port.has_driver = true;
    port.driver_length = kMaxDriverNameLength;
  }
  machine->adapter_count = kMaxAdapters;
  for (int i = 0; i < kMaxAdapters; ++i) machine->adapters[i].node = static_cast<std::uint32_t>(i);
  EXPECT_EQ(MachineImageSize(*machine), MaxMachineImageSize());
  auto decoded = std::make_unique<MachineConfig>();
  ASSERT_TRUE(Decode(Encoded(*machine), *decoded));
  ExpectSameMachine(*machine, *decoded);
}

TEST(SimMachineImage, RefusesAnythingButAWholeWellFormedImage) {
  const Bytes good = Encoded(*Parsed(kRichMachine));
  auto config = std::make_unique<MachineConfig>();
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    EXPECT_FALSE(Decode(Bytes(good.begin(), good.begin() + cut), *config)) << cut;
  }
  Bytes longer = good;
  longer.push_back(0);
  EXPECT_FALSE(Decode(longer, *config));

  // Ports are encoded in number order: port 0 (3-byte name) comes first.
  const std::size_t port0 = 16;
  const std::size_t port3 = port0 + 10 + 3;
  const std::size_t adapters = 16 + (10 + 3) + (10 + 0) + (10 + 6) + (10 + 0);
  struct Change {
    const char* what;
    std::size_t at;
    std::uint8_t value;
  };
  const Change changes[] = {
      {"magic", 0, 'q'},
      {"version", 4, 2},
      {"port count", 8, 17},
      {"adapter count", 13, 1},  // 258 adapters
      {"port number", port0, 16},
      {"port listed twice", port3, 0},
      {"unknown flag", port0 + 1, 0x10},
      {"limit without its flag", port0 + 4, 1},
      {"node query mode", port0 + 3, 3},
      {"name without a driver", port0 + 1, 2},
      {"name too long", port0 + 9, 1},
      {"adapter flags", adapters + 5, 16},
      {"identify bytes without their flag", adapters + 356 + 2, 1},
      {"answer kind", adapters + 262, 3},
      {"download time past its limit", adapters + 297 + 2, 1},  // 60000 + 65536 ms
      {"after_download answer kind", adapters + 301 + 3 * 5, 3},
      {"after_download without its flag", adapters + 364 + 301, 1},
      {"firmware without a download", adapters + 336 + 4, 1},
      {"repeated node", adapters + 364, 0xFF},  // the second adapter's node 0 -> 255
  };
  for (const Change& c : changes) {
    Bytes bad = good;
    bad[c.at] = c.value;
    if (std::string(c.what) == "repeated node") {
      for (int i = 0; i < 4; ++i) bad[c.at + i] = 0xFF;
    }
    EXPECT_FALSE(Decode(bad, *config)) << c.what;
  }
  EXPECT_TRUE(Decode(good, *config));
}

}  // namespace
}  // namespace sim
