#pragma once

// The decoder's per-decode state: what the marker segments up to the first scan (and, in a
// progressive file, the segments between scans) configure, and what the decoding passes read.

#include <array>
#include <cstdint>
#include <memory>

#include "jpeg/decoder/huffman_decode.h"
#include "jpeg/frame_plan.h"
#include "jpeg/jpeg_format.h"
#include "jpeg/segment_headers.h"

namespace tessel {

class MappedFile;
class PixelImage;

// The tables a decoding pass binds to one component slot; not owned.
struct ComponentTables {
  const float* dequantize = nullptr;  // 64 multipliers, natural order (see scaleQuantTables)
  const HuffmanLookup* dc = nullptr;
  const HuffmanLookup* ac = nullptr;
};

// What the segments from one scan to the next set: the Huffman tables, the restart interval and
// the scan header's own fields (with the components' table links in the frame plan). A
// progressive decode that reads ahead saves and restores it whole.
struct ScanSettings {
  // Shared: a progressive decode keeps the tables of every scan while later DHT segments replace
  // them here.
  std::array<std::shared_ptr<const HuffmanLookup>, 4> dcTables;
  std::array<std::shared_ptr<const HuffmanLookup>, 4> acTables;
  uint32_t restartInterval = 0;  // MCUs per restart interval; 0 = no restarts
  uint32_t ss = 0, se = 0;       // spectral selection
  uint32_t ah = 0, al = 0;       // successive approximation, high and low bit
  uint32_t componentCount = 0;   // in the scan (Ns)
};

// Everything one decode needs, created fresh for each decode and released with it (also when the
// decode throws). The frame plan (components by slot, MCU geometry) is set by the frame and scan
// headers and by deriveSampling.
struct DecoderState : FramePlan {
  std::array<ComponentTables, 4> bound;  // by slot
  QuantizationTables quantTables;
  Redefinition redefinition = Redefinition::kRefused;  // of a quantization table number
  const MappedFile* input = nullptr;                   // the mapped file holding the data, if any
  bool keepPixels = true;  // false: each MCU's pixels are computed and dropped
  // Each table's values times the inverse-DCT scale factors, made once per decode.
  alignas(16) std::array<std::array<float, 64>, 4> dequantize{};
  uint8_t frameMarker = 0xFF;  // the SOF marker code; 0xFF before any SOF
  uint32_t precision = 8;      // SOF sample precision, 8 or 16
  ScanSettings scan;
};

// Checks the component layout and sets the MCU geometry. Throws the "Unsupported sampling ("
// message, listing every present slot, for any other layout.
void deriveSampling(DecoderState& state);

// The two decoding passes. `data` and `length` are the entropy-coded data after the first scan
// header, up to the EOI marker. Both fill the image's pixels, or, without `keepPixels`, compute
// them and drop them, leaving the image without a pixel block.
void decodeBaseline(DecoderState& state, PixelImage& image, const uint8_t* data, uint32_t length);
void decodeProgressive(DecoderState& state, PixelImage& image, const uint8_t* data,
                       uint32_t length);

// Makes the dequantizing multipliers of every present table (once per decode).
void scaleQuantTables(DecoderState& state);
// Binds the quantization table of the component in `slot`: its Tq must name a present table 0..3,
// otherwise "Missing quantization table index".
void bindQuantTable(DecoderState& state, uint32_t slot);

}  // namespace tessel
