// The Exif APP1 segment of a merged file: the metadata source's Exif block, byte for byte, with
// the overridden property values patched in place and the embedded thumbnail replaced by a new
// one encoded from the merged image under the old thumbnail's own structure.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/byte_order.h"
#include "core/exception.h"
#include "core/property_list.h"
#include "exif/tiff_directory.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/jpeg_format.h"
#include "jpeg/markers/app1_marker.h"
#include "jpeg/messages.h"
#include "jpeg/segment_buffer.h"

namespace tessel {

namespace {

// The largest payload a segment's 2-byte length field can describe.
constexpr size_t kMaxSegmentPayload = 65533;

// Offset of `p` inside the payload. Every entry's value bytes were checked to lie inside the
// segment when it was parsed.
size_t offsetIn(const uint8_t* payload, const uint8_t* p) {
  return static_cast<size_t>(p - payload);
}

// Copies each override over the value bytes of the first entry with its tag. The bytes go in as
// they are, without conversion to the block's byte order; entries the block lacks are not added.
void patchOverrides(const TIFFDirectory& directories, const PropertyList& overrides,
                    const uint8_t* payload, std::vector<uint8_t>& copy) {
  for (const Property& property : overrides.items()) {
    const TIFFEntry* entry = directories.findTag(property.tag);
    if (!entry) continue;
    const uint64_t size = uint64_t{typeSize(property.type)} * property.count;
    const uint64_t entrySize = uint64_t{typeSize(entry->type)} * entry->count;
    if (size != entrySize) fail(msg::kMergeOverrideSizeMismatch);
    const size_t at = offsetIn(payload, entry->value);
    if (at + size > copy.size()) fail(msg::kMergeOverrideSizeMismatch);
    std::memcpy(copy.data() + at, property.data(), size);
  }
}

}  // namespace

void writeExifSegment(const APP1Marker& marker, const MergeInputs& inputs, SegmentBuffer& out) {
  const uint8_t* const payload = marker.payload;
  const int32_t length = marker.length;
  const TIFFDirectory* const directories = marker.directories.get();
  if (!directories) {
    out.appendSegment(marker.code, payload, length);
    return;
  }
  std::vector<uint8_t> copy(payload, payload + length);
  patchOverrides(*directories, inputs.overrides, payload, copy);

  const auto* start =
      dynamic_cast<const ThumbnailOffset*>(directories->findTag(kTagThumbnailOffset));
  const auto* size =
      dynamic_cast<const ThumbnailLength*>(directories->findTag(kTagThumbnailLength));
  // The thumbnail was found somewhere in the file's unidentified bytes, usually inside this
  // segment. One that starts outside it cannot be replaced in place and is left alone; of one
  // that runs past the segment's end, only the bytes inside the segment are cleared.
  const auto at = start ? reinterpret_cast<uintptr_t>(start->thumbnailData) -
                              reinterpret_cast<uintptr_t>(payload)
                        : uintptr_t{0};
  const bool startsInSegment = start && size && at < copy.size();
  if (startsInSegment && !marker.thumbnail && copy.size() - at >= 2 && copy[at] == 0xFF &&
      copy[at + 1] == kCodeSoi && size->length > copy.size() - at) {
    fail(msg::kMergeUnreadThumbnail);
  }
  if (startsInSegment && marker.thumbnail) {
    // The thumbnail gets the old one's frame size, tables and segments; an Exif block inside it
    // is rewritten by this same operation.
    const std::vector<uint8_t> fresh = encodeJpegFile(
        inputs.image, *marker.thumbnail, inputs.overrides, inputs.background, ImageRole::kNested);
    std::memset(copy.data() + at, 0, std::min<size_t>(size->length, copy.size() - at));
    // The block never shrinks: a shorter thumbnail leaves zeros up to the old end.
    if (at + fresh.size() > copy.size()) copy.resize(at + fresh.size());
    std::memcpy(copy.data() + at, fresh.data(), fresh.size());
    write32(copy.data() + offsetIn(payload, size->value), static_cast<uint32_t>(fresh.size()),
            directories->bigEndian);
  }
  if (copy.size() > kMaxSegmentPayload) failf(msg::kMergeExifTooLarge, copy.size());
  out.appendSegment(marker.code, copy.data(), static_cast<int32_t>(copy.size()));
}

}  // namespace tessel
