#pragma once

// Everything one encoding needs: the metadata source's frame, tables and scan layout, the code
// tables being built, and the entropy-coded result. One EncodeState lives for one merge (or one
// thumbnail) and is released with everything it owns, also when the encoding throws.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "jpeg/encoder/huffman_encode.h"
#include "jpeg/frame_plan.h"
#include "jpeg/jpeg_format.h"
#include "jpeg/segment_headers.h"

namespace tessel {

// The multipliers that the forward transform applies: divisor(k) = scale(k) / q(k), natural order.
struct DivisorTable {
  float values[64] = {};
};

// The tables that encoding binds to one component slot: its divisors and its Huffman code
// tables, found by the table numbers of the frame plan.
struct ComponentCoding {
  const DivisorTable* divisor = nullptr;  // borrowed from EncodeState::divisorTables
  HuffmanCodeTable* dcTable = nullptr;    // borrowed from EncodeState::dcTables
  HuffmanCodeTable* acTable = nullptr;    // borrowed from EncodeState::acTables
  uint32_t dcIndex = 0;                   // the table numbers
  uint32_t acIndex = 0;
};

// The frame plan is set by planMerge.
struct EncodeState : FramePlan {
  std::array<ComponentCoding, 4> coding;  // by slot
  QuantizationTables quantTables;
  Redefinition redefinition = Redefinition::kRefused;  // of a quantization table number
  std::unique_ptr<DivisorTable> divisorTables[4];
  std::unique_ptr<HuffmanCodeTable> dcTables[4];
  std::unique_ptr<HuffmanCodeTable> acTables[4];
  std::vector<uint8_t> scanData;  // the entropy-coded bytes, stuffed, without markers
};

}  // namespace tessel
