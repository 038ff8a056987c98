// The machine image: a MachineConfig as one compact binary record, so that a
// program with no JSON parser (the kernel-mode stand-in driver that plays the
// machine for the Windows build) can take the same machine as the simulated
// one. Written on Linux from the machine file, read by the driver.
//
// Freestanding, like the driver core: no allocation, no exceptions, nothing
// beyond <cstdint>/<cstddef>.
#ifndef QXFW_SIM_MACHINE_IMAGE_H_
#define QXFW_SIM_MACHINE_IMAGE_H_

#include <cstddef>
#include <cstdint>

#include "sim/driver_core.h"

namespace sim {

/// The largest image any MachineConfig encodes to; a reader can refuse
/// anything longer before it reads it.
std::uint32_t MaxMachineImageSize();

/// The number of bytes EncodeMachineImage writes for `config`.
std::uint32_t MachineImageSize(const MachineConfig& config);

/// Writes `config` as an image: its listed ports and its adapters, each with
/// the firmware it holds at load, `kept[i]` for config.adapters[i] (none when
/// `kept` is null: a machine loaded without a state file).
/// REQUIRES: `out` has room for MachineImageSize(config) bytes; the config is
/// one that the machine file parser can produce; a non-null `kept` has
/// config.adapter_count records.
void EncodeMachineImage(const MachineConfig& config, std::uint8_t* out,
                        const FirmwareRecord* kept = nullptr);

/// Reads an image into `config`, which is first reset to the empty machine,
/// and, when `kept` is not null, the adapters' firmware into kept[0,
/// kMaxAdapters), indexed like config.adapters (none for the rest).
/// Returns false, leaving both unspecified, for anything but a whole,
/// well-formed image: a wrong header, a field out of its range, a port listed
/// twice, a repeated adapter node, bytes that must be zero and are not, or
/// bytes missing or left over.
/// REQUIRES: `data` points at `size` readable bytes; a non-null `kept` has
/// room for kMaxAdapters records.
[[nodiscard]] bool DecodeMachineImage(const std::uint8_t* data, std::uint32_t size,
                                      MachineConfig& config, FirmwareRecord* kept = nullptr);

}  // namespace sim

#endif  // QXFW_SIM_MACHINE_IMAGE_H_
