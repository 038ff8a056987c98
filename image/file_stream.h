// The platform's part of reading a firmware file: opening it so that only a
// regular file is read, and measuring it with 64-bit positions.
#ifndef QXFW_IMAGE_FILE_STREAM_H_
#define QXFW_IMAGE_FILE_STREAM_H_

#include <cstdint>
#include <cstdio>

/// How an attempt to open a firmware file ended.
enum class FileOpening {
  kOpened,
  kCantOpen,    // no such file, no access, or a directory
  kNotRegular,  // a FIFO, a device, a socket: it can't be read whole
};

struct OpenedFile {
  FileOpening outcome = FileOpening::kCantOpen;
  std::FILE* file = nullptr;  // open for binary reading when kOpened
};

/// Opens `path` for binary reading when it names a regular file. Whatever
/// else it names is refused at once: the open never waits, as it would for
/// a FIFO that no one writes to.
/// REQUIRES: path is not null.
OpenedFile OpenRegularFile(const char* path);

/// fseek and ftell with 64-bit positions: `long` is 32 bits on Windows, and
/// a file of 2 GiB or more must still be measured correctly.
int SeekFile(std::FILE* file, std::int64_t offset, int origin);
std::int64_t TellFile(std::FILE* file);

#endif  // QXFW_IMAGE_FILE_STREAM_H_
