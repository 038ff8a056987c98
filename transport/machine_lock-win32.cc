#include <cstdlib>
#include <string>

#include "transport/machine_lock.h"
#include "transport/platform.h"

// After <windows.h>, whose types it uses.
#include <sddl.h>

namespace {

/// In the Global namespace, so that a run in another session or a service
/// sees it too.
constexpr wchar_t kMutexName[] = L"Global\\qxfwload-adapters";

/// Every administrator and the system may take the mutex, whoever made it:
/// with the creator's default rights, a run by another administrator could
/// not even open it, and would have to be refused.
constexpr wchar_t kMutexRights[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)";

HANDLE mutex = nullptr;

/// Runs on the thread that ends the process through exit, the thread that
/// took the mutex: released, it is free for the next run; a process that
/// ends otherwise leaves it abandoned, which the next run notices.
void ReleaseAtExit() {
  if (mutex == nullptr) return;
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  mutex = nullptr;
}

MachineLockResult Failed(const char* call, DWORD error) {
  MachineLockResult result;
  result.failure = std::string(call) + " failed with error " + std::to_string(error);
  return result;
}

HANDLE CreateAdaptersMutex() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kMutexRights, SDDL_REVISION_1,
                                                           &descriptor, nullptr)) {
    attributes.lpSecurityDescriptor = descriptor;
  }
  HANDLE created = CreateMutexW(&attributes, FALSE, kMutexName);
  const DWORD error = GetLastError();
  if (descriptor != nullptr) LocalFree(descriptor);
  SetLastError(error);
  return created;
}

}  // namespace

MachineLockResult PlatformTakeMachineLock() {
  HANDLE created = CreateAdaptersMutex();
  if (created == nullptr) return Failed("CreateMutexW", GetLastError());
  const DWORD waited = WaitForSingleObject(created, 0);
  switch (waited) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      mutex = created;
      std::atexit(ReleaseAtExit);
      return {MachineLockResult::kTaken, waited == WAIT_ABANDONED, 0, {}};
    case WAIT_TIMEOUT:
      CloseHandle(created);
      return {MachineLockResult::kBusy, false, 0, {}};
    default: {
      const DWORD error = GetLastError();
      CloseHandle(created);
      return Failed("WaitForSingleObject", error);
    }
  }
}
