#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "qxfwscan/new_file.h"

namespace {

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// A rename that refuses to replace; where the file system can't do that,
// a hard link refuses the same way.
int MoveIntoFreeName(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (link(from.c_str(), to.c_str()) != 0) return errno;
  unlink(from.c_str());
  return 0;
}

void SyncDirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

bool PathIsTaken(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 || errno != ENOENT;
}

std::string WriteNewFile(const std::string& path, std::string_view text) {
  const std::string temporary = path + ".tmp." + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return std::strerror(errno);
  int error = WriteAll(fd, text) && fsync(fd) == 0 ? 0 : (errno != 0 ? errno : EIO);
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0) error = MoveIntoFreeName(temporary, path);
  if (error != 0) {
    unlink(temporary.c_str());
    return std::strerror(error);
  }
  SyncDirectoryOf(path);
  return "";
}
