#pragma once

#include <cstdint>
#include <memory>

#include "exif/property_list.h"

namespace tessel {

// A block of pixels: four unsigned 16-bit samples per pixel, R, G, B, A, full scale 65535.
using PixelBuffer = std::unique_ptr<uint16_t[]>;

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

  // An uninitialised block for width x height pixels (null for an empty image). A block whose
  // size overflows or that could never fit in memory fails with a clear message instead of
  // wrapping around or having the process killed when it is touched.
  static PixelBuffer allocatePixels(uint32_t width, uint32_t height);
};

}  // namespace tessel
