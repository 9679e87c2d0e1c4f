#pragma once

// The baseline pass's pieces that the decode in one sequence and the decode from guessed starts
// share: one block's entropy decoding, and an MCU's decoding and reconstruction, inline so that
// each loop keeps its bit reader in registers.

#include <cstddef>
#include <cstdint>

#include "core/pixel_image.h"
#include "jpeg/decoder/decoder_state.h"
#include "jpeg/decoder/huffman_decode.h"
#include "jpeg/decoder/reconstruct.h"
#include "jpeg/messages.h"

namespace tessel {

struct alignas(16) CoefficientBlock {
  int16_t c[64];
};
struct alignas(16) FloatBlock {
  float f[64];
};

// One block of one component, into a block of zeros (reconstruction zeroes each block again
// after use, on its own thread). A run that would carry the position past 63 (only corrupt
// data does) ends the block after its value bits have been read, so nothing is written outside it.
inline void decodeBaselineBlock(BitReader& reader, const HuffmanLookup& dc, const HuffmanLookup& ac,
                                int32_t& predictor, int16_t* block) {
  constexpr uint32_t kShift = 64 - HuffmanLookup::kFastBits;

  // The DC difference: a short code and its value bits in one table access when they are
  // buffered (a category of 16 or more has a run nibble and takes the general path).
  if (reader.count < 32) refill(reader);
  int32_t diff = 0;
  uint32_t fast = dc.fastAc[reader.bits >> kShift];
  if (fast != 0 && (fast & 0xFF) <= reader.count && (fast & 0xF00) == 0) {
    reader.bits <<= fast & 0xFF;
    reader.count -= fast & 0xFF;
    diff = (fast & HuffmanLookup::kEndFlag) ? 0 : static_cast<int16_t>(fast >> 16);
  } else {
    const uint32_t size = decodeSymbol(reader, dc);
    if (size != 0) {
      if (size > 16) fail(msg::kCorruptImageData);  // no DC difference has more than 16 bits
      diff = extend(receiveBits(reader, size), size);
    }
  }
  // The predictor wraps like the 32-bit register it is; only its low 16 bits are stored.
  predictor = static_cast<int32_t>(static_cast<uint32_t>(predictor) + static_cast<uint32_t>(diff));
  block[0] = static_cast<int16_t>(predictor);

  uint32_t k = 1;
  while (k < 64) {
    // A short code and its value bits: one table access does both when they are buffered. A run
    // of sixteen zeros stores a zero at its last position, which changes nothing.
    if (reader.count < HuffmanLookup::kFastBits) refill(reader);
    fast = ac.fastAc[reader.bits >> kShift];
    const uint32_t total = fast & 0xFF;
    if (fast != 0 && total <= reader.count) {
      reader.bits <<= total;
      reader.count -= total;
      if (fast & HuffmanLookup::kEndFlag) break;
      k += (fast >> 8) & 15;
      if (k > 63) break;
      block[kZigzagToNatural[k]] = static_cast<int16_t>(fast >> 16);
      ++k;
      continue;
    }
    const uint32_t symbol = decodeSymbol(reader, ac);
    const uint32_t bitsize = symbol & 15;
    const uint32_t run = symbol >> 4;
    if (bitsize != 0) {
      k += run;
      const int32_t value = extend(receiveBits(reader, bitsize), bitsize);
      if (k > 63) break;
      block[kZigzagToNatural[k]] = static_cast<int16_t>(value);
      ++k;
    } else if (run == 15) {
      k += 16;  // sixteen zeros
    } else {
      break;  // end of block
    }
  }
}

// What reconstructing an MCU needs: its blocks' components, the converter and the image.
struct Reconstruction {
  const DecoderState& state;
  PixelImage& image;
  McuLayout layout;
  McuConverter convert;
  const ComponentTables* tables[6];  // of each block's component

  Reconstruction(const DecoderState& state, PixelImage& image)
      : state(state),
        image(image),
        layout(mcuLayoutOf(state.layout())),
        convert(converterFor(state.samplingMode)) {
    for (uint32_t b = 0; b < layout.blocks; ++b) tables[b] = &state.bound[layout.slot[b]];
  }

  // Decodes one MCU's blocks from `reader` into `blocks`.
  void decodeMcu(BitReader& reader, int32_t* predictors, CoefficientBlock* blocks) const {
    decodeBlocks(reader, predictors, blocks, 0);
  }
  // Decodes the MCU's blocks from number `from` on into blocks[from...].
  void decodeBlocks(BitReader& reader, int32_t* predictors, CoefficientBlock* blocks,
                    uint32_t from) const {
    BitReader local = reader;  // kept in registers while the MCU is decoded
    for (uint32_t b = from; b < layout.blocks; ++b) {
      decodeBaselineBlock(local, *tables[b]->dc, *tables[b]->ac, predictors[layout.slot[b]],
                          blocks[b].c);
    }
    reader = local;
  }

  // Transforms MCU number `mcu` and stores its pixels; leaves its blocks zero for the next.
  void reconstructMcu(uint32_t mcu, CoefficientBlock* blocks) const {
    FloatBlock floats[6];
    for (uint32_t b = 0; b < layout.blocks; ++b) {
      inverseDct(blocks[b].c, floats[b].f, tables[b]->dequantize);
      blocks[b] = CoefficientBlock{};
    }
    placeMcu(state, image, convert, (mcu % state.mcusPerRow) * state.mcuWidth,
             (mcu / state.mcusPerRow) * state.mcuHeight, floats[0].f);
  }
};

// The data read is handed back to the system this many bytes at a time as decoding goes on, so
// that a large file does not stay in memory beside the image.
inline constexpr ptrdiff_t kReleaseStep = ptrdiff_t{1} << 20;

// Where a sequential decode stands: the next MCU to decode, with the reader and the DC
// predictors it starts from.
struct SequencePosition {
  BitReader reader;
  int32_t predictors[4] = {0, 0, 0, 0};
  uint32_t mcu = 0;
};

// Decodes and reconstructs a leading part of the sequence of entropy-coded data [data, data +
// length) on every thread, from guessed starts that are checked against the bits the decode from
// the start reads; returns with `at` at the first MCU that it left undone (at its start when the
// data is too short to share out).
void decodeFromGuessedStarts(const Reconstruction& r, const uint8_t* data, uint32_t length,
                             SequencePosition& at);

}  // namespace tessel
