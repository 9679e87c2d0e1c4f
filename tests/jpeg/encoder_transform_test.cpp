// Forward transform: compositing, colour and grey conversion, chroma averaging, edge replication,
// the AAN DCT with its divisor tables, and rounding.

#include <gtest/gtest.h>

#include <cmath>
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

// Converts the 16 x 16 (or smaller) top-left area of `image` as one MCU of `mode`.
std::vector<float> convert(uint32_t mode, const PixelImage& image,
                           const Background& background = {}) {
  std::vector<float> blocks(6 * 64, -999.0f);
  convertMcu(mode, blocks.data(), image.pixels.get(), image.width, background);
  return blocks;
}

PixelImage uniform(uint32_t size, Rgba p) {
  return makeImage(size, size, [&](uint32_t, uint32_t) { return p; });
}

DivisorTable divisorFor(uint16_t q) {
  QuantizationTable quant;
  for (float& v : quant.values) v = q;
  DivisorTable divisor;
  buildDivisorTable(quant, divisor);
  return divisor;
}

TEST(ForwardTransformColour, WhiteBlackAndTransparentPixels) {
  // Opaque white: full-scale luma, neutral chroma.
  auto white = convert(kSampling444, uniform(8, {65535, 65535, 65535, 65535}));
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(white[i], 127.0f);
    EXPECT_NEAR(white[64 + i], 0.0f, 1e-4);
    EXPECT_NEAR(white[128 + i], 0.0f, 1e-4);
  }
  // A transparent pixel is the background: black in the merge tool.
  auto clear = convert(kSampling444, uniform(8, {65535, 12345, 999, 0}));
  EXPECT_EQ(clear[0], -128.0f);
  EXPECT_EQ(clear[64], 0.0f);
  EXPECT_EQ(clear[128], 0.0f);
  // ... and any other background colour exactly as if it were the opaque pixel.
  const Background blue{0, 0, 65535};
  EXPECT_EQ(convert(kSampling444, uniform(8, {65535, 12345, 999, 0}), blue),
            convert(kSampling444, uniform(8, {0, 0, 65535, 65535})));
}

TEST(ForwardTransformColour, PartialAlphaBlendsWithIntegerDivision) {
  // (0 x 32767 + 65535 x 32768) / 65535 = 32768 and (65535 x 32767 + 0) / 65535 = 32767.
  const Background blue{0, 0, 65535};
  EXPECT_EQ(convert(kSampling444, uniform(8, {65535, 0, 0, 32768}), blue),
            convert(kSampling444, uniform(8, {32768, 0, 32767, 65535})));
  // Truncating division: (1000 x 65534 + 3 x 1) / 65535 = 1000 (not 999.98 rounded).
  const Background grey{1000, 1000, 1000};
  EXPECT_EQ(convert(kSampling444, uniform(8, {3, 3, 3, 1}), grey),
            convert(kSampling444, uniform(8, {999, 999, 999, 65535})));
}

TEST(ForwardTransformColour, GreyModeAveragesTheChannels) {
  // Pure red gives g = 65535 / 3 = 21845, not the luminance weight of red.
  auto red = convert(kSamplingGrey, uniform(8, {65535, 0, 0, 65535}));
  EXPECT_NEAR(red[0], 21845.0 * 255 / 65535 - 128, 1e-4);
  EXPECT_EQ(red[0], 21845.0f * (255.0f / 65535.0f) - 128.0f);
  // Transparent: the background's channel average.
  auto clear = convert(kSamplingGrey, uniform(8, {65535, 0, 0, 0}), {300, 600, 901});
  EXPECT_EQ(clear[63], 600.0f * (255.0f / 65535.0f) - 128.0f);
  // Half alpha: (bg x (65535 - A) + g x A) / 65535 with both averages taken first.
  auto half = convert(kSamplingGrey, uniform(8, {65535, 0, 0, 32768}), {0, 0, 0});
  EXPECT_EQ(half[5], float(21845u * 32768u / 65535u) * (255.0f / 65535.0f) - 128.0f);
  // Only one block is written.
  EXPECT_EQ(half[64], -999.0f);
}

