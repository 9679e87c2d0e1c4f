#include "jpeg/markers/app1_marker.h"

#include <cstring>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "core/text.h"
#include "exif/tag_names.h"
#include "jpeg/markers/marker_common.h"

namespace tessel {

namespace {

constexpr uint8_t kExifSignature[6] = {'E', 'x', 'i', 'f', 0, 0};

// Finds the thumbnail that tags 513 and 514 describe and segments it into `thumbnail`. A
// thumbnail that is missing, outside the current bound, overlapping identified bytes or not a
// JPEG is ignored; one whose segments are corrupt is dropped, keeping what it claimed.
std::unique_ptr<MarkerList> parseThumbnail(const TIFFDirectory& directories,
                                           RangeTracker& tracker) {
  const auto* start =
      dynamic_cast<const ThumbnailOffset*>(directories.findTag(kTagThumbnailOffset));
  const auto* size = dynamic_cast<const ThumbnailLength*>(directories.findTag(kTagThumbnailLength));
  if (!start || !size) return nullptr;
  const int64_t length = size->length;
  // Check the range as numbers before forming an address inside the mapping. A thumbnail needs
  // at least its two SOI bytes, so shorter ones are not looked at.
  if (length < 2) return nullptr;
  const int64_t offset = tracker.offsetOf(start->header) + start->offset;
  const RangeTracker::Range bound = tracker.currentBound();
  if (offset < bound.lo || offset + length > bound.hi) return nullptr;
  const uint8_t* data = tracker.base() + offset;
  if (!tracker.isUnclaimed(data, length)) return nullptr;
  if (data[0] != 0xFF || data[1] != 0xD8) return nullptr;

  auto list = std::make_unique<MarkerList>();
  try {
    BoundGuard bound(tracker, data, length);
    segment(*list, tracker, data, static_cast<int32_t>(length), ImageEnd::kLastEoi);
  } catch (const RawLayerException&) {
    return nullptr;  // a broken thumbnail does not fail the file
  }
  return list;
}

}  // namespace

std::string decodeXmpText(const uint8_t* bytes, size_t length) {
  std::string text;
  text.reserve(length);
  size_t i = 0;
  while (i < length) {
    const uint8_t lead = bytes[i];
    if (lead < 0x80 && lead != 0x0A) {
      // A run of ASCII without line feeds is copied as it stands.
      size_t run = i + 1;
      while (run < length && bytes[run] < 0x80 && bytes[run] != 0x0A) ++run;
      text.append(reinterpret_cast<const char*>(bytes + i), run - i);
      i = run;
      continue;
    }
    uint32_t code;
    size_t follow;
    if (lead < 0x80) {
      code = lead;
      follow = 0;
    } else if (lead >= 0xC0 && lead <= 0xDF) {
      code = lead & 0x1F;
      follow = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      code = lead & 0x0F;
      follow = 2;
    } else if (lead >= 0xF0 && lead <= 0xF7) {
      code = lead & 0x07;
      follow = 3;
    } else {
      break;  // a continuation byte or 0xF8-0xFF cannot start a character
    }
    if (follow >= length - i) break;  // the sequence does not fit
    bool valid = true;
    for (size_t k = 1; k <= follow; ++k) {
      const uint8_t next = bytes[i + k];
      if (next < 0x80 || next > 0xBF) {
        valid = false;
        break;
      }
      code = code * 64 + (next & 0x3F);
    }
    if (!valid) break;
    i += follow + 1;
    if (code == 0x0A) text.resize(text.find_last_not_of(" \n\r") + 1);  // npos + 1 is 0
    appendUtf8(text, code);
  }
  return text;
}

APP1Marker::~APP1Marker() = default;

std::string APP1Marker::xmpText() const {
  if (!hasXmp) return {};
  return decodeXmpText(payload + kXmpSignatureSize,
                       static_cast<size_t>(length) - kXmpSignatureSize);
}

void APP1Marker::parse(RangeTracker& tracker) {
  // The signatures are compared only where the bytes are inside the buffer: the segment's length
  // has not been checked against it yet.
  if (length >= 6 && insideBound(tracker, payload, 6) &&
      std::memcmp(payload, kExifSignature, 6) == 0) {
    tracker.claim(payload, 6);
    if (!directories) directories = std::make_unique<TIFFDirectory>();
    {
      BoundGuard bound(tracker, payload + 6, length - 6);
      parseExif(*directories, tracker, payload + 6);
    }
    thumbnail = parseThumbnail(*directories, tracker);
    return;
  }
  if (length >= static_cast<int32_t>(kXmpSignatureSize) &&
      insideBound(tracker, payload, kXmpSignatureSize) &&
      std::memcmp(payload, kXmpSignature, kXmpSignatureSize) == 0) {
    tracker.claim(payload, length);
    hasXmp = true;
    return;
  }
  claimWholePayload(tracker, payload, length);
}

void APP1Marker::print(const uint8_t* base, int level, std::ostream& out) const {
  printMarkerHeader(*this, "APP1", base, level, out);
  if (directories) printDirectory(*directories, base, level + 1, out);
  if (thumbnail) {
    indent(level + 1, out);
    out << "Thumbnail:\n";
    thumbnail->print(base, level + 2, out);
  }
  if (hasXmp) {
    indent(level + 1, out);
    // The text is printed as a C string would be: up to a decoded zero character.
    const std::string text = xmpText();
    const size_t end = text.find('\0');
    out << "Adobe XMP packet:\n";
    out.write(text.data(),
              static_cast<std::streamsize>(end == std::string::npos ? text.size() : end));
    out << '\n';
  }
  if (!directories && !hasXmp && length >= 1) hexDump(payload, length, level + 1, out);
}

}  // namespace tessel
