#include "platform/memory.h"

#include <cstdlib>
#include <cstring>

#include "core/exception.h"
#include "core/messages.h"
#include "platform/system.h"

namespace tessel::platform {

void* allocateLargeBlock(uint64_t bytes, bool zeroed) noexcept {
  constexpr uint64_t kHugePage = uint64_t{1} << 21;
  const uint64_t memory = physicalMemoryBytes();
  if ((memory != 0 && bytes > memory) || bytes > SIZE_MAX - kHugePage) return nullptr;
  if (zeroed) {
    // Fresh pages from the system are zero already: calloc does not write them.
    void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (block) adviseLargeBlock(block, bytes);
    return block;
  }
  if (bytes < kHugePage) return std::malloc(bytes == 0 ? 1 : bytes);
#ifdef _WIN32
  // The Windows C library has no aligned block that std::free releases, and large pages are not
  // offered to blocks of the C allocator there: a plain block does.
  void* block = std::malloc(bytes);
  if (block) adviseLargeBlock(block, bytes);
  return block;
#else
  const uint64_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
  void* block = std::aligned_alloc(kHugePage, rounded);
  if (block) adviseLargeBlock(block, rounded);
  return block;
#endif
}

PixelBuffer allocatePixels(uint32_t width, uint32_t height) {
  const uint64_t pixels = uint64_t{width} * height;
  if (pixels == 0) return nullptr;
  // At most 2^64 / 8 pixels have a byte count that fits in 64 bits.
  void* block = pixels < (uint64_t{1} << 61) ? allocateLargeBlock(pixels * 8) : nullptr;
  if (!block) failf(msg::kImageTooLarge, width, height);
  return PixelBuffer(static_cast<uint16_t*>(block));
}

}  // namespace tessel::platform
