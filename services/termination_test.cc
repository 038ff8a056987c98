// The ways out of the process and the adapter handles: statuses 0, 1 and 30
// close every open port before the process ends; Inject's refusals (10, 11)
// end it at once and leave the handles to the operating system. The handles
// are those of the simulated machine, whose trace file outlives the process.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "services/inject.h"
#include "services/issuing.h"
#include "services/startup.h"
#include "sim/machine.h"
#include "testing/scratch_dir.h"
#include "transport/adapters.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempDir;

// Three open ports, one whose node query fails (still open), and a device
// that doesn't open (never to be closed).
constexpr char kMachine[] = R"({"ports": [
  {"port": 0, "driver": "qarmix", "node": 11},
  {"port": 3, "driver": "qarmix", "node": 12, "node_query": "fail"},
  {"port": 4, "driver": "qarmix", "device": "missing"},
  {"port": 9, "driver": "qarmix", "node": 21}]})";

class TerminationTest : public ::testing::Test {
 protected:
  /// Runs `end` in a child that has discovered the machine's adapters and
  /// registered Inject; answers how often each opened handle was closed.
  std::map<long, int> ClosesAfter(const std::function<void()>& end, int status,
                                  const std::string& stderr_pattern) {
    const std::string machine = dir_.Write("machine.json", kMachine);
    const std::string trace = dir_.path() + "/trace" + std::to_string(++runs_) + ".jsonl";
    EXPECT_EXIT(
        {
          setenv("QXFW_MACHINE", machine.c_str(), 1);
          setenv("QXFW_TRACE", trace.c_str(), 1);
          sim::UnloadMachine();
          DiscoverAdapters();
          SetInjectEntry(Inject);
          end();
        },
        ::testing::ExitedWithCode(status), stderr_pattern);
    std::map<long, int> closes;
    std::istringstream lines(ReadFile(trace));
    for (std::string text; std::getline(lines, text);) {
      const nlohmann::json line = nlohmann::json::parse(text);
      if (line["op"] == "CreateFileA" && line["handle"] != -1) closes[line["handle"]] += 0;
      if (line["op"] == "CloseHandle") ++closes[line["handle"]];
    }
    EXPECT_EQ(closes.size(), 3u) << "three ports were opened";
    return closes;
  }

  static DPB Block(std::uint8_t number, std::uint8_t flag) {
    DPB block;
    block.Set(dpb::DPB_Number, number);
    block.Set(dpb::DPB_Flag, flag);
    return block;
  }

  TempDir dir_;
  int runs_ = 0;
};

const std::map<long, int> kEachClosedOnce = {{4, 1}, {5, 1}, {6, 1}};
const std::map<long, int> kNoneClosed = {{4, 0}, {5, 0}, {6, 0}};

TEST_F(TerminationTest, OrderlyEndsCloseEveryOpenPortOnce) {
  EXPECT_EQ(ClosesAfter([] { Terminate(0); }, 0, "^$"), kEachClosedOnce);
  EXPECT_EQ(ClosesAfter([] { Terminate(1); }, 1, "^$"), kEachClosedOnce);
}

TEST_F(TerminationTest, FatalPrintAndAssertClosePortsBeforeStatus30) {
  EXPECT_EQ(ClosesAfter([] { DpbPrintFatal("fatal\n"); }, 30, "^fatal\n$"), kEachClosedOnce);
  EXPECT_EQ(ClosesAfter([] { Assert("x", 7, "y"); }, 30, "^Assert x\\(7\\): y\n$"),
            kEachClosedOnce);
}

TEST_F(TerminationTest, RefusalsEndWithoutClosingAnyPort) {
  EXPECT_EQ(ClosesAfter(
                [] {
                  DPB block = Block(kServiceQuery, 1);
                  Inject(&block);
                },
                10, "^Inject: DPB_Flag=1\n$"),
            kNoneClosed);
  EXPECT_EQ(ClosesAfter(
                [] {
                  DPB block = Block(12, kFlagReturn);
                  Inject(&block);
                },
                11, "^Inject: DPB_Number=12\n$"),
            kNoneClosed);
}

}  // namespace
