#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "image/file_stream.h"

static_assert(sizeof(off_t) >= 8, "file positions must be 64-bit");

namespace {

/// Opens without waiting: a FIFO with no writer would block a plain open
/// for ever. The descriptor blocks again once it is known to be a file.
int OpenWithoutWaiting(const char* path) {
  return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

FileOpening KindOf(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0) return FileOpening::kCantOpen;
  // A directory can't be opened as a firmware file, as on Windows.
  if (S_ISDIR(status.st_mode)) return FileOpening::kCantOpen;
  return S_ISREG(status.st_mode) ? FileOpening::kOpened : FileOpening::kNotRegular;
}

bool MakeBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

OpenedFile OpenRegularFile(const char* path) {
  const int fd = OpenWithoutWaiting(path);
  if (fd < 0) return {};
  const FileOpening kind = KindOf(fd);
  std::FILE* file = kind == FileOpening::kOpened && MakeBlocking(fd) ? fdopen(fd, "rb") : nullptr;
  if (file == nullptr) {
    close(fd);
    return {kind == FileOpening::kOpened ? FileOpening::kCantOpen : kind, nullptr};
  }
  return {FileOpening::kOpened, file};
}

int SeekFile(std::FILE* file, std::int64_t offset, int origin) {
  return fseeko(file, static_cast<off_t>(offset), origin);
}

std::int64_t TellFile(std::FILE* file) { return ftello(file); }
