// Helpers for tests that run the transport on the in-process simulated machine.
#ifndef QXFW_TRANSPORT_TRANSPORT_TEST_SUPPORT_H_
#define QXFW_TRANSPORT_TRANSPORT_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/machine.h"

namespace transport_testing {

/// Loads `machine` and starts recording its trace; fails the test on a bad machine.
inline void Load(const std::string& machine) {
  const std::string error = sim::LoadMachine(machine);
  ASSERT_EQ(error, "") << machine;
  sim::StartTraceRecording();
}

/// The recorded trace lines, parsed.
inline std::vector<nlohmann::json> Trace() {
  std::vector<nlohmann::json> lines;
  for (const std::string& line : sim::RecordedTrace()) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

/// The recorded lines of one operation.
inline std::vector<nlohmann::json> TraceOf(const std::string& op) {
  std::vector<nlohmann::json> lines;
  for (const nlohmann::json& line : Trace()) {
    if (line["op"] == op) lines.push_back(line);
  }
  return lines;
}

/// Bytes from lower-case hex.
inline std::vector<std::uint8_t> FromHex(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

inline std::uint32_t Word(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes.at(at)) |
         (static_cast<std::uint32_t>(bytes.at(at + 1)) << 8) |
         (static_cast<std::uint32_t>(bytes.at(at + 2)) << 16) |
         (static_cast<std::uint32_t>(bytes.at(at + 3)) << 24);
}

}  // namespace transport_testing

#endif  // QXFW_TRANSPORT_TRANSPORT_TEST_SUPPORT_H_
