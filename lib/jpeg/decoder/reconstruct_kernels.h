#pragma once

// The arithmetic that the reconstruction kernels of every vector width share. Each kernel file
// includes it under its own instruction set, so everything here has internal linkage: no
// function built for one instruction set can stand in for another's.

#include <cstddef>
#include <cstdint>

#include "jpeg/decoder/reconstruct.h"

namespace tessel {
namespace {

// The AAN butterfly on eight inputs, in exactly this order of operations. T is float, or a
// vector of floats whose lanes are independent blocks' columns or rows: every lane then goes
// through the same operations as the scalar form.
template <typename T>
inline void butterfly(const T* x, T* out) {
  const T k1 = T{} + 1.4142135f;
  const T k2 = T{} + 1.847759f;
  const T k3 = T{} + 2.613126f;
  const T k4 = T{} + 1.0823922f;

  const T t10 = x[0] + x[4];
  const T t11 = x[0] - x[4];
  const T t13 = x[2] + x[6];
  const T t12 = (x[2] - x[6]) * k1 - t13;
  const T e0 = t10 + t13;
  const T e3 = t10 - t13;
  const T e1 = t11 + t12;
  const T e2 = t11 - t12;

  const T z13 = x[5] + x[3];
  const T z10 = x[5] - x[3];
  const T z11 = x[1] + x[7];
  const T z12 = x[1] - x[7];
  const T o7 = z11 + z13;
  const T z5 = (z10 + z12) * k2;
  const T o6 = z5 - z10 * k3 - o7;
  const T o5 = (z11 - z13) * k1 - o6;
  const T o4 = z12 * k4 - z5 + o5;

  out[0] = e0 + o7;
  out[1] = e1 + o6;
  out[2] = e2 + o5;
  out[3] = e3 - o4;
  out[4] = e3 + o4;
  out[5] = e2 - o5;
  out[6] = e1 - o6;
  out[7] = e0 - o7;
}

// Colour conversion constants, applied in 32-bit floats (16-bit output, 8-bit input scale).
constexpr float kLumaScale = 257.0f;
constexpr float kCrToR = 362.2283f;
constexpr float kCbToG = 87.57424f;
constexpr float kCrToG = 183.4464f;
constexpr float kCbToB = 457.3386f;
constexpr float kOffset = 32896.5f;  // 128 x 257 level shift plus 0.5 for rounding

// The colour converters' MCU layouts, for the kernels K of one vector width: K::Chroma8 holds the
// chroma terms of eight pixels, K::chromaFull(cb, cr) makes them from eight chroma samples and
// K::chromaDoubled(cb, cr) from four that each serve two pixels, K::colourPixels8(luma, chroma,
// out) writes eight pixels and K::grey converts a grey MCU.
template <typename K>
struct McuConverters {
  static void luma1x1(const float* blocks, uint16_t* out, size_t stride) {
    const float* cb = blocks + 64;
    const float* cr = blocks + 128;
    for (int r = 0; r < 8; ++r) {
      K::colourPixels8(blocks + 8 * r, K::chromaFull(cb + 8 * r, cr + 8 * r), out + 4 * stride * r);
    }
  }

  static void luma2x1(const float* blocks, uint16_t* out, size_t stride) {
    const float* cb = blocks + 128;
    const float* cr = blocks + 192;
    for (int r = 0; r < 8; ++r) {
      uint16_t* row = out + 4 * stride * r;
      K::colourPixels8(blocks + 8 * r, K::chromaDoubled(cb + 8 * r, cr + 8 * r), row);
      K::colourPixels8(blocks + 64 + 8 * r, K::chromaDoubled(cb + 8 * r + 4, cr + 8 * r + 4),
                       row + 32);
    }
  }

  static void luma1x2(const float* blocks, uint16_t* out, size_t stride) {
    const float* cb = blocks + 128;
    const float* cr = blocks + 192;
    for (int c = 0; c < 8; ++c) {  // each chroma row serves two pixel rows
      const typename K::Chroma8 chroma = K::chromaFull(cb + 8 * c, cr + 8 * c);
      for (int r = 2 * c; r < 2 * c + 2; ++r) {
        K::colourPixels8(blocks + 64 * (r >> 3) + 8 * (r & 7), chroma, out + 4 * stride * r);
      }
    }
  }

  static void luma2x2(const float* blocks, uint16_t* out, size_t stride) {
    const float* cb = blocks + 256;
    const float* cr = blocks + 320;
    for (int c = 0; c < 8; ++c) {  // each chroma row serves two pixel rows
      const typename K::Chroma8 left = K::chromaDoubled(cb + 8 * c, cr + 8 * c);
      const typename K::Chroma8 right = K::chromaDoubled(cb + 8 * c + 4, cr + 8 * c + 4);
      for (int r = 2 * c; r < 2 * c + 2; ++r) {
        const float* y = blocks + 128 * (r >> 3) + 8 * (r & 7);
        uint16_t* row = out + 4 * stride * r;
        K::colourPixels8(y, left, row);
        K::colourPixels8(y + 64, right, row + 32);
      }
    }
  }

  static McuConverter forMode(SamplingMode mode) {
    switch (mode) {
      case SamplingMode::kLuma1x1:
        return luma1x1;
      case SamplingMode::kLuma2x1:
        return luma2x1;
      case SamplingMode::kLuma1x2:
        return luma1x2;
      case SamplingMode::kLuma2x2:
        return luma2x2;
      case SamplingMode::kGrey:
        break;
    }
    return K::grey;
  }
};

}  // namespace
}  // namespace tessel
