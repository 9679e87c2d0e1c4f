#pragma once

// The decoder's per-decode state: what the marker segments up to the first scan (and, in a
// progressive file, the segments between scans) configure, and what the decoding passes read.

#include <array>
#include <cstdint>
#include <memory>

#include "jpeg/decoder/huffman_decode.h"
#include "jpeg/jpeg_format.h"
#include "jpeg/segment_headers.h"

namespace tessel {

class MappedFile;
class PixelImage;

// One image component, in the slot that the frame and scan headers give it (ComponentSlots).
struct ComponentInfo {
  uint32_t h = 1;  // horizontal sampling factor
  uint32_t v = 1;  // vertical sampling factor
  uint32_t quantIndex = 0;
  // Huffman table indices from the current scan header; -1 when the component is not in it.
  int32_t dcIndex = 0;
  int32_t acIndex = 0;
  bool inScan = false;
  // Bound by the decoding pass; not owned.
  const float* dequantize = nullptr;  // 64 multipliers, natural order (see scaleQuantTables)
  const HuffmanLookup* dc = nullptr;
  const HuffmanLookup* ac = nullptr;
};

// Everything one decode needs, created fresh for each decode and released with it (also when the
// decode throws). The MCU geometry is set by deriveSampling.
struct DecoderState : FrameGeometry {
  std::array<std::unique_ptr<ComponentInfo>, 4> components;
  QuantizationTables quantTables;
  Redefinition redefinition = Redefinition::kRefused;  // of a quantization table number
  const MappedFile* input = nullptr;  // the mapped file holding the data, if any
  // Each table's values times the inverse-DCT scale factors, made once per decode.
  alignas(16) std::array<std::array<float, 64>, 4> dequantize{};
  // Shared: a progressive decode keeps the tables of every scan while later DHT segments replace
  // them here.
  std::array<std::shared_ptr<const HuffmanLookup>, 4> dcTables;
  std::array<std::shared_ptr<const HuffmanLookup>, 4> acTables;

  ComponentSlots slots;          // of the last frame header
  uint8_t frameMarker = 0xFF;    // the SOF marker code; 0xFF before any SOF
  uint32_t precision = 8;        // SOF sample precision, 8 or 16
  uint32_t width = 0;            // SOF samples per line
  uint32_t height = 0;           // SOF lines; 0 before any SOF (or when a DNL would define it)
  uint32_t restartInterval = 0;  // MCUs per restart interval; 0 = no restarts

  // The current scan header.
  uint32_t ss = 0, se = 0;  // spectral selection
  uint32_t ah = 0, al = 0;  // successive approximation, high and low bit
  uint32_t scanComponentCount = 0;
};

// The present component slots and their sampling factors.
SlotLayout slotLayout(const DecoderState& state);

// Checks the component layout and sets the MCU geometry. Throws the "Unsupported sampling ("
// message, listing every present slot, for any other layout.
void deriveSampling(DecoderState& state);

// The two decoding passes. `data` and `length` are the entropy-coded data after the first scan
// header, up to the EOI marker. Both fill the image's pixels.
void decodeBaseline(DecoderState& state, PixelImage& image, const uint8_t* data, uint32_t length);
void decodeProgressive(DecoderState& state, PixelImage& image, const uint8_t* data,
                       uint32_t length);

// Makes the dequantizing multipliers of every present table (once per decode).
void scaleQuantTables(DecoderState& state);
// Binds a component's quantization table: its Tq must name a present table 0..3, otherwise
// "Missing quantization table index".
void bindQuantTable(DecoderState& state, ComponentInfo& component);

}  // namespace tessel
