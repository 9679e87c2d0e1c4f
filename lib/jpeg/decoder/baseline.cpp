// The baseline pass: one interleaved scan, decoded and reconstructed one MCU at a time.

#include <cstring>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "jpeg/decoder/decoder_state.h"
#include "jpeg/decoder/huffman_decode.h"
#include "jpeg/decoder/reconstruct.h"
#include "jpeg/messages.h"
#include "platform/memory.h"

namespace tessel {

namespace {

struct alignas(16) CoefficientBlock {
  int16_t c[64];
};
struct alignas(16) FloatBlock {
  float f[64];
};

// Binds a Huffman table index of the current scan: 0..3 naming a present table.
const HuffmanLookup* bindHuffman(const std::array<std::unique_ptr<HuffmanLookup>, 4>& tables,
                                 int32_t index) {
  if (index < 0 || index > 3 || !tables[index]) fail(msg::kMissingHuffmanTable);
  return tables[index].get();
}

// One block of one component. A run that would carry the position past 63 (only corrupt data
// does) ends the block after its value bits have been read, so nothing is written outside it.
inline void decodeBaselineBlock(BitReader& reader, const HuffmanLookup& dc, const HuffmanLookup& ac,
                                int32_t& predictor, int16_t* block) {
  constexpr uint32_t kShift = 64 - HuffmanLookup::kFastBits;
  std::memset(block, 0, 64 * sizeof(int16_t));

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
    if (reader.count < 32) refill(reader);
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

}  // namespace

void decodeBaseline(DecoderState& state, PixelImage& image, const uint8_t* data, uint32_t length) {
  image.setPixels(state.width, state.height, platform::allocatePixels(state.width, state.height));
  scaleQuantTables(state);
  for (auto& component : state.components) {
    if (!component) continue;
    bindQuantTable(state, *component);
    component->dc = bindHuffman(state.dcTables, component->dcIndex);
    component->ac = bindHuffman(state.acTables, component->acIndex);
  }

  const McuLayout layout = mcuLayoutOf(slotLayout(state));
  const McuConverter convert = converterFor(state.samplingMode);
  // One MCU at a time: decoded, transformed and converted while it is in the first-level cache.
  CoefficientBlock coefficients[6];
  FloatBlock floats[6];
  const ComponentInfo* components[6];
  for (uint32_t b = 0; b < layout.blocks; ++b) {
    components[b] = state.components[layout.slot[b]].get();
  }

  BitReader reader;
  reader.position = data;
  reader.end = data + length;
  int32_t predictors[4] = {0, 0, 0, 0};
  const uint32_t interval = state.restartInterval != 0 ? state.restartInterval : 2147483647u;
  uint32_t counter = interval;
  uint32_t restartIndex = 0;
  uint32_t mcusLeft = state.mcuCount;

  for (uint32_t row = 0; row < state.mcuRows; ++row) {
    const uint32_t y = row * state.mcuHeight;
    for (uint32_t mcu = 0; mcu < state.mcusPerRow; ++mcu) {
      BitReader local = reader;  // kept in registers while the MCU is decoded
      for (uint32_t b = 0; b < layout.blocks; ++b) {
        decodeBaselineBlock(local, *components[b]->dc, *components[b]->ac,
                            predictors[layout.slot[b]], coefficients[b].c);
      }
      reader = local;
      // No restart marker follows the last interval, so there is nothing to look for after the
      // last MCU.
      if (--mcusLeft != 0 && --counter == 0) {
        resynchronise(reader, restartIndex);
        predictors[0] = predictors[1] = predictors[2] = predictors[3] = 0;
        ++restartIndex;
        counter = interval;
      }
      for (uint32_t b = 0; b < layout.blocks; ++b) {
        inverseDct(coefficients[b].c, floats[b].f, components[b]->dequantize);
      }
      placeMcu(state, image, convert, mcu * state.mcuWidth, y, floats[0].f);
    }
  }
}

}  // namespace tessel
