#pragma once

// Stretching a PixelImage to a frame size, independently in x and y, in 20.12 fixed-point source
// coordinates: point sampling when the steps are whole source pixels, otherwise an alpha-weighted
// average of nine sample points per output pixel. padOrCrop then makes the size exact.

#include <cstdint>

namespace tessel {

class PixelImage;

struct ResampleJob {
  int32_t srcWidth = 0;  // source size in pixels
  int32_t srcHeight = 0;
  const uint16_t* srcPixels = nullptr;  // borrowed
  // Positions in source pixels with 12 fraction bits (4096 = one pixel).
  int32_t xStart = 0;  // first sample position
  int32_t yStart = 0;
  int32_t xEnd = 0;  // end positions, exclusive
  int32_t yEnd = 0;
  int32_t xStep = 0;  // distance between output pixels
  int32_t yStep = 0;
  PixelImage* destination = nullptr;  // owned by the caller; receives new pixels

  // Prepares a job for `source` scaled by scaleX, scaleY (target size / source size, single
  // precision). Fails with a clear message for an empty source or one of 524288 pixels or more on
  // an axis, which the signed 32-bit fixed-point coordinates cannot address.
  static ResampleJob setUp(const PixelImage& source, float scaleX, float scaleY,
                           PixelImage& destination);

  // Output pixels per axis: ceil((end - start) / step).
  uint32_t outputWidth() const;
  uint32_t outputHeight() const;

  // Fills `destination` (replacing its pixels) by point sampling or the nine-point filter.
  void run() const;

 private:
  // The two ways of producing the output rows: a whole-pixel step selects one source pixel each,
  // any other averages nine.
  void pointSample(uint16_t* out) const;
  void averageNinePoints(uint16_t* out) const;
  // One output pixel of averageNinePoints from the source pixels at `rows` x `columns`.
  void averagePixel(const int64_t (&rows)[3], const int64_t (&columns)[3], uint16_t* out) const;
};

// Makes `destination` exactly width x height pixels: pixel (x, y) is source pixel
// (min(x, W - 1), min(y, H - 1)). A target of zero width or height gives an empty image.
void padOrCrop(const PixelImage& source, uint32_t width, uint32_t height, PixelImage& destination);

}  // namespace tessel
