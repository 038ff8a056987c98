#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "transport/machine_lock.h"

namespace {

/// The open lock file: the record lock lives as long as this descriptor.
int lock_fd = -1;

/// A run that ends through exit empties the file, so that the next one
/// can tell a clean ending from a holder that died.
void ReleaseAtExit() {
  if (lock_fd < 0) return;
  [[maybe_unused]] const int emptied = ftruncate(lock_fd, 0);
  close(lock_fd);
  lock_fd = -1;
}

struct flock WholeFile(short type) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return lock;
}

MachineLockResult Failed(const std::string& path, int error) {
  MachineLockResult result;
  result.failure = path + ": " + std::strerror(error);
  return result;
}

/// The holder of a lock that could not be taken; 0 when it let go meanwhile.
std::uint32_t Holder(int fd) {
  struct flock probe = WholeFile(F_WRLCK);
  if (fcntl(fd, F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return 0;
  return static_cast<std::uint32_t>(probe.l_pid);
}

/// True when the file still names a holder: the run before died holding it.
bool NamesAHolder(int fd) {
  char byte;
  return pread(fd, &byte, 1, 0) == 1;
}

void WriteOwnPid(int fd) {
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t written = pwrite(fd, pid.data(), pid.size(), 0);
  }
}

}  // namespace

MachineLockResult PlatformTakeMachineLock() {
  const char* state = std::getenv("QXFW_STATE");
  if (state == nullptr || *state == '\0') return {MachineLockResult::kTaken, false, 0, {}};
  const std::string path = std::string(state) + ".lock";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Failed(path, errno);
  struct flock lock = WholeFile(F_WRLCK);
  if (fcntl(fd, F_SETLK, &lock) != 0) {
    const int error = errno;
    if (error != EACCES && error != EAGAIN) {
      close(fd);
      return Failed(path, error);
    }
    MachineLockResult busy{MachineLockResult::kBusy, false, Holder(fd), {}};
    close(fd);
    return busy;
  }
  MachineLockResult taken{MachineLockResult::kTaken, NamesAHolder(fd), 0, {}};
  WriteOwnPid(fd);
  lock_fd = fd;
  std::atexit(ReleaseAtExit);
  return taken;
}
