#pragma once

// Everything one encoding needs: the metadata source's frame, tables and scan layout, the code
// tables being built, and the entropy-coded result. One EncodeState lives for one merge (or one
// thumbnail) and is released with everything it owns, also when the encoding throws.

#include <cstdint>
#include <memory>
#include <vector>

#include "jpeg/encoder/huffman_encode.h"

namespace tessel {

// A quantization table as the DQT segment gives it: precision 8 or 16, values in natural order.
struct QuantizationTable {
  uint32_t precision = 8;
  float values[64] = {};
};

// The multipliers that the forward transform applies: divisor(k) = scale(k) / q(k), natural order.
struct DivisorTable {
  uint32_t size = 8;
  float values[64] = {};
};

// One component slot, indexed by its JPEG component identifier.
struct EncodeComponent {
  uint32_t h = 1;  // sampling factors from the SOF
  uint32_t v = 1;
  uint32_t quantIndex = 0;  // Tq from the SOF
  int32_t dcIndex = 0;      // Td from the SOS; -1 when the SOS does not name the component
  uint32_t acIndex = 0;     // Ta from the SOS
  const DivisorTable* divisor = nullptr;  // borrowed from EncodeState::divisorTables
  HuffmanCodeTable* dcTable = nullptr;    // borrowed from EncodeState::dcTables
  HuffmanCodeTable* acTable = nullptr;    // borrowed from EncodeState::acTables
};

// Sampling modes: which blocks make up one MCU.
enum SamplingMode : uint32_t {
  kSampling444 = 1,   // Y 1x1: Y, Cb, Cr
  kSampling422 = 2,   // Y 2x1: Y left, Y right, Cb, Cr
  kSampling440 = 3,   // Y 1x2: Y top, Y bottom, Cb, Cr
  kSampling420 = 4,   // Y 2x2: four Y quadrants, Cb, Cr
  kSamplingGrey = 5,  // one component: Y
};

struct EncodeState {
  std::unique_ptr<EncodeComponent> components[4];
  std::unique_ptr<QuantizationTable> quantTables[4];
  std::unique_ptr<DivisorTable> divisorTables[4];
  std::unique_ptr<HuffmanCodeTable> dcTables[4];
  std::unique_ptr<HuffmanCodeTable> acTables[4];
  int32_t width = 0;              // the SOF's X
  int32_t height = 0;             // the SOF's Y
  std::vector<uint8_t> scanData;  // the entropy-coded bytes, stuffed, without markers
  uint32_t scanLength = 0;
  uint32_t samplingMode = 0;
  uint32_t mcuWidth = 0;  // in pixels
  uint32_t mcuHeight = 0;
  uint32_t blocksPerMcu = 0;
  uint32_t mcusPerRow = 0;
  uint32_t mcuRows = 0;
  uint32_t mcuCount = 0;
};

}  // namespace tessel
