#include "jpeg/markers/dqt_marker.h"

#include "core/byte_order.h"
#include "core/text.h"
#include "jpeg/markers/marker_common.h"

namespace tessel {

void DQTMarker::parse(RangeTracker& tracker) {
  for (int64_t pos = 0; pos < length;) {
    // The precision/number byte, then 64 entries of 1 or 2 bytes in zig-zag order.
    tracker.claim(payload + pos, 1);
    QuantizationTable table;
    table.precisionAndIndex = payload[pos];
    const int64_t size = table.wide() ? 128 : 64;
    tracker.claim(payload + pos + 1, size);
    const uint8_t* entries = payload + pos + 1;
    for (int k = 0; k < 64; ++k) {
      table.values[kZigzagToNatural[k]] =
          table.wide() ? readBigEndian16(entries + 2 * k) : entries[k];
    }
    tables.push_back(table);
    pos += 1 + size;
  }
}

void DQTMarker::print(const uint8_t* base, int level, std::ostream& out) const {
  printMarkerHeader(*this, "DQT", base, level, out);
  for (const QuantizationTable& table : tables) {
    indent(level + 1, out);
    writef(out, "Table %u precision %u\n", table.index(), table.wide() ? 16u : 8u);
  }
}

}  // namespace tessel
