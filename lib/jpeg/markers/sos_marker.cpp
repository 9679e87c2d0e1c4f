#include "jpeg/markers/sos_marker.h"

#include "core/text.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/markers/marker_common.h"

namespace tessel {

void SOSMarker::parse(RangeTracker& tracker) {
  // Component count N; N selector/table pairs, spectral start, spectral end, approximation.
  tracker.claim(payload, 1);
  tracker.claim(payload + 1, 2 * int64_t{payload[0]} + 3);
}

void SOSMarker::applyToDecoder(DecoderState& state, PixelImage&, bool) {
  applySos(state, payload, length);
}

void SOSMarker::print(const uint8_t* base, int level, std::ostream& out) const {
  printMarkerHeader(*this, "SOS", base, level, out);
  const uint32_t n = payload[0];
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* c = payload + 1 + 2 * i;
    indent(level + 1, out);
    writef(out, "Component %u: DC Table %u, AC table %u\n", c[0], c[1] >> 4u, c[1] & 15u);
  }
  const uint8_t* tail = payload + 1 + 2 * n;
  indent(level + 1, out);
  writef(out, "Spectral selection %u to %u, bit position high %u/low %u\n", tail[0], tail[1],
         tail[2] >> 4u, tail[2] & 15u);
}

}  // namespace tessel
