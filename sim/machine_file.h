// The machine file: the JSON text that describes a simulated machine's ports
// and adapters.
#ifndef QXFW_SIM_MACHINE_FILE_H_
#define QXFW_SIM_MACHINE_FILE_H_

#include <string>
#include <string_view>

#include "sim/driver_core.h"

namespace sim {

/// Reads a machine file's text into `config`, which is first reset to the
/// empty machine. Returns an empty string on success, otherwise one line that
/// names what is wrong and where (e.g. `ports[1].node: must be an integer from
/// -128 to 127`); `config` is then unspecified. Any text is acceptable input:
/// nothing is thrown and no global state is touched.
[[nodiscard]] std::string ParseMachineFile(std::string_view text, MachineConfig& config);

}  // namespace sim

#endif  // QXFW_SIM_MACHINE_FILE_H_
