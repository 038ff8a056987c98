// The two image formats, the adapter firmware file and the AIF image, and
// their validation as pure functions over bytes in memory. This is the one
// implementation of the checks that the downloader and qxfwimage share:
// nothing here prints or ends the process. A refused image comes back with
// the exact message of the downloader's error line, so that each caller
// decides how to report it, and a fuzzer can drive the checks directly.
#ifndef QXFW_IMAGE_IMAGE_FORMAT_H_
#define QXFW_IMAGE_IMAGE_FORMAT_H_

#include <cstdint>
#include <string>

#include "image/firmware_image.h"
#include "image/lrc.h"
#include "util/outcome.h"

/// The layout of an adapter firmware file: a 272-byte header, then the data.
inline constexpr std::uint32_t kFirmwareHeaderSize = 272;
inline constexpr std::uint32_t kCopyrightSize = 252;
inline constexpr std::uint32_t kDataLengthOffset = 252;
inline constexpr std::uint32_t kHeaderLrcOffset = 256;
inline constexpr std::uint32_t kCodeIdOffset = 260;

/// The part of an AIF header that is examined, and its required words.
inline constexpr std::uint32_t kAifHeaderSize = 128;
inline constexpr std::uint32_t kAifNoOp = 0xE1A00000u;
inline constexpr std::uint32_t kAifBranchToSelf = 0xEAFFFFFEu;

/// The largest file that can be loaded: the allocate service takes a 32-bit
/// size, and the image length is a 32-bit number.
inline constexpr std::uint64_t kLargestImageFile = 0xFFFFFFFFu;

/// The largest image that one download can carry: the download's packet
/// counts its bytes in 32 bits, and holds 159 bytes besides the image (the
/// tool checks this against the packet's layout).
inline constexpr std::uint32_t kLargestSendableImage = 0xFFFFFFFFu - 159;

/// The CodeID of an image that has none (an AIF image).
inline constexpr char kUnknownCodeId[] = "????????";

enum class ImageFormat { kAdapterFirmware, kAif };

/// The largest file of `format` whose image can be sent: an AIF image is
/// sent whole, an adapter firmware file without its header.
std::uint64_t LargestImageFile(ImageFormat format);

/// Why an image was refused, in the order in which loading tests it.
enum class ImageFailure {
  kNone,
  kOpen,
  kTooLarge,
  kAllocate,
  kRead,
  kAifSize,
  kAifWords,
  kHeaderSize,
  kLength,
  kLrc,
};

/// The header of an adapter firmware file, decoded.
struct FirmwareHeader {
  char CopyrightText[kCopyrightSize + 1] = {};  // the 252 bytes and a NUL after them
  std::uint32_t DataLength = 0;
  std::uint32_t LRC = 0;
  char CodeID[kCodeIdSize + 1] = {};  // the 8 bytes and a NUL after them
};

/// What validation found.
/// What validation found: the outcome (with the error line's message when
/// refused), and as much of the image as the checks got to.
struct ImageCheck : Outcome<ImageFailure> {
  /// Set once an adapter firmware file is long enough for its header to be
  /// decoded: from then on `header` holds its fields, even if a later check
  /// refuses the file.
  bool has_header = false;
  FirmwareHeader header;
  /// ComputeLRC over the whole words of the data in the file (after the
  /// header, or the whole AIF image), once the format's first checks passed.
  std::uint32_t computed_lrc = 0;
  /// The image to send, filled when accepted. Data points into the bytes
  /// that were checked; Buffer is left null for the caller to own.
  FirmwareImage image;
};

/// Validates `size` bytes as an image of `format`, running the checks in the
/// downloader's order and stopping at the first failure. `path` goes into the
/// messages as text, never as a format.
/// REQUIRES: `bytes` addresses `size` readable bytes (or size is 0), unless
/// size exceeds LargestImageFile(format), which is refused unread; path is
/// not null.
ImageCheck CheckImageBytes(const std::uint8_t* bytes, std::uint64_t size, ImageFormat format,
                           const char* path);

/// CheckImageBytes for bytes whose LRC from the first byte on is known
/// already, as ReadImageFile sums it while it reads: the LRC of an image is
/// then worked out from it, and the data are not read a second time.
/// REQUIRES: as CheckImageBytes; whole_file_lrc is ComputeLRC(bytes, size / 4).
ImageCheck CheckImageBytes(const std::uint8_t* bytes, std::uint64_t size, ImageFormat format,
                           const char* path, std::uint32_t whole_file_lrc);

/// Writes the 272-byte header of an adapter firmware file: the copyright
/// text, the two big-endian numbers, the CodeID and four zero bytes.
/// REQUIRES: `out` has room for kFirmwareHeaderSize bytes.
void EncodeFirmwareHeader(const FirmwareHeader& header, std::uint8_t* out);

/// Decodes the header fields of an adapter firmware file.
/// REQUIRES: `bytes` holds at least kFirmwareHeaderSize bytes.
FirmwareHeader DecodeFirmwareHeader(const std::uint8_t* bytes);

/// The error-line messages that name the file, shared by every reader.
std::string OpenFailureMessage(const char* path);
std::string TooLargeMessage(const char* path);
std::string OutOfMemoryMessage(std::uint32_t size);
std::string ReadFailureMessage(const char* path);

#endif  // QXFW_IMAGE_IMAGE_FORMAT_H_
