#include "record/platform_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

// Blocks from 2 MiB on come in whole large pages: every size either side of
// the boundary must still give a block of at least its size (AddressSanitizer
// catches a block cut short), and each must go back to the heap.
TEST(PlatformMemory, BlocksOnEitherSideOfTheLargePageSizeHoldTheirSize) {
  constexpr std::uint32_t kTwoMiB = std::uint32_t{2} << 20;
  for (const std::uint32_t size :
       {std::uint32_t{0}, std::uint32_t{1}, kTwoMiB - 1, kTwoMiB, kTwoMiB + 1, 5 * kTwoMiB + 3}) {
    auto* block = static_cast<std::uint8_t*>(PlatformAllocate(size));
    ASSERT_NE(block, nullptr) << size;
    std::memset(block, 0x5A, size);
    if (size > 0) {
      EXPECT_EQ(block[0], 0x5A) << size;
      EXPECT_EQ(block[size - 1], 0x5A) << size;
    }
    PlatformFree(block);
  }
  PlatformFree(nullptr);
}

}  // namespace
