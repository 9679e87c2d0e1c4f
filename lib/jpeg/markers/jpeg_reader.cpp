#include "jpeg/markers/jpeg_reader.h"

#include "core/byte_order.h"
#include "core/exception.h"
#include "core/messages.h"
#include "core/text.h"
#include "jpeg/markers/marker_visitor.h"
#include "jpeg/markers/mp_images.h"

namespace tessel {

void JPEGReader::Marker::parse(RangeTracker&) {}

void JPEGReader::Marker::accept(MarkerVisitor& visitor) const {
  visitor.visit(*this);
}

void JPEGReader::Marker::print(const uint8_t* base, int level, std::ostream& out) const {
  indent(level, out);
  writef(out, "Marker %02x (bytes %lld - %lld)\n", code, static_cast<long long>(firstByte(base)),
         static_cast<long long>(lastByte(base)));
  hexDump(payload, length, level, out);
}

JPEGReader::JPEGReader(const std::string& fileName) : MappedFile(fileName) {}

JPEGReader::~JPEGReader() {
  // Markers point into the mapping and go first; the tracker next; the mapping last.
  markers.reset();
  tracker.reset();
}

void JPEGReader::parse() {
  markers = std::make_unique<MarkerList>();
  tracker = std::make_unique<RangeTracker>(view(), static_cast<int32_t>(size()));
  segmentFile(*markers, *tracker, view(), static_cast<int32_t>(size()));
}

void MarkerList::print(const uint8_t* base, int level, std::ostream& out) const {
  for (const auto& marker : items) marker->print(base, level, out);
  if (compressedLength != 0) {
    indent(level, out);
    writef(out, "Compressed data length %u\n", compressedLength);
  }
  for (const MpImage& image : mpImages) printMpImage(image, base, level, out);
}

void segment(MarkerList& list, RangeTracker& tracker, const uint8_t* data, int32_t length,
             ImageEnd rule) {
  // The last 0xFF 0xD9 pair at offset 2 or later: a file without one is refused before anything
  // is read, and it is the end of an image whose scan data has no EOI of its own (a file cut
  // short, or damaged). A file's image otherwise ends at the first EOI after its first scan
  // header, so that what follows it (further images, makers' trailers) is never taken for its
  // data.
  int32_t eoi = -1;
  for (int32_t p = length - 2; p >= 2; --p) {
    if (data[p] == 0xFF && data[p + 1] == 0xD9) {
      eoi = p;
      break;
    }
  }
  if (eoi < 0) fail(msg::kMissingEoi);

  // Every read below comes after a claim of the same bytes, and claims stay inside the tracker's
  // current bound, so the walk can never read outside the buffer.
  const uint8_t* p = data;
  for (;;) {
    const uint8_t code = readMarkerCode(tracker, p);
    const int64_t start = p - 2 - data;
    if (start == 0) {
      if (code != kCodeSoi) fail(msg::kMissingSoi);
      continue;
    }
    if (start == eoi) {
      if (code == kCodeEoi) {
        list.imageEnd = p;
        return;
      }
      fail(msg::kMissingEoi);
    }
    const int32_t payloadLength = readSegmentLength(tracker, p);
    list.items.push_back(makeMarker(code, payloadLength, p));
    list.items.back()->parse(tracker);
    // Offsets, not pointers, until the claims have shown them inside the buffer.
    const int64_t pos = (p - data) + payloadLength;
    if (code == kCodeSos) {
      // The data after the scan header, if the header lies inside the buffer, up to its EOI.
      if (rule == ImageEnd::kFirstEoi && pos >= 0 && pos <= length) {
        if (const uint8_t* end = findImageEnd(data + pos, data + length)) {
          eoi = static_cast<int32_t>(end - data);
        }
      }
      const int64_t compressed = eoi - pos;
      list.compressedData = data + pos;
      list.compressedLength = static_cast<uint32_t>(compressed);
      if (compressed != 0) tracker.claim(data + pos, compressed);
      p = data + eoi;
    } else {
      p = data + pos;
    }
  }
}

uint8_t readMarkerCode(RangeTracker& tracker, const uint8_t*& p) {
  for (;;) {
    tracker.claim(p, 1);
    const uint8_t prefix = *p++;
    if (prefix == 0x00) continue;  // padding between segments
    if (prefix != 0xFF) fail(msg::kMissingMarkerPrefix);
    tracker.claim(p, 1);
    const uint8_t code = *p++;
    if (code != 0x00) return code;  // else a stray 0xFF 0x00 pair
  }
}

int32_t readSegmentLength(RangeTracker& tracker, const uint8_t*& p) {
  tracker.claim(p, 2);
  const int32_t field = readBigEndian16(p);
  p += 2;
  return field - 2;
}

}  // namespace tessel
