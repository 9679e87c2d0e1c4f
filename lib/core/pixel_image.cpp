#include "core/pixel_image.h"

#include <new>

#include "core/exception.h"
#include "core/messages.h"
#include "platform/system.h"

namespace tessel {

void PixelImage::clear() noexcept {
  width = 0;
  height = 0;
  pixels.reset();
  thumbnail.reset();
  properties.clear();
}

PixelBuffer PixelImage::allocatePixels(uint32_t width, uint32_t height) {
  uint64_t samples = 0, bytes = 0;
  if (__builtin_mul_overflow(uint64_t{width}, uint64_t{height}, &samples) ||
      __builtin_mul_overflow(samples, uint64_t{4}, &samples) ||
      __builtin_mul_overflow(samples, uint64_t{2}, &bytes)) {
    failf(msg::kImageTooLarge, width, height);
  }
  if (samples == 0) return nullptr;
  const uint64_t memory = platform::physicalMemoryBytes();
  if (memory != 0 && bytes > memory) failf(msg::kImageTooLarge, width, height);
  uint16_t* block = new (std::nothrow) uint16_t[samples];
  if (!block) failf(msg::kImageTooLarge, width, height);
  return PixelBuffer(block);
}

}  // namespace tessel
