#include "sources/upright.h"

#include <cstring>
#include <utility>

#include "core/pixel_image.h"
#include "platform/memory.h"

namespace tessel {

UprightLayout::UprightLayout(uint16_t orientation, uint32_t width, uint32_t height)
    : storedWidth_(width), width_(width), height_(height) {
  const ptrdiff_t w = width, h = height;
  const bool swapped = orientation >= 5 && orientation <= 8;
  if (swapped) std::swap(width_, height_);
  struct Steps {
    ptrdiff_t origin, column, row;
  };
  Steps steps{0, 1, w};
  switch (orientation) {
    case 2:
      steps = {w - 1, -1, w};
      break;
    case 3:
      steps = {w * h - 1, -1, -w};
      break;
    case 4:
      steps = {(h - 1) * w, 1, -w};
      break;
    case 5:
      steps = {0, h, 1};
      break;
    case 6:
      steps = {h - 1, h, -1};
      break;
    case 7:
      steps = {w * h - 1, -h, -1};
      break;
    case 8:
      steps = {(w - 1) * h, -h, 1};
      break;
    default:
      break;
  }
  origin_ = steps.origin, columnStep_ = steps.column, rowStep_ = steps.row;
}

void UprightLayout::placeRow(uint32_t y, const uint16_t* row, uint16_t* block) const {
  ptrdiff_t at = origin_ + ptrdiff_t(y) * rowStep_;
  if (columnStep_ == 1) {
    std::memcpy(block + 4 * at, row, size_t(storedWidth_) * 8);
    return;
  }
  for (uint32_t x = 0; x < storedWidth_; ++x, at += columnStep_, row += 4) {
    std::memcpy(block + 4 * at, row, 8);
  }
}

void turnUpright(PixelImage& image, uint16_t orientation) {
  if (!image.pixels || orientation < 2 || orientation > 8) return;
  const UprightLayout layout(orientation, image.width, image.height);
  PixelBuffer block = platform::allocatePixels(layout.width(), layout.height());
  const uint16_t* row = image.pixels.get();
  for (uint32_t y = 0; y < image.height; ++y, row += 4 * size_t(image.width)) {
    layout.placeRow(y, row, block.get());
  }
  image.setPixels(layout.width(), layout.height(), std::move(block));
}

}  // namespace tessel
