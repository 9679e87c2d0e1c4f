#pragma once

// Turning a picture upright by its Exif Orientation: 1 is as stored, 2 to 4 mirror or turn it
// half way, 5 to 8 swap its sides (6 turns it a quarter clockwise, 8 a quarter counter-clockwise).
// Any other value leaves the pixels as stored.

#include <cstddef>
#include <cstdint>

namespace tessel {

class PixelImage;

// Where the stored pixels of a width x height picture go in its upright 16-bit RGBA block.
class UprightLayout {
 public:
  UprightLayout(uint16_t orientation, uint32_t width, uint32_t height);

  // The upright picture's size.
  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }

  // Copies stored row `y` (width pixels of R, G, B, A) to its place in the upright `block`.
  void placeRow(uint32_t y, const uint16_t* row, uint16_t* block) const;

 private:
  uint32_t storedWidth_;
  uint32_t width_;
  uint32_t height_;
  // Upright pixel index of stored pixel (x, y): origin_ + x * columnStep_ + y * rowStep_.
  ptrdiff_t origin_ = 0;
  ptrdiff_t columnStep_ = 1;
  ptrdiff_t rowStep_ = 0;
};

// Turns the pixels of `image` upright in a new block (nothing to do for 1 and unknown values).
void turnUpright(PixelImage& image, uint16_t orientation);

}  // namespace tessel
