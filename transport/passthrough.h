// The miniport pass-through: carries one transaction DPB and the contents of
// its four buffers to the adapter driver in one packet, and brings the
// driver's verdict and the received buffers back.
#ifndef QXFW_TRANSPORT_PASSTHROUGH_H_
#define QXFW_TRANSPORT_PASSTHROUGH_H_

#include <cstdint>

#include "record/dpb.h"
#include "transport/srb_header.h"

/// The layout of the pass-through packet (offsets from its start).
namespace packet {
inline constexpr std::uint32_t kDpbAt = srb::kHeaderSize;  // the 112-byte copy of the DPB
inline constexpr std::uint32_t kDataAreaAt = kDpbAt + dpb::kRecordSize;
/// The packet sent is 143 + D bytes, the data area followed by three unset
/// bytes; its Length field counts what follows the header.
inline constexpr std::uint32_t kFixedSize = 143;
inline constexpr std::uint32_t kFixedLength = kFixedSize - srb::kHeaderSize;
inline constexpr std::uint32_t kTailSize = 3;  // unset bytes after the data area
inline constexpr std::uint32_t kStatusAt = kDpbAt + dpb::DPB_Status.offset;
inline constexpr std::uint32_t kResultBytesAt = kDpbAt + dpb::kResultBytes;

static_assert(kDataAreaAt == 140);
static_assert(kStatusAt == 39);
static_assert(kResultBytesAt == 136);
static_assert(kFixedLength == 115);
static_assert(kDataAreaAt + kTailSize == kFixedSize);
}  // namespace packet

/// Sends `dpb` to the port that FindAdapterHandle chooses for its Node and
/// answers 0. DPB_Status tells the outcome: -8 no port (nothing sent), -3 no
/// memory for the packet, a packet too large for the 32-bit sizes, an area
/// whose Base is a number rather than a host pointer, or a failed device call
/// (nothing sent, the caller's buffers and result bytes untouched); otherwise
/// the driver's status, with ResultCode, ResultFlag and the byte after them,
/// DataIn and ParmIn copied back to the caller's own addresses and lengths.
/// REQUIRES: each descriptor's Base + Offset addresses Length readable bytes,
/// writable too for DataIn and ParmIn; an unused descriptor has Length 0.
std::int32_t PassThroughRequest(DPB* dpb);

#endif  // QXFW_TRANSPORT_PASSTHROUGH_H_
