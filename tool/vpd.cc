#include "tool/vpd.h"

#include <algorithm>

namespace {

// Record layout.
constexpr std::uint32_t kAreaUnitsAt = 4;  // keyword area length, in 2-byte units
constexpr std::uint32_t kFirstKeywordAt = 7;

// Keyword layout, from the keyword's first byte.
constexpr std::uint32_t kNameSize = 3;
constexpr std::uint32_t kKeywordUnitsAt = 3;  // whole keyword length, in 2-byte units
constexpr std::uint32_t kKeywordHeaderSize = 4;
constexpr std::uint32_t kLLValueSize = 2;

bool HasSignature(const std::uint8_t* vpd) {
  return vpd[0] == 'V' && vpd[1] == 'P' && vpd[2] == 'D';
}

// The adapter counts lengths in one byte, so a doubled length byte of 128 or
// more wraps, and the walk must wrap with it to agree with the adapter.
std::uint8_t DoubledLength(std::uint8_t units) { return static_cast<std::uint8_t>(units * 2); }

VpdKeyword KeywordAt(const std::uint8_t* vpd, std::uint32_t at, std::uint8_t length) {
  VpdKeyword keyword;
  keyword.at = at;
  keyword.length = length;
  keyword.name.assign(reinterpret_cast<const char*>(vpd + at), kNameSize);
  const std::uint32_t value_end = std::min(at + length, kVpdSize);
  const std::uint32_t value_at = at + kKeywordHeaderSize;
  if (value_at < value_end) {
    keyword.value.assign(reinterpret_cast<const char*>(vpd + value_at), value_end - value_at);
  }
  return keyword;
}

}  // namespace

std::vector<VpdKeyword> VpdKeywords(const std::uint8_t vpd[kVpdSize]) {
  std::vector<VpdKeyword> keywords;
  if (!HasSignature(vpd)) return keywords;
  std::uint8_t remaining = DoubledLength(vpd[kAreaUnitsAt]);
  std::uint32_t at = kFirstKeywordAt;
  while (remaining >= kKeywordHeaderSize) {
    // The area may claim up to 254 bytes from byte 7, which runs past the
    // record's end; nothing beyond it belongs to this adapter.
    if (at + kKeywordHeaderSize > kVpdSize) break;
    const std::uint8_t klen = DoubledLength(vpd[at + kKeywordUnitsAt]);
    if (klen > remaining) break;
    // A keyword without length would hold the walk in place for ever.
    if (klen == 0) break;
    if (vpd[at] != '*') break;
    keywords.push_back(KeywordAt(vpd, at, klen));
    remaining = static_cast<std::uint8_t>(remaining - klen);
    at += klen;
  }
  return keywords;
}

bool FindVpdLL(const std::uint8_t vpd[kVpdSize], char ll[2]) {
  for (const VpdKeyword& keyword : VpdKeywords(vpd)) {
    if (keyword.name != "*LL") continue;
    // The LL is the two bytes after the header, whatever the keyword's own
    // length says; they must lie inside the record.
    if (keyword.at + kKeywordHeaderSize + kLLValueSize > kVpdSize) return false;
    ll[0] = static_cast<char>(vpd[keyword.at + kKeywordHeaderSize]);
    ll[1] = static_cast<char>(vpd[keyword.at + kKeywordHeaderSize + 1]);
    return true;
  }
  return false;
}
