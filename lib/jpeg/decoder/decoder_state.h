#pragma once

// The decoder's per-decode state: what the marker segments up to the first scan (and, in a
// progressive file, the segments between scans) configure, and what the decoding passes read.

#include <array>
#include <cstdint>
#include <memory>

#include "jpeg/decoder/huffman_decode.h"

namespace tessel {

class PixelImage;

// One quantization table, already moved out of zig-zag order into natural (row-major) order.
// A decoding pass multiplies the values in place by the inverse-DCT scale factors
// (scaleQuantTable), so a table serves exactly one decode.
struct QuantTable {
  uint32_t precision = 8;  // 8 or 16: the size of the values in the DQT segment
  alignas(16) std::array<float, 64> values{};
};

// One image component, in the slot that the frame and scan headers give it (see slotFor).
struct ComponentInfo {
  uint32_t h = 1;  // horizontal sampling factor
  uint32_t v = 1;  // vertical sampling factor
  uint32_t quantIndex = 0;
  // Huffman table indices from the current scan header; -1 when the component is not in it.
  int32_t dcIndex = 0;
  int32_t acIndex = 0;
  bool inScan = false;
  // Bound by the decoding pass; not owned.
  QuantTable* quant = nullptr;
  const HuffmanLookup* dc = nullptr;
  const HuffmanLookup* ac = nullptr;
};

// The sampling layouts the decoder handles. The numbers are stable: they index the description
// names ("1x1", "1x2", "2x1", "2x2", "gray").
enum SamplingMode : uint32_t {
  kSampling1x1 = 1,   // Y, Cb, Cr all 1x1: MCU 8x8, 3 blocks
  kSampling1x2 = 2,   // Y 2x1: MCU 16 wide x 8 high, 4 blocks
  kSampling2x1 = 3,   // Y 1x2: MCU 8 wide x 16 high, 4 blocks
  kSampling2x2 = 4,   // Y 2x2: MCU 16x16, 6 blocks
  kSamplingGray = 5,  // one component: MCU 8x8, 1 block
};

// Everything one decode needs, created fresh for each decode and released with it (also when the
// decode throws). Component slots, quantization tables and Huffman tables are owned here.
struct DecoderState {
  std::array<std::unique_ptr<ComponentInfo>, 4> components;
  std::array<std::unique_ptr<QuantTable>, 4> quantTables;
  std::array<std::unique_ptr<HuffmanLookup>, 4> dcTables;
  std::array<std::unique_ptr<HuffmanLookup>, 4> acTables;

  uint8_t frameMarker = 0xFF;    // the SOF marker code; 0xFF before any SOF
  uint32_t precision = 8;        // SOF sample precision, 8 or 16
  uint32_t width = 0;            // SOF samples per line
  uint32_t height = 0;           // SOF lines; 0 before any SOF (or when a DNL would define it)
  uint32_t restartInterval = 0;  // MCUs per restart interval; 0 = no restarts

  // The current scan header.
  uint32_t ss = 0, se = 0;  // spectral selection
  uint32_t ah = 0, al = 0;  // successive approximation, high and low bit
  uint32_t scanComponentCount = 0;

  // Derived by deriveSampling.
  uint32_t samplingMode = 0;
  uint32_t mcuWidth = 0, mcuHeight = 0;  // 8 or 16 pixels
  uint32_t blocksPerMcu = 0;             // 1, 3, 4 or 6
  uint32_t mcusPerRow = 0, mcuRows = 0;
  uint32_t mcuCount = 0;
  uint32_t blocksPerMcuRow = 0;
};

// Checks the component layout and sets samplingMode and the MCU geometry. Throws the
// "Unsupported sampling (" message, listing every present slot, for any other layout.
void deriveSampling(DecoderState& state);

// The process name for a SOF marker code ("Baseline", "Progressive", ...; "???" for none) and
// the sampling name for a sampling mode, as stored in the coding description.
const char* processName(uint8_t frameMarker);
const char* samplingName(uint32_t samplingMode);

// The two decoding passes. `data` and `length` are the entropy-coded data after the first scan
// header, up to the EOI marker. Both fill the image's pixels.
void decodeBaseline(DecoderState& state, PixelImage& image, const uint8_t* data, uint32_t length);
void decodeProgressive(DecoderState& state, PixelImage& image, const uint8_t* data,
                       uint32_t length);

// Scales every present quantization table for the inverse DCT (once per decode).
void scaleQuantTables(DecoderState& state);
// Binds a component's quantization table: its Tq must name a present table 0..3, otherwise
// "Missing quantization table index".
void bindQuantTable(DecoderState& state, ComponentInfo& component);

// Which component slot each block of an MCU belongs to: the present components in slot order,
// each with h x v blocks in row-major order.
struct McuLayout {
  uint32_t blocks = 0;
  std::array<uint8_t, 6> slot{};    // per block of the MCU
  std::array<uint8_t, 4> offset{};  // first block of each slot within the MCU
  std::array<bool, 4> present{};    // the slot has blocks in the MCU
};
McuLayout mcuLayout(const DecoderState& state);

}  // namespace tessel
