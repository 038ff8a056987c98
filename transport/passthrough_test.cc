#include "transport/passthrough.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "testing/bytes.h"
#include "testing/sim_session.h"
#include "transport/adapters.h"
#include "util/coding.h"

namespace {

using testing_support::FromHex;
using testing_support::Load;
using testing_support::TraceOf;
using testing_support::WordAt;

/// One adapter, node 11, on port 1; another port that fails every transaction.
const char kMachine[] = R"({
  "ports": [{"port": 1, "driver": "qarmix", "node": 11},
            {"port": 2, "driver": "qarmix", "node": 30, "transactions": "fail"}],
  "adapters": [{"node": 11, "vpd": {"ll": "1A"}}, {"node": 30}]})";

class PassThrough : public ::testing::Test {
 protected:
  void SetUp() override {
    Load(kMachine);
    DiscoverAdapters();
    sim::StartTraceRecording();  // from here on only the transactions
  }
};

DPB Transaction(std::uint32_t node, std::uint8_t tx_class, std::uint16_t code) {
  DPB block;
  block.Set(dpb::DPB_Number, 19);
  block.Set(dpb::DPB_Flag, 5);
  block.Set(dpb::Node, node);
  block.Set(dpb::TxUnit, 1);
  block.Set(dpb::TxCode, code);
  block.Set(dpb::TxClass, tx_class);
  for (DescriptorField d : {dpb::ParmOut, dpb::DataOut, dpb::DataIn, dpb::ParmIn}) {
    block.SetDescriptor(d, {descriptor::kNoBuffer, nullptr, 0, 0});
  }
  return block;
}

struct Sent {
  std::vector<std::uint8_t> packet;
  std::vector<std::uint8_t> answer;
};

Sent OnlyTransaction() {
  const auto calls = TraceOf("DeviceIoControl");
  EXPECT_EQ(calls.size(), 1u);
  if (calls.empty()) return {};
  EXPECT_EQ(calls[0]["code"], 0x4D008);
  return {FromHex(calls[0]["sent"].get<std::string>()),
          FromHex(calls[0]["answer"].get<std::string>())};
}

void ExpectDescriptor(const std::vector<std::uint8_t>& p, std::size_t at, std::uint32_t base,
                      std::uint32_t length) {
  EXPECT_EQ(p.at(at + 3), 1) << at;  // Kind 1 whatever the caller had
  EXPECT_EQ(WordAt(p, at + 4), base) << at;
  EXPECT_EQ(WordAt(p, at + 8), 0u) << at;
  EXPECT_EQ(WordAt(p, at + 12), length) << at;
}

TEST_F(PassThrough, EmptyTransactionIsTheBarePacket) {
  DPB block = Transaction(11, 2, 0x225);  // a notice: answered 0
  const std::uint8_t reserved = 0x5A;     // reserved bytes travel as the caller left them
  block.SetWireBytes(0x10, &reserved, 1);
  block.Set(dpb::TxUnit, 31);
  const DPB before = block;
  EXPECT_EQ(PassThroughRequest(&block), 0);
  const Sent s = OnlyTransaction();
  ASSERT_EQ(s.packet.size(), 143u);
  EXPECT_EQ(WordAt(s.packet, 0), 28u);
  EXPECT_EQ(std::string(s.packet.begin() + 4, s.packet.begin() + 11), "qarmix ");
  EXPECT_EQ(WordAt(s.packet, 12), 4096u);
  EXPECT_EQ(WordAt(s.packet, 16), 0x80000001u);
  EXPECT_EQ(WordAt(s.packet, 24), 115u);
  EXPECT_EQ(s.packet[36], 19);
  EXPECT_EQ(s.packet[38], 5);
  EXPECT_EQ(s.packet[39], 0);
  EXPECT_EQ(s.packet[28 + 0x10], 0x5A);
  EXPECT_EQ(WordAt(s.packet, 60), 11u);
  EXPECT_EQ(WordAt(s.packet, 64), 31u);
  EXPECT_EQ(s.packet[68] | (s.packet[69] << 8), 0x225);
  EXPECT_EQ(s.packet[70], 2);
  for (std::size_t at : {72u, 88u, 104u, 120u}) ExpectDescriptor(s.packet, at, 0, 0);
  // Only the status and the four result bytes change.
  EXPECT_EQ(block.Get(dpb::DPB_Status), 0);
  EXPECT_EQ(block.Get(dpb::ResultFlag), 0);
  EXPECT_EQ(std::memcmp(block.bytes(), before.bytes(), dpb::kResultBytes), 0);
}

TEST_F(PassThrough, MemoryReadLaysOutParmOutThenDataIn) {
  DPB block = Transaction(11, 3, 4);
  std::uint8_t parms[8];
  util::EncodeFixed32(parms, 0x70010);
  util::EncodeFixed32(parms + 4, 256);
  std::array<std::uint8_t, 256> vpd{};
  block.SetDescriptor(dpb::ParmOut, {1, parms, 0, 8});
  block.SetDescriptor(dpb::DataIn, {1, vpd.data(), 0, 256});
  PassThroughRequest(&block);
  const Sent s = OnlyTransaction();
  ASSERT_EQ(s.packet.size(), 407u);
  EXPECT_EQ(WordAt(s.packet, 24), 379u);
  ExpectDescriptor(s.packet, 72, 0, 8);
  ExpectDescriptor(s.packet, 88, 264, 0);
  ExpectDescriptor(s.packet, 104, 8, 256);
  ExpectDescriptor(s.packet, 120, 264, 0);
  EXPECT_EQ(WordAt(s.packet, 140), 0x70010u);
  EXPECT_EQ(WordAt(s.packet, 144), 256u);
  EXPECT_EQ(block.Get(dpb::DPB_Status), 0);
  // The record came back from the DataIn area, which starts at 148.
  EXPECT_EQ(std::memcmp(vpd.data(), s.answer.data() + 148, 256), 0);
  EXPECT_EQ(std::string(vpd.begin(), vpd.begin() + 3), "VPD");
}

