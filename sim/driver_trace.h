// The stand-in driver's trace file (control records, sim/control_record.h)
// turned into the simulated machine's trace lines.
#ifndef QXFW_SIM_DRIVER_TRACE_H_
#define QXFW_SIM_DRIVER_TRACE_H_

#include <string>
#include <string_view>

namespace sim {

/// Appends to *lines one DeviceIoControl trace line, with its newline, per
/// record in `records`. Returns an empty string, or what is wrong when the
/// records end in the middle of one (the lines of the whole ones are kept).
std::string DriverTraceLines(std::string_view records, std::string* lines);

}  // namespace sim

#endif  // QXFW_SIM_DRIVER_TRACE_H_
