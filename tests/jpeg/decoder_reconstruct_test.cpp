// Reconstruction: the scale table, the inverse DCT against the formulas written out plainly, the
// colour converters against the per-pixel formula, and the placement of edge MCUs.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "core/pixel_image.h"
#include "jpeg/decoder/decoder_state.h"
#include "jpeg/decoder/reconstruct.h"
#include "jpeg/decoder_test_support.h"

namespace tessel {
namespace {

// Bit-for-bit float equality (both zeros count as equal: a zero's sign never reaches a sample).
void expectSameFloats(const float* a, const float* b, int n, const char* what) {
  for (int i = 0; i < n; ++i) {
    ASSERT_TRUE(a[i] == b[i]) << what << " index " << i << ": " << a[i] << " vs " << b[i];
  }
}

QuantTable scaledTable(const std::function<float(int)>& value) {
  QuantTable table;
  for (int i = 0; i < 64; ++i) table.values[i] = value(i);
  scaleQuantTable(table);
  return table;
}

TEST(ReconstructTest, ScaleTableHoldsTheFactors) {
  const double pi = std::acos(-1.0);
  const auto a = [&](int k) { return k == 0 ? 1.0 : std::sqrt(2.0) * std::cos(k * pi / 16); };
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      EXPECT_NEAR(kIdctScale[8 * r + c], a(r) * a(c) / 8, 6e-7) << r << "," << c;
    }
  }
}

TEST(ReconstructTest, InverseDctMatchesTheFormulasBitForBit) {
  std::mt19937 random(11);
  const QuantTable table = scaledTable([&](int) { return float(1 + random() % 255); });
  std::vector<std::array<int16_t, 64>> blocks;
  std::array<int16_t, 64> block{};
  block[0] = -1024;
  block[8] = 7;
  blocks.push_back(block);  // first column only
  block.fill(32767);
  blocks.push_back(block);  // the largest values
  block.fill(-32768);
  blocks.push_back(block);
  for (int n = 0; n < 2000; ++n) {
    block.fill(0);
    const int nonzero = random() % 65;
    for (int i = 0; i < nonzero; ++i) {
      block[random() % 64] = static_cast<int16_t>(int(random() % 4001) - 2000);
    }
    blocks.push_back(block);
  }
  for (const auto& b : blocks) {
    float expected[64], actual[64];
    test::reference::inverseDct(b.data(), table.values.data(), expected);
    inverseDct(b.data(), actual, table);
    expectSameFloats(expected, actual, 64, "inverse DCT");
  }
}

// One pixel by the formula, for comparison with the converters.
void formulaPixel(float luma, float cb, float cr, uint16_t* out) {
  const float y = luma * 257.0f;
  out[0] = test::reference::clampSample((cr * 362.2283f + y) + 32896.5f);
  out[1] = test::reference::clampSample(((y - cb * 87.57424f) - cr * 183.4464f) + 32896.5f);
  out[2] = test::reference::clampSample((cb * 457.3386f + y) + 32896.5f);
  out[3] = 65535;
}

struct Layout {
  uint32_t mode;
  int lumaCols, lumaRows;  // luma blocks across and down; chroma follows when there is any
};
constexpr Layout kLayouts[] = {{kSampling1x1, 1, 1},
                               {kSampling1x2, 2, 1},
                               {kSampling2x1, 1, 2},
                               {kSampling2x2, 2, 2},
                               {kSamplingGray, 1, 1}};

TEST(ReconstructTest, ConvertersMatchTheFormulaForEveryLayout) {
  std::mt19937 random(3);
  std::uniform_real_distribution<float> value(-200.0f, 200.0f);  // with over- and undershoots
  // Values far out of range, as corrupt coefficients give: the conversion to an integer must
  // neither overflow nor wrap.
  const float extremes[] = {1e30f,   -1e30f,   2147483648.0f, -2147483648.0f, 8.4e6f,
                            -8.4e6f, -255.1f,  -255.0f,       127.5f,         127.49f,
                            -128.0f, -128.01f, -0.0f};
  for (int round = 0; round < 2; ++round)
    for (const Layout& layout : kLayouts) {
      SCOPED_TRACE(layout.mode);
      const bool grey = layout.mode == kSamplingGray;
      const int lumaBlocks = layout.lumaCols * layout.lumaRows;
      const int blocks = lumaBlocks + (grey ? 0 : 2);
      std::vector<float> floats(64 * blocks);
      for (float& f : floats)
        f = round == 0 ? value(random) : extremes[random() % std::size(extremes)];
      const int width = 8 * layout.lumaCols, height = 8 * layout.lumaRows;
      const size_t stride = 40;  // wider than the MCU: rows must land at the stride
      std::vector<uint16_t> out(stride * height * 4, 0x1234);
      converterFor(layout.mode)(floats.data(), out.data(), stride);
      for (int r = 0; r < height; ++r) {
        for (int c = 0; c < static_cast<int>(stride); ++c) {
          const uint16_t* actual = &out[(r * stride + c) * 4];
          if (c >= width) {  // outside the MCU nothing is written
            ASSERT_EQ(actual[0], 0x1234);
            continue;
          }
          const int block = (r / 8) * layout.lumaCols + c / 8;
          const float luma = floats[64 * block + 8 * (r % 8) + c % 8];
          uint16_t expected[4];
          if (grey) {
            expected[0] = expected[1] = expected[2] =
                test::reference::clampSample(luma * 257.0f + 32896.5f);
            expected[3] = 65535;
          } else {
            const int chroma = 8 * (r / layout.lumaRows) + c / layout.lumaCols;
            formulaPixel(luma, floats[64 * lumaBlocks + chroma],
                         floats[64 * (lumaBlocks + 1) + chroma], expected);
          }
          for (int k = 0; k < 4; ++k)
            ASSERT_EQ(actual[k], expected[k]) << r << "," << c << "," << k;
        }
      }
    }
}

