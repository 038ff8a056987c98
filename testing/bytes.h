// Bytes in tests: hex text as the traces and the programs write it, and
// little-endian words read at literal offsets of a packet.
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

inline constexpr char kHexDigits[] = "0123456789abcdef";

/// Lower-case hex, as the traces write bytes.
inline std::string ToHex(std::string_view bytes) {
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    hex += kHexDigits[b >> 4];
    hex += kHexDigits[b & 15];
  }
  return hex;
}

inline std::string ToHex(const std::vector<std::uint8_t>& bytes) {
  return ToHex(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

/// A 32-bit word as the programs print an LRC or an address: eight
/// lower-case hex digits, most significant first, without "0x".
inline std::string HexWord(std::uint32_t word) {
  std::string hex(8, '0');
  for (int i = 7; i >= 0; --i, word >>= 4) hex[i] = kHexDigits[word & 15];
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
