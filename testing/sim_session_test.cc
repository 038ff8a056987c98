#include "testing/sim_session.h"

#include <gtest/gtest.h>

#include "sim/machine.h"
#include "testing/machine_builder.h"

namespace {

using testing_support::Adapter;
using testing_support::Machine;
using testing_support::QarmixPort;

/// What the close step saw of the sessions it ended.
struct Closing {
  int calls = 0;
  bool machine_there = false;
};
Closing closing;

void RecordClosing() {
  ++closing.calls;
  closing.machine_there = sim::AdapterFirmware(12).has_value();
}

class SimSessionFixtureTest : public testing_support::SimSessionTest {
 protected:
  SimSessionFixtureTest() : SimSessionTest(RecordClosing) { closing = {}; }
};

TEST_F(SimSessionFixtureTest, EachMachineIsClosedOnceWhileItIsStillThereThenForgotten) {
  Unload();
  EXPECT_EQ(closing.calls, 0);  // nothing loaded, nothing to close
  LoadSession(Machine({QarmixPort(0, 11)}, {Adapter(12)}).Text());
  Unload();
  EXPECT_EQ(closing.calls, 1);
  EXPECT_TRUE(closing.machine_there);  // handles close on the machine that gave them
  EXPECT_FALSE(sim::AdapterFirmware(12).has_value());  // forgotten: the empty machine now
  Unload();
  EXPECT_EQ(closing.calls, 1);
  LoadSession(Machine({QarmixPort(0, 11)}, {Adapter(13)}).Text());
  EXPECT_TRUE(sim::AdapterFirmware(13).has_value());
  EXPECT_FALSE(sim::AdapterFirmware(12).has_value());
}

}  // namespace