// An image whose block has guard samples after the pixels, to see that nothing outside the image
// is written (the comparison below checks that every pixel is).
struct GuardedImage {
  static constexpr uint16_t kUnwritten = 0x0BAD;
  static constexpr size_t kGuard = 4096;
  PixelImage image;
  size_t samples;
  GuardedImage(uint32_t width, uint32_t height) : samples(size_t{width} * height * 4) {
    PixelBuffer block(new uint16_t[samples + kGuard]);
    std::fill(block.get(), block.get() + samples + kGuard, kUnwritten);
    image.setPixels(width, height, std::move(block));
  }
  bool guardIntact() const {
    const uint16_t* guard = image.pixels.get() + samples;
    return std::all_of(guard, guard + kGuard, [](uint16_t v) { return v == kUnwritten; });
  }
};

DecoderState geometry(uint32_t mode, uint32_t width, uint32_t height) {
  DecoderState state;
  state.samplingMode = mode;
  state.width = width;
  state.height = height;
  const bool wide = mode == kSampling1x2 || mode == kSampling2x2;
  const bool tall = mode == kSampling2x1 || mode == kSampling2x2;
  state.mcuWidth = wide ? 16 : 8;
  state.mcuHeight = tall ? 16 : 8;
  state.blocksPerMcu = mode == kSamplingGray  ? 1
                       : mode == kSampling1x1 ? 3
                       : mode == kSampling2x2 ? 6
                                              : 4;
  state.mcusPerRow = (width + state.mcuWidth - 1) / state.mcuWidth;
  state.mcuRows = (height + state.mcuHeight - 1) / state.mcuHeight;
  state.blocksPerMcuRow = state.blocksPerMcu * state.mcusPerRow;
  return state;
}

TEST(ReconstructTest, EdgeMcusWriteOnlyThePixelsInsideTheImage) {
  std::mt19937 random(5);
  for (const Layout& layout : kLayouts) {
    for (const auto& size : {std::pair{1u, 1u}, std::pair{33u, 31u}}) {
      SCOPED_TRACE(testing::Message() << layout.mode << " " << size.first << "x" << size.second);
      const DecoderState state = geometry(layout.mode, size.first, size.second);
      std::vector<float> floats(size_t{state.blocksPerMcuRow} * 64);
      GuardedImage guarded(size.first, size.second);
      for (uint32_t row = 0; row < state.mcuRows; ++row) {
        for (float& f : floats) f = float(int(random() % 256) - 128);
        placeMcuRow(state, guarded.image, row * state.mcuHeight, floats.data());
        // The row's pixels must be what a full-size conversion of each MCU gives.
        for (uint32_t i = 0; i < state.mcusPerRow; ++i) {
          std::vector<uint16_t> mcu(16 * 16 * 4);
          converterFor(layout.mode)(floats.data() + size_t{i} * state.blocksPerMcu * 64, mcu.data(),
                                    16);
          for (uint32_t r = 0; r < state.mcuHeight && row * state.mcuHeight + r < size.second;
               ++r) {
            for (uint32_t c = 0; c < state.mcuWidth && i * state.mcuWidth + c < size.first; ++c) {
              const size_t at =
                  4 * ((size_t{row} * state.mcuHeight + r) * size.first + i * state.mcuWidth + c);
              ASSERT_EQ(std::memcmp(guarded.image.pixels.get() + at, &mcu[4 * (16 * r + c)], 8), 0);
            }
          }
        }
      }
      EXPECT_TRUE(guarded.guardIntact());
    }
  }
}

}  // namespace
}  // namespace tessel
