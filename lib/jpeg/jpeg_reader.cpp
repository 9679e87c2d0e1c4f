#include "jpeg/jpeg_reader.h"

#include "core/exception.h"
#include "core/messages.h"
#include "core/text.h"
#include "jpeg/segment_buffer.h"

namespace tessel {

void JPEGReader::Marker::parse(RangeTracker&) {}

void JPEGReader::Marker::applyToDecoder(DecoderState&, PixelImage&, bool) {}

void JPEGReader::Marker::write(EncodeState&, const PixelImage&, const PropertyList&,
                               const Background&, SegmentBuffer& out) {
  out.beginSegment(code);
  if (length > 0) out.append(payload, static_cast<size_t>(length));
  out.endSegment();
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
  segment(*markers, *tracker, view(), static_cast<int32_t>(size()));
}

void MarkerList::print(const uint8_t* base, int level, std::ostream& out) const {
  for (const auto& marker : items) marker->print(base, level, out);
  if (compressedLength != 0) {
    indent(level, out);
    writef(out, "Compressed data length %u\n", compressedLength);
  }
}

void segment(MarkerList& list, RangeTracker& tracker, const uint8_t* data, int32_t length) {
  // The EOI is the last 0xFF 0xD9 pair at offset 2 or later; an Exif thumbnail's own EOI inside
  // the file is therefore never mistaken for the file's.
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
  int64_t pos = 0;
  for (;;) {
    tracker.claim(data + pos, 1);
    const uint8_t prefix = data[pos++];
    if (prefix == 0x00) continue;  // padding between segments
    if (prefix != 0xFF) fail(msg::kMissingMarkerPrefix);
    tracker.claim(data + pos, 1);
    const uint8_t code = data[pos++];
    if (code == 0x00) continue;  // a stray 0xFF 0x00 pair
    const int64_t start = pos - 2;
    if (start == 0) {
      if (code != 0xD8) fail(msg::kMissingSoi);
      continue;
    }
    if (start == eoi) {
      if (code == 0xD9) return;
      fail(msg::kMissingEoi);
    }
    tracker.claim(data + pos, 2);
    const int32_t fieldLength = (data[pos] << 8) | data[pos + 1];
    pos += 2;
    list.items.push_back(makeMarker(code, fieldLength - 2, data + pos));
    list.items.back()->parse(tracker);
    pos += fieldLength - 2;
    if (code == 0xDA) {
      const int64_t compressed = eoi - pos;
      list.compressedData = data + pos;
      list.compressedLength = static_cast<uint32_t>(compressed);
      if (compressed != 0) tracker.claim(data + pos, compressed);
      pos = eoi;
    }
  }
}

}  // namespace tessel
