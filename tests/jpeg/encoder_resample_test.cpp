// Image resampling: the fixed-point set-up, point sampling, the nine-point alpha-weighted filter,
// pad-or-crop, and the sizes the fixed-point coordinates cannot handle.

#include <gtest/gtest.h>

#include "jpeg/encoder/messages.h"
#include "jpeg/encoder/resample.h"
#include "jpeg/encoder_test_support.h"

namespace tessel {
namespace {

using test::makeImage;
using test::messageOf;
using test::pixelAt;
using test::Rgba;

// Every pixel tells where it came from.
Rgba coordinates(uint32_t x, uint32_t y) {
  return Rgba{static_cast<uint16_t>(x), static_cast<uint16_t>(y),
              static_cast<uint16_t>((x * 7 + y * 3) & 0xFFFF), 65535};
}

ResampleJob jobFor(const PixelImage& source, uint32_t width, uint32_t height, PixelImage& out) {
  return ResampleJob::setUp(source, float(width) / float(source.width),
                            float(height) / float(source.height), out);
}

TEST(Resample, WholeStepsUsePointSampling) {
  // 4000 x 3000 to 160 x 120: scale 0.04, a step of 25 source pixels on both axes.
  const auto source = makeImage(4000, 3000, coordinates);
  PixelImage out;
  const ResampleJob job = jobFor(source, 160, 120, out);
  EXPECT_EQ(job.xStart, 0);
  EXPECT_EQ(job.yStart, 0);
  EXPECT_EQ(job.xEnd, 4000 * 4096);
  EXPECT_EQ(job.yEnd, 3000 * 4096);
  EXPECT_EQ(job.xStep, 102400);
  EXPECT_EQ(job.yStep, 102400);
  job.run();
  ASSERT_EQ(out.width, 160u);
  ASSERT_EQ(out.height, 120u);
  for (uint32_t y = 0; y < 120; y += 7) {
    for (uint32_t x = 0; x < 160; x += 3) {
      const uint16_t* p = pixelAt(out, x, y);
      const Rgba e = coordinates(25 * x, 25 * y);
      ASSERT_EQ((std::vector<uint16_t>(p, p + 4)), (std::vector<uint16_t>{e.r, e.g, e.b, e.a}))
          << x << " " << y;
    }
  }
}

TEST(Resample, FractionalStepsAverageNinePointsByAlpha) {
  // 4288 x 2848 to 160 x 120 takes fractional steps; the result is then padded or cropped.
  const auto big = makeImage(4288, 2848, [](uint32_t, uint32_t) {
    return Rgba{1000, 2000, 3000, 65535};
  });
  PixelImage out;
  const ResampleJob job = jobFor(big, 160, 120, out);
  EXPECT_NE(job.xStep % 4096, 0);
  job.run();
  EXPECT_EQ(out.width, job.outputWidth());
  // Opaque and uniform: wherever all nine points are inside, the colour and full alpha stay.
  EXPECT_EQ((std::vector<uint16_t>(pixelAt(out, 5, 5), pixelAt(out, 5, 5) + 4)),
            (std::vector<uint16_t>{1000, 2000, 3000, 65535}));
  PixelImage exact;
  padOrCrop(out, 160, 120, exact);
  EXPECT_EQ(exact.width, 160u);
  EXPECT_EQ(exact.height, 120u);

  // 10 x 10 to 4 x 4: a step of 2.5 pixels (10240), t = 6826, points at +0, +3413, +6826.
  auto small = makeImage(10, 10, [](uint32_t x, uint32_t y) {
    return Rgba{static_cast<uint16_t>(x * 1000), static_cast<uint16_t>(y * 1000), 500,
                static_cast<uint16_t>(x == 0 ? 0 : 65535)};
  });
  PixelImage four;
  const ResampleJob job4 = jobFor(small, 4, 4, four);
  EXPECT_EQ(job4.xStep, 10240);
  job4.run();
  ASSERT_EQ(four.width, 4u);
  // Pixel (1, 1): columns and rows 2, 3, 4 (x = 10240, +3413, +6826); all opaque.
  const uint16_t* p = pixelAt(four, 1, 1);
  EXPECT_EQ((std::vector<uint16_t>(p, p + 4)), (std::vector<uint16_t>{3000, 3000, 500, 65535}));
  // Pixel (0, 1): columns 0, 0, 1; column 0 is transparent and gets no weight, so only
  // column 1's three points count: R = 1000, and A = 3 x 65535 / 9.
  p = pixelAt(four, 0, 1);
  EXPECT_EQ((std::vector<uint16_t>(p, p + 4)), (std::vector<uint16_t>{1000, 3000, 500, 21845}));
  // Pixel (3, 2): columns 7, 8, 9 and rows 5, 5, 6 (row 5 twice), all inside.
  p = pixelAt(four, 3, 2);
  EXPECT_EQ((std::vector<uint16_t>(p, p + 4)), (std::vector<uint16_t>{8000, 5333, 500, 65535}));
}

TEST(Resample, PointsOutsideTheSourceLowerTheAlpha) {
  // One pixel enlarged to 55 x 55: a step of 74 units (tx = 49), 56 outputs per axis. The last
  // column samples source columns 0, 0 and 1; column 1 lies outside, so with all three rows
  // inside 6 points of full alpha remain: A = 6 x 65535 / 9. In the last row and column, 4.
  const auto source = makeImage(1, 1, [](uint32_t, uint32_t) {
    return Rgba{700, 800, 900, 65535};
  });
  PixelImage out;
  const ResampleJob job = jobFor(source, 55, 55, out);
  EXPECT_EQ(job.xStep, 74);
  job.run();
  ASSERT_EQ(out.width, 56u);
  ASSERT_EQ(out.height, 56u);
  const uint16_t* p = pixelAt(out, 55, 0);
  EXPECT_EQ((std::vector<uint16_t>(p, p + 4)), (std::vector<uint16_t>{700, 800, 900, 43690}));
  EXPECT_EQ(pixelAt(out, 55, 55)[3], 4 * 65535 / 9);
  EXPECT_EQ(pixelAt(out, 54, 54)[3], 65535);

  // A fully transparent area becomes a zero pixel, whatever its colour.
  const auto clear = makeImage(3, 3, [](uint32_t, uint32_t) { return Rgba{700, 800, 900, 0}; });
  jobFor(clear, 2, 2, out).run();
  ASSERT_EQ(out.width, 2u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(out.pixels[i], 0) << i;
}

TEST(Resample, PadOrCropRepeatsTheLastColumnAndRow) {
  const auto source = makeImage(3, 2, coordinates);
  PixelImage out;
  padOrCrop(source, 5, 4, out);
  ASSERT_EQ(out.width, 5u);
  ASSERT_EQ(out.height, 4u);
  for (uint32_t y = 0; y < 4; ++y) {
    for (uint32_t x = 0; x < 5; ++x) {
      const Rgba e = coordinates(std::min(x, 2u), std::min(y, 1u));
      EXPECT_EQ(pixelAt(out, x, y)[0], e.r);
      EXPECT_EQ(pixelAt(out, x, y)[1], e.g);
      EXPECT_EQ(pixelAt(out, x, y)[2], e.b);
    }
  }
  padOrCrop(source, 2, 1, out);
  ASSERT_EQ(out.width, 2u);
  EXPECT_EQ(pixelAt(out, 1, 0)[0], 1);
  padOrCrop(source, 0, 5, out);
  EXPECT_EQ(out.width, 0u);
  EXPECT_EQ(out.height, 0u);
  EXPECT_EQ(out.pixels, nullptr);
}

TEST(Resample, SizesOutsideTheFixedPointRangeFailCleanly) {
  PixelImage out;
  PixelImage empty;
  EXPECT_EQ(messageOf([&] { ResampleJob::setUp(empty, 1, 1, out); }),
            formatText(msg::kResampleEmptySource, 0u, 0u));
  EXPECT_EQ(messageOf([&] { padOrCrop(empty, 4, 4, out); }),
            formatText(msg::kResampleEmptySource, 0u, 0u));
  const auto wide = makeImage(524288, 1, coordinates);
  EXPECT_EQ(messageOf([&] { ResampleJob::setUp(wide, 0.5f, 1, out); }),
            formatText(msg::kResampleSourceTooLarge, 524288u, 1u));

  // Enlarging a single pixel by more than 8192 would make the step zero; it is held at one unit,
  // so the job ends, and every output pixel is the source pixel.
  const auto dot = makeImage(1, 1, [](uint32_t, uint32_t) { return Rgba{1, 2, 3, 65535}; });
  const ResampleJob job = ResampleJob::setUp(dot, 65535.0f, 1.0f, out);
  EXPECT_EQ(job.xStep, 1);
  job.run();
  EXPECT_EQ(out.width, 4096u);
  EXPECT_EQ(out.height, 1u);
  EXPECT_EQ(pixelAt(out, 4095, 0)[2], 3);
  EXPECT_EQ(pixelAt(out, 4095, 0)[3], 65535);
}

}  // namespace
}  // namespace tessel
