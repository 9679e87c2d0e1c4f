#include "jpeg/encoder/resample.h"
#include "platform/memory.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "jpeg/messages.h"

namespace tessel {

namespace {

// Fixed-point coordinates are signed 32-bit with 12 fraction bits.
constexpr uint32_t kMaxSourceSize = 524288;

// floor(value) of a single-precision result, taken after widening to double, as a fixed-point
// step. A step below one unit (a scale above 8192) would never advance; it is held at one unit.
int32_t stepFromScale(float scale) {
  const float quotient = 4096.0f / scale;
  const double step = std::floor(static_cast<double>(quotient + 0.5f));
  if (!(step >= 1.0)) return 1;
  if (step > 2147483647.0) return 2147483647;
  return static_cast<int32_t>(step);
}

int32_t endFromSize(int32_t size) {
  return static_cast<int32_t>(
      std::floor(static_cast<double>(static_cast<float>(size) * 4096.0f + 0.5f)));
}

// ceil((end - start) / step) as (step - start + end - 1) / step, in 64 bits.
uint32_t outputCount(int32_t start, int32_t end, int32_t step) {
  const int64_t count = (int64_t{step} - start + end - 1) / step;
  return count > 0 ? static_cast<uint32_t>(count) : 0;
}

}  // namespace

ResampleJob ResampleJob::setUp(const PixelImage& source, float scaleX, float scaleY,
                               PixelImage& destination) {
  if (source.width == 0 || source.height == 0 || !source.pixels) {
    failf(msg::kResampleEmptySource, source.width, source.height);
  }
  if (source.width >= kMaxSourceSize || source.height >= kMaxSourceSize) {
    failf(msg::kResampleSourceTooLarge, source.width, source.height);
  }
  ResampleJob job;
  job.srcWidth = static_cast<int32_t>(source.width);
  job.srcHeight = static_cast<int32_t>(source.height);
  job.srcPixels = source.pixels.get();
  job.xStart = job.yStart = static_cast<int32_t>(std::floor(static_cast<double>(0.5f)));
  job.xEnd = endFromSize(job.srcWidth);
  job.yEnd = endFromSize(job.srcHeight);
  job.xStep = stepFromScale(scaleX);
  job.yStep = stepFromScale(scaleY);
  job.destination = &destination;
  return job;
}

uint32_t ResampleJob::outputWidth() const {
  return outputCount(xStart, xEnd, xStep);
}
uint32_t ResampleJob::outputHeight() const {
  return outputCount(yStart, yEnd, yStep);
}

void ResampleJob::run() const {
  const uint32_t width = outputWidth();
  const uint32_t height = outputHeight();
  destination->pixels.reset();
  destination->setPixels(width, height, platform::allocatePixels(width, height));
  // Coordinates run in 64 bits: a position plus a step may pass the 32-bit range near the end.
  const bool pointSampling = ((xStart | yStart | xStep | yStep) & 0xFFF) == 0;
  if (pointSampling) {
    pointSample(destination->pixels.get());
  } else {
    averageNinePoints(destination->pixels.get());
  }
}

void ResampleJob::pointSample(uint16_t* out) const {
  const uint32_t width = outputWidth();
  const uint32_t height = outputHeight();
  int64_t y = yStart;
  for (uint32_t oy = 0; oy < height; ++oy, y += yStep) {
    const int64_t row = y >> 12;
    if (row < 0 || row >= srcHeight) {
      std::fill(out, out + size_t{width} * 4, uint16_t{0});
      out += size_t{width} * 4;
      continue;
    }
    const uint16_t* sourceRow = srcPixels + static_cast<size_t>(row) * srcWidth * 4;
    int64_t x = xStart;
    for (uint32_t ox = 0; ox < width; ++ox, x += xStep, out += 4) {
      const int64_t column = x >> 12;
      if (column < 0 || column >= srcWidth) {
        std::fill(out, out + 4, uint16_t{0});
      } else {
        std::memcpy(out, sourceRow + column * 4, 4 * sizeof(uint16_t));
      }
    }
  }
}

// Nine points per output pixel, at offsets 0, t/2 and t (t = two thirds of a step) on each axis,
// averaged with their alpha as weights.
void ResampleJob::averageNinePoints(uint16_t* out) const {
  const uint32_t width = outputWidth();
  const uint32_t height = outputHeight();
  const int64_t tx = (2 * int64_t{xStep}) / 3;
  const int64_t ty = (2 * int64_t{yStep}) / 3;
  int64_t y = yStart;
  for (uint32_t oy = 0; oy < height; ++oy, y += yStep) {
    const int64_t rows[3] = {y >> 12, (y + ty / 2) >> 12, (y + ty) >> 12};
    if (rows[2] < 0 || rows[0] >= srcHeight) {
      std::fill(out, out + size_t{width} * 4, uint16_t{0});
      out += size_t{width} * 4;
      continue;
    }
    int64_t x = xStart;
    for (uint32_t ox = 0; ox < width; ++ox, x += xStep, out += 4) {
      const int64_t columns[3] = {x >> 12, (x + (tx >> 1)) >> 12, (x + tx) >> 12};
      averagePixel(rows, columns, out);
    }
  }
}

void ResampleJob::averagePixel(const int64_t (&rows)[3], const int64_t (&columns)[3],
                               uint16_t* out) const {
  uint64_t sumR = 0, sumG = 0, sumB = 0;
  uint32_t weight = 0;
  if (columns[2] >= 0 && columns[0] < srcWidth) {
    for (int64_t row : rows) {
      if (row < 0 || row >= srcHeight) continue;
      for (int64_t column : columns) {
        if (column < 0 || column >= srcWidth) continue;
        const uint16_t* p = srcPixels + (static_cast<size_t>(row) * srcWidth + column) * 4;
        const uint32_t a = p[3];
        sumR += uint32_t{p[0]} * a;
        sumG += uint32_t{p[1]} * a;
        sumB += uint32_t{p[2]} * a;
        weight += a;
      }
    }
  }
  if (weight == 0) {
    std::fill(out, out + 4, uint16_t{0});
  } else {
    out[0] = static_cast<uint16_t>(sumR / weight);
    out[1] = static_cast<uint16_t>(sumG / weight);
    out[2] = static_cast<uint16_t>(sumB / weight);
    out[3] = static_cast<uint16_t>(weight / 9);
  }
}

void padOrCrop(const PixelImage& source, uint32_t width, uint32_t height, PixelImage& destination) {
  if (width < 1 || height < 1) {
    destination.setPixels(0, 0, nullptr);
    return;
  }
  if (source.width == 0 || source.height == 0 || !source.pixels) {
    failf(msg::kResampleEmptySource, source.width, source.height);
  }
  PixelBuffer block = platform::allocatePixels(width, height);
  const uint32_t copied = std::min(width, source.width);
  for (uint32_t y = 0; y < height; ++y) {
    const uint16_t* from =
        source.pixels.get() + size_t{std::min(y, source.height - 1)} * source.width * 4;
    uint16_t* to = block.get() + size_t{y} * width * 4;
    std::memcpy(to, from, size_t{copied} * 4 * sizeof(uint16_t));
    const uint16_t* last = from + size_t{copied - 1} * 4;
    for (uint32_t x = copied; x < width; ++x) std::memcpy(to + size_t{x} * 4, last, 8);
  }
  destination.setPixels(width, height, std::move(block));
}

}  // namespace tessel
