#include "platform/tiff_properties.h"

#include <cstring>

#include "core/byte_order.h"
#include "core/tiff.h"

namespace tessel::imaging {

namespace {

// Reads one directory's entries into `items`; the first occurrence of a tag wins. Damaged parts
// are skipped: entries of a type the walk cannot size, and values outside the structure.
void readDirectory(const TiffReader& tiff, uint64_t offset, std::vector<OwnedPropertyItem>& items,
                   uint64_t* exifOffset) {
  if (!tiff.contains(offset, 2)) return;
  const uint32_t entries = tiff.read16(offset);
  for (uint32_t i = 0; i < entries; ++i) {
    const uint64_t entry = offset + 2 + uint64_t{i} * 12;
    if (!tiff.contains(entry, 12)) return;
    const TiffField field = tiff.field(entry);
    if (field.typeSize == 0) continue;
    if (!field.inlineValue() && !tiff.contains(field.valueOffset, field.size)) continue;
    if (exifOffset && field.tag == kTagExifIfd && field.count == 1 &&
        (field.type == kTypeLong || field.type == kTypeIfd)) {
      *exifOffset = tiff.read32(entry + 8);
    }
    bool seen = false;
    for (const OwnedPropertyItem& item : items) seen |= item.id == field.tag;
    if (seen) continue;
    OwnedPropertyItem item;
    item.id = field.tag;
    item.type = field.type;
    item.count = field.count;
    item.value.resize(size_t(field.size));
    // Numbers go to host order element by element; rationals are two 4-byte elements.
    const bool rational = field.type == kTypeRational || field.type == kTypeSRational;
    const uint32_t element = rational ? 4 : field.typeSize;
    for (uint64_t k = 0; k < field.size; k += element) {
      uint8_t* out = item.value.data() + k;
      const uint64_t at = field.valueOffset + k;
      if (element == 1) {
        out[0] = tiff.header()[at];
      } else if (element == 2) {
        const uint16_t v = tiff.read16(at);
        std::memcpy(out, &v, 2);
      } else if (element == 4) {
        const uint32_t v = tiff.read32(at);
        std::memcpy(out, &v, 4);
      } else {
        const uint64_t v = read64(tiff.header() + at, tiff.bigEndian());
        std::memcpy(out, &v, 8);
      }
    }
    items.push_back(std::move(item));
  }
}

}  // namespace

std::vector<OwnedPropertyItem> readTiffProperties(const uint8_t* data, size_t size) {
  std::vector<OwnedPropertyItem> items;
  if (size < 8 || (std::memcmp(data, "II", 2) != 0 && std::memcmp(data, "MM", 2) != 0)) {
    return items;
  }
  const TiffReader tiff(data, size, data[0] == 'M', TiffTypeSet::kExif);
  if (tiff.read16(2) != 42) return items;
  // The first directory and its Exif directory; nothing links further, so nothing can loop.
  uint64_t exifOffset = 0;
  readDirectory(tiff, tiff.read32(4), items, &exifOffset);
  if (exifOffset != 0) readDirectory(tiff, exifOffset, items, nullptr);
  return items;
}

}  // namespace tessel::imaging
