// The firmware image: loading the file, validating it as an adapter firmware
// file or an AIF image, and the check value that covers what is sent.
#ifndef QXFW_TOOL_IMAGE_H_
#define QXFW_TOOL_IMAGE_H_

#include <cstdint>

#include "tool/settings.h"

inline constexpr std::uint32_t kCodeIdSize = 8;

/// The image to send, held from validation to the end of the run.
struct FirmwareImage {
  std::uint8_t* Buffer = nullptr;      // the whole file, from DpbAllocate
  const std::uint8_t* Data = nullptr;  // first byte to send
  std::uint32_t Length = 0;            // bytes to send from Data
  std::uint32_t LRC = 0;               // check value of the bytes to send
  char CodeID[kCodeIdSize + 1] = {};   // always NUL-terminated
};

/// The sum, modulo 2^32, of `count` little-endian 32-bit words starting at
/// `words`, begun at 0xAAAAAAAA.
/// REQUIRES: words addresses 4 * count readable bytes (any alignment).
std::uint32_t ComputeLRC(const void* words, std::uint32_t count);

/// The same sum without processor-specific vector instructions: what
/// ComputeLRC falls back to where they are missing, there so that tests can
/// hold the two against each other on a processor that has them.
/// REQUIRES: as ComputeLRC.
std::uint32_t ComputeLRCPortable(const void* words, std::uint32_t count);

/// `value` with its four bytes in reverse order.
std::uint32_t SwapBytes32(std::uint32_t value);

/// The image phase of DownloadMain: pauses if asked, reads and validates the
/// file that `settings` names and answers the filled image. Every failure
/// ends the process through ErrorExit before anything is sent to an adapter.
FirmwareImage LoadFirmwareImage(const Settings& settings);

#endif  // QXFW_TOOL_IMAGE_H_
