#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "qxfwscan/new_file.h"

namespace {

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const unsigned chunk = text.size() > 0x10000000u ? 0x10000000u : unsigned(text.size());
    const int written = _write(fd, text.data(), chunk);
    if (written <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

bool PathIsTaken(const std::string& path) {
  struct _stat64 status;
  return _stat64(path.c_str(), &status) == 0 || errno != ENOENT;
}

std::string WriteNewFile(const std::string& path, std::string_view text) {
  const std::string temporary = path + ".tmp." + std::to_string(_getpid());
  const int fd =
      _open(temporary.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return std::strerror(errno);
  int error = WriteAll(fd, text) && _commit(fd) == 0 ? 0 : (errno != 0 ? errno : EIO);
  if (_close(fd) != 0 && error == 0) error = errno;
  // The C library's rename refuses a name that is taken.
  if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    _unlink(temporary.c_str());
    return std::strerror(error);
  }
  return "";
}
