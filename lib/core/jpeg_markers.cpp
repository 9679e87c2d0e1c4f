#include "core/jpeg_markers.h"

#include <cstring>

#include "core/byte_order.h"

namespace tessel {

namespace {

// The first 0xFF in [p, end - 1), or null: a last byte 0xFF has no code after it.
const uint8_t* nextPrefix(const uint8_t* p, const uint8_t* end) {
  if (end - p < 2) return nullptr;
  return static_cast<const uint8_t*>(
      std::memchr(p, kMarkerPrefix, static_cast<size_t>(end - p - 1)));
}

}  // namespace

const uint8_t* nextSegmentMarker(const uint8_t* p, const uint8_t* end) {
  while ((p = nextPrefix(p, end))) {
    if (p[1] != kStuffedZero && !isRestartCode(p[1])) return p;
    ++p;
  }
  return end;
}

const uint8_t* skipMarkerPadding(const uint8_t* p, const uint8_t* end) {
  while (p < end) {
    if (p[0] == kMarkerPrefix && end - p >= 2 && p[1] == kStuffedZero) {
      p += 2;
    } else if (p[0] == 0x00) {
      ++p;
    } else {
      break;
    }
  }
  return p;
}

const uint8_t* findImageEnd(const uint8_t* p, const uint8_t* end) {
  while ((p = nextPrefix(p, end))) {
    const uint8_t code = p[1];
    if (code == kCodeEoi) return p;
    if (code == kMarkerPrefix) {
      p += 1;  // a fill byte; the next 0xFF may start the marker
    } else if (code < 0xC0 || isStandaloneCode(code)) {
      p += 2;
    } else {
      if (end - p < 4) return nullptr;
      const uint32_t field = readBigEndian16(p + 2);
      if (field < 2 || field > static_cast<uint64_t>(end - p - 2)) return nullptr;
      p += 2 + field;
    }
  }
  return nullptr;
}

bool readSegmentAt(const uint8_t* data, size_t size, size_t at, SegmentAt& segment) {
  while (at + 4 <= size && data[at] == kMarkerPrefix && data[at + 1] == kMarkerPrefix) ++at;
  if (at + 4 > size || data[at] != kMarkerPrefix) return false;
  segment.code = data[at + 1];
  segment.marker = at;
  segment.field = readBigEndian16(data + at + 2);
  return true;
}

}  // namespace tessel
