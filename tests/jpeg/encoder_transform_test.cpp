// Forward transform: compositing, colour and grey conversion, chroma averaging, edge replication,
// the DCT with its divisor tables, and rounding.

#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "jpeg/encoder/encode_state.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/encoder/forward_transform.h"
#include "jpeg/encoder_test_support.h"

namespace tessel {
namespace {

using test::makeImage;
using test::Rgba;

// One MCU of `mode` from the top-left corner of `image`.
std::vector<float> convert(uint32_t mode, const PixelImage& image, Background background = {}) {
  std::vector<float> blocks(6 * 64, -999.0f);
  convertMcu(mode, blocks.data(), image.pixels.get(), image.width, background);
  return blocks;
}
PixelImage uniform(Rgba p) {
  return makeImage(16, 16, [&](uint32_t, uint32_t) { return p; });
}

TEST(ForwardTransform, CompositingAndColourConversion) {
  // Opaque white: Y = 127, neutral chroma.
  const auto white = convert(kSampling444, uniform({65535, 65535, 65535, 65535}));
  EXPECT_EQ(white[0], 127.0f);
  EXPECT_NEAR(white[128], 0.0f, 1e-4);
  // Transparent: the background, black in the merge tool, any colour exactly like that colour.
  const auto clear = convert(kSampling444, uniform({65535, 12345, 999, 0}));
  EXPECT_EQ(clear[0], -128.0f);
  EXPECT_EQ(clear[64], 0.0f);
  EXPECT_EQ(convert(kSampling444, uniform({65535, 12345, 999, 0}), {0, 0, 65535}),
            convert(kSampling444, uniform({0, 0, 65535, 65535})));
  // Partial alpha, unsigned integer division: (0 x 32767 + 65535 x 32768) / 65535 = 32768,
  // (65535 x 32767) / 65535 = 32767, and (1000 x 65534 + 3) / 65535 = 1000 truncated.
  EXPECT_EQ(convert(kSampling444, uniform({65535, 0, 0, 32768}), {0, 0, 65535}),
            convert(kSampling444, uniform({32768, 0, 32767, 65535})));
  EXPECT_EQ(convert(kSampling444, uniform({3, 3, 3, 1}), {1000, 1000, 1000}),
            convert(kSampling444, uniform({999, 999, 999, 65535})));
  // Grey averages the channels: pure red gives 65535 / 3 = 21845, not red's luminance weight;
  // a transparent pixel the background's average; one block only.
  const auto red = convert(kSamplingGrey, uniform({65535, 0, 0, 65535}));
  EXPECT_EQ(red[0], 21845.0f * (255.0f / 65535.0f) - 128.0f);
  EXPECT_EQ(convert(kSamplingGrey, uniform({65535, 0, 0, 0}), {300, 600, 901})[63],
            600.0f * (255.0f / 65535.0f) - 128.0f);
  EXPECT_EQ(red[64], -999.0f);
}

TEST(ForwardTransform, ChromaIsAveragedPerSamplingMode) {
  const auto image = makeImage(16, 16, [](uint32_t x, uint32_t y) {
    return Rgba{uint16_t(x * 4001 + y * 97), uint16_t(y * 4003), uint16_t((x * 31 + y * 17) * 211),
                65535};
  });
  // Per-pixel values: four 4:4:4 conversions of the 8 x 8 quadrants.
  float v[3][16][16];
  for (uint32_t q = 0; q < 4; ++q) {
    float b[3 * 64];
    const uint32_t qx = 8 * (q % 2), qy = 8 * (q / 2);
    convertMcu(kSampling444, b, test::pixelAt(image, qx, qy), 16, {});
    for (int c = 0; c < 3; ++c) {
      for (int k = 0; k < 64; ++k) v[c][qy + k / 8][qx + k % 8] = b[c * 64 + k];
    }
  }
  const auto h2 = convert(kSampling422, image), v2 = convert(kSampling440, image),
             hv2 = convert(kSampling420, image);
  for (int k = 0; k < 64; ++k) {
    const int i = k % 8, j = k / 8;
    // Luma blocks in order: left, right / top, bottom / the four quadrants.
    ASSERT_EQ(h2[64 + k], v[0][j][8 + i]);
    ASSERT_EQ(v2[64 + k], v[0][8 + j][i]);
    ASSERT_EQ(hv2[192 + k], v[0][8 + j][8 + i]);
    for (int c = 1; c <= 2; ++c) {
      // Pairs, and quadruples summed left to right, top to bottom, in single precision.
      ASSERT_EQ(h2[64 + c * 64 + k], (v[c][j][2 * i] + v[c][j][2 * i + 1]) * 0.5f);
      ASSERT_EQ(v2[64 + c * 64 + k], (v[c][2 * j][i] + v[c][2 * j + 1][i]) * 0.5f);
      ASSERT_EQ(hv2[192 + c * 64 + k], (v[c][2 * j][2 * i] + v[c][2 * j][2 * i + 1] +
                                        v[c][2 * j + 1][2 * i] + v[c][2 * j + 1][2 * i + 1]) *
                                           0.25f);
    }
  }
}

TEST(ForwardTransform, PartialMcusRepeatTheLastColumnAndRow) {
  // 17 x 9 in 4:2:0 is 2 x 1 MCUs; 40 x 20 has whole and partial ones. Every quantizer is 1.
  for (const auto& size : {std::pair{17u, 9u}, std::pair{40u, 20u}}) {
    const uint32_t width = size.first, height = size.second;
    const auto image = makeImage(width, height, [](uint32_t x, uint32_t y) {
      return Rgba{uint16_t(x * 3000), uint16_t(y * 5000), uint16_t(x * y * 977), 65535};
    });
    QuantizationTable ones;
    std::fill(std::begin(ones.values), std::end(ones.values), 1.0f);
    DivisorTable divisor;
    buildDivisorTable(ones, divisor);
    EncodeState state;
    state.width = int32_t(width), state.height = int32_t(height);
    for (int slot = 1; slot <= 3; ++slot) {
      state.components[slot] = std::make_unique<EncodeComponent>();
      state.components[slot]->divisor = &divisor;
    }
    state.components[1]->h = state.components[1]->v = 2;
    planSampling(state);
    std::vector<int16_t> actual(state.mcuCount * 6 * 64);
    transformImage(state, image, actual.data(), {});

    // The reference: the image extended to whole MCUs by repetition, converted MCU by MCU.
    const uint32_t w = state.mcusPerRow * 16, h = state.mcuRows * 16;
    const auto padded = makeImage(w, h, [&](uint32_t x, uint32_t y) {
      const uint16_t* p = test::pixelAt(image, std::min(x, width - 1), std::min(y, height - 1));
      return Rgba{p[0], p[1], p[2], p[3]};
    });
    std::vector<int16_t> expected(actual.size());
    int16_t* out = expected.data();
    for (uint32_t my = 0; my < h; my += 16) {
      for (uint32_t mx = 0; mx < w; mx += 16) {
        float blocks[6 * 64];
        convertMcu(kSampling420, blocks, test::pixelAt(padded, mx, my), w, {});
        for (int b = 0; b < 6; ++b, out += 64) {
          forwardDct(blocks + b * 64, divisor);
          roundBlock(blocks + b * 64, out);
        }
      }
    }
    EXPECT_EQ(actual, expected) << width;
  }
}

TEST(ForwardTransform, UnitQuantizersGiveTheRoundedOrthonormalDct) {
  QuantizationTable ones;
  std::fill(std::begin(ones.values), std::end(ones.values), 1.0f);
  DivisorTable divisor;
  buildDivisorTable(ones, divisor);
  std::mt19937 random(11);
  int compared = 0;
  for (int trial = 0; trial < 50; ++trial) {
    float block[64];
    for (float& s : block) s = float(int(random() % 256) - 128);
    const std::vector<float> samples(block, block + 64);
    forwardDct(block, divisor);
    int16_t rounded[64];
    roundBlock(block, rounded);
    for (int k = 0; k < 64; ++k) {
      const int u = test::kNaturalOfZigzag[k] % 8, v = test::kNaturalOfZigzag[k] / 8;
      double exact = 0;
      for (int n = 0; n < 64; ++n) {
        exact += samples[n] * std::cos((2 * (n % 8) + 1) * u * M_PI / 16) *
                 std::cos((2 * (n / 8) + 1) * v * M_PI / 16);
      }
      exact *= 0.25 * (u ? 1.0 : M_SQRT1_2) * (v ? 1.0 : M_SQRT1_2);
      // Values this close to a rounding boundary depend on float error, not on the formula.
      if (std::fabs(std::fabs(exact - std::trunc(exact)) - 0.5) < 1e-3) continue;
      ASSERT_EQ(rounded[k], exact >= 0 ? std::trunc(exact + 0.5) : std::trunc(exact - 0.5));
      ++compared;
    }
  }
  EXPECT_GT(compared, 3000);
}

TEST(ForwardTransform, RoundsHalfAwayFromZeroWithinSymmetricLimits) {
  const float inf = std::numeric_limits<float>::infinity();
  // v + 0.5 is a single-precision sum: 0.49999997 + 0.5 rounds to 1.
  const std::pair<float, int16_t> cases[] = {{0.49f, 0},
                                             {0.5f, 1},
                                             {-2.5f, -3},
                                             {32766.5f, 32767},
                                             {-40000.0f, -32767},
                                             {inf, 32767},
                                             {std::numeric_limits<float>::quiet_NaN(), -32767},
                                             {0.49999997f, 1}};
  for (const auto& [value, expected] : cases) {
    float block[64] = {};
    block[8] = value;  // natural index 8 is zig-zag position 2
    int16_t out[64];
    roundBlock(block, out);
    EXPECT_EQ(out[2], expected) << value;
    EXPECT_EQ(out[1] | out[3], 0);
  }
}

}  // namespace
}  // namespace tessel
