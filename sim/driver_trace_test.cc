#include "sim/driver_trace.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "sim/control_record.h"
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

}  // namespace
}  // namespace sim
