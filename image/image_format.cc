#include "image/image_format.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "util/coding.h"

namespace {

constexpr char kOpenFailure[] = "can't open firmware file: ";
constexpr char kTooLarge[] = "firmware file is too large: ";
constexpr char kReadFailure[] = "can't read firmware file: ";
constexpr char kAifTooShort[] = "file is too short to be an AIF file: ";
constexpr char kNotAif[] = "file does not look like an AIF to me: ";
constexpr char kHeaderTooSmall[] = "file is too small to be an adapter firmware file: ";
constexpr char kLengthMismatch[] = "length in header does not match length of data";

/// The words of the AIF header that must hold their values.
constexpr std::uint32_t kAifNoOpOffsets[] = {0, 4, 8};
constexpr std::uint32_t kAifExitOffset = 16;

ImageCheck Refused(ImageCheck check, ImageFailure failure, std::string message) {
  check.Fail(failure, std::move(message));
  return check;
}

std::uint32_t WordCount(std::uint64_t bytes) { return static_cast<std::uint32_t>(bytes / 4); }

void SetCodeId(char* code_id, const char* source) {
  std::memcpy(code_id, source, kCodeIdSize);
  code_id[kCodeIdSize] = '\0';
}

std::string LrcMismatchMessage(std::uint32_t header_lrc, std::uint32_t computed_lrc) {
  char message[96];
  std::snprintf(message, sizeof message,
                "LRC in file header is 0x%08lx, but LRC of firmware is 0x%08lx",
                static_cast<unsigned long>(header_lrc), static_cast<unsigned long>(computed_lrc));
  return message;
}

bool HasAifWords(const std::uint8_t* bytes) {
  for (std::uint32_t offset : kAifNoOpOffsets) {
    if (util::DecodeFixed32(bytes + offset) != kAifNoOp) return false;
  }
  return util::DecodeFixed32(bytes + kAifExitOffset) == kAifBranchToSelf;
}

ImageCheck CheckAif(const std::uint8_t* bytes, std::uint64_t size, const char* path,
                    std::optional<std::uint32_t> whole_file_lrc) {
  ImageCheck check;
  if (size < kAifHeaderSize)
    return Refused(check, ImageFailure::kAifSize, kAifTooShort + std::string(path));
  if (!HasAifWords(bytes))
    return Refused(check, ImageFailure::kAifWords, kNotAif + std::string(path));
  check.computed_lrc = whole_file_lrc ? *whole_file_lrc : ComputeLRC(bytes, WordCount(size));
  check.image.Data = bytes;
  check.image.Length = static_cast<std::uint32_t>(size);
  check.image.LRC = check.computed_lrc;
  SetCodeId(check.image.CodeID, kUnknownCodeId);
  return check;
}

/// The LRC of the data after the header, from the LRC of the whole file:
/// the header is whole words, so the data's words are the file's words after
/// the header's, and the LRC, a sum begun at the seed, loses the header's.
std::uint32_t DataLrcFromWholeFileLrc(const std::uint8_t* bytes, std::uint32_t whole_file_lrc) {
  static_assert(kFirmwareHeaderSize % 4 == 0);
  return whole_file_lrc - (ComputeLRC(bytes, kFirmwareHeaderSize / 4) - kLrcSeed);
}

ImageCheck CheckAdapterFile(const std::uint8_t* bytes, std::uint64_t size, const char* path,
                            std::optional<std::uint32_t> whole_file_lrc) {
  ImageCheck check;
  if (size < kFirmwareHeaderSize) {
    return Refused(check, ImageFailure::kHeaderSize, kHeaderTooSmall + std::string(path));
  }
  check.has_header = true;
  check.header = DecodeFirmwareHeader(bytes);
  const std::uint8_t* data = bytes + kFirmwareHeaderSize;
  check.computed_lrc = whole_file_lrc ? DataLrcFromWholeFileLrc(bytes, *whole_file_lrc)
                                      : ComputeLRC(data, WordCount(size - kFirmwareHeaderSize));
  // 64-bit arithmetic: a length near 4 GiB must not wrap round to a small size.
  if (size != std::uint64_t{check.header.DataLength} + kFirmwareHeaderSize) {
    return Refused(check, ImageFailure::kLength, kLengthMismatch);
  }
  if (check.computed_lrc != check.header.LRC) {
    return Refused(check, ImageFailure::kLrc,
                   LrcMismatchMessage(check.header.LRC, check.computed_lrc));
  }
  check.image.Data = data;
  check.image.Length = check.header.DataLength;
  check.image.LRC = check.header.LRC;
  SetCodeId(check.image.CodeID, check.header.CodeID);
  return check;
}

/// Validates as CheckImageBytes does; the LRC over the whole file, when
/// given, spares the checks a pass over the data.
ImageCheck CheckWithLrc(const std::uint8_t* bytes, std::uint64_t size, ImageFormat format,
                        const char* path, std::optional<std::uint32_t> whole_file_lrc) {
  if (size > LargestImageFile(format)) {
    return Refused(ImageCheck{}, ImageFailure::kTooLarge, TooLargeMessage(path));
  }
  return format == ImageFormat::kAif ? CheckAif(bytes, size, path, whole_file_lrc)
                                     : CheckAdapterFile(bytes, size, path, whole_file_lrc);
}

}  // namespace

std::uint64_t LargestImageFile(ImageFormat format) {
  if (format == ImageFormat::kAif) return kLargestSendableImage;
  return std::min(kLargestImageFile, std::uint64_t{kLargestSendableImage} + kFirmwareHeaderSize);
}

ImageCheck CheckImageBytes(const std::uint8_t* bytes, std::uint64_t size, ImageFormat format,
                           const char* path) {
  return CheckWithLrc(bytes, size, format, path, std::nullopt);
}

ImageCheck CheckImageBytes(const std::uint8_t* bytes, std::uint64_t size, ImageFormat format,
                           const char* path, std::uint32_t whole_file_lrc) {
  return CheckWithLrc(bytes, size, format, path, whole_file_lrc);
}

FirmwareHeader DecodeFirmwareHeader(const std::uint8_t* bytes) {
  FirmwareHeader header;
  std::memcpy(header.CopyrightText, bytes, kCopyrightSize);
  header.CopyrightText[kCopyrightSize] = '\0';
  header.DataLength = util::DecodeBigEndian32(bytes + kDataLengthOffset);
  header.LRC = util::DecodeBigEndian32(bytes + kHeaderLrcOffset);
  SetCodeId(header.CodeID, reinterpret_cast<const char*>(bytes + kCodeIdOffset));
  return header;
}

void EncodeFirmwareHeader(const FirmwareHeader& header, std::uint8_t* out) {
  std::memset(out, 0, kFirmwareHeaderSize);
  std::memcpy(out, header.CopyrightText, kCopyrightSize);
  util::EncodeBigEndian32(out + kDataLengthOffset, header.DataLength);
  util::EncodeBigEndian32(out + kHeaderLrcOffset, header.LRC);
  std::memcpy(out + kCodeIdOffset, header.CodeID, kCodeIdSize);
}

std::string OpenFailureMessage(const char* path) { return kOpenFailure + std::string(path); }

std::string TooLargeMessage(const char* path) { return kTooLarge + std::string(path); }

std::string OutOfMemoryMessage(std::uint32_t size) {
  char message[64];
  std::snprintf(message, sizeof message, "out of memory allocating %lu bytes",
                static_cast<unsigned long>(size));
  return message;
}

std::string ReadFailureMessage(const char* path) { return kReadFailure + std::string(path); }
