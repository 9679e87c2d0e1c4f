#pragma once

// Nikon lossless raw coding and colour-filter interpolation, one strip at a time. The raw reader
// (raw_tiff_reader.cpp) drives these; tests call them directly on known samples.
//
// Every fault throws RawLayerException with the bare message (the reader adds the file name).

#include <cstddef>
#include <cstdint>

namespace tessel {

// How a colour is obtained at one of the four positions of a 2 x 2 colour-filter block.
enum CfaMethod : uint8_t {
  kCfaOwn = 0,         // the site's own sample
  kCfaVertical = 1,    // from the neighbours above and below
  kCfaHorizontal = 2,  // from the neighbours left and right
  kCfaDirect = 3,      // from the four direct neighbours
  kCfaDiagonal = 4,    // from the four diagonal neighbours
};

// The method of each colour at each CFA position index (column & 1) + 2 x (row & 1).
struct CfaTables {
  const uint8_t* red;
  const uint8_t* green;
  const uint8_t* blue;
};

// The tables for a CFAPattern value (4 bytes, row-major over the 2 x 2 block, 0 red, 1 green,
// 2 blue), or null for a pattern other than RGGB, BGGR, GRBG and GBRG.
const CfaTables* cfaTablesFor(const uint8_t* pattern);

// The decoder parameters stored in the maker note (tag 150).
struct NikonParameters {
  uint16_t seeds[2][2];  // predictor seeds v[row parity][column]
};

// Reads the parameters from the `size` bytes at `bytes`: version 0x46, a second version byte,
// four 16-bit big-endian seeds and two more bytes that must be present.
NikonParameters readNikonParameters(const uint8_t* bytes, size_t size);

// Decodes `rows` x `width` samples of one strip. `data` and `size` reach from the strip's start to
// the end of the file: the coded data must end exactly there. 14 bits per sample selects the
// 14-bit code table, every other depth the 12-bit one. Returns the largest sample.
uint16_t decodeNikonStrip(const uint8_t* data, size_t size, uint32_t bitsPerSample,
                          const NikonParameters& parameters, uint32_t width, uint32_t rows,
                          uint16_t* samples);

// The left shift that scales a strip whose largest sample is `maxSample` to 16 bits: the largest
// k with maxSample << k below 65536, and 0 for an empty (all-zero) strip.
unsigned cfaShift(uint32_t maxSample);

// Interpolates a decoded strip into RGBA pixels (alpha 65535). The strip's first and last rows
// and the image's first and last columns are edges. `firstRow` is the image row of the strip's
// first row, which fixes the CFA position of every row. Where an edge has no neighbour on either
// side (a strip of one row, an image one column wide) the nearest existing sample is used.
//
// `samples` may lie in the last quarter of the strip's own RGBA block (rgba + 3 x width x rows):
// each row's pixels are then written only over samples no later row needs, so a decoder can put
// a strip there instead of into a buffer of its own.
void interpolateStrip(const uint16_t* samples, uint32_t width, uint32_t rows, uint32_t firstRow,
                      const CfaTables& tables, unsigned shift, uint16_t* rgba);

}  // namespace tessel
