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

/// A test that runs the system's code on one simulated machine at a time,
/// and ends each machine the same way: its trace stopped, what the code under
/// test opened on it closed, and the machine forgotten, so that the next one
/// (in the same test, or the next test) starts with no handle of this one.
/// The handles belong to layers above testing/, which can't name them: the
/// test passes its own close step (transport's CloseAdapters).
class SimSessionTest : public ::testing::Test {
 protected:
  using CloseStep = void (*)();
  explicit SimSessionTest(CloseStep close) : close_(close) {}

  /// Loads `machine`, without recording its trace; fails the test on a bad
  /// machine, which then needs no ending.
  void LoadSession(const std::string& machine) {
    ASSERT_EQ(sim::LoadMachine(machine), "") << machine;
    loaded_ = true;
  }

  /// Ends the current machine, if any, so that a test may go on with
  /// another. A fixture that holds more of the session ends that first, then
  /// calls this.
  virtual void Unload() {
    if (!loaded_) return;
    loaded_ = false;
    sim::StopTraceRecording();
    close_();
    sim::UnloadMachine();
  }

  void TearDown() override { Unload(); }

 private:
  CloseStep close_;
  bool loaded_ = false;
};

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
