// The simulated platform's process-wide state: the machine loaded from
// QXFW_MACHINE (or by a test) with the firmware QXFW_STATE keeps, the handles and the adapters'
// state, the power state, and the test controls of sim/machine.h. The registry, the devices and the
// trace are in windows_api_registry.cc, windows_api_devices.cc and windows_api_trace.cc.
#include "sim/windows_api.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "sim/driver_core.h"
#include "sim/machine.h"
#include "sim/machine_file.h"
#include "sim/trace_line.h"
#include "sim/windows_api_state.h"
#include "sim/windows_api_trace.h"
#include "util/exit_status.h"

namespace sim {
namespace {

constexpr char kErrorPrefix[] = "qxfwload: simulated machine: ";

void ResetHandlesAndState(Platform& p) {
  p.keys.clear();
  p.devices.clear();
  p.next_key = kFirstKeyHandle;
  p.next_device = kFirstDeviceHandle;
  *p.state = MachineState{};
  p.execution_state = ES_CONTINUOUS;
}

// Puts `config` in place, its adapters holding the firmware that QXFW_STATE
// says they kept; on an error nothing changes.
std::string TakeMachine(Platform& p, std::unique_ptr<MachineConfig> config) {
  StateFile state_file;
  std::string error = state_file.ReadFromEnvironment();
  if (!error.empty()) return error;
  p.config = std::move(config);
  ResetHandlesAndState(p);
  state_file.Apply(*p.config, *p.state);
  p.state_file = std::move(state_file);
  p.machine_loaded = true;
  return "";
}

void LoadMachineFromEnvironment(Platform& p) {
  auto config = std::make_unique<MachineConfig>();
  std::string error = ReadMachineFromEnvironment(*config);
  if (error.empty()) error = TakeMachine(p, std::move(config));
  if (!error.empty()) Fatal(error);
}

void OpenTraceFile(Platform& p) {
  p.trace_file_checked = true;
  std::string error;
  p.trace_fd = OpenTraceFromEnvironment(&error);
  if (!error.empty()) Fatal(error);
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

// Never destroyed: a platform call may come from another static object's
// destructor at exit.
Platform& GetPlatform() {
  static Platform* const platform = new Platform;
  return *platform;
}

[[noreturn]] void Fatal(std::string_view what, std::string_view detail) noexcept {
  std::fputs(kErrorPrefix, stderr);
  for (const std::string_view part : {what, detail}) {
    if (!part.empty()) std::fwrite(part.data(), 1, part.size(), stderr);
  }
  std::fputc('\n', stderr);
  std::fflush(nullptr);
  std::_Exit(exit_status::kSimulatedMachine);
}

void KeepFirmware(Platform& p) {
  const std::string error = p.state_file.Update(*p.config, *p.state);
  if (!error.empty()) Fatal(error);
}

void EnsureStarted(Platform& p) {
  if (!p.trace_file_checked) OpenTraceFile(p);
  if (!p.machine_loaded) LoadMachineFromEnvironment(p);
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string LoadMachine(std::string_view machine_json) {
  Platform& p = GetPlatform();
  std::lock_guard<std::mutex> lock(p.mutex);
  if (!p.trace_file_checked) OpenTraceFile(p);
  auto config = std::make_unique<MachineConfig>();
  const std::string error = ParseMachineFile(machine_json, *config);
  return error.empty() ? TakeMachine(p, std::move(config)) : error;
}

void UnloadMachine() {
  Platform& p = GetPlatform();
  std::lock_guard<std::mutex> lock(p.mutex);
  if (p.trace_fd >= 0) close(p.trace_fd);
  p.trace_fd = -1;
  p.trace_file_checked = false;
  p.machine_loaded = false;
  *p.config = MachineConfig{};
  p.state_file = StateFile{};
  ResetHandlesAndState(p);
}

std::optional<KeptFirmware> AdapterFirmware(std::uint32_t node) {
  Platform& p = GetPlatform();
  std::lock_guard<std::mutex> lock(p.mutex);
  EnsureStarted(p);
  const int index = FindAdapter(*p.config, node);
  if (index < 0) return std::nullopt;
  const FirmwareRecord& record = p.state->firmware[index];
  KeptFirmware kept;
  kept.length = record.length;
  kept.lrc = record.lrc;
  std::memcpy(kept.code_id.data(), record.code_id, kCodeIdSize);
  kept.download_count = record.download_count;
  return kept;
}

}  // namespace sim

using sim::GetPlatform;
using sim::Platform;
using sim::TraceLine;

EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags) {
  return sim::Guarded([&] {
    Platform& p = GetPlatform();
    std::lock_guard<std::mutex> lock(p.mutex);
    sim::EnsureStarted(p);
    const EXECUTION_STATE before = p.execution_state;
    if (p.tracing()) {
      TraceLine line("SetThreadExecutionState");
      line.Number("flags", flags).Number("result", before);
      sim::Emit(p, std::move(line).Finish());
    }
    // Without ES_CONTINUOUS a call asks for one reset of the idle timers and
    // keeps nothing.
    if ((flags & ES_CONTINUOUS) != 0) p.execution_state = flags;
    return before;
  });
}
