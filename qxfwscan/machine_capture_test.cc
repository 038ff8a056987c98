#include "qxfwscan/machine_capture.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "sim/vpd_record.h"

namespace {

CapturedAdapter WithSerial(std::uint32_t node, const std::string& serial) {
  CapturedAdapter adapter;
  adapter.node = node;
  std::uint8_t record[sim::kVpdSize];
  sim::BuildVpdRecord('1', 'A', serial.data(), static_cast<std::uint32_t>(serial.size()), record);
  std::copy(record, record + sim::kVpdSize, adapter.vpd.begin());
  return adapter;
}

std::string SerialOf(const CapturedAdapter& adapter) {
  std::uint8_t record[sim::kVpdSize];
  std::copy(adapter.vpd.begin(), adapter.vpd.end(), record);
  std::uint32_t at = 0;
  std::uint32_t length = 0;
  EXPECT_TRUE(sim::FindVpdSerial(record, &at, &length));
  return std::string(reinterpret_cast<const char*>(record) + at, length);
}

// A hash that ignores the serial makes every serial's first token the same:
// each later one must be drawn again until it is free, and none may be a
// serial of the machine.
TEST(SerialRedaction, CollidingTokensAreDrawnAgain) {
  CapturedMachine machine;
  const std::string serials[] = {"AAAAA", "BBBBB", "AAAAA", "CCCCC", "AB"};
  for (std::uint32_t i = 0; i < 5; ++i) machine.adapters.push_back(WithSerial(11 + i, serials[i]));
  int calls = 0;
  const auto serial_blind = [&calls](std::string_view message, KeyedHash* mac) {
    ++calls;
    mac->fill(0);
    // The attempt's two bytes after "qxfw serial".
    (*mac)[0] = static_cast<std::uint8_t>(message[12]);
    return true;
  };
  ASSERT_EQ(RedactSerials(&machine, serial_blind), "");
  std::set<std::string> tokens;
  for (std::uint32_t i = 0; i < 5; ++i) {
    const std::string token = SerialOf(machine.adapters[i]);
    EXPECT_EQ(token.size(), serials[i].size());
    for (const std::string& serial : serials) EXPECT_NE(token, serial);
    tokens.insert(token);
  }
  EXPECT_EQ(SerialOf(machine.adapters[0]), SerialOf(machine.adapters[2]));
  EXPECT_EQ(tokens.size(), 4u);
  EXPECT_GT(calls, 4);
  // A platform that can't compute the hash leaves no half-redacted file.
  EXPECT_EQ(RedactSerials(&machine, [](std::string_view, KeyedHash*) { return false; }),
            "the platform can't compute HMAC-SHA-256");
}

}  // namespace
