// The image that is sent to the adapters: where its bytes are, how many, and
// the check value and code identifier that go with them.
#ifndef QXFW_IMAGE_FIRMWARE_IMAGE_H_
#define QXFW_IMAGE_FIRMWARE_IMAGE_H_

#include <cstdint>

inline constexpr std::uint32_t kCodeIdSize = 8;

/// The image to send, held from validation to the end of the run.
struct FirmwareImage {
  std::uint8_t* Buffer = nullptr;      // the whole file, owned by whoever loaded it
  const std::uint8_t* Data = nullptr;  // first byte to send
  std::uint32_t Length = 0;            // bytes to send from Data
  std::uint32_t LRC = 0;               // check value of the bytes to send
  char CodeID[kCodeIdSize + 1] = {};   // always NUL-terminated
};

#endif  // QXFW_IMAGE_FIRMWARE_IMAGE_H_
