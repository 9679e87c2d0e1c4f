#include "jpeg/markers/dht_marker.h"

#include "core/text.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/markers/marker_common.h"

namespace tessel {

void DHTMarker::parse(RangeTracker& tracker) {
  for (int64_t pos = 0; pos < length;) {
    // The class/id byte and the 16 code counts, then the symbols of each code length.
    tracker.claim(payload + pos, 17);
    const uint8_t* counts = payload + pos + 1;
    pos += 17;
    for (int i = 0; i < 16; ++i) {
      if (counts[i] != 0) tracker.claim(payload + pos, counts[i]);
      pos += counts[i];
    }
  }
}

void DHTMarker::applyToDecoder(DecoderState& state, PixelImage&, bool) {
  applyDht(state, payload, length);
}

void DHTMarker::write(EncodeState& state, const PixelImage&, const PropertyList&, const Background&,
                      SegmentBuffer& out) {
  writeDhtSegment(state, payload, length, out);
}

void DHTMarker::print(const uint8_t* base, int level, std::ostream& out) const {
  printMarkerHeader(*this, "DHT", base, level, out);
  for (int64_t pos = 0; pos < length;) {
    const uint8_t classAndId = payload[pos];
    indent(level + 1, out);
    writef(out, "Table %u (%s)\n", classAndId & 15u, (classAndId & 0x10) ? "AC table" : "DC table");
    int64_t symbols = 0;
    for (int i = 1; i <= 16; ++i) symbols += payload[pos + i];
    pos += 17 + symbols;
  }
}

}  // namespace tessel
