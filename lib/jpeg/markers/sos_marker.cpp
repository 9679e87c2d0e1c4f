#include "jpeg/markers/sos_marker.h"

#include "core/text.h"
#include "jpeg/markers/marker_common.h"

namespace tessel {

void SOSMarker::parse(RangeTracker& tracker) {
  // Component count N; N selector/table pairs, spectral start, spectral end, approximation.
  tracker.claim(payload, 1);
  const uint32_t count = payload[0];
  tracker.claim(payload + 1, 2 * int64_t{count} + 3);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* c = payload + 1 + 2 * i;
    scan.components.push_back({c[0], uint8_t(c[1] >> 4), uint8_t(c[1] & 15)});
  }
  const uint8_t* tail = payload + 1 + 2 * count;
  scan.ss = tail[0];
  scan.se = tail[1];
  scan.ah = tail[2] >> 4;
  scan.al = tail[2] & 15;
  scan.exactLength = length == 2 * int64_t{count} + 4;
}

void SOSMarker::print(const uint8_t* base, int level, std::ostream& out) const {
  printMarkerHeader(*this, "SOS", base, level, out);
  for (const ScanComponent& c : scan.components) {
    indent(level + 1, out);
    writef(out, "Component %u: DC Table %u, AC table %u\n", c.id, c.dcTable, c.acTable);
  }
  indent(level + 1, out);
  writef(out, "Spectral selection %u to %u, bit position high %u/low %u\n", scan.ss, scan.se,
         scan.ah, scan.al);
}

}  // namespace tessel
