// The stand-in driver's trace file (control records, sim/control_record.h)
// turned into the simulated machine's trace lines, and replayed to learn
// what the adapters kept.
#ifndef QXFW_SIM_DRIVER_TRACE_H_
#define QXFW_SIM_DRIVER_TRACE_H_

#include <string>
#include <string_view>

#include "sim/driver_core.h"

namespace sim {

/// Appends to *lines one DeviceIoControl trace line, with its newline, per
/// record in `records`. Returns an empty string, or what is wrong when the
/// records end in the middle of one (the lines of the whole ones are kept).
[[nodiscard]] std::string DriverTraceLines(std::string_view records, std::string* lines);

/// Serves again, on `config` and `state`, every request of `records` that
/// the driver gave the core (as the driver did, on its machine image), so
/// that `state` becomes the adapters' state after the run: the firmware
/// they kept. A record cut short at the end is a request that was not
/// carried out. Returns an empty string, or which record is not answered as
/// it was (the records are not of this machine; `state` is then
/// unspecified).
[[nodiscard]] std::string ReplayDriverRecords(std::string_view records, const MachineConfig& config,
                                              MachineState& state);

}  // namespace sim

#endif  // QXFW_SIM_DRIVER_TRACE_H_
