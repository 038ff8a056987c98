#include "qxfwimage/pack.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "image/image_file.h"

namespace {

/// The largest payload whose firmware file the downloader can still load.
constexpr std::uint64_t kLargestPayload = kLargestImageFile - kFirmwareHeaderSize;

std::string PayloadFailureMessage(const ImageFileRead& read, const std::string& path) {
  switch (read.failure) {
    case ImageFailure::kOpen:
      return "can't open payload file: " + path;
    case ImageFailure::kTooLarge:
      return "payload is too large for a firmware file: " + path;
    case ImageFailure::kRead:
      return "can't read payload file: " + path;
    default:
      return read.message;
  }
}

bool WriteAll(std::FILE* file, const void* bytes, std::size_t size) {
  return size == 0 || std::fwrite(bytes, 1, size, file) == size;
}

bool WriteFirmwareFile(const std::string& path, const std::uint8_t* header,
                       const std::uint8_t* payload, std::uint32_t payload_size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written =
      WriteAll(file, header, kFirmwareHeaderSize) && WriteAll(file, payload, payload_size);
  // fclose flushes: its failure is a write failure too.
  const bool closed = std::fclose(file) == 0;
  if (written && closed) return true;
  // A partial image must not pass for a firmware file; anything but a
  // regular file (a device, say) is left alone.
  std::error_code ignored;
  if (std::filesystem::is_regular_file(path, ignored)) std::filesystem::remove(path, ignored);
  return false;
}

}  // namespace

FirmwareHeader MakeFirmwareHeader(const std::string& code_id, const std::string& copyright,
                                  const std::uint8_t* payload, std::uint32_t payload_size) {
  FirmwareHeader header;
  std::memcpy(header.CopyrightText, copyright.data(), copyright.size());
  std::memcpy(header.CodeID, code_id.data(), code_id.size());
  header.DataLength = payload_size;
  header.LRC = ComputeLRC(payload, payload_size / 4);
  return header;
}

Outcome<PackFailure> PackFirmwareFile(const std::string& code_id, const std::string& copyright,
                                      const std::string& payload_path,
                                      const std::string& output_path) {
  const ImageFileRead read = ReadImageFile(payload_path.c_str(), kHeapAllocator, kLargestPayload);
  if (!read.ok()) return {PackFailure::kPayload, PayloadFailureMessage(read, payload_path)};
  const auto size = static_cast<std::uint32_t>(read.size);
  std::uint8_t header[kFirmwareHeaderSize];
  EncodeFirmwareHeader(MakeFirmwareHeader(code_id, copyright, read.buffer, size), header);
  const bool written = WriteFirmwareFile(output_path, header, read.buffer, size);
  kHeapAllocator.release(read.buffer);
  if (!written) return {PackFailure::kOutput, "can't write firmware file: " + output_path};
  return {};
}
