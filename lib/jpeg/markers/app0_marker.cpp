#include "jpeg/markers/app0_marker.h"
#include "core/byte_order.h"

#include "core/exception.h"
#include "core/text.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/markers/marker_common.h"
#include "jpeg/messages.h"

namespace tessel {

namespace {

// "JFIF" and its zero byte.
bool isJfif(const uint8_t* payload, int32_t length) {
  return hasSignature(payload, length, "JFIF", 5);
}

}  // namespace

void APP0Marker::parse(RangeTracker& tracker) {
  if (!hasSignature(tracker, payload, length, "JFIF", 5)) fail(msg::kUnknownApp0Signature);
  // Signature 5, version 2, units 1, densities 2 + 2, thumbnail width and height 1 + 1. A
  // segment shorter than that makes this claim or the reader's next one fail.
  tracker.claim(payload, 14);
  const uint32_t thumbnailBytes = uint32_t{payload[12]} * payload[13] * 3;
  if (thumbnailBytes != 0) tracker.claim(payload + 14, thumbnailBytes);
}

void APP0Marker::applyToDecoder(DecoderState& state, PixelImage& image, bool) {
  applyApp0(state, image, payload, length);
}

void APP0Marker::print(const uint8_t* base, int level, std::ostream& out) const {
  printMarkerHeader(*this, "APP0", base, level, out);
  if (!isJfif(payload, length)) return;
  // The parse claimed bytes 0-13, so they are readable even in a segment that is too short.
  const int detail = level + 1;
  indent(detail, out);
  writef(out, "JFIF version 0x%04x\n", readBigEndian16(payload + 5));
  const uint32_t units = payload[7];
  const uint32_t x = readBigEndian16(payload + 8), y = readBigEndian16(payload + 10);
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
  const uint32_t w = payload[12], h = payload[13], t = w * h * 3;
  indent(detail, out);
  writef(out, "Thumbnail size %u x %u (%u bytes)\n", w, h, t);
  if (static_cast<int64_t>(t) + 14 != length) {
    indent(detail, out);
    writef(out, "  (I actually have %d bytes of thumbnail!)\n", length - 14);
  }
}

}  // namespace tessel
