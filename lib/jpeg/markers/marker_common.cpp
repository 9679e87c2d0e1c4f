#include "jpeg/markers/marker_common.h"

#include "core/text.h"

namespace tessel {

void printMarkerHeader(const JPEGReader::Marker& marker, const char* name, const uint8_t* base,
                       int level, std::ostream& out, const char* tail) {
  indent(level, out);
  writef(out, "Marker %s (bytes %lld - %lld)%s", name,
         static_cast<long long>(marker.firstByte(base)),
         static_cast<long long>(marker.lastByte(base)), tail);
}

bool insideBound(const RangeTracker& tracker, const uint8_t* p, int64_t size) {
  const int64_t start = tracker.offsetOf(p);
  const RangeTracker::Range bound = tracker.currentBound();
  return size >= 0 && start >= bound.lo && start + size <= bound.hi;
}

void claimWholePayload(RangeTracker& tracker, const uint8_t* payload, int32_t length) {
  if (length != 0) tracker.claim(payload, length);
}

}  // namespace tessel
