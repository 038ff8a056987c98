// How a process comes to its simulated machine: QXFW_MACHINE, QXFW_TRACE and
// QXFW_STATE, read in one order by the Linux platform at its first call and
// by qxsimctl for the stand-in driver, so that both builds report the same
// first fault of the three.
#ifndef QXFW_SIM_MACHINE_ENVIRONMENT_H_
#define QXFW_SIM_MACHINE_ENVIRONMENT_H_

#include <memory>
#include <string>

#include "sim/driver_core.h"
#include "sim/state_file.h"

namespace sim {

/// The machine the variables describe.
struct MachineEnvironment {
  std::unique_ptr<MachineConfig> config = std::make_unique<MachineConfig>();
  /// The QXFW_TRACE file, open for appending; -1 when the variable is unset.
  int trace_fd = -1;
  /// QXFW_STATE's kept firmware (nothing persists when unset).
  StateFile state_file;
};

/// Opens the QXFW_TRACE file, then reads the machine QXFW_MACHINE names (unset:
/// the empty machine), then the QXFW_STATE file. Returns an empty string, or
/// the first complaint as the simulated machine reports it, e.g.
/// `/tmp/m.json: cannot be read: No such file or directory`; the trace file
/// is then closed again.
[[nodiscard]] std::string LoadMachineEnvironment(MachineEnvironment* environment);

/// Opens the QXFW_TRACE file for appending and answers its descriptor, never
/// one of the standard streams' 0, 1 and 2 (closed ones stay closed); -1
/// when the variable is unset, or, with *error set, when the file can't be
/// opened.
[[nodiscard]] int OpenTraceFromEnvironment(std::string* error);

}  // namespace sim

#endif  // QXFW_SIM_MACHINE_ENVIRONMENT_H_
