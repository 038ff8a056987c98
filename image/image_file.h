// Reading a firmware file whole into one block: the loading steps that come
// before validation, shared by the downloader and qxfwimage. Nothing here
// prints or ends the process; a failure comes back with its message, the
// file closed and nothing left allocated.
#ifndef QXFW_IMAGE_IMAGE_FILE_H_
#define QXFW_IMAGE_IMAGE_FILE_H_

#include <cstdint>
#include <functional>
#include <string>

#include "image/image_format.h"

/// Where the block that holds the file comes from: the downloader uses the
/// allocate and free services, qxfwimage the C heap.
struct ImageBlockAllocator {
  /// A block of `size` bytes, or null when there is no memory. A size of 0
  /// must yield a block, since an empty file is read without error.
  void* (*allocate)(std::uint32_t size);
  /// Releases a block of `allocate`.
  void (*release)(void* block);
};

/// Blocks from the C heap, for programs that run without the services.
extern const ImageBlockAllocator kHeapAllocator;

/// A file read whole, or why it could not be.
struct ImageFileRead : Outcome<ImageFailure> {
  /// The file's contents, from the allocator; the caller owns and releases it.
  std::uint8_t* buffer = nullptr;
  std::uint64_t size = 0;  // the file's size, once it was measured
  bool measured = false;
  /// ComputeLRC over the file's whole words from its first byte (size / 4
  /// words), summed piece by piece as the file was read; set when read.
  std::uint32_t whole_file_lrc = 0;
};

/// Sees each piece of a file as soon as it is read, while the piece is still
/// in the processor's cache: a signature check hashes the image there rather
/// than in a second pass over memory.
using ImagePieceObserver = std::function<void(const std::uint8_t* piece, std::uint32_t size)>;

/// Opens `path` for binary reading (only a regular file: a directory can't
/// be opened, and a FIFO, a device or a socket is a read failure, refused
/// without waiting on it), measures it with 64-bit positions,
/// refuses a file larger than `largest_size` before anything is allocated or
/// read, allocates a block of the size, reads the file into it and closes
/// it. A failing seek or tell is a read failure, and so is a file that
/// yields fewer bytes than were measured. `observer`, when set, sees every
/// piece in order, the whole file once.
/// REQUIRES: path is not null; largest_size <= kLargestImageFile.
ImageFileRead ReadImageFile(const char* path, const ImageBlockAllocator& allocator,
                            std::uint64_t largest_size = kLargestImageFile,
                            const ImagePieceObserver& observer = {});

#endif  // QXFW_IMAGE_IMAGE_FILE_H_
