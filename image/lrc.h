// The check value of an image: an additive sum of its little-endian words.
#ifndef QXFW_IMAGE_LRC_H_
#define QXFW_IMAGE_LRC_H_

#include <cstdint>

inline constexpr std::uint32_t kLrcSeed = 0xAAAAAAAAu;

/// The sum, modulo 2^32, of `count` little-endian 32-bit words starting at
/// `words`, begun at kLrcSeed.
/// REQUIRES: words addresses 4 * count readable bytes (any alignment).
std::uint32_t ComputeLRC(const void* words, std::uint32_t count);

/// The same sum without processor-specific vector instructions: what
/// ComputeLRC falls back to where they are missing, there so that tests can
/// hold the two against each other on a processor that has them.
/// REQUIRES: as ComputeLRC.
std::uint32_t ComputeLRCPortable(const void* words, std::uint32_t count);

/// `value` with its four bytes in reverse order.
std::uint32_t SwapBytes32(std::uint32_t value);

#endif  // QXFW_IMAGE_LRC_H_
