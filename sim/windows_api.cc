// The platform of the simulated machine: registry keys, devices and handles
// over the driver core, the trace, and the loading of QXFW_MACHINE (with the
// firmware QXFW_STATE keeps).
#include "sim/windows_api.h"

#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sim/driver_core.h"
#include "sim/machine.h"
#include "sim/machine_file.h"
#include "sim/state_file.h"
#include "sim/trace_line.h"
#include "util/exit_status.h"

namespace sim {
namespace {

constexpr std::uintptr_t kFirstKeyHandle = 0x1000;
constexpr LONG kErrorAccessDenied = 5;
constexpr LONG kErrorInvalidParameter = 87;
constexpr DWORD kGenericAll = 0x10000000u;
constexpr char kErrorPrefix[] = "qxfwload: simulated machine: ";
constexpr char kPortKeyPrefix[] = "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port ";
constexpr char kDriverValueName[] = "Driver";

struct OpenKey {
  std::string path;
  DWORD access = 0;
  int port = -1;  // -1: not a port key
};

struct OpenDevice {
  int port = 0;
  DWORD access = 0;
};

struct Platform {
  std::mutex mutex;
  bool machine_loaded = false;
  bool trace_file_checked = false;
  std::unique_ptr<MachineConfig> config = std::make_unique<MachineConfig>();
  std::unique_ptr<MachineState> state = std::make_unique<MachineState>();
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

// Never destroyed: a platform call may come from another static object's
// destructor at exit.
Platform& GetPlatform() {
  static Platform* const platform = new Platform;
  return *platform;
}

// Allocates nothing, so that it serves when memory has run out too.
[[noreturn]] void Fatal(std::string_view what, std::string_view detail = {}) noexcept {
  std::fputs(kErrorPrefix, stderr);
  for (const std::string_view part : {what, detail}) {
    if (!part.empty()) std::fwrite(part.data(), 1, part.size(), stderr);
  }
  std::fputc('\n', stderr);
  std::fflush(nullptr);
  std::_Exit(exit_status::kSimulatedMachine);
}

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

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// The line and its newline in one write where the file takes it whole, so
// that a line is never left without its end while the process runs on.
void WriteLine(int fd, std::string_view line) {
  static char newline = '\n';
  iovec parts[2] = {{const_cast<char*>(line.data()), line.size()}, {&newline, 1}};
  iovec* part = parts;
  int count = 2;
  while (count > 0) {
    const ssize_t written = writev(fd, part, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) Fatal("trace file cannot be written: ", strerror(errno));
    for (auto left = static_cast<std::size_t>(written); left > 0;) {
      const std::size_t taken = std::min(left, part->iov_len);
      part->iov_base = static_cast<char*>(part->iov_base) + taken;
      part->iov_len -= taken;
      left -= taken;
      if (part->iov_len == 0) ++part, --count;
    }
  }
}

void Emit(Platform& p, std::string line) {
  if (p.trace_fd >= 0) WriteLine(p.trace_fd, line);
  if (p.recording) p.recorded.push_back(std::move(line));
}

// The time an adapter spends on a request, spent in full: an interrupt
// handled meanwhile doesn't shorten it.
void SpendBusyTime(std::uint32_t busy_ms) {
  if (busy_ms == 0) return;
  timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += busy_ms / 1000;
  until.tv_nsec += static_cast<long>(busy_ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_nsec -= 1000000000L;
    ++until.tv_sec;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

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

// A good download is in the state file before its answer is given.
void KeepFirmware(Platform& p) {
  const std::string error = p.state_file.Update(*p.config, *p.state);
  if (!error.empty()) Fatal(error);
}

void OpenTraceFile(Platform& p) {
  p.trace_file_checked = true;
  std::string error;
  p.trace_fd = OpenTraceFromEnvironment(&error);
  if (!error.empty()) Fatal(error);
}

// Every entry point starts here, so the machine is in place before the
// system's first platform call is answered.
void EnsureStarted(Platform& p) {
  if (!p.trace_file_checked) OpenTraceFile(p);
  if (!p.machine_loaded) LoadMachineFromEnvironment(p);
}

std::string PortKeyPath(int port) { return kPortKeyPrefix + std::to_string(port); }

std::string DeviceName(int port) { return "\\\\.\\Scsi" + std::to_string(port) + ":"; }

// Finds the key at `path`; *port is the port of a port key, -1 otherwise.
bool KeyExists(const MachineConfig& config, std::string_view path, int* port) {
  *port = -1;
  for (const char* ancestor : {"HARDWARE", "HARDWARE\\DEVICEMAP", "HARDWARE\\DEVICEMAP\\Scsi"}) {
    if (SameIgnoringCase(path, ancestor)) return true;
  }
  for (int i = 0; i < kPortCount; ++i) {
    if (config.ports[i].listed && SameIgnoringCase(path, PortKeyPath(i))) {
      *port = i;
      return true;
    }
  }
  return false;
}

// The path a key handle stands for; false for a handle that is not open.
bool KeyPath(const Platform& p, HKEY key, std::string* path, const OpenKey** open) {
  *open = nullptr;
  if (key == HKEY_LOCAL_MACHINE) {
    path->clear();
    return true;
  }
  const auto it = p.keys.find(reinterpret_cast<std::uintptr_t>(key));
  if (it == p.keys.end()) return false;
  *path = it->second.path;
  *open = &it->second;
  return true;
}

LSTATUS OpenKeyAt(Platform& p, HKEY key, LPCSTR sub_key, REGSAM access, PHKEY result) {
  if (result == nullptr) return kErrorInvalidParameter;
  *result = nullptr;
  std::string path;
  const OpenKey* parent = nullptr;
  if (!KeyPath(p, key, &path, &parent)) return ERROR_INVALID_HANDLE;
  if (sub_key != nullptr && *sub_key != '\0') {
    // Appended piece by piece, as g++ 12 at -O3 warns falsely (-Wrestrict)
    // about a literal added to a temporary string.
    if (!path.empty()) path += '\\';
    path += sub_key;
  }
  int port = -1;
  if (!KeyExists(*p.config, path, &port)) return ERROR_FILE_NOT_FOUND;
  const std::uintptr_t handle = p.next_key++;
  p.keys[handle] = OpenKey{path, access, port};
  *result = reinterpret_cast<HKEY>(handle);
  return ERROR_SUCCESS;
}

// Writes the value into the caller's buffer; *written tells whether any
// bytes went there.
LSTATUS QueryValue(const Platform& p, HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type,
                   LPBYTE data, LPDWORD data_size, bool* written) {
  *written = false;
  std::string path;
  const OpenKey* open = nullptr;
  if (!KeyPath(p, key, &path, &open)) return ERROR_INVALID_HANDLE;
  if (reserved != nullptr || (data != nullptr && data_size == nullptr)) {
    return kErrorInvalidParameter;
  }
  if (open != nullptr && (open->access & KEY_QUERY_VALUE) == 0) return kErrorAccessDenied;
  if (open == nullptr || open->port < 0 || name == nullptr ||
      !SameIgnoringCase(name, kDriverValueName)) {
    return ERROR_FILE_NOT_FOUND;
  }
  const PortConfig& port = p.config->ports[open->port];
  if (!port.has_driver) return ERROR_FILE_NOT_FOUND;
  // REG_SZ is stored with its terminating NUL.
  const DWORD needed = port.driver_length + 1u;
  if (type != nullptr) *type = REG_SZ;
  if (data_size == nullptr) return ERROR_SUCCESS;
  if (data == nullptr) {
    *data_size = needed;
    return ERROR_SUCCESS;
  }
  if (*data_size < needed) {
    *data_size = needed;
    return ERROR_MORE_DATA;
  }
  std::memcpy(data, port.driver, port.driver_length);
  data[port.driver_length] = 0;
  *data_size = needed;
  *written = true;
  return ERROR_SUCCESS;
}

int PortOfDeviceName(const MachineConfig& config, std::string_view name) {
  for (int i = 0; i < kPortCount; ++i) {
    if (config.ports[i].listed && config.ports[i].device_present &&
        SameIgnoringCase(name, DeviceName(i))) {
      return i;
    }
  }
  return -1;
}

const OpenDevice* FindDevice(const Platform& p, HANDLE handle) {
  const auto it = p.devices.find(reinterpret_cast<std::intptr_t>(handle));
  return it == p.devices.end() ? nullptr : &it->second;
}

bool HasReadWriteAccess(DWORD access) {
  if ((access & kGenericAll) != 0) return true;
  return (access & GENERIC_READ) != 0 && (access & GENERIC_WRITE) != 0;
}

// The requests of this driver travel in one buffer that is both input and
// output; anything else is refused rather than guessed at.
bool IsRequest(const OpenDevice* device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
               DWORD out_size, LPDWORD returned) {
  if (device == nullptr || returned == nullptr) return false;
  *returned = 0;
  if (code != IOCTL_SCSI_MINIPORT || !HasReadWriteAccess(device->access)) return false;
  return in != nullptr && in == out && in_size == out_size;
}

/// One DeviceIoControl that is a request, and what it gave.
struct Request {
  const OpenDevice* device = nullptr;
  std::uint8_t* buffer = nullptr;  // the caller's, input and output alike
  DWORD size = 0;
};

// Untraced, the request is served in the caller's buffer: no copy of a
// large image is made when no one reads the trace.
bool ServeUntraced(Platform& p, const Request& request) {
  std::uint32_t busy_ms = 0;
  const bool ok = ServeMiniportRequest(*p.config, *p.state, request.device->port, request.buffer,
                                       request.size, &busy_ms);
  SpendBusyTime(busy_ms);
  KeepFirmware(p);
  return ok;
}

// Traced, the request is served on copies of the buffer and of the
// adapters' state, which take its outcome only once its line is written:
// a trace that can't be written ends the process before the request has
// been carried out, so no request happens that the trace lacks.
bool ServeTraced(Platform& p, const Request& request, sim::DeviceIoControlCall call) {
  std::vector<std::uint8_t> answer(request.buffer, request.buffer + request.size);
  auto state = std::make_unique<MachineState>(*p.state);
  std::uint32_t busy_ms = 0;
  const bool ok = ServeMiniportRequest(*p.config, *state, request.device->port, answer.data(),
                                       request.size, &busy_ms);
  SpendBusyTime(busy_ms);
  // A failed call leaves the caller's buffer as it was.
  if (ok) call.answer = answer.data();
  call.result = ok;
  Emit(p, DeviceIoControlLine(call));
  if (ok) std::memcpy(request.buffer, answer.data(), request.size);
  *p.state = *state;
  KeepFirmware(p);
  return ok;
}

std::int64_t HandleNumber(HANDLE handle) {
  return static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(handle));
}

}  // namespace

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

void StartTraceRecording() {
  Platform& p = GetPlatform();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.recorded.clear();
  p.recording = true;
}

void StopTraceRecording() {
  Platform& p = GetPlatform();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.recording = false;
}

std::vector<std::string> RecordedTrace() {
  Platform& p = GetPlatform();
  std::lock_guard<std::mutex> lock(p.mutex);
  return p.recorded;
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

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD /*options*/, REGSAM access, PHKEY result) {
  return sim::Guarded([&]() -> LSTATUS {
    Platform& p = GetPlatform();
    std::lock_guard<std::mutex> lock(p.mutex);
    sim::EnsureStarted(p);
    const LSTATUS status = sim::OpenKeyAt(p, key, sub_key, access, result);
    if (p.tracing()) {
      TraceLine line("RegOpenKeyExA");
      if (sub_key != nullptr) line.Text("path", sub_key);
      line.Number("access", access).Number("result", status);
      sim::Emit(p, std::move(line).Finish());
    }
    return status;
  });
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD data_size) {
  return sim::Guarded([&]() -> LSTATUS {
    Platform& p = GetPlatform();
    std::lock_guard<std::mutex> lock(p.mutex);
    sim::EnsureStarted(p);
    const std::int64_t size_given = data_size != nullptr ? *data_size : -1;
    bool written = false;
    const LSTATUS status =
        sim::QueryValue(p, key, value_name, reserved, type, data, data_size, &written);
    if (p.tracing()) {
      TraceLine line("RegQueryValueExA");
      if (value_name != nullptr) line.Text("name", value_name);
      if (size_given >= 0) line.Number("size", size_given);
      line.Number("result", status);
      if (written) line.Hex("value", data, *data_size);
      sim::Emit(p, std::move(line).Finish());
    }
    return status;
  });
}

LSTATUS RegCloseKey(HKEY key) {
  return sim::Guarded([&]() -> LSTATUS {
    Platform& p = GetPlatform();
    std::lock_guard<std::mutex> lock(p.mutex);
    sim::EnsureStarted(p);
    LSTATUS status = ERROR_SUCCESS;
    std::string path;
    const auto it = p.keys.find(reinterpret_cast<std::uintptr_t>(key));
    if (it != p.keys.end()) {
      path = std::move(it->second.path);
      p.keys.erase(it);
    } else if (key != HKEY_LOCAL_MACHINE) {
      status = ERROR_INVALID_HANDLE;
    }
    if (p.tracing()) {
      TraceLine line("RegCloseKey");
      if (!path.empty()) line.Text("path", path);
      line.Number("result", status);
      sim::Emit(p, std::move(line).Finish());
    }
    return status;
  });
}

HANDLE CreateFileA(LPCSTR file_name, DWORD access, DWORD share_mode,
                   LPSECURITY_ATTRIBUTES /*security*/, DWORD creation_disposition,
                   DWORD flags_and_attributes, HANDLE /*template_file*/) {
  return sim::Guarded([&]() -> HANDLE {
    Platform& p = GetPlatform();
    std::lock_guard<std::mutex> lock(p.mutex);
    sim::EnsureStarted(p);
    HANDLE handle = INVALID_HANDLE_VALUE;
    // Devices open only with OPEN_EXISTING, as on Windows.
    const int port = file_name != nullptr && creation_disposition == OPEN_EXISTING
                         ? sim::PortOfDeviceName(*p.config, file_name)
                         : -1;
    if (port >= 0) {
      const std::intptr_t number = p.next_device++;
      p.devices[number] = sim::OpenDevice{port, access};
      handle = reinterpret_cast<HANDLE>(number);
    }
    if (p.tracing()) {
      TraceLine line("CreateFileA");
      if (file_name != nullptr) line.Text("name", file_name);
      line.Number("access", access)
          .Number("share", share_mode)
          .Number("disposition", creation_disposition)
          .Number("flags", flags_and_attributes)
          .Number("handle", sim::HandleNumber(handle));
      sim::Emit(p, std::move(line).Finish());
    }
    return handle;
  });
}

BOOL DeviceIoControl(HANDLE device, DWORD io_control_code, LPVOID in_buffer, DWORD in_size,
                     LPVOID out_buffer, DWORD out_size, LPDWORD bytes_returned,
                     LPOVERLAPPED /*overlapped*/) {
  return sim::Guarded([&]() -> BOOL {
    Platform& p = GetPlatform();
    std::lock_guard<std::mutex> lock(p.mutex);
    sim::EnsureStarted(p);
    const sim::Request request{sim::FindDevice(p, device), static_cast<std::uint8_t*>(in_buffer),
                               in_size};
    const bool is_request = sim::IsRequest(request.device, io_control_code, in_buffer, in_size,
                                           out_buffer, out_size, bytes_returned);
    bool ok = false;
    if (p.tracing()) {
      sim::DeviceIoControlCall call;
      call.handle = sim::HandleNumber(device);
      call.port = request.device != nullptr ? request.device->port : -1;
      call.code = io_control_code;
      call.size = in_size;
      call.sent = in_buffer;
      call.sent_size = in_buffer != nullptr ? in_size : 0;
      call.answer = out_buffer;
      call.answer_size = out_buffer != nullptr ? out_size : 0;
      if (is_request) {
        ok = sim::ServeTraced(p, request, call);
      } else {
        sim::Emit(p, sim::DeviceIoControlLine(call));
      }
    } else if (is_request) {
      ok = sim::ServeUntraced(p, request);
    }
    if (ok) *bytes_returned = out_size;
    return ok ? 1 : 0;
  });
}

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

BOOL CloseHandle(HANDLE object) {
  return sim::Guarded([&]() -> BOOL {
    Platform& p = GetPlatform();
    std::lock_guard<std::mutex> lock(p.mutex);
    sim::EnsureStarted(p);
    const auto it = p.devices.find(reinterpret_cast<std::intptr_t>(object));
    const bool known = it != p.devices.end();
    const int port = known ? it->second.port : -1;
    if (known) p.devices.erase(it);
    if (p.tracing()) {
      TraceLine line("CloseHandle");
      line.Number("handle", sim::HandleNumber(object));
      if (known) line.Number("port", port);
      sim::Emit(p, std::move(line).Finish());
    }
    return known ? 1 : 0;
  });
}
