// Image resampling: fixed-point set-up, point sampling, the nine-point alpha-weighted filter,
// pad-or-crop, and the sizes the fixed-point coordinates cannot handle.

#include <gtest/gtest.h>

#include "jpeg/encoder/messages.h"
#include "jpeg/encoder/resample.h"
#include "jpeg/encoder_test_support.h"

namespace tessel {
namespace {

using test::makeImage;
using test::pixelAt;
using test::Rgba;

using Pixel = std::vector<uint16_t>;
Pixel at(const PixelImage& image, uint32_t x, uint32_t y) {
  return Pixel(pixelAt(image, x, y), pixelAt(image, x, y) + 4);
}

ResampleJob jobFor(const PixelImage& source, uint32_t width, uint32_t height, PixelImage& out) {
  return ResampleJob::setUp(source, float(width) / float(source.width),
                            float(height) / float(source.height), out);
}

TEST(Resample, WholeStepsPointSample) {
  // 4000 x 3000 to 160 x 120: scale 0.04, a step of 25 pixels (102400) on both axes.
  const auto source = makeImage(4000, 3000, [](uint32_t x, uint32_t y) {
    return Rgba{uint16_t(x), uint16_t(y), 7, 65535};
  });
  PixelImage out;
  jobFor(source, 160, 120, out).run();
  ASSERT_EQ(out.width, 160u);
  ASSERT_EQ(out.height, 120u);
  for (uint32_t y = 0; y < 120; y += 7) {
    for (uint32_t x = 0; x < 160; x += 3)
      ASSERT_EQ(at(out, x, y), (Pixel{uint16_t(25 * x), uint16_t(25 * y), 7, 65535}));
  }
}

TEST(Resample, FractionalStepsAverageNinePointsWeightedByAlpha) {
  // 10 x 10 to 4 x 4: step 2.5 pixels (10240), points at +0, +3413 and +6826 units.
  const auto source = makeImage(10, 10, [](uint32_t x, uint32_t y) {
    return Rgba{uint16_t(x * 1000), uint16_t(y * 1000), 500, uint16_t(x == 0 ? 0 : 65535)};
  });
  PixelImage out;
  jobFor(source, 4, 4, out).run();
  ASSERT_EQ(out.width, 4u);
  // (1, 1): columns and rows 2, 3, 4, all opaque.
  EXPECT_EQ(at(out, 1, 1), (Pixel{3000, 3000, 500, 65535}));
  // (0, 1): columns 0, 0, 1; transparent column 0 weighs nothing, so only column 1 counts, and
  // A = 3 x 65535 / 9.
  EXPECT_EQ(at(out, 0, 1), (Pixel{1000, 3000, 500, 21845}));
  // (3, 2): columns 7, 8, 9, rows 5, 5, 6 (row 5 twice).
  EXPECT_EQ(at(out, 3, 2), (Pixel{8000, 5333, 500, 65535}));

  // One pixel to 55 x 55: step 74 units, 56 outputs a side. The last column samples columns
  // 0, 0 and 1; column 1 lies outside, so 6 points of full alpha remain: A = 43690.
  const auto dot = makeImage(1, 1, [](uint32_t, uint32_t) { return Rgba{700, 800, 900, 65535}; });
  jobFor(dot, 55, 55, out).run();
  ASSERT_EQ(out.width, 56u);
  EXPECT_EQ(at(out, 55, 0), (Pixel{700, 800, 900, 43690}));
  EXPECT_EQ(at(out, 55, 55)[3], 4 * 65535 / 9);
  // A fully transparent area becomes a zero pixel, whatever its colour.
  const auto clear = makeImage(3, 3, [](uint32_t, uint32_t) { return Rgba{7, 8, 9, 0}; });
  jobFor(clear, 2, 2, out).run();
  EXPECT_EQ(at(out, 1, 1), (Pixel{0, 0, 0, 0}));
}

TEST(Resample, PadOrCropRepeatsTheLastColumnAndRow) {
  const auto source = makeImage(3, 2, [](uint32_t x, uint32_t y) {
    return Rgba{uint16_t(x), uint16_t(y), 0, 65535};
  });
  PixelImage out;
  padOrCrop(source, 5, 4, out);
  ASSERT_EQ(out.height, 4u);
  EXPECT_EQ(at(out, 4, 3), (Pixel{2, 1, 0, 65535}));
  padOrCrop(source, 2, 1, out);
  EXPECT_EQ(at(out, 1, 0), (Pixel{1, 0, 0, 65535}));
  padOrCrop(source, 0, 5, out);
  EXPECT_EQ(out.width + out.height, 0u);
  EXPECT_EQ(out.pixels, nullptr);
}

TEST(Resample, SizesOutsideTheFixedPointRangeFailOrAreHeld) {
  PixelImage out, empty;
  EXPECT_EQ(test::messageOf([&] { ResampleJob::setUp(empty, 1, 1, out); }),
            "Cannot resample an image of 0 x 0 pixels");
  EXPECT_EQ(test::messageOf([&] { padOrCrop(empty, 4, 4, out); }),
            "Cannot resample an image of 0 x 0 pixels");
  const auto wide = makeImage(524288, 1, [](uint32_t, uint32_t) { return Rgba{}; });
  EXPECT_EQ(test::messageOf([&] { ResampleJob::setUp(wide, 0.5f, 1, out); }),
            "Image of 524288 x 1 pixels is too large to resample");
  // Enlarging by more than 8192 would make the step zero and the job endless; it is held at one
  // unit, and every output pixel is the source pixel.
  const auto dot = makeImage(1, 1, [](uint32_t, uint32_t) { return Rgba{1, 2, 3, 65535}; });
  ResampleJob::setUp(dot, 65535.0f, 1.0f, out).run();
  EXPECT_EQ(out.width, 4096u);
  EXPECT_EQ(at(out, 4095, 0), (Pixel{1, 2, 3, 65535}));
}

}  // namespace
}  // namespace tessel
