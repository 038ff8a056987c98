#include "sim/whole_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {
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

// The directory's entry of the rename is made durable too, where the
// directory can be opened; where it can't, the rename still is whole.
void SyncDirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

std::string ReadWholeFile(const std::string& path, std::string* contents, bool* missing) {
  if (missing != nullptr) *missing = false;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    const int error = errno;
    if (missing != nullptr && error == ENOENT) {
      *missing = true;
      return "";
    }
    return std::strerror(error);
  }
  char chunk[65536];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) contents->append(chunk, got);
  const int error = std::ferror(file) ? (errno != 0 ? errno : EIO) : 0;
  std::fclose(file);
  return error != 0 ? std::strerror(error) : "";
}

std::string WriteFileWhole(const std::string& path, std::string_view text) {
  const std::string temporary = path + ".tmp." + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return std::strerror(errno);
  bool ok = WriteAll(fd, text) && fsync(fd) == 0;
  int error = ok ? 0 : errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    unlink(temporary.c_str());
    return std::strerror(error != 0 ? error : EIO);
  }
  SyncDirectoryOf(path);
  return "";
}

}  // namespace sim
