// The process heap on POSIX systems, with the blocks of image size in large
// pages where the kernel offers them.
#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>

#include "record/platform_memory.h"

namespace {

// A firmware image and each download's packet are megabytes, and every
// page of them is touched: in pages of 2 MiB they cost one page fault (and
// one address translation to set up) where 4 KiB pages cost 512. On a
// virtual machine that fills its page tables in software a 4 KiB fault
// costs microseconds, more than reading the page. Rounding a block up to
// whole large pages costs less than one more page.
constexpr std::size_t kLargePage = std::size_t{2} << 20;

/// A block of whole large pages, which the kernel is asked to back with
/// them; the request is a hint, and the block serves as well without it.
void* AllocateLargePages(std::uint32_t size) {
  const std::size_t rounded = (std::size_t{size} + kLargePage - 1) / kLargePage * kLargePage;
  void* block = std::aligned_alloc(kLargePage, rounded);
#ifdef MADV_HUGEPAGE
  if (block != nullptr) madvise(block, rounded, MADV_HUGEPAGE);
#endif
  return block;
}

}  // namespace

void* PlatformAllocate(std::uint32_t size) {
  if (size >= kLargePage) return AllocateLargePages(size);
  // malloc(0) may answer null, which would read as "no memory".
  return std::malloc(size == 0 ? 1 : size);
}

void PlatformFree(void* block) { std::free(block); }
