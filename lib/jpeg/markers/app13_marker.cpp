#include "jpeg/markers/app13_marker.h"

#include "core/text.h"
#include "jpeg/markers/marker_common.h"

namespace tessel {

void APP13Marker::parse(RangeTracker& tracker) {
  claimWholePayload(tracker, payload, length);
}

void APP13Marker::print(const uint8_t* base, int level, std::ostream& out) const {
  printMarkerHeader(*this, "APP13", base, level, out);
  if (hasSignature(payload, length, "Photoshop 3.0", 14)) {
    indent(level + 1, out);
    out << "Photoshop 3.0 content\n";
  }
}

}  // namespace tessel
