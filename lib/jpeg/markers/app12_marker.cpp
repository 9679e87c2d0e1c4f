#include "jpeg/markers/app12_marker.h"

#include "core/text.h"
#include "jpeg/markers/marker_common.h"

namespace tessel {

void APP12Marker::parse(RangeTracker& tracker) {
  claimWholePayload(tracker, payload, length);
}

void APP12Marker::print(const uint8_t* base, int level, std::ostream& out) const {
  printMarkerHeader(*this, "APP12", base, level, out);
  if (hasSignature(payload, length, "Ducky")) {
    indent(level + 1, out);
    out << "\"Ducky\" signature\n";
  }
}

}  // namespace tessel
