// Bytes in tests: hex text as the traces write it, and little-endian words
// read at literal offsets of a packet.
#ifndef QXFW_TESTING_BYTES_H_
#define QXFW_TESTING_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

/// The bytes that `hex` spells, two digits a byte; an odd last digit is dropped.
inline std::vector<std::uint8_t> FromHex(std::string_view hex) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(HexDigit(hex[i]) << 4 | HexDigit(hex[i + 1])));
  }
  return bytes;
}

/// FromHex, as a string of bytes.
inline std::string StringFromHex(std::string_view hex) {
  const std::vector<std::uint8_t> bytes = FromHex(hex);
  return std::string(bytes.begin(), bytes.end());
}

/// Lower-case hex, as the traces write bytes.
inline std::string ToHex(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::uint8_t b : bytes) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  return hex;
}

/// The little-endian 32-bit word at `at`.
/// REQUIRES: bytes holds at + 4 bytes.
template <typename Bytes>
std::uint32_t WordAt(const Bytes& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(bytes[at + i]);
  return v;
}

}  // namespace testing_support

#endif  // QXFW_TESTING_BYTES_H_
