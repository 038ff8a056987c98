// The SRB_IO_CONTROL header that begins every buffer sent to the adapter
// driver through the miniport pass-through.
#ifndef QXFW_TRANSPORT_SRB_HEADER_H_
#define QXFW_TRANSPORT_SRB_HEADER_H_

#include <cstdint>

namespace srb {
// Offset and size of each header field.
inline constexpr std::uint32_t kHeaderLengthAt = 0, kHeaderLengthSize = 4;
inline constexpr std::uint32_t kSignatureAt = 4, kSignatureSize = 7;  // byte 7 is left unset
inline constexpr std::uint32_t kTimeoutAt = 12, kTimeoutSize = 4;
inline constexpr std::uint32_t kControlCodeAt = 16, kControlCodeSize = 4;
inline constexpr std::uint32_t kReturnCodeAt = 20, kReturnCodeSize = 4;  // not set, not read
inline constexpr std::uint32_t kLengthAt = 24, kLengthSize = 4;
inline constexpr std::uint32_t kHeaderSize = 28;

static_assert(kLengthAt + kLengthSize == kHeaderSize);

inline constexpr char kSignature[] = "qarmix ";  // the blank is part of it
static_assert(sizeof kSignature - 1 == kSignatureSize);

inline constexpr std::uint32_t kTimeoutSeconds = 4096;
inline constexpr std::uint32_t kControlTransaction = 0x80000001u;
inline constexpr std::uint32_t kControlNodeQuery = 0x80000002u;

/// Writes the header fields the system sets; Signature byte 7 and
/// ReturnCode are left as they are.
/// REQUIRES: packet has room for kHeaderSize bytes.
void EncodeHeader(std::uint8_t* packet, std::uint32_t control_code, std::uint32_t length);
}  // namespace srb

#endif  // QXFW_TRANSPORT_SRB_HEADER_H_
