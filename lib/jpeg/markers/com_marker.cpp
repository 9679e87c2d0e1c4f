#include "jpeg/markers/com_marker.h"

#include "core/text.h"
#include "jpeg/markers/marker_common.h"

namespace tessel {

void COMMarker::parse(RangeTracker& tracker) {
  claimWholePayload(tracker, payload, length);
}

void COMMarker::print(const uint8_t* base, int level, std::ostream& out) const {
  printMarkerHeader(*this, "COM", base, level, out, ": \"");
  for (int32_t i = 0; i < length; ++i) {
    const uint8_t c = payload[i];
    switch (c) {
      case 0x0A:
        out << "\\n";
        break;
      case 0x0D:
        out << "\\r";
        break;
      case 0x09:
        out << "\\t";
        break;
      default:
        if (c < 0x20 || c > 0x7E) {
          writef(out, "\\%03o", c);
        } else {
          out.put(static_cast<char>(c));
        }
        break;
    }
  }
  out << "\"\n";
}

}  // namespace tessel
