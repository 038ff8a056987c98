// The simulated machine's file parser over arbitrary text: any text gives
// either a machine that keeps the format's limits or one error line, and
// nothing is thrown. An accepted machine then answers a node query and a
// transaction on each of its ports.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "sim/driver_core.h"
#include "sim/machine_file.h"

namespace {

void CheckLimits(const sim::MachineConfig& config) {
  FUZZ_CHECK(config.adapter_count >= 0 && config.adapter_count <= sim::kMaxAdapters);
  for (int i = 0; i < config.adapter_count; ++i) {
    // Each node is used once.
    FUZZ_CHECK(sim::FindAdapter(config, config.adapters[i].node) == i);
  }
  for (const sim::PortConfig& port : config.ports) {
    FUZZ_CHECK(port.driver_length <= sim::kMaxDriverNameLength);
    FUZZ_CHECK(port.listed || (!port.has_driver && port.node == 0));
  }
}

/// A node query and a mode query to every adapter on every port, in
/// buffers of exactly their size.
void Serve(const sim::MachineConfig& config) {
  auto state = std::make_unique<sim::MachineState>();
  for (int port = 0; port < sim::kPortCount; ++port) {
    auto query = std::make_unique<std::uint8_t[]>(144);
    const std::uint8_t header[] = {28, 0, 0, 0, 'q', 'a',  'r', 'm', 'i', 'x', ' ', 0, 0, 16,
                                   0,  0, 2, 0, 0,   0x80, 0,   0,   0,   0,   116, 0, 0, 0};
    std::memcpy(query.get(), header, sizeof header);
    const bool answered = sim::ServeMiniportRequest(config, *state, port, query.get(), 144);
    FUZZ_CHECK(!answered || sim::PortIsServed(config.ports[port]));
    for (int i = 0; i < config.adapter_count; ++i) {
      auto packet = std::make_unique<std::uint8_t[]>(147);
      std::memcpy(packet.get(), header, sizeof header);
      packet[16] = 1;         // a transaction
      packet[24] = 147 - 28;  // its length
      const std::uint32_t node = config.adapters[i].node;
      for (int b = 0; b < 4; ++b) packet[60 + b] = static_cast<std::uint8_t>(node >> (8 * b));
      packet[68] = 11;  // the mode query, class 3, with a 4-byte ParmIn
      packet[70] = 3;
      packet[132] = 4;
      // Whether the port took it is no matter here: only that nothing goes wrong.
      [[maybe_unused]] const bool taken =
          sim::ServeMiniportRequest(config, *state, port, packet.get(), 147);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto config = std::make_unique<sim::MachineConfig>();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string error = sim::ParseMachineFile(text, *config);
  if (!error.empty()) {
    FUZZ_CHECK(error.find('\n') == std::string::npos);
    return 0;
  }
  CheckLimits(*config);
  Serve(*config);
  return 0;
}
