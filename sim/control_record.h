// One DeviceIoControl as the stand-in driver of the Windows build saw it, in
// the binary form the driver appends to its trace file: a fixed header, the
// bytes sent, the bytes answered, then one result byte. On Linux these
// records become the same trace lines the simulated machine writes.
//
// Freestanding: the driver includes it.
#ifndef QXFW_SIM_CONTROL_RECORD_H_
#define QXFW_SIM_CONTROL_RECORD_H_

#include <cstdint>

#include "util/coding.h"

namespace sim {

struct ControlRecordHeader {
  /// The number the driver gave the open device, counted like the simulated
  /// machine's handles (from kFirstDeviceHandle, one per open, each load).
  std::uint32_t handle = 0;
  std::uint32_t port = 0;
  std::uint32_t code = 0;
  /// The caller's input size.
  std::uint32_t size = 0;
  std::uint32_t sent_length = 0;
  std::uint32_t answer_length = 0;
};

// Header layout: six little-endian u32 fields.
inline constexpr std::uint32_t kControlHandleAt = 0;
inline constexpr std::uint32_t kControlPortAt = 4;
inline constexpr std::uint32_t kControlCodeAt = 8;
inline constexpr std::uint32_t kControlSizeAt = 12;
inline constexpr std::uint32_t kControlSentLengthAt = 16;
inline constexpr std::uint32_t kControlAnswerLengthAt = 20;
inline constexpr std::uint32_t kControlHeaderSize = 24;
/// The result byte after the answer: 1 when DeviceIoControl succeeded.
inline constexpr std::uint32_t kControlResultSize = 1;

inline void EncodeControlHeader(const ControlRecordHeader& header, std::uint8_t* out) {
  util::EncodeFixed32(out + kControlHandleAt, header.handle);
  util::EncodeFixed32(out + kControlPortAt, header.port);
  util::EncodeFixed32(out + kControlCodeAt, header.code);
  util::EncodeFixed32(out + kControlSizeAt, header.size);
  util::EncodeFixed32(out + kControlSentLengthAt, header.sent_length);
  util::EncodeFixed32(out + kControlAnswerLengthAt, header.answer_length);
}

/// REQUIRES: `in` holds kControlHeaderSize bytes.
inline ControlRecordHeader DecodeControlHeader(const std::uint8_t* in) {
  ControlRecordHeader header;
  header.handle = util::DecodeFixed32(in + kControlHandleAt);
  header.port = util::DecodeFixed32(in + kControlPortAt);
  header.code = util::DecodeFixed32(in + kControlCodeAt);
  header.size = util::DecodeFixed32(in + kControlSizeAt);
  header.sent_length = util::DecodeFixed32(in + kControlSentLengthAt);
  header.answer_length = util::DecodeFixed32(in + kControlAnswerLengthAt);
  return header;
}

}  // namespace sim

#endif  // QXFW_SIM_CONTROL_RECORD_H_
