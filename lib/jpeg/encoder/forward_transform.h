#pragma once

// From pixels to quantized coefficients: compositing over the background colour, conversion to
// level-shifted Y, Cb, Cr (or grey) in single precision, chroma averaging by sampling mode, edge
// replication of partial MCUs, the floating-point AAN forward DCT with the quantizer folded into
// its output scaling, and rounding to 16-bit integers.

#include <cstdint>

#include "jpeg/jpeg_format.h"
#include "jpeg/segment_headers.h"

namespace tessel {

class PixelImage;
struct Background;
struct DivisorTable;
struct EncodeState;

// 1 / (8 s(r) s(c)) in natural order, s(0) = 1 and s(k) = sqrt(2) cos(k pi / 16), seven decimals.
extern const float kDctScale[64];

// divisor(k) = scale(k) / q(k).
void buildDivisorTable(const QuantizationTable& quant, DivisorTable& divisor);

// One MCU from pixels to float blocks (Y blocks, then Cb, then Cr, each 64 values in natural
// order). `pixels` is the MCU's top-left pixel, `stride` the distance between rows in pixels.
void convertMcu(SamplingMode mode, float* blocks, const uint16_t* pixels, uint32_t stride,
                const Background& background);

// Transforms one block in place: the AAN DCT on the rows, then on the columns, each column output
// multiplied by the divisor at its natural position.
void forwardDct(float* block, const DivisorTable& divisor);

// Rounds one block half away from zero, limited to -32767..32767 (NaN gives -32767), and stores
// it in zig-zag order for the entropy coder.
void roundBlock(const float* block, int16_t* zigzagOut);

// The whole image, MCU by MCU: converts (replicating the last column and row into partial MCUs),
// transforms each block with its component's divisor table and rounds it into `coefficients`
// (blocksPerMcu x mcuCount blocks of 64 values, in scan order). The image must be exactly the
// frame size.
void transformImage(const EncodeState& state, const PixelImage& image, int16_t* coefficients,
                    const Background& background);

}  // namespace tessel
