#include "core/byte_order.h"
#include "jpeg/markers/app14_marker.h"

#include "core/text.h"
#include "jpeg/markers/marker_common.h"

namespace tessel {

void APP14Marker::parse(RangeTracker& tracker) {
  // Signature 5, version 2, flags0 2, flags1 2, colour transform 1. Bytes past 12 stay
  // unidentified, and so does a payload without the signature.
  if (hasSignature(tracker, payload, length, "Adobe")) tracker.claim(payload, 12);
}

void APP14Marker::print(const uint8_t* base, int level, std::ostream& out) const {
  printMarkerHeader(*this, "APP14", base, level, out);
  if (!hasSignature(payload, length, "Adobe")) return;
  indent(level + 1, out);
  out << "\"Adobe\" signature\n";
  const char* transform = payload[11] == 1 ? "YCbCr" : payload[11] == 2 ? "YCCK" : "Unknown";
  indent(level + 1, out);
  writef(out, "version=%u, flags0=%x, flags1=%x, color transform=%s\n", payload[6],
         readBigEndian16(payload + 7), readBigEndian16(payload + 9), transform);
}

}  // namespace tessel