TEST(ForwardTransformColour, ChromaIsAveragedPerSamplingMode) {
  // Every pixel different, so that any mix-up of positions shows.
  auto image = makeImage(16, 16, [](uint32_t x, uint32_t y) {
    return Rgba{static_cast<uint16_t>(x * 4001 + y * 97), static_cast<uint16_t>(y * 4003),
                static_cast<uint16_t>((x * 31 + y * 17) * 211 % 65536), 65535};
  });
  // Per-pixel values from four 4:4:4 conversions of the 8 x 8 quadrants.
  float y[16][16], cb[16][16], cr[16][16];
  for (uint32_t qy = 0; qy < 2; ++qy) {
    for (uint32_t qx = 0; qx < 2; ++qx) {
      std::vector<float> b(3 * 64);
      convertMcu(kSampling444, b.data(), test::pixelAt(image, qx * 8, qy * 8), 16, {});
      for (int j = 0; j < 8; ++j) {
        for (int i = 0; i < 8; ++i) {
          y[qy * 8 + j][qx * 8 + i] = b[j * 8 + i];
          cb[qy * 8 + j][qx * 8 + i] = b[64 + j * 8 + i];
          cr[qy * 8 + j][qx * 8 + i] = b[128 + j * 8 + i];
        }
      }
    }
  }
  auto h2 = convert(kSampling422, image);
  auto v2 = convert(kSampling440, image);
  auto hv2 = convert(kSampling420, image);
  for (int j = 0; j < 8; ++j) {
    for (int i = 0; i < 8; ++i) {
      const int k = j * 8 + i;
      SCOPED_TRACE(k);
      // Luma blocks in sampling-table order.
      EXPECT_EQ(h2[k], y[j][i]);
      EXPECT_EQ(h2[64 + k], y[j][8 + i]);
      EXPECT_EQ(v2[64 + k], y[8 + j][i]);
      EXPECT_EQ(hv2[64 + k], y[j][8 + i]);
      EXPECT_EQ(hv2[128 + k], y[8 + j][i]);
      EXPECT_EQ(hv2[192 + k], y[8 + j][8 + i]);
      // Chroma: pairs and quadruples summed left to right, top to bottom.
      EXPECT_EQ(h2[128 + k], (cb[j][2 * i] + cb[j][2 * i + 1]) * 0.5f);
      EXPECT_EQ(h2[192 + k], (cr[j][2 * i] + cr[j][2 * i + 1]) * 0.5f);
      EXPECT_EQ(v2[128 + k], (cb[2 * j][i] + cb[2 * j + 1][i]) * 0.5f);
      EXPECT_EQ(v2[192 + k], (cr[2 * j][i] + cr[2 * j + 1][i]) * 0.5f);
      EXPECT_EQ(hv2[256 + k], (cb[2 * j][2 * i] + cb[2 * j][2 * i + 1] + cb[2 * j + 1][2 * i] +
                               cb[2 * j + 1][2 * i + 1]) *
                                  0.25f);
      EXPECT_EQ(hv2[320 + k], (cr[2 * j][2 * i] + cr[2 * j][2 * i + 1] + cr[2 * j + 1][2 * i] +
                               cr[2 * j + 1][2 * i + 1]) *
                                  0.25f);
    }
  }
}

// A state for transformImage alone: 4:2:0 with every quantizer 1.
struct State420 {
  EncodeState state;
  DivisorTable divisor = divisorFor(1);
  State420(int32_t width, int32_t height) {
    state.width = width;
    state.height = height;
    for (int slot = 1; slot <= 3; ++slot) {
      state.components[slot] = std::make_unique<EncodeComponent>();
      state.components[slot]->divisor = &divisor;
    }
    state.components[1]->h = state.components[1]->v = 2;
    planSampling(state);
  }
};

