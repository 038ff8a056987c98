// The C++ interface tests use to set up the simulated machine and look at
// what happened on it. The system itself never calls this: it sees only the
// Windows functions of sim/windows_api.h.
#ifndef QXFW_SIM_MACHINE_H_
#define QXFW_SIM_MACHINE_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/driver_core.h"  // kFirstDeviceHandle

namespace sim {

/// Replaces the current machine by the one `machine_json` describes (the
/// machine file format), closing every open handle and registry key,
/// restarting handle numbers at kFirstDeviceHandle and giving each adapter
/// the firmware the QXFW_STATE file says it kept (none when the variable is
/// unset). Returns an empty string on success, otherwise what is wrong with
/// the text or the state file; the current machine then stays as it was.
[[nodiscard]] std::string LoadMachine(std::string_view machine_json);

/// Forgets the current machine and closes the QXFW_TRACE file, so that the
/// next platform call reads QXFW_MACHINE and QXFW_TRACE again, as the first
/// one of a process does.
void UnloadMachine();

/// Starts keeping trace lines in memory, dropping any kept before. Works
/// alongside a QXFW_TRACE file.
void StartTraceRecording();

/// Stops keeping trace lines; those kept so far stay readable.
void StopTraceRecording();

/// The trace lines kept since StartTraceRecording, oldest first, each
/// without its newline.
std::vector<std::string> RecordedTrace();

/// What an adapter keeps of its last good download.
struct KeptFirmware {
  std::uint32_t length = 0;
  std::uint32_t lrc = 0;
  std::array<std::uint8_t, 8> code_id = {};
  /// Good downloads this adapter has had: those of this process, and with
  /// QXFW_STATE those it kept from earlier ones. 0: none, and the other
  /// fields are zero.
  std::uint32_t download_count = 0;

  friend bool operator==(const KeptFirmware&, const KeptFirmware&) = default;
};

/// The firmware kept by the adapter answering to `node`, or nullopt when the
/// machine has no such adapter.
std::optional<KeptFirmware> AdapterFirmware(std::uint32_t node);

}  // namespace sim

#endif  // QXFW_SIM_MACHINE_H_
