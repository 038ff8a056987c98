// The adapter's vital product data record, and the search for the "*LL"
// keyword whose two characters name the firmware line the adapter takes.
#ifndef QXFW_TOOL_VPD_H_
#define QXFW_TOOL_VPD_H_

#include <cstdint>

inline constexpr std::uint32_t kVpdSize = 256;

/// True, with the two LL characters in `ll`, when the record carries an
/// "*LL" keyword. Never reads outside the 256-byte record: a keyword whose
/// header or LL value would lie past its last byte, and a keyword whose
/// length byte gives it no length at all, end the search with false.
bool FindVpdLL(const std::uint8_t vpd[kVpdSize], char ll[2]);

#endif  // QXFW_TOOL_VPD_H_