TEST(ForwardTransformImage, PartialMcusRepeatTheLastColumnAndRow) {
  for (auto [width, height] : {std::pair{17, 9}, std::pair{40, 20}}) {
    SCOPED_TRACE(width);
    auto image = makeImage(width, height, [](uint32_t x, uint32_t y) {
      return Rgba{static_cast<uint16_t>(x * 3000), static_cast<uint16_t>(y * 5000),
                  static_cast<uint16_t>((x * y * 977) % 65536), 65535};
    });
    State420 s(width, height);
    ASSERT_EQ(s.state.mcusPerRow * s.state.mcuRows, s.state.mcuCount);
    std::vector<int16_t> actual(s.state.mcuCount * 6 * 64);
    transformImage(s.state, image, actual.data(), {});

    // The reference: the image extended to whole MCUs by repeating its last column and row.
    const uint32_t paddedWidth = s.state.mcusPerRow * 16, paddedHeight = s.state.mcuRows * 16;
    auto padded = makeImage(paddedWidth, paddedHeight, [&](uint32_t x, uint32_t y) {
      const uint16_t* p =
          test::pixelAt(image, std::min<uint32_t>(x, width - 1), std::min<uint32_t>(y, height - 1));
      return Rgba{p[0], p[1], p[2], p[3]};
    });
    std::vector<int16_t> expected;
    for (uint32_t my = 0; my < s.state.mcuRows; ++my) {
      for (uint32_t mx = 0; mx < s.state.mcusPerRow; ++mx) {
        float blocks[6 * 64];
        convertMcu(kSampling420, blocks, test::pixelAt(padded, mx * 16, my * 16), paddedWidth, {});
        for (int b = 0; b < 6; ++b) {
          int16_t out[64];
          forwardDct(blocks + b * 64, s.divisor);
          roundBlock(blocks + b * 64, out);
          expected.insert(expected.end(), out, out + 64);
        }
      }
    }
    EXPECT_EQ(actual, expected);
  }
  // The 17 x 9 case makes 2 x 1 MCUs.
  State420 s(17, 9);
  EXPECT_EQ(s.state.mcusPerRow, 2u);
  EXPECT_EQ(s.state.mcuRows, 1u);
}

// The DCT of the formulas, one plain step at a time, as the reference for the optimised routine.
void referenceDct(float* d, int s, const float* m) {
  float t0 = d[0] + d[7 * s], t7 = d[0] - d[7 * s], t1 = d[s] + d[6 * s], t6 = d[s] - d[6 * s];
  float t2 = d[2 * s] + d[5 * s], t5 = d[2 * s] - d[5 * s], t3 = d[3 * s] + d[4 * s],
        t4 = d[3 * s] - d[4 * s];
  float t10 = t0 + t3, t13 = t0 - t3, t11 = t1 + t2, t12 = t1 - t2;
  float out[8];
  out[0] = t10 + t11;
  out[4] = t10 - t11;
  float z1 = (t12 + t13) * 0.70710677f;
  out[2] = t13 + z1;
  out[6] = t13 - z1;
  float p10 = t4 + t5, p11 = t5 + t6, p12 = t6 + t7;
  float z5 = (p10 - p12) * 0.38268343f;
  float z2 = 0.5411961f * p10 + z5;
  float z4 = 1.306563f * p12 + z5;
  float z3 = p11 * 0.70710677f;
  float z11 = t7 + z3, z13 = t7 - z3;
  out[5] = z13 + z2;
  out[3] = z13 - z2;
  out[1] = z11 + z4;
  out[7] = z11 - z4;
  for (int k = 0; k < 8; ++k) d[k * s] = m ? out[k] * m[k * s] : out[k];
}

TEST(ForwardTransformDct, MatchesTheFormulasBitForBit) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> sample(-128.0f, 127.0f);
  DivisorTable divisor;
  for (int k = 0; k < 64; ++k) divisor.values[k] = kDctScale[k] / float(1 + (k * 7) % 50);
  for (int trial = 0; trial < 200; ++trial) {
    float block[64], reference[64];
    for (int k = 0; k < 64; ++k) block[k] = reference[k] = sample(random);
    forwardDct(block, divisor);
    for (int r = 0; r < 8; ++r) referenceDct(reference + r * 8, 1, nullptr);
    for (int c = 0; c < 8; ++c) referenceDct(reference + c, 8, divisor.values + c);
    for (int k = 0; k < 64; ++k) ASSERT_EQ(block[k], reference[k]) << trial << " " << k;
  }
}

