#pragma once

// Reconstruction: folding the inverse-DCT scale factors into the quantization tables, the float
// inverse DCT of each 8x8 block, and the colour conversion that writes each MCU straight into
// the image as 16-bit RGBA, clipped at the right and bottom edges.

#include <array>
#include <cstddef>
#include <cstdint>

#include "jpeg/jpeg_format.h"

namespace tessel {

struct DecoderState;
class PixelImage;

// Entry (r, c) = a(r) a(c) / 8 with a(0) = 1, a(k) = sqrt(2) cos(k pi / 16), as the decimal values
// the decoder multiplies by.
extern const std::array<float, 64> kIdctScale;

// Dequantizes and inverse-transforms one block of 64 coefficients in natural order into 64
// floats in row-major order, centred on 0 (neither rounded nor clamped). `dequantize` holds 64
// multipliers (a quantization table times kIdctScale), 16-byte aligned. The Arai-Agui-Nakajima
// float form, columns first, in 32-bit floats.
void inverseDct(const int16_t* coefficients, float* out, const float* dequantize);

// Colour converters, one per sampling layout. Each takes the float blocks of one MCU (64 floats
// each, in MCU block order: luma blocks in row-major order, then Cb, then Cr), writes the MCU's
// pixels at `out` as R, G, B, A with `stride` pixels from one row to the next. The layouts:
// 1x1 is 8x8 pixels from Y Cb Cr; 2x1 16x8 from Y0 Y1 Cb Cr; 1x2 8x16 from Y0 Y1 Cb Cr; 2x2
// 16x16 from Y0-Y3 Cb Cr; grey 8x8 from Y.
using McuConverter = void (*)(const float* blocks, uint16_t* out, size_t stride);

// The converter of a sampling mode.
McuConverter converterFor(SamplingMode mode);

// The kernels behind inverseDct and converterFor, by vector width: `narrow` uses 128-bit vectors
// (plain floats where the build has none), `wide` 256-bit AVX2 vectors and is built for x86-64
// only. Both give the same bits; inverseDct and converterFor take `wide` when the processor has
// AVX2.
namespace narrow {
void inverseDct(const int16_t* coefficients, float* out, const float* dequantize);
McuConverter converterFor(SamplingMode mode);
}  // namespace narrow
#if defined(__x86_64__) && defined(__GNUC__)
#define TESSEL_WIDE_KERNELS 1
namespace wide {
void inverseDct(const int16_t* coefficients, float* out, const float* dequantize);
McuConverter converterFor(SamplingMode mode);
}  // namespace wide
#endif

// Converts one MCU (`blocks`: blocksPerMcu float blocks) whose top-left pixel is (x, y) and
// stores it in the image: in place when it lies wholly inside, otherwise through a scratch MCU
// from which only the pixels inside the image are copied.
void placeMcu(const DecoderState& state, PixelImage& image, McuConverter convert, uint32_t x,
              uint32_t y, const float* blocks);

}  // namespace tessel
