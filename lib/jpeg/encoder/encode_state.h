#pragma once

// Everything one encoding needs: the metadata source's frame, tables and scan layout, the code
// tables being built, and the entropy-coded result. One EncodeState lives for one merge (or one
// thumbnail) and is released with everything it owns, also when the encoding throws.

#include <cstdint>
#include <memory>
#include <vector>

#include "jpeg/encoder/huffman_encode.h"
#include "jpeg/jpeg_format.h"
#include "jpeg/segment_headers.h"

namespace tessel {

// The multipliers that the forward transform applies: divisor(k) = scale(k) / q(k), natural order.
struct DivisorTable {
  float values[64] = {};
};

// One component slot: the slot of the component's identifier (ComponentSlots).
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

// The MCU geometry is set by planSampling.
struct EncodeState : FrameGeometry {
  std::unique_ptr<EncodeComponent> components[4];
  ComponentSlots slots;  // of the frame header
  QuantizationTables quantTables;
  Redefinition redefinition = Redefinition::kRefused;  // of a quantization table number
  std::unique_ptr<DivisorTable> divisorTables[4];
  std::unique_ptr<HuffmanCodeTable> dcTables[4];
  std::unique_ptr<HuffmanCodeTable> acTables[4];
  int32_t width = 0;              // the SOF's X
  int32_t height = 0;             // the SOF's Y
  std::vector<uint8_t> scanData;  // the entropy-coded bytes, stuffed, without markers
};

// The present component slots and their sampling factors.
SlotLayout slotLayout(const EncodeState& state);

}  // namespace tessel
