#include "jpeg/markers/app2_marker.h"

#include "core/text.h"
#include "jpeg/markers/marker_common.h"

namespace tessel {

void APP2Marker::parse(RangeTracker& tracker) {
  claimWholePayload(tracker, payload, length);
  mpf = parseMpfIndex(payload, length);
}

void APP2Marker::print(const uint8_t* base, int level, std::ostream& out) const {
  printMarkerHeader(*this, "APP2", base, level, out);
  if (hasSignature(payload, length, "ICC_PROFILE", 12)) {
    indent(level + 1, out);
    out << "\"ICC_PROFILE\" signature\n";
  }
  if (mpf) {
    printMpfIndex(*mpf, base, level + 1, out);
  } else if (hasSignature(payload, length, "MPF", 4)) {
    indent(level + 1, out);
    out << "\"MPF\" multi-picture index that cannot be read\n";
  }
}

}  // namespace tessel
