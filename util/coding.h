// Explicit little- and big-endian encoding of fixed-width integers into byte
// buffers. Wire records are handled as bytes through these helpers, never as
// packed structs, so their layout is the same on every host and compiler.
#ifndef QXFW_UTIL_CODING_H_
#define QXFW_UTIL_CODING_H_

#include <cstdint>

namespace util {

/// REQUIRES: dst has room for 2 bytes.
inline void EncodeFixed16(std::uint8_t* dst, std::uint16_t value) {
  dst[0] = static_cast<std::uint8_t>(value);
  dst[1] = static_cast<std::uint8_t>(value >> 8);
}

/// REQUIRES: dst has room for 4 bytes.
inline void EncodeFixed32(std::uint8_t* dst, std::uint32_t value) {
  dst[0] = static_cast<std::uint8_t>(value);
  dst[1] = static_cast<std::uint8_t>(value >> 8);
  dst[2] = static_cast<std::uint8_t>(value >> 16);
  dst[3] = static_cast<std::uint8_t>(value >> 24);
}

/// REQUIRES: src holds at least 2 bytes.
inline std::uint16_t DecodeFixed16(const std::uint8_t* src) {
  return static_cast<std::uint16_t>(src[0] | (src[1] << 8));
}

/// REQUIRES: src holds at least 4 bytes.
inline std::uint32_t DecodeFixed32(const std::uint8_t* src) {
  return static_cast<std::uint32_t>(src[0]) | (static_cast<std::uint32_t>(src[1]) << 8) |
         (static_cast<std::uint32_t>(src[2]) << 16) | (static_cast<std::uint32_t>(src[3]) << 24);
}

/// Big-endian forms, for the two numbers of the firmware file header.
inline void EncodeBigEndian32(std::uint8_t* dst, std::uint32_t value) {
  dst[0] = static_cast<std::uint8_t>(value >> 24);
  dst[1] = static_cast<std::uint8_t>(value >> 16);
  dst[2] = static_cast<std::uint8_t>(value >> 8);
  dst[3] = static_cast<std::uint8_t>(value);
}

inline std::uint32_t DecodeBigEndian32(const std::uint8_t* src) {
  return (static_cast<std::uint32_t>(src[0]) << 24) | (static_cast<std::uint32_t>(src[1]) << 16) |
         (static_cast<std::uint32_t>(src[2]) << 8) | static_cast<std::uint32_t>(src[3]);
}

}  // namespace util

#endif  // QXFW_UTIL_CODING_H_
