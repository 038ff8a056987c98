// The process heap, as the allocate service and the pass-through obtain it.
#ifndef QXFW_RECORD_PLATFORM_MEMORY_H_
#define QXFW_RECORD_PLATFORM_MEMORY_H_

#include <cstdint>

/// A block of at least `size` bytes from the process heap, its content
/// undefined, or null when the heap has none. A size of 0 yields a valid block.
void* PlatformAllocate(std::uint32_t size);

/// Returns a block of PlatformAllocate to the heap; null is ignored.
void PlatformFree(void* block);

#endif  // QXFW_RECORD_PLATFORM_MEMORY_H_
