#include "jpeg/markers/dht_marker.h"

#include "core/text.h"
#include "jpeg/markers/marker_common.h"

namespace tessel {

void DHTMarker::parse(RangeTracker& tracker) {
  for (int64_t pos = 0; pos < length;) {
    // The class/number byte and the 16 code counts, then the symbols of each code length.
    tracker.claim(payload + pos, 17);
    HuffmanTableSpec table;
    table.classAndIndex = payload[pos];
    for (int i = 0; i < 16; ++i) table.counts[i] = payload[pos + 1 + i];
    pos += 17;
    table.symbols = payload + pos;
    for (const uint8_t count : table.counts) {
      if (count != 0) tracker.claim(payload + pos, count);
      pos += count;
      table.symbolCount += count;
    }
    tables.push_back(table);
  }
}

void DHTMarker::print(const uint8_t* base, int level, std::ostream& out) const {
  printMarkerHeader(*this, "DHT", base, level, out);
  for (const HuffmanTableSpec& table : tables) {
    indent(level + 1, out);
    writef(out, "Table %u (%s)\n", table.index(), table.isAc() ? "AC table" : "DC table");
  }
}

}  // namespace tessel
