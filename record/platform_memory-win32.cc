// The process heap on Windows: the C runtime's.
#include <cstdlib>

#include "record/platform_memory.h"

void* PlatformAllocate(std::uint32_t size) {
  // malloc(0) may answer null, which would read as "no memory".
  return std::malloc(size == 0 ? 1 : size);
}

void PlatformFree(void* block) { std::free(block); }
