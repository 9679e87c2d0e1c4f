#include "jpeg/encoder/forward_transform.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "core/pixel_image.h"
#include "jpeg/encoder/encode_state.h"
#include "jpeg/encoder/encoder.h"
#include "platform/parallel.h"

// Every float expression below is evaluated exactly as written, in single precision and without
// contraction into fused multiply-adds (the build uses -ffp-contract=off): the coefficients must
// come out bit for bit the same on every compiler and machine.

namespace tessel {

// The entries are the single-precision values of 1 / (8 s(r) s(c)) written to seven decimal
// places; each literal becomes the float nearest to it.
const float kDctScale[64] = {
    0.1250000f, 0.0901200f, 0.0956709f, 0.1063038f, 0.1250000f, 0.1590948f, 0.2309699f, 0.4530637f,
    0.0901200f, 0.0649729f, 0.0689748f, 0.0766407f, 0.0901200f, 0.1147010f, 0.1665200f, 0.3266408f,
    0.0956709f, 0.0689748f, 0.0732233f, 0.0813614f, 0.0956709f, 0.1217659f, 0.1767767f, 0.3467600f,
    0.1063038f, 0.0766407f, 0.0813614f, 0.0904039f, 0.1063038f, 0.1352990f, 0.1964237f, 0.3852990f,
    0.1250000f, 0.0901200f, 0.0956709f, 0.1063038f, 0.1250000f, 0.1590948f, 0.2309699f, 0.4530637f,
    0.1590948f, 0.1147010f, 0.1217659f, 0.1352990f, 0.1590948f, 0.2024893f, 0.2939689f, 0.5766407f,
    0.2309699f, 0.1665200f, 0.1767767f, 0.1964237f, 0.2309699f, 0.2939689f, 0.4267767f, 0.8371526f,
    0.4530637f, 0.3266408f, 0.3467600f, 0.3852990f, 0.4530637f, 0.5766407f, 0.8371526f, 1.6421340f,
};

void buildDivisorTable(const QuantizationTable& quant, DivisorTable& divisor) {
  for (int k = 0; k < 64; ++k) divisor.values[k] = kDctScale[k] / float(quant.values[k]);
}

namespace {

// Colour weights: each is the float nearest to the fraction (a correctly rounded float division of
// two exactly representable integers).
constexpr float kYR = 76.0f / 65535.0f;
constexpr float kYG = 150.0f / 65535.0f;
constexpr float kYB = 29.0f / 65535.0f;
constexpr float kCbR = -43.0f / 65535.0f;
constexpr float kCbG = -84.0f / 65535.0f;
constexpr float kCbB = 127.0f / 65535.0f;
constexpr float kCrR = 127.0f / 65535.0f;
constexpr float kCrG = -107.0f / 65535.0f;
constexpr float kCrB = -20.0f / 65535.0f;
constexpr float kGrey = 255.0f / 65535.0f;

// A value that is not >= -128 (NaN included) becomes -128, one above 127 becomes 127.
inline float clampSample(float v) {
  if (!(v >= -128.0f)) return -128.0f;
  if (v > 127.0f) return 127.0f;
  return v;
}

// (background x (65535 - A) + c x A) / 65535 in unsigned 32 bits; the sum never exceeds
// 65535 x 65535. It gives c itself for A = 65535 and the background for A = 0, so one formula
// serves all three cases of the compositing rule.
inline uint32_t composite(uint32_t c, uint32_t a, uint32_t background) {
  return (background * (65535 - a) + c * a) / 65535;
}

// Converts one row of `count` pixels to Y, Cb, Cr. Opaque rows take a branch-free path that the
// compiler vectorizes; both paths compute the same values.
template <bool kOpaque>
inline void convertRow(const uint16_t* px, int count, const Background& bg, float* y, float* cb,
                       float* cr) {
  for (int x = 0; x < count; ++x) {
    uint32_t r = px[4 * x], g = px[4 * x + 1], b = px[4 * x + 2];
    if constexpr (!kOpaque) {
      const uint32_t a = px[4 * x + 3];
      r = composite(r, a, bg.r);
      g = composite(g, a, bg.g);
      b = composite(b, a, bg.b);
    }
    const float fr = static_cast<float>(r), fg = static_cast<float>(g), fb = static_cast<float>(b);
    y[x] = clampSample(fr * kYR + fg * kYG + fb * kYB - 128.0f);
    cb[x] = clampSample(fr * kCbR + fg * kCbG + fb * kCbB);
    cr[x] = clampSample(fr * kCrR + fg * kCrG + fb * kCrB);
  }
}

inline bool rowIsOpaque(const uint16_t* px, int count) {
  uint32_t all = 0xFFFF;
  for (int x = 0; x < count; ++x) all &= px[4 * x + 3];
  return all == 0xFFFF;
}

// Colour MCU of kH x kV luma blocks: the luma blocks in row order, then Cb and Cr averaged over
// kH x kV pixels.
template <int kH, int kV>
void convertColourMcu(float* blocks, const uint16_t* pixels, uint32_t stride,
                      const Background& background) {
  constexpr int kWidth = 8 * kH;
  constexpr int kHeight = 8 * kV;
  float yRow[kWidth];
  float cb[kHeight][kWidth];
  float cr[kHeight][kWidth];
  for (int row = 0; row < kHeight; ++row) {
    const uint16_t* px = pixels + static_cast<size_t>(row) * stride * 4;
    if (rowIsOpaque(px, kWidth)) {
      convertRow<true>(px, kWidth, background, yRow, cb[row], cr[row]);
    } else {
      convertRow<false>(px, kWidth, background, yRow, cb[row], cr[row]);
    }
    for (int bx = 0; bx < kH; ++bx) {
      float* out = blocks + ((row / 8) * kH + bx) * 64 + (row % 8) * 8;
      for (int x = 0; x < 8; ++x) out[x] = yRow[bx * 8 + x];
    }
  }
  float* outCb = blocks + kH * kV * 64;
  float* outCr = outCb + 64;
  for (int j = 0; j < 8; ++j) {
    for (int i = 0; i < 8; ++i) {
      if constexpr (kH == 1 && kV == 1) {
        outCb[j * 8 + i] = cb[j][i];
        outCr[j * 8 + i] = cr[j][i];
      } else if constexpr (kH == 2 && kV == 1) {
        outCb[j * 8 + i] = (cb[j][2 * i] + cb[j][2 * i + 1]) * 0.5f;
        outCr[j * 8 + i] = (cr[j][2 * i] + cr[j][2 * i + 1]) * 0.5f;
      } else if constexpr (kH == 1 && kV == 2) {
        outCb[j * 8 + i] = (cb[2 * j][i] + cb[2 * j + 1][i]) * 0.5f;
        outCr[j * 8 + i] = (cr[2 * j][i] + cr[2 * j + 1][i]) * 0.5f;
      } else {
        outCb[j * 8 + i] = (cb[2 * j][2 * i] + cb[2 * j][2 * i + 1] + cb[2 * j + 1][2 * i] +
                            cb[2 * j + 1][2 * i + 1]) *
                           0.25f;
        outCr[j * 8 + i] = (cr[2 * j][2 * i] + cr[2 * j][2 * i + 1] + cr[2 * j + 1][2 * i] +
                            cr[2 * j + 1][2 * i + 1]) *
                           0.25f;
      }
    }
  }
}

// Grey MCU: the plain average of the three channels, composited over the background's average.
void convertGreyMcu(float* block, const uint16_t* pixels, uint32_t stride,
                    const Background& background) {
  const uint32_t backgroundGrey =
      (uint32_t{background.r} + uint32_t{background.g} + uint32_t{background.b}) / 3;
  for (int row = 0; row < 8; ++row) {
    const uint16_t* px = pixels + static_cast<size_t>(row) * stride * 4;
    for (int x = 0; x < 8; ++x) {
      const uint32_t g0 = (uint32_t{px[4 * x]} + px[4 * x + 1] + px[4 * x + 2]) / 3;
      const uint32_t g = composite(g0, px[4 * x + 3], backgroundGrey);
      block[row * 8 + x] = clampSample(static_cast<float>(g) * kGrey - 128.0f);
    }
  }
}

// The 8-point AAN forward DCT on d[0], d[s], ..., d[7s]; each output k is multiplied by m[k * s]
// when `m` is given (the column pass), so that out(k) lands at its natural position.
inline void dct8(float* d, int s, const float* m) {
  const float t0 = d[0] + d[7 * s], t7 = d[0] - d[7 * s];
  const float t1 = d[s] + d[6 * s], t6 = d[s] - d[6 * s];
  const float t2 = d[2 * s] + d[5 * s], t5 = d[2 * s] - d[5 * s];
  const float t3 = d[3 * s] + d[4 * s], t4 = d[3 * s] - d[4 * s];

  const float t10 = t0 + t3, t13 = t0 - t3, t11 = t1 + t2, t12 = t1 - t2;
  const float out0 = t10 + t11, out4 = t10 - t11;
  const float z1 = (t12 + t13) * 0.70710677f;
  const float out2 = t13 + z1, out6 = t13 - z1;

  const float p10 = t4 + t5, p11 = t5 + t6, p12 = t6 + t7;
  const float z5 = (p10 - p12) * 0.38268343f;
  const float z2 = 0.5411961f * p10 + z5;
  const float z4 = 1.306563f * p12 + z5;
  const float z3 = p11 * 0.70710677f;
  const float z11 = t7 + z3, z13 = t7 - z3;
  const float out5 = z13 + z2, out3 = z13 - z2, out1 = z11 + z4, out7 = z11 - z4;

  if (m) {
    d[0] = out0 * m[0];
    d[s] = out1 * m[s];
    d[2 * s] = out2 * m[2 * s];
    d[3 * s] = out3 * m[3 * s];
    d[4 * s] = out4 * m[4 * s];
    d[5 * s] = out5 * m[5 * s];
    d[6 * s] = out6 * m[6 * s];
    d[7 * s] = out7 * m[7 * s];
  } else {
    d[0] = out0;
    d[s] = out1;
    d[2 * s] = out2;
    d[3 * s] = out3;
    d[4 * s] = out4;
    d[5 * s] = out5;
    d[6 * s] = out6;
    d[7 * s] = out7;
  }
}

}  // namespace

void convertMcu(SamplingMode mode, float* blocks, const uint16_t* pixels, uint32_t stride,
                const Background& background) {
  switch (mode) {
    case SamplingMode::kLuma1x1:
      convertColourMcu<1, 1>(blocks, pixels, stride, background);
      break;
    case SamplingMode::kLuma2x1:
      convertColourMcu<2, 1>(blocks, pixels, stride, background);
      break;
    case SamplingMode::kLuma1x2:
      convertColourMcu<1, 2>(blocks, pixels, stride, background);
      break;
    case SamplingMode::kLuma2x2:
      convertColourMcu<2, 2>(blocks, pixels, stride, background);
      break;
    case SamplingMode::kGrey:
      convertGreyMcu(blocks, pixels, stride, background);
      break;
  }
}

void forwardDct(float* block, const DivisorTable& divisor) {
  for (int row = 0; row < 8; ++row) dct8(block + row * 8, 1, nullptr);
  for (int column = 0; column < 8; ++column) dct8(block + column, 8, divisor.values + column);
}

void roundBlock(const float* block, int16_t* zigzagOut) {
  // Four values at a time, each exactly as the scalar rule: v >= 0 gives trunc(v + 0.5) limited
  // to 32767; anything else (NaN included) gives trunc(v - 0.5) limited to -32767. The limits
  // are applied to the float before it is truncated, which gives the same result and keeps the
  // conversion in range.
  using Floats = float __attribute__((vector_size(16)));
  using Ints = int32_t __attribute__((vector_size(16)));
  alignas(16) int32_t rounded[64];
  for (int i = 0; i < 64; i += 4) {
    Floats v;
    std::memcpy(&v, block + i, sizeof v);
    const Ints nonNegative = v >= 0.0f;
    const Floats up = v + 0.5f;
    const Floats down = v - 0.5f;
    Floats t = reinterpret_cast<Floats>((reinterpret_cast<Ints>(up) & nonNegative) |
                                        (reinterpret_cast<Ints>(down) & ~nonNegative));
    const Ints high = t >= 32767.0f;
    const Ints inRange = t > -32767.0f;
    const Floats upper = {32767.0f, 32767.0f, 32767.0f, 32767.0f};
    const Floats lower = {-32767.0f, -32767.0f, -32767.0f, -32767.0f};
    t = reinterpret_cast<Floats>((reinterpret_cast<Ints>(upper) & high) |
                                 (reinterpret_cast<Ints>(t) & ~high));
    t = reinterpret_cast<Floats>((reinterpret_cast<Ints>(t) & inRange) |
                                 (reinterpret_cast<Ints>(lower) & ~inRange));
    const Ints r = __builtin_convertvector(t, Ints);
    std::memcpy(rounded + i, &r, sizeof r);
  }
  for (int k = 0; k < 64; ++k) zigzagOut[k] = static_cast<int16_t>(rounded[kZigzagToNatural[k]]);
}

void transformImage(const EncodeState& state, const PixelImage& image, int16_t* coefficients,
                    const Background& background) {
  // The divisor table of each block of an MCU, in buffer order: component slots in identifier
  // order, each with its h x v blocks.
  std::vector<const DivisorTable*> blockDivisor;
  for (uint32_t slot = 0; slot < 4; ++slot) {
    if (!state.components[slot]) continue;
    for (uint32_t b = 0; b < state.components[slot]->h * state.components[slot]->v; ++b) {
      blockDivisor.push_back(state.coding[slot].divisor);
    }
  }
  const uint32_t blocksPerMcu = state.blocksPerMcu;
  const uint32_t width = static_cast<uint32_t>(state.width);
  const uint32_t height = static_cast<uint32_t>(state.height);

  // MCU rows are independent of each other: threads take a row at a time, each writing the row's
  // place in the buffer.
  platform::parallelFor(state.mcuRows, [&](size_t mcuRow) {
    float blocks[6 * 64];
    // Partial MCUs at the right and bottom edges are staged here, 32 pixels to a row, with the
    // last real column and row repeated.
    uint16_t staging[16 * 32 * 4];
    int16_t* out = coefficients + mcuRow * state.mcusPerRow * blocksPerMcu * 64;
    const uint32_t top = uint32_t(mcuRow) * state.mcuHeight;
    for (uint32_t mcuColumn = 0; mcuColumn < state.mcusPerRow; ++mcuColumn) {
      const uint32_t left = mcuColumn * state.mcuWidth;
      if (left + state.mcuWidth <= width && top + state.mcuHeight <= height) {
        convertMcu(state.samplingMode, blocks,
                   image.pixels.get() + (static_cast<size_t>(top) * width + left) * 4, width,
                   background);
      } else {
        for (uint32_t r = 0; r < state.mcuHeight; ++r) {
          const size_t sourceRow = top + std::min(r, height - top - 1);
          for (uint32_t c = 0; c < state.mcuWidth; ++c) {
            const size_t sourceColumn = left + std::min(c, width - left - 1);
            const uint16_t* from = image.pixels.get() + (sourceRow * width + sourceColumn) * 4;
            std::copy(from, from + 4, staging + (r * 32 + c) * 4);
          }
        }
        convertMcu(state.samplingMode, blocks, staging, 32, background);
      }
      for (uint32_t b = 0; b < blocksPerMcu; ++b) {
        forwardDct(blocks + b * 64, *blockDivisor[b]);
        roundBlock(blocks + b * 64, out);
        out += 64;
      }
    }
  });
}

}  // namespace tessel
