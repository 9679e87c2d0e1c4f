#include "jpeg/markers/app14_marker.h"
#include "core/byte_order.h"

#include "core/text.h"
#include "jpeg/markers/marker_common.h"

namespace tessel {

void APP14Marker::parse(RangeTracker& tracker) {
  // Signature 5, version 2, flags0 2, flags1 2, colour transform 1. Bytes past 12 stay
  // unidentified, and so does a payload without the signature.
  if (!hasSignature(tracker, payload, length, "Adobe")) return;
  tracker.claim(payload, 12);
  adobe = AdobeHeader{readBigEndian16(payload + 5), readBigEndian16(payload + 7),
                      readBigEndian16(payload + 9), payload[11]};
}

void APP14Marker::print(const uint8_t* base, int level, std::ostream& out) const {
  printMarkerHeader(*this, "APP14", base, level, out);
  if (!adobe) return;
  indent(level + 1, out);
  out << "\"Adobe\" signature\n";
  const uint8_t t = adobe->transform;
  const char* transform = t == 1 ? "YCbCr" : t == 2 ? "YCCK" : "Unknown";
  indent(level + 1, out);
  // The version's low byte, as the listing has always shown it.
  writef(out, "version=%u, flags0=%x, flags1=%x, color transform=%s\n", adobe->version & 0xFFu,
         unsigned{adobe->flags0}, unsigned{adobe->flags1}, transform);
}

}  // namespace tessel
