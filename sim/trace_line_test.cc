#include "sim/trace_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace sim {
namespace {

TEST(SimTraceLine, KeepsFieldOrderAndEscapesForJson) {
  const std::uint8_t bytes[] = {0x00, 0x7f, 0xAB, 0x10};
  const std::string text = std::string("a\"b\\c\n\x01\xE9", 8);
  EXPECT_EQ(std::move(TraceLine("Op")
                          .Text("name", text)
                          .Number("n", -1)
                          .Number("big", 4294967295)
                          .Hex("hex", bytes, sizeof bytes)
                          .Hex("none", nullptr, 0))
                .Finish(),
            R"({"op":"Op","name":"a\"b\\c\u000a\u0001\u00e9","n":-1,"big":4294967295,)"
            R"("hex":"007fab10","none":""})");
}

}  // namespace
}  // namespace sim
