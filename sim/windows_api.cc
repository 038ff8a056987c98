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
#include "sim/machine_environment.h"
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
  p.state->Reset();
  p.execution_state = ES_CONTINUOUS;
}

// Puts `config` in place, its adapters holding the firmware `state_file`
// says they kept.
void InstallMachine(Platform& p, std::unique_ptr<MachineConfig> config, StateFile state_file) {
  p.config = std::move(config);
  ResetHandlesAndState(p);
  state_file.Apply(*p.config, p.state->current());
  p.state_file = std::move(state_file);
  p.machine_loaded = true;
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
  const std::string error = p.state_file.Update(*p.config, p.state->current());
  if (!error.empty()) Fatal(error);
}

void EnsureStarted(Platform& p) {
  if (p.trace_file_checked && p.machine_loaded) return;
  // The variables are read by the one loader qxsimctl uses too, so that
  // both builds name the same first fault. A trace file already open (a
  // test's LoadMachine opened it) stays, and the new descriptor goes.
  MachineEnvironment environment;
  const std::string error = LoadMachineEnvironment(&environment);
  if (!error.empty()) Fatal(error);
  if (p.trace_file_checked) {
    if (environment.trace_fd >= 0) close(environment.trace_fd);
  } else {
    p.trace_file_checked = true;
    p.trace_fd = environment.trace_fd;
  }
  if (!p.machine_loaded) {
    InstallMachine(p, std::move(environment.config), std::move(environment.state_file));
  }
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
  std::string error = ParseMachineFile(machine_json, *config);
  if (!error.empty()) return error;
  StateFile state_file;
  error = state_file.ReadFromEnvironment();
  if (!error.empty()) return error;
  InstallMachine(p, std::move(config), std::move(state_file));
  return "";
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
  const FirmwareRecord& record = p.state->current().firmware[index];
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
