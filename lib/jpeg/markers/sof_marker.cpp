#include "jpeg/markers/sof_marker.h"

#include "core/byte_order.h"
#include "core/text.h"
#include "jpeg/markers/marker_common.h"

namespace tessel {

void SOFMarker::parse(RangeTracker& tracker) {
  // Precision, height 2, width 2, component count N; then 3 bytes per component.
  tracker.claim(payload, 6);
  const uint32_t count = payload[5];
  if (count != 0) tracker.claim(payload + 6, 3 * count);
  frame.code = code;
  frame.precision = payload[0];
  frame.height = readBigEndian16(payload + 1);
  frame.width = readBigEndian16(payload + 3);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* c = payload + 6 + 3 * i;
    frame.components.push_back({c[0], uint8_t(c[1] >> 4), uint8_t(c[1] & 15), c[2]});
  }
  frame.exactLength = length == int64_t{6} + 3 * count;
}

void SOFMarker::print(const uint8_t* base, int level, std::ostream& out) const {
  indent(level, out);
  writef(out, "Marker SOF%d \"%s\" (bytes %lld - %lld)\n", code - 0xC0, processListingName(code),
         static_cast<long long>(firstByte(base)), static_cast<long long>(lastByte(base)));
  indent(level + 1, out);
  writef(out, "Precision %u, width %u, height %u\n", frame.precision, frame.width, frame.height);
  for (const FrameComponent& c : frame.components) {
    indent(level + 1, out);
    writef(out, " Component %u: horiz sampling %u, vert sampling %u, quant table %u\n", c.id, c.h,
           c.v, c.quantTable);
  }
}

}  // namespace tessel
