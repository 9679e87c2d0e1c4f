#include "jpeg/markers/dri_marker.h"

#include "core/byte_order.h"
#include "core/exception.h"
#include "core/text.h"
#include "jpeg/markers/marker_common.h"
#include "jpeg/messages.h"

namespace tessel {

void DRIMarker::parse(RangeTracker& tracker) {
  if (length != 2) fail(msg::kDriWrongSize);
  tracker.claim(payload, 2);
  interval = readBigEndian16(payload);
}

void DRIMarker::print(const uint8_t* base, int level, std::ostream& out) const {
  printMarkerHeader(*this, "DRI", base, level, out);
  indent(level + 1, out);
  writef(out, "Restart interval: %u\n", unsigned{interval});
}

}  // namespace tessel
