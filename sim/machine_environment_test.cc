#include "sim/machine_environment.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "sim/vpd_record.h"

namespace sim {
namespace {

/// Sets the three variables for one test and unsets them after it.
class MachineEnvironmentTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const char* name : {"QXFW_MACHINE", "QXFW_TRACE", "QXFW_STATE"}) unsetenv(name);
  }
};

// Every fault of the three at once: the first one the loader meets is the
// one both builds report, the trace file's.
TEST_F(MachineEnvironmentTest, ReportsTheFirstFaultInOneOrder) {
  const std::string missing = ::testing::TempDir() + "no/such/dir/file";
  setenv("QXFW_MACHINE", missing.c_str(), 1);
  setenv("QXFW_STATE", "", 1);
  setenv("QXFW_TRACE", missing.c_str(), 1);
  MachineEnvironment environment;
  EXPECT_EQ(LoadMachineEnvironment(&environment),
            "trace file " + missing + " cannot be opened: No such file or directory");
  EXPECT_EQ(environment.trace_fd, -1);
  unsetenv("QXFW_TRACE");
  EXPECT_EQ(LoadMachineEnvironment(&environment),
            missing + ": cannot be read: No such file or directory");
  unsetenv("QXFW_MACHINE");
  EXPECT_EQ(LoadMachineEnvironment(&environment), "QXFW_STATE is set but names no file");
  unsetenv("QXFW_STATE");
  EXPECT_EQ(LoadMachineEnvironment(&environment), "");
  EXPECT_EQ(environment.config->adapter_count, 0);
}

TEST(VpdRecord, SerialIsFoundWhereTheBuilderPutIt) {
  std::uint8_t record[kVpdSize];
  for (const std::string& serial : {std::string("A"), std::string("SN0013"), std::string("12345"),
                                    std::string(kMaxSerialLength, 'x')}) {
    BuildVpdRecord('1', 'A', serial.data(), static_cast<std::uint32_t>(serial.size()), record);
    std::uint32_t at = 0;
    std::uint32_t length = 0;
    ASSERT_TRUE(FindVpdSerial(record, &at, &length)) << serial;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record) + at, length), serial);
  }
  // A keyword area cut short before *SN holds none.
  record[4] = 3;
  std::uint32_t at = 0;
  std::uint32_t length = 0;
  EXPECT_FALSE(FindVpdSerial(record, &at, &length));
}

}  // namespace
}  // namespace sim
