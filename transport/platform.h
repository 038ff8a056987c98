// The one seam to the platform: the registry, device-I/O and power-state
// calls under their Windows names (and, on Windows only, the console's). On
// Windows they are the real ones; on Linux the simulated machine provides
// the same names with Windows-sized types. Only the transport includes this
// header.
#ifndef QXFW_TRANSPORT_PLATFORM_H_
#define QXFW_TRANSPORT_PLATFORM_H_

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// In this order: each relies on the types of the one before.
// clang-format off
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>
// clang-format on
#else
#include "sim/windows_api.h"
#endif

#include <type_traits>

static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4, "Windows-sized types");
static_assert(std::is_same_v<HANDLE, void*>, "HANDLE is a pointer on both platforms");
static_assert(IOCTL_SCSI_MINIPORT == 0x4D008, "the miniport pass-through control code");

#endif  // QXFW_TRANSPORT_PLATFORM_H_
