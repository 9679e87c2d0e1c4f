#include "jpeg/markers/app0_marker.h"
#include "core/byte_order.h"

#include "core/exception.h"
#include "core/text.h"
#include "jpeg/markers/marker_common.h"
#include "jpeg/messages.h"

namespace tessel {

void APP0Marker::parse(RangeTracker& tracker) {
  if (!hasSignature(tracker, payload, length, "JFIF", 5)) fail(msg::kUnknownApp0Signature);
  // Signature 5, version 2, units 1, densities 2 + 2, thumbnail width and height 1 + 1. A
  // segment shorter than that makes this claim or the reader's next one fail.
  tracker.claim(payload, 14);
  jfif = {readBigEndian16(payload + 5),  payload[7],  readBigEndian16(payload + 8),
          readBigEndian16(payload + 10), payload[12], payload[13]};
  const uint32_t thumbnailBytes = uint32_t{jfif.thumbnailWidth} * jfif.thumbnailHeight * 3;
  if (thumbnailBytes != 0) tracker.claim(payload + 14, thumbnailBytes);
}

void APP0Marker::print(const uint8_t* base, int level, std::ostream& out) const {
  printMarkerHeader(*this, "APP0", base, level, out);
  const int detail = level + 1;
  indent(detail, out);
  writef(out, "JFIF version 0x%04x\n", unsigned{jfif.version});
  const uint32_t units = jfif.units, x = jfif.xDensity, y = jfif.yDensity;
  indent(detail, out);
  switch (units) {
    case 0:
      writef(out, "Aspect ratio %u:%u\n", x, y);
      break;
    case 1:
    case 2: {
      const char* unit = units == 1 ? "DPI" : "DPCM";
      writef(out, "X resolution: %u %s\n", x, unit);
      indent(detail, out);
      writef(out, "Y resolution: %u %s\n", y, unit);
      break;
    }
    default:
      writef(out, "Bogus aspect ratio code %u %u x %u\n", units, x, y);
      break;
  }
  const uint32_t w = jfif.thumbnailWidth, h = jfif.thumbnailHeight, t = w * h * 3;
  indent(detail, out);
  writef(out, "Thumbnail size %u x %u (%u bytes)\n", w, h, t);
  if (static_cast<int64_t>(t) + 14 != length) {
    indent(detail, out);
    writef(out, "  (I actually have %d bytes of thumbnail!)\n", length - 14);
  }
}

}  // namespace tessel
