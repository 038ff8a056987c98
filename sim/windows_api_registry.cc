// The registry of the simulated machine: the keys down to each listed
// port's key and its "Driver" value.
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "sim/trace_line.h"
#include "sim/windows_api.h"
#include "sim/windows_api_state.h"
#include "sim/windows_api_trace.h"

namespace sim {
namespace {

constexpr LONG kErrorAccessDenied = 5;
constexpr LONG kErrorInvalidParameter = 87;
constexpr char kPortKeyPrefix[] = "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port ";
constexpr char kDriverValueName[] = "Driver";

std::string PortKeyPath(int port) { return kPortKeyPrefix + std::to_string(port); }

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

}  // namespace
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
