#include "fuzz/scripted_platform.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "sim/windows_api.h"

namespace scripted_platform {
namespace {

constexpr char kPortKey[] = "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0";
constexpr char kDeviceName[] = "\\\\.\\Scsi0:";
constexpr char kDriver[] = "qarmix";  // stored with its NUL
constexpr std::uintptr_t kKeyHandle = 0x1000;
constexpr std::intptr_t kDeviceHandle = 4;
constexpr std::uint32_t kControlCodeAt = 16;
constexpr std::uint32_t kNodeQuery = 0x80000002u;
constexpr std::uint32_t kNodeByteAt = 140;

Script current;
std::vector<Call> calls;

std::uint32_t Word(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void FillWithAnswer(std::uint8_t* buffer, std::uint32_t size) {
  if (current.answer.empty()) return;
  for (std::uint32_t i = 0; i < size; ++i) buffer[i] = current.answer[i % current.answer.size()];
}

}  // namespace

void SetScript(Script script) {
  current = std::move(script);
  calls.clear();
}

const std::vector<Call>& Calls() { return calls; }

}  // namespace scripted_platform

using scripted_platform::current;

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD, REGSAM, PHKEY result) {
  if (key != HKEY_LOCAL_MACHINE || sub_key == nullptr || !current.port_listed ||
      std::string_view(sub_key) != scripted_platform::kPortKey) {
    return ERROR_FILE_NOT_FOUND;
  }
  *result = reinterpret_cast<HKEY>(scripted_platform::kKeyHandle);
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE data, LPDWORD data_size) {
  if (data == nullptr || data_size == nullptr || *data_size < sizeof scripted_platform::kDriver) {
    return ERROR_MORE_DATA;
  }
  std::memcpy(data, scripted_platform::kDriver, sizeof scripted_platform::kDriver);
  *data_size = sizeof scripted_platform::kDriver;
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY) { return ERROR_SUCCESS; }

HANDLE CreateFileA(LPCSTR file_name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  if (file_name == nullptr || std::string_view(file_name) != scripted_platform::kDeviceName) {
    return INVALID_HANDLE_VALUE;
  }
  return reinterpret_cast<HANDLE>(scripted_platform::kDeviceHandle);
}

BOOL DeviceIoControl(HANDLE, DWORD, LPVOID in_buffer, DWORD in_size, LPVOID, DWORD,
                     LPDWORD bytes_returned, LPOVERLAPPED) {
  auto* buffer = static_cast<std::uint8_t*>(in_buffer);
  if (scripted_platform::Word(buffer + scripted_platform::kControlCodeAt) ==
      scripted_platform::kNodeQuery) {
    buffer[scripted_platform::kNodeByteAt] = static_cast<std::uint8_t>(current.node);
    return 1;
  }
  scripted_platform::Call call;
  call.sent.assign(buffer, buffer + in_size);
  // A failing driver may have scribbled over the buffer too.
  scripted_platform::FillWithAnswer(buffer, in_size);
  call.answered.assign(buffer, buffer + in_size);
  scripted_platform::calls.push_back(std::move(call));
  if (bytes_returned != nullptr) *bytes_returned = in_size;
  return current.transaction_fails ? 0 : 1;
}

BOOL CloseHandle(HANDLE) { return 1; }

EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE) { return ES_CONTINUOUS; }
