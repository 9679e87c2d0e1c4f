#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "core/property_list.h"

namespace tessel {

// Releases a block from the C allocator, as the large-block allocator hands them out.
struct FreeDeleter {
  void operator()(void* block) const noexcept { std::free(block); }
};

// A block of pixels: four unsigned 16-bit samples per pixel, R, G, B, A, full scale 65535.
using PixelBuffer = std::unique_ptr<uint16_t[], FreeDeleter>;

// The one in-memory image type. Rows run from top to bottom without gaps, so pixel (x, y) starts
// at sample 4 * (y * width + x). Besides its pixels an image carries its Exif thumbnail's facts
// (size and properties, never pixels) and a property list.
class PixelImage {
 public:
  uint32_t width = 0;
  uint32_t height = 0;
  PixelBuffer pixels;  // null when absent
  std::unique_ptr<PixelImage> thumbnail;
  PropertyList properties;

  // Width and height to 0, no pixels, no thumbnail, no properties.
  void clear() noexcept;

  // Replaces the pixels and the size together.
  void setPixels(uint32_t newWidth, uint32_t newHeight, PixelBuffer block) noexcept {
    pixels = std::move(block);
    width = newWidth;
    height = newHeight;
  }
};

}  // namespace tessel
