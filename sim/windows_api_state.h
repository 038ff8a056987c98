// The process-wide state of the simulated platform and what its parts
// share: the registry (windows_api_registry.cc), the devices and their
// control codes (windows_api_devices.cc), the trace (windows_api_trace.cc),
// and the loading of the machine with the test controls (windows_api.cc).
// Only those parts include it.
#ifndef QXFW_SIM_WINDOWS_API_STATE_H_
#define QXFW_SIM_WINDOWS_API_STATE_H_

#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sim/driver_core.h"
#include "sim/state_file.h"
#include "sim/windows_api.h"

namespace sim {

inline constexpr std::uintptr_t kFirstKeyHandle = 0x1000;

/// An open registry key handle.
struct OpenKey {
  std::string path;
  DWORD access = 0;
  int port = -1;  // -1: not a port key
};

/// An open device handle: its port and the access it was opened with.
struct OpenDevice {
  int port = 0;
  DWORD access = 0;
};

/// Everything the platform keeps for the process, behind one mutex: the
/// machine, the adapters' state, the open handles, the trace's outputs and
/// the power state.
struct Platform {
  std::mutex mutex;
  bool machine_loaded = false;
  bool trace_file_checked = false;
  std::unique_ptr<MachineConfig> config = std::make_unique<MachineConfig>();
  std::unique_ptr<StagedState> state = std::make_unique<StagedState>();
  /// The firmware the adapters kept across processes (QXFW_STATE).
  StateFile state_file;
  std::map<std::uintptr_t, OpenKey> keys;
  std::map<std::intptr_t, OpenDevice> devices;
  std::uintptr_t next_key = kFirstKeyHandle;
  std::intptr_t next_device = kFirstDeviceHandle;
  int trace_fd = -1;
  bool recording = false;
  std::vector<std::string> recorded;
  /// What the process requires of the system's power state.
  EXECUTION_STATE execution_state = ES_CONTINUOUS;

  bool tracing() const { return trace_fd >= 0 || recording; }
};

/// The one platform of the process.
Platform& GetPlatform();

/// Ends the process with the simulated machine's status and `what` and
/// `detail` on standard error. Allocates nothing, so that it serves when
/// memory has run out too.
[[noreturn]] void Fatal(std::string_view what, std::string_view detail = {}) noexcept;

// The Windows functions are C functions to their callers: nothing may be
// thrown out of them. A call that can't be answered (no memory for its
// trace line, say) ends the process as a trace that can't be written does.
template <typename Call>
auto Guarded(Call call) noexcept -> decltype(call()) {
  try {
    return call();
  } catch (const std::exception& e) {
    Fatal("a platform call cannot be answered: ", e.what());
  } catch (...) {
    Fatal("a platform call cannot be answered");
  }
}

/// Every entry point starts here, so the machine (QXFW_MACHINE) and the
/// trace file (QXFW_TRACE) are in place before the system's first platform
/// call is answered.
/// REQUIRES: p.mutex held.
void EnsureStarted(Platform& p);

/// Writes the adapters' kept firmware to the state file, so that a good
/// download is there before its answer is given; a failed write ends the
/// process.
/// REQUIRES: p.mutex held.
void KeepFirmware(Platform& p);

/// Names of keys, values and devices compare as Windows compares them:
/// ASCII letters in either case.
bool SameIgnoringCase(std::string_view a, std::string_view b);

}  // namespace sim

#endif  // QXFW_SIM_WINDOWS_API_STATE_H_
