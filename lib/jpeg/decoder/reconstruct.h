#pragma once

// Reconstruction: folding the inverse-DCT scale factors into the quantization tables, the float
// inverse DCT of each 8x8 block, and the colour conversion that writes each MCU straight into
// the image as 16-bit RGBA, clipped at the right and bottom edges.

#include <array>
#include <cstddef>
#include <cstdint>

namespace tessel {

struct DecoderState;
struct QuantTable;
class PixelImage;

// Entry (r, c) = a(r) a(c) / 8 with a(0) = 1, a(k) = sqrt(2) cos(k pi / 16), as the decimal values
// the decoder multiplies by.
extern const std::array<float, 64> kIdctScale;

// Multiplies each of the 64 values in place by the scale factor at the same natural position.
void scaleQuantTable(QuantTable& table);

// Dequantizes and inverse-transforms one block of 64 coefficients in natural order into 64
// floats in row-major order, centred on 0 (neither rounded nor clamped). The table must have been
// scaled. The Arai-Agui-Nakajima float form, columns first, in 32-bit floats.
void inverseDct(const int16_t* coefficients, float* out, const QuantTable& table);

// Colour converters, one per sampling layout. Each takes the float blocks of one MCU (64 floats
// each, in MCU block order: luma blocks in row-major order, then Cb, then Cr), writes the MCU's
// pixels at `out` as R, G, B, A with `stride` pixels from one row to the next.
using McuConverter = void (*)(const float* blocks, uint16_t* out, size_t stride);
void convertMcu1x1(const float* blocks, uint16_t* out, size_t stride);   // 8x8, Y Cb Cr
void convertMcu1x2(const float* blocks, uint16_t* out, size_t stride);   // 16x8, Y0 Y1 Cb Cr
void convertMcu2x1(const float* blocks, uint16_t* out, size_t stride);   // 8x16, Y0 Y1 Cb Cr
void convertMcu2x2(const float* blocks, uint16_t* out, size_t stride);   // 16x16, Y0-Y3 Cb Cr
void convertMcuGray(const float* blocks, uint16_t* out, size_t stride);  // 8x8, Y

// The converter of a sampling mode (1..5).
McuConverter converterFor(uint32_t samplingMode);

// Converts one MCU (`blocks`: blocksPerMcu float blocks) whose top-left pixel is (x, y) and
// stores it in the image: in place when it lies wholly inside, otherwise through a scratch MCU
// from which only the pixels inside the image are copied.
void placeMcu(const DecoderState& state, PixelImage& image, McuConverter convert, uint32_t x,
              uint32_t y, const float* blocks);

// Converts every MCU of one MCU row (`blocks`: blocksPerMcuRow float blocks) and stores it at
// pixel rows y.. of the image. MCUs wholly inside the image are converted in place; those on the
// right or bottom edge go through a scratch MCU and only their pixels inside the image are
// copied, so every pixel is written exactly once.
void placeMcuRow(const DecoderState& state, PixelImage& image, uint32_t y, const float* blocks);

}  // namespace tessel
