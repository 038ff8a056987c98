#include "tool/vpd.h"

namespace {

// Record layout.
constexpr std::uint32_t kAreaUnitsAt = 4;  // keyword area length, in 2-byte units
constexpr std::uint32_t kFirstKeywordAt = 7;

// Keyword layout, from the keyword's first byte.
constexpr std::uint32_t kKeywordUnitsAt = 3;  // whole keyword length, in 2-byte units
constexpr std::uint32_t kKeywordHeaderSize = 4;
constexpr std::uint32_t kLLValueAt = 4;
constexpr std::uint32_t kLLValueSize = 2;

bool HasSignature(const std::uint8_t* vpd) {
  return vpd[0] == 'V' && vpd[1] == 'P' && vpd[2] == 'D';
}

// The adapter counts lengths in one byte, so a doubled length byte of 128 or
// more wraps, and the walk must wrap with it to agree with the adapter.
std::uint8_t DoubledLength(std::uint8_t units) { return static_cast<std::uint8_t>(units * 2); }

bool IsLLKeyword(const std::uint8_t* keyword) {
  return keyword[0] == '*' && keyword[1] == 'L' && keyword[2] == 'L';
}

}  // namespace

bool FindVpdLL(const std::uint8_t vpd[kVpdSize], char ll[2]) {
  if (!HasSignature(vpd)) return false;
  std::uint8_t remaining = DoubledLength(vpd[kAreaUnitsAt]);
  std::uint32_t at = kFirstKeywordAt;
  while (remaining >= kKeywordHeaderSize) {
    // The area may claim up to 254 bytes from byte 7, which runs past the
    // record's end; nothing beyond it belongs to this adapter.
    if (at + kKeywordHeaderSize > kVpdSize) return false;
    const std::uint8_t* keyword = vpd + at;
    const std::uint8_t klen = DoubledLength(keyword[kKeywordUnitsAt]);
    if (klen > remaining) return false;
    // A keyword without length would hold the walk in place for ever.
    if (klen == 0) return false;
    if (keyword[0] != '*') return false;
    if (IsLLKeyword(keyword)) {
      if (at + kLLValueAt + kLLValueSize > kVpdSize) return false;
      ll[0] = static_cast<char>(keyword[kLLValueAt]);
      ll[1] = static_cast<char>(keyword[kLLValueAt + 1]);
      return true;
    }
    remaining = static_cast<std::uint8_t>(remaining - klen);
    at += klen;
  }
  return false;
}
