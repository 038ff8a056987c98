#include "sim/driver_trace.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "sim/control_record.h"
#include "sim/machine_file.h"
#include "sim/test_packets.h"
#include "sim/trace_line.h"

namespace sim {
namespace {

std::string Record(const ControlRecordHeader& header, const std::string& sent,
                   const std::string& answer, std::uint8_t result) {
  std::uint8_t encoded[kControlHeaderSize];
  EncodeControlHeader(header, encoded);
  return std::string(reinterpret_cast<const char*>(encoded), sizeof encoded) + sent + answer +
         static_cast<char>(result);
}

TEST(SimDriverTrace, RecordsBecomeTheSimulatedMachinesLines) {
  ControlRecordHeader ok;
  ok.handle = 4;
  ok.port = 15;
  ok.code = 0x4D008;
  ok.size = 3;
  ok.sent_length = 3;
  ok.answer_length = 3;
  ControlRecordHeader refused = ok;
  refused.handle = 5;
  refused.port = 0;
  refused.code = 0x12345678;
  refused.size = 2;
  refused.sent_length = 2;
  refused.answer_length = 0;
  std::string lines;
  ASSERT_EQ(DriverTraceLines(Record(ok, "\x01\x02\xff", std::string("\x00\x02\xfe", 3), 1) +
                                 Record(refused, std::string("\0\0", 2), "", 0),
                             &lines),
            "");
  EXPECT_EQ(lines, R"({"op":"DeviceIoControl","handle":4,"port":15,"code":315400,"size":3,)"
                   R"("sent":"0102ff","answer":"0002fe","result":1})"
                   "\n"
                   R"({"op":"DeviceIoControl","handle":5,"port":0,"code":305419896,"size":2,)"
                   R"("sent":"0000","answer":"","result":0})"
                   "\n");
}

TEST(SimDriverTrace, ARecordCutShortIsReportedAfterTheWholeOnes) {
  ControlRecordHeader header;
  header.sent_length = 1;
  header.answer_length = 1;
  const std::string whole = Record(header, "a", "b", 1);
  for (std::size_t cut = 1; cut < whole.size(); ++cut) {
    std::string lines;
    const std::string error = DriverTraceLines(whole + whole.substr(0, cut), &lines);
    EXPECT_NE(error, "") << cut;
    EXPECT_EQ(lines.find('\n'), lines.size() - 1) << cut;  // the whole record's line
  }
  std::string none;
  EXPECT_EQ(DriverTraceLines("", &none), "");
  EXPECT_EQ(none, "");
}

// The records as the stand-in driver writes them: each request served by
// the core on the driver's state, then recorded with its answer.
class SimDriverReplay : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ParseMachineFile(R"({"ports": [{"port": 2, "driver": "qarmix"}],
        "adapters": [{"node": 11, "garbage": true, "after_download": {"identify": "fail"}},
                     {"node": 12}]})",
                               *config_),
              "");
  }

  void Serve(const test_packets::Request& request, std::uint32_t code = 0x4D008) {
    const test_packets::Bytes sent = test_packets::Transaction(request);
    test_packets::Bytes answer = sent;
    const bool result =
        code == 0x4D008 && ServeMiniportRequest(*config_, *driver_, 2, answer.data(),
                                                static_cast<std::uint32_t>(answer.size()));
    ControlRecordHeader header;
    header.port = 2;
    header.code = code;
    header.size = header.sent_length = header.answer_length =
        static_cast<std::uint32_t>(sent.size());
    records_ += Record(header, std::string(sent.begin(), sent.end()),
                       std::string(answer.begin(), answer.end()), result ? 1 : 0);
  }

  std::unique_ptr<MachineConfig> config_ = std::make_unique<MachineConfig>();
  std::unique_ptr<MachineState> driver_ = std::make_unique<MachineState>();
  std::string records_;
};

TEST_F(SimDriverReplay, ReplayGivesTheFirmwareTheDriverKept) {
  using namespace test_packets;
  const Bytes image(100, 7);
  Serve(ModeQuery());
  Serve(GoodDownload(image));
  Serve(Identify());                          // "fail" from now on
  Serve(GoodDownload(Bytes(8, 1)), 0x4D004);  // another code: never reaches the core
  Request to_12 = GoodDownload(image);
  to_12.node = 12;
  Serve(to_12);
  Serve(to_12);
  Serve(Download(image, 100, 5));  // a rejected download
  auto replayed = std::make_unique<MachineState>();
  ASSERT_EQ(ReplayDriverRecords(records_, *config_, *replayed), "");
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(replayed->firmware[i].download_count, driver_->firmware[i].download_count) << i;
    EXPECT_EQ(replayed->firmware[i].lrc, driver_->firmware[i].lrc) << i;
  }
  EXPECT_EQ(replayed->firmware[1].download_count, 2u);
  EXPECT_EQ(replayed->garbage, driver_->garbage) << "the garbage bytes followed too";

  // A record cut short at the end was not carried out.
  const std::string whole = records_;
  Serve(to_12);
  replayed = std::make_unique<MachineState>();
  ASSERT_EQ(ReplayDriverRecords(records_.substr(0, records_.size() - 1), *config_, *replayed), "");
  EXPECT_EQ(replayed->firmware[1].download_count, 2u);

  // Records of another machine, or changed, don't replay.
  std::string changed = whole;
  changed[changed.size() - 2] ^= 1;
  replayed = std::make_unique<MachineState>();
  EXPECT_EQ(ReplayDriverRecords(changed, *config_, *replayed),
            "record 6 is not answered so on this machine");
  ASSERT_EQ(ParseMachineFile(R"({"ports": [{"port": 2, "driver": "qarmix"}]})", *config_), "");
  replayed = std::make_unique<MachineState>();
  EXPECT_EQ(ReplayDriverRecords(whole, *config_, *replayed),
            "record 0 is not answered so on this machine");
}

}  // namespace
}  // namespace sim
