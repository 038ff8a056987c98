// The adapter's vital product data record, its keywords, and the search for
// the "*LL" keyword whose two characters name the firmware line the adapter
// takes.
#ifndef QXFW_TOOL_VPD_H_
#define QXFW_TOOL_VPD_H_

#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::uint32_t kVpdSize = 256;

/// One keyword of a VPD record, as the keyword walk meets it.
struct VpdKeyword {
  std::uint32_t at = 0;     // its first byte in the record
  std::uint8_t length = 0;  // its whole length in bytes: twice its length byte, kept to 8 bits
  std::string name;         // its three name bytes, the first of them '*'
  /// Its value: the bytes after the 4-byte header up to its length, those
  /// inside the record.
  std::string value;
};

/// The keywords of the record in order, walked as the adapter's own search
/// walks them: "VPD" at bytes 0-2, a keyword area of twice byte 4 bytes (kept
/// to 8 bits) from byte 7, each keyword as long as twice its byte 3. The walk
/// ends where fewer than 4 bytes of the area remain, and at a keyword that
/// is longer than what remains, has no length, doesn't begin with '*' or
/// whose header lies past the record's last byte; such a keyword is not
/// listed. Never reads outside the 256-byte record.
std::vector<VpdKeyword> VpdKeywords(const std::uint8_t vpd[kVpdSize]);

/// True, with the two LL characters in `ll`, when the walk meets an "*LL"
/// keyword whose first two value bytes lie inside the record; the first
/// "*LL" keyword ends the search either way. `ll` is not written on false.
bool FindVpdLL(const std::uint8_t vpd[kVpdSize], char ll[2]);

#endif  // QXFW_TOOL_VPD_H_
