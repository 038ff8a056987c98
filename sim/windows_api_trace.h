// The trace of the simulated platform: every platform call as a JSON line,
// to the QXFW_TRACE file and to the recording that tests read.
#ifndef QXFW_SIM_WINDOWS_API_TRACE_H_
#define QXFW_SIM_WINDOWS_API_TRACE_H_

#include <string>

#include "sim/windows_api_state.h"

namespace sim {

/// Writes `line` to the trace file, whole with its newline, and keeps it
/// when recording. A trace file that can't be written ends the process.
/// REQUIRES: p.mutex held.
void Emit(Platform& p, std::string line);

}  // namespace sim

#endif  // QXFW_SIM_WINDOWS_API_TRACE_H_
