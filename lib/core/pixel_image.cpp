#include "core/pixel_image.h"

namespace tessel {

void PixelImage::clear() noexcept {
  width = 0;
  height = 0;
  pixels.reset();
  thumbnail.reset();
  properties.clear();
}

}  // namespace tessel
