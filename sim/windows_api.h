// The slice of the Windows API that the transport uses, as the simulated
// machine provides it on Linux. Names, signatures and type widths are those of
// <windows.h> on 64-bit Windows (DWORD and LONG are 32 bits, HANDLE is a
// pointer), so that one transport source builds against either.
#ifndef QXFW_SIM_WINDOWS_API_H_
#define QXFW_SIM_WINDOWS_API_H_

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using BOOL = std::int32_t;
using LSTATUS = LONG;
using REGSAM = DWORD;
using HANDLE = void*;
using LPVOID = void*;
using LPCSTR = const char*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
struct _SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = _SECURITY_ATTRIBUTES*;
struct _OVERLAPPED;
using LPOVERLAPPED = _OVERLAPPED*;

// Windows defines these two as casts of integer constants.
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr DWORD KEY_QUERY_VALUE = 0x0001;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD FILE_SHARE_READ = 0x00000001;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD IOCTL_SCSI_MINIPORT = 0x0004D008;

using EXECUTION_STATE = DWORD;
inline constexpr EXECUTION_STATE ES_SYSTEM_REQUIRED = 0x00000001;
inline constexpr EXECUTION_STATE ES_CONTINUOUS = 0x80000000u;

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options, REGSAM access, PHKEY result);
LSTATUS RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD data_size);
LSTATUS RegCloseKey(HKEY key);
HANDLE CreateFileA(LPCSTR file_name, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES security,
                   DWORD creation_disposition, DWORD flags_and_attributes, HANDLE template_file);
BOOL DeviceIoControl(HANDLE device, DWORD io_control_code, LPVOID in_buffer, DWORD in_size,
                     LPVOID out_buffer, DWORD out_size, LPDWORD bytes_returned,
                     LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE object);
/// The thread's requirements of the system's power state: answers the ones
/// before the call (ES_CONTINUOUS alone, before any was made continuous).
EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags);

#endif  // QXFW_SIM_WINDOWS_API_H_
