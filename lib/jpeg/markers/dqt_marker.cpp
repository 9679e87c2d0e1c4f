#include "jpeg/markers/dqt_marker.h"

#include "core/text.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/markers/marker_common.h"

namespace tessel {

namespace {

// Bytes of one table after its precision/id byte: 64 entries of 1 or 2 bytes.
int64_t tableBytes(uint8_t precisionAndId) {
  return (precisionAndId & 0x10) ? 128 : 64;
}

}  // namespace

void DQTMarker::parse(RangeTracker& tracker) {
  for (int64_t pos = 0; pos < length;) {
    tracker.claim(payload + pos, 1);
    const int64_t size = tableBytes(payload[pos]);
    tracker.claim(payload + pos + 1, size);
    pos += 1 + size;
  }
}

void DQTMarker::applyToDecoder(DecoderState& state, PixelImage&, bool) {
  applyDqt(state, payload, length);
}

void DQTMarker::print(const uint8_t* base, int level, std::ostream& out) const {
  printMarkerHeader(*this, "DQT", base, level, out);
  for (int64_t pos = 0; pos < length;) {
    const uint8_t p = payload[pos];
    indent(level + 1, out);
    writef(out, "Table %u precision %u\n", p & 15u, (p & 0x10) ? 16u : 8u);
    pos += 1 + tableBytes(p);
  }
}

}  // namespace tessel
