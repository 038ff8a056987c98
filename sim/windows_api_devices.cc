// The devices of the simulated machine: opening a port's device by name,
// its control codes (the driver's miniport requests, served by the driver
// core), and closing it.
#include <time.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/driver_core.h"
#include "sim/trace_line.h"
#include "sim/windows_api.h"
#include "sim/windows_api_state.h"
#include "sim/windows_api_trace.h"

namespace sim {
namespace {

constexpr DWORD kGenericAll = 0x10000000u;

std::string DeviceName(int port) { return "\\\\.\\Scsi" + std::to_string(port) + ":"; }

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
  const bool ok =
      p.state->ServeAside(*p.config, request.device->port, request.buffer, request.size, &busy_ms);
  SpendBusyTime(busy_ms);
  p.state->Keep();
  KeepFirmware(p);
  return ok;
}

// Traced, the request is served on a copy of the buffer and aside from the
// adapters' state, which take its outcome only once its line is written: a
// trace that can't be written ends the process before the request has been
// carried out, so no request happens that the trace lacks.
bool ServeTraced(Platform& p, const Request& request, sim::DeviceIoControlCall call) {
  std::vector<std::uint8_t> answer(request.buffer, request.buffer + request.size);
  std::uint32_t busy_ms = 0;
  const bool ok =
      p.state->ServeAside(*p.config, request.device->port, answer.data(), request.size, &busy_ms);
  SpendBusyTime(busy_ms);
  // A failed call leaves the caller's buffer as it was.
  if (ok) call.answer = answer.data();
  call.result = ok;
  Emit(p, DeviceIoControlLine(call));
  if (ok) std::memcpy(request.buffer, answer.data(), request.size);
  p.state->Keep();
  KeepFirmware(p);
  return ok;
}

std::int64_t HandleNumber(HANDLE handle) {
  return static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(handle));
}

}  // namespace
}  // namespace sim

using sim::GetPlatform;
using sim::Platform;
using sim::TraceLine;

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
