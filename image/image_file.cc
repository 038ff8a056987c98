#include "image/image_file.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "image/file_stream.h"

namespace {

ImageFileRead Failed(ImageFileRead read, ImageFailure failure, std::string message) {
  read.Fail(failure, std::move(message));
  return read;
}

/// The size of an open file, or -1 when it can't be measured; leaves the
/// position at the start.
std::int64_t MeasureFile(std::FILE* file) {
  if (SeekFile(file, 0, SEEK_END) != 0) return -1;
  const std::int64_t size = TellFile(file);
  if (size < 0 || SeekFile(file, 0, SEEK_SET) != 0) return -1;
  return size;
}

// The file is read in pieces small enough to stay in the cache, and each
// piece is summed while it is there: validation then needs no second pass
// over the data, which for an image larger than the cache would come from
// memory and cost a good part of the reading time again. Pieces are whole
// words, so no word straddles two.
constexpr std::uint32_t kReadPiece = std::uint32_t{1} << 20;
static_assert(kReadPiece % 4 == 0);

/// Reads `size` bytes into `buffer` and sets *lrc to ComputeLRC over their
/// whole words; false when the file yields fewer bytes.
bool ReadAndSum(std::FILE* file, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* lrc,
                const ImagePieceObserver& observer) {
  // The LRC is a sum begun at the seed: the LRC of two runs of words, one
  // after the other, is the sum of theirs less one seed.
  std::uint32_t sum = kLrcSeed;
  for (std::uint32_t at = 0; at < size;) {
    const std::uint32_t piece = std::min(kReadPiece, size - at);
    if (std::fread(buffer + at, 1, piece, file) != piece) return false;
    sum += ComputeLRC(buffer + at, piece / 4) - kLrcSeed;
    if (observer) observer(buffer + at, piece);
    at += piece;
  }
  *lrc = sum;
  return true;
}

/// Reads the measured file into a fresh block; the caller closes the file.
ImageFileRead ReadMeasured(std::FILE* file, const char* path, const ImageBlockAllocator& allocator,
                           const ImagePieceObserver& observer, ImageFileRead read) {
  const auto size32 = static_cast<std::uint32_t>(read.size);
  auto* buffer = static_cast<std::uint8_t*>(allocator.allocate(size32));
  if (buffer == nullptr) return Failed(read, ImageFailure::kAllocate, OutOfMemoryMessage(size32));
  if (!ReadAndSum(file, buffer, size32, &read.whole_file_lrc, observer)) {
    allocator.release(buffer);
    return Failed(read, ImageFailure::kRead, ReadFailureMessage(path));
  }
  read.buffer = buffer;
  return read;
}

// malloc(0) may answer null, which would read as "out of memory".
void* AllocateFromHeap(std::uint32_t size) { return std::malloc(size == 0 ? 1 : size); }

void FreeToHeap(void* block) { std::free(block); }

}  // namespace

const ImageBlockAllocator kHeapAllocator{AllocateFromHeap, FreeToHeap};

ImageFileRead ReadImageFile(const char* path, const ImageBlockAllocator& allocator,
                            std::uint64_t largest_size, const ImagePieceObserver& observer) {
  ImageFileRead read;
  const OpenedFile opened = OpenRegularFile(path);
  if (opened.outcome == FileOpening::kCantOpen) {
    return Failed(read, ImageFailure::kOpen, OpenFailureMessage(path));
  }
  // A FIFO, a device or a socket opens, but has no size to read whole.
  if (opened.outcome == FileOpening::kNotRegular) {
    return Failed(read, ImageFailure::kRead, ReadFailureMessage(path));
  }
  std::FILE* file = opened.file;
  const std::int64_t size = MeasureFile(file);
  if (size < 0) {
    read = Failed(read, ImageFailure::kRead, ReadFailureMessage(path));
  } else {
    read.size = static_cast<std::uint64_t>(size);
    read.measured = true;
    // Before anything is allocated: a size that doesn't fit the allocate
    // service's 32-bit word must never be cut down to one that does.
    read = read.size > largest_size ? Failed(read, ImageFailure::kTooLarge, TooLargeMessage(path))
                                    : ReadMeasured(file, path, allocator, observer, read);
  }
  std::fclose(file);
  return read;
}