TEST(ForwardTransformDct, UnitQuantizerGivesTheOrthonormalDct) {
  std::mt19937 random(11);
  std::uniform_int_distribution<int> sample(-128, 127);
  const DivisorTable divisor = divisorFor(1);
  int compared = 0;
  for (int trial = 0; trial < 50; ++trial) {
    float block[64];
    int pixels[64];
    for (int k = 0; k < 64; ++k) block[k] = static_cast<float>(pixels[k] = sample(random));
    forwardDct(block, divisor);
    int16_t rounded[64];
    roundBlock(block, rounded);
    for (int k = 0; k < 64; ++k) {
      const int u = test::kNaturalOfZigzag[k] % 8, v = test::kNaturalOfZigzag[k] / 8;
      double exact = 0;
      for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
          exact += pixels[y * 8 + x] * std::cos((2 * x + 1) * u * M_PI / 16) *
                   std::cos((2 * y + 1) * v * M_PI / 16);
        }
      }
      exact *= 0.25 * (u == 0 ? M_SQRT1_2 : 1.0) * (v == 0 ? M_SQRT1_2 : 1.0);
      // Values this close to a rounding boundary depend on float error, not on the formula.
      if (std::fabs(std::fabs(exact - std::trunc(exact)) - 0.5) < 1e-3) continue;
      const double expected = exact >= 0 ? std::trunc(exact + 0.5) : std::trunc(exact - 0.5);
      ASSERT_EQ(rounded[k], expected) << trial << " " << k;
      ++compared;
    }
  }
  EXPECT_GT(compared, 3000);
}

TEST(ForwardTransformDct, ScaleAndDivisorTables) {
  // The documented first row and main diagonal.
  const float row[8] = {0.125f, 0.09012f,   0.0956709f, 0.1063038f,
                        0.125f, 0.1590948f, 0.2309699f, 0.4530637f};
  const float diagonal[8] = {0.125f, 0.0649729f, 0.0732233f, 0.0904039f,
                             0.125f, 0.2024893f, 0.4267767f, 1.642134f};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(kDctScale[i], row[i]);
    EXPECT_EQ(kDctScale[i * 8], row[i]);
    EXPECT_EQ(kDctScale[i * 9], diagonal[i]);
  }
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      auto s = [](int k) { return k == 0 ? 1.0 : M_SQRT2 * std::cos(k * M_PI / 16); };
      EXPECT_NEAR(kDctScale[r * 8 + c], 1 / (8 * s(r) * s(c)), 1.5e-7) << r << " " << c;
      EXPECT_EQ(kDctScale[r * 8 + c], kDctScale[c * 8 + r]);
    }
  }
  QuantizationTable quant;
  for (int k = 0; k < 64; ++k) quant.values[k] = float(k + 1);
  DivisorTable divisor;
  buildDivisorTable(quant, divisor);
  EXPECT_EQ(divisor.size, 8u);
  for (int k = 0; k < 64; ++k) EXPECT_EQ(divisor.values[k], kDctScale[k] / float(k + 1));
}

TEST(ForwardTransformRounding, HalfAwayFromZeroWithinSymmetricLimits) {
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    float value;
    int16_t expected;
  } cases[] = {
      {0.0f, 0},           {0.49f, 0},
      {0.5f, 1},           {2.5f, 3},
      {-0.49f, 0},         {-0.5f, -1},
      {-2.5f, -3},         {-1.49f, -1},
      {32766.4f, 32766},   {32766.5f, 32767},
      {40000.0f, 32767},   {-32766.5f, -32767},
      {-40000.0f, -32767}, {inf, 32767},
      {-inf, -32767},      {std::numeric_limits<float>::quiet_NaN(), -32767},
  };
  for (const auto& c : cases) {
    float block[64] = {};
    block[8] = c.value;  // natural index 8 is zig-zag position 2
    int16_t out[64];
    roundBlock(block, out);
    EXPECT_EQ(out[2], c.expected) << c.value;
    EXPECT_EQ(out[1], 0);
  }
  // The float sum v + 0.5 is what is truncated: 0.49999997 + 0.5 rounds up to 1 in single
  // precision.
  float block[64] = {};
  block[0] = 0.49999997f;
  int16_t out[64];
  roundBlock(block, out);
  EXPECT_EQ(out[0], 1);
}

}  // namespace
}  // namespace tessel
