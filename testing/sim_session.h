// Tests that run the system's code in process on the simulated machine:
// loading a machine and reading back what reached the platform.
#ifndef QXFW_TESTING_SIM_SESSION_H_
#define QXFW_TESTING_SIM_SESSION_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "testing/machine_builder.h"

namespace testing_support {

/// Loads `machine` and starts recording its trace; fails the test on a bad machine.
inline void Load(const std::string& machine) {
  const std::string error = sim::LoadMachine(machine);
  ASSERT_EQ(error, "") << machine;
  sim::StartTraceRecording();
}

/// Load, of a built machine.
inline void Load(const Machine& machine) { Load(machine.Text()); }

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

}  // namespace testing_support

#endif  // QXFW_TESTING_SIM_SESSION_H_
