#include "core/byte_order.h"
#include "jpeg/markers/sof_marker.h"

#include "core/text.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/markers/marker_common.h"

namespace tessel {

const char* SOFMarker::processName(uint8_t code) {
  static constexpr const char* kNames[16] = {
      "Baseline DCT Huffman",
      "Extended sequential DCT Huffman",
      "Progressive DCT Huffman",
      "Lossless (sequential) Huffman",
      "???",
      "Differential sequential DCT Huffman",
      "Differential progressive DCT Huffman",
      "Differential lossless (sequential) Huffman",
      "???",
      "Extended sequential DCT arithmetic",
      "Progressive DCT arithmetic",
      "Lossless (sequential) arithmetic",
      "???",
      "Differential sequential DCT arithmetic",
      "Differential progressive DCT arithmetic",
      "Differential lossless (sequential) arithmetic",
  };
  return kNames[(code - 0xC0) & 15];
}

void SOFMarker::parse(RangeTracker& tracker) {
  // Precision, height 2, width 2, component count N; then 3 bytes per component.
  tracker.claim(payload, 6);
  const uint32_t components = payload[5];
  if (components != 0) tracker.claim(payload + 6, 3 * components);
}

void SOFMarker::applyToDecoder(DecoderState& state, PixelImage& image, bool) {
  applySof(state, image, code, payload, length);
}

void SOFMarker::print(const uint8_t* base, int level, std::ostream& out) const {
  indent(level, out);
  writef(out, "Marker SOF%d \"%s\" (bytes %lld - %lld)\n", code - 0xC0, processName(code),
         static_cast<long long>(firstByte(base)), static_cast<long long>(lastByte(base)));
  indent(level + 1, out);
  writef(out, "Precision %u, width %u, height %u\n", payload[0], readBigEndian16(payload + 3),
         readBigEndian16(payload + 1));
  for (uint32_t i = 0, n = payload[5]; i < n; ++i) {
    const uint8_t* c = payload + 6 + 3 * i;
    indent(level + 1, out);
    writef(out, " Component %u: horiz sampling %u, vert sampling %u, quant table %u\n", c[0],
           c[1] >> 4u, c[1] & 15u, c[2]);
  }
}

}  // namespace tessel
