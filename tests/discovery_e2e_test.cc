// Port discovery and the closing of the ports as the built qxfwload does them
// on the example machine: what the trace shows of the registry, the devices
// and their handles, whichever way the run ends.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "testing/run_process.h"
#include "testing/scenario.h"

namespace {

using nlohmann::json;
using testing_support::AdapterFirmwareFile;
using testing_support::RunScenario;
using testing_support::ScenarioResult;
using testing_support::TestPayload;

std::string ExampleMachine() {
  std::ifstream file(QX_SOURCE_DIR "/examples/machine.json");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

/// Under Wine the registry and the devices are Windows' own: only the
/// simulated machine traces the calls that these tests read.
bool TracesEveryPlatformCall() { return !testing_support::UnderWine(); }

std::vector<json> Lines(const ScenarioResult& r) {
  std::vector<json> lines;
  for (const std::string& text : r.trace) lines.push_back(json::parse(text));
  return lines;
}

std::vector<json> OfCall(const std::vector<json>& lines, const std::string& op) {
  std::vector<json> selected;
  for (const json& line : lines) {
    if (line["op"] == op) selected.push_back(line);
  }
  return selected;
}

/// Checks that every handle opened was closed exactly once, after every
/// other call of the run.
void ExpectEveryOpenHandleClosedOnceAtTheEnd(const std::vector<json>& lines) {
  std::map<long long, int> closes;
  std::size_t first_close = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i]["op"] != "CloseHandle") continue;
    ++closes[lines[i]["handle"].get<long long>()];
    first_close = std::min(first_close, i);
  }
  int opened = 0;
  for (const json& open : OfCall(lines, "CreateFileA")) {
    const long long handle = open["handle"].get<long long>();
    if (handle == -1) continue;
    ++opened;
    EXPECT_EQ(closes[handle], 1) << "handle " << handle;
  }
  EXPECT_EQ(static_cast<int>(closes.size()), opened);
  for (std::size_t i = first_close; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i]["op"], "CloseHandle") << "call after the ports were closed: " << lines[i];
  }
}

TEST(DiscoveryRun, EveryPortKeyIsOpenedInOrderAndTheDriversPortsClosedAtExit) {
  if (!TracesEveryPlatformCall()) GTEST_SKIP() << "registry and handle calls are not traced";
  const std::string image = AdapterFirmwareFile(TestPayload(64), "CODEID01");
  const ScenarioResult r = RunScenario(ExampleMachine(), {{"fw.L1A", image}}, {"-q", "@fw.L1A"});
  ASSERT_EQ(r.run.status, 0) << r.run.err;
  const std::vector<json> lines = Lines(r);

  const std::vector<json> keys = OfCall(lines, "RegOpenKeyExA");
  ASSERT_EQ(keys.size(), 16u);
  for (int port = 0; port < 16; ++port) {
    EXPECT_EQ(keys[port]["path"], "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port " + std::to_string(port));
    EXPECT_EQ(keys[port]["access"], 1);  // KEY_QUERY_VALUE: the registry is only read
  }
  // The example lists ports 0 to 2; only the two qarmix ports are opened.
  const std::vector<json> opens = OfCall(lines, "CreateFileA");
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_EQ(opens[0]["name"], "\\\\.\\Scsi1:");
  EXPECT_EQ(opens[1]["name"], "\\\\.\\Scsi2:");
  ExpectEveryOpenHandleClosedOnceAtTheEnd(lines);
}

TEST(DiscoveryRun, PortsAreClosedOnceWhenTheRunEndsWithAnError) {
  if (!TracesEveryPlatformCall()) GTEST_SKIP() << "registry and handle calls are not traced";
  const std::vector<std::vector<std::string>> failing_runs = {
      {"-x", "fw.L1A"},       // usage
      {"@missing.L1A"},       // error line: the file can't be opened
      {"-a", "-5", "fw.L1A"}  // error line from the option loop
  };
  for (const auto& args : failing_runs) {
    const ScenarioResult r = RunScenario(ExampleMachine(), {}, args);
    EXPECT_EQ(r.run.status, 1) << ::testing::PrintToString(args);
    const std::vector<json> lines = Lines(r);
    EXPECT_EQ(OfCall(lines, "CreateFileA").size(), 2u);
    ExpectEveryOpenHandleClosedOnceAtTheEnd(lines);
  }
}

}  // namespace