TEST_F(PassThrough, DownloadPlacesTheImageAfterItsParameters) {
  DPB block = Transaction(11, 3, 7);
  std::vector<std::uint8_t> image(1000);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7);
  std::uint8_t parms[16] = {};
  block.SetDescriptor(dpb::ParmOut, {1, parms, 0, 16});
  block.SetDescriptor(dpb::DataOut, {1, image.data(), 0, 1000});
  PassThroughRequest(&block);
  const Sent s = OnlyTransaction();
  ASSERT_EQ(s.packet.size(), 159u + 1000u);
  EXPECT_EQ(WordAt(s.packet, 24), 131u + 1000u);
  ExpectDescriptor(s.packet, 88, 16, 1000);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), s.packet.begin() + 156));
}

TEST_F(PassThrough, CallerOffsetsAreHonouredBothWays) {
  DPB block = Transaction(11, 3, 4);
  std::uint8_t parms[8];
  util::EncodeFixed32(parms, 0x70010);
  util::EncodeFixed32(parms + 4, 4);
  std::array<std::uint8_t, 28> in;
  in.fill(0xEE);
  block.SetDescriptor(dpb::ParmOut, {1, parms, 0, 8});
  block.SetDescriptor(dpb::DataIn, {1, in.data(), 20, 4});
  PassThroughRequest(&block);
  const Sent s = OnlyTransaction();
  ExpectDescriptor(s.packet, 104, 8, 4);
  EXPECT_EQ(std::vector<std::uint8_t>(s.packet.begin() + 148, s.packet.begin() + 152),
            std::vector<std::uint8_t>(4, 0xEE));                    // went out from Base + 20
  EXPECT_EQ(std::string(in.begin() + 20, in.begin() + 23), "VPD");  // came back there
  for (int i = 0; i < 20; ++i) EXPECT_EQ(in[i], 0xEE);
  EXPECT_EQ(in[24], 0xEE);
}

TEST_F(PassThrough, UndeliverableRequestsLeaveTheCallersBuffersAlone) {
  std::array<std::uint8_t, 8> in;
  in.fill(0x77);
  auto expect_untouched = [&](DPB& block, std::int8_t status) {
    EXPECT_EQ(block.Get(dpb::DPB_Status), status);
    EXPECT_EQ(block.Get(dpb::ResultCode), 1234);
    EXPECT_EQ(block.Get(dpb::ResultFlag), 9);
    EXPECT_EQ(in, (std::array<std::uint8_t, 8>{0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77}));
  };
  DPB failing = Transaction(30, 3, 1);  // carried by the port that fails its calls
  failing.SetDescriptor(dpb::ParmIn, {1, in.data(), 0, 8});
  failing.Set(dpb::ResultCode, 1234);
  failing.Set(dpb::ResultFlag, 9);
  PassThroughRequest(&failing);
  expect_untouched(failing, -3);
  EXPECT_EQ(TraceOf("DeviceIoControl").size(), 1u);

  Load("{}");
  DiscoverAdapters();
  sim::StartTraceRecording();
  DPB no_port = failing;
  PassThroughRequest(&no_port);
  expect_untouched(no_port, -8);
  EXPECT_TRUE(TraceOf("DeviceIoControl").empty());
}

TEST_F(PassThrough, PacketTooLargeForItsSizeWordIsRefusedUnsent) {
  DPB block = Transaction(11, 3, 7);
  // Never read: the sizes are refused before anything is allocated or copied.
  block.SetDescriptor(dpb::ParmOut, {1, nullptr, 0, 0x80000000u});
  block.SetDescriptor(dpb::DataOut, {1, nullptr, 0, 0x80000000u});
  PassThroughRequest(&block);
  EXPECT_EQ(block.Get(dpb::DPB_Status), -3);
  EXPECT_TRUE(TraceOf("DeviceIoControl").empty());
  block.SetDescriptor(dpb::ParmOut, {1, nullptr, 0, 0});
  block.SetDescriptor(dpb::DataOut, {1, nullptr, 0, 0xFFFFFFFFu - 142u});
  PassThroughRequest(&block);
  EXPECT_EQ(block.Get(dpb::DPB_Status), -3);
  EXPECT_TRUE(TraceOf("DeviceIoControl").empty());
}

// A Base word that holds a number is no address on this host: the request is
// refused unsent rather than read from, or answered into, address 0x1000.
TEST_F(PassThrough, AreaWhoseBaseIsANumberIsRefusedUnsent) {
  std::array<std::uint8_t, 8> in{};
  for (DescriptorField area : {dpb::ParmOut, dpb::DataOut, dpb::DataIn, dpb::ParmIn}) {
    DPB block = Transaction(11, 3, 4);
    block.SetDescriptor(area, {1, in.data(), 0, 8});
    block.Set(WireField<std::uint32_t>{area.offset + descriptor::Base.offset}, 0x1000);
    PassThroughRequest(&block);
    EXPECT_EQ(block.Get(dpb::DPB_Status), -3) << area.offset;
  }
  EXPECT_TRUE(TraceOf("DeviceIoControl").empty());
}

}  // namespace
