#include <sys/stat.h>
#include <sys/types.h>

#include "image/file_stream.h"

namespace {

/// A device (CON, NUL, a port) or a pipe opens like a file, but only a
/// regular file can be read whole.
bool IsRegularFile(std::FILE* file) {
  struct _stat64 status;
  return _fstat64(_fileno(file), &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFREG;
}

}  // namespace

OpenedFile OpenRegularFile(const char* path) {
  OpenedFile opened;
  // fopen refuses a directory here.
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return opened;
  if (!IsRegularFile(file)) {
    std::fclose(file);
    opened.outcome = FileOpening::kNotRegular;
    return opened;
  }
  opened.outcome = FileOpening::kOpened;
  opened.file = file;
  return opened;
}

int SeekFile(std::FILE* file, std::int64_t offset, int origin) {
  return _fseeki64(file, offset, origin);
}

std::int64_t TellFile(std::FILE* file) { return _ftelli64(file); }
