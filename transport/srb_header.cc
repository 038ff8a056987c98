#include "transport/srb_header.h"

#include <cstring>

#include "util/coding.h"

namespace srb {

void EncodeHeader(std::uint8_t* packet, std::uint32_t control_code, std::uint32_t length) {
  util::EncodeFixed32(packet + kHeaderLengthAt, kHeaderSize);
  std::memcpy(packet + kSignatureAt, kSignature, kSignatureSize);
  util::EncodeFixed32(packet + kTimeoutAt, kTimeoutSeconds);
  util::EncodeFixed32(packet + kControlCodeAt, control_code);
  util::EncodeFixed32(packet + kLengthAt, length);
}

}  // namespace srb
