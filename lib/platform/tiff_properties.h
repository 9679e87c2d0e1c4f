#pragma once

// The descriptive property items of a TIFF structure, as an imaging library reports them for a
// TIFF file or an image's Exif profile.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessel::imaging {

// Reads the descriptive property items of a TIFF structure (the first directory and its Exif
// directory) from `data`. Every offset is checked against the buffer; damaged parts are skipped.
// For TIFF files and for Exif profiles.
struct OwnedPropertyItem {
  uint32_t id = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  std::vector<uint8_t> value;  // host byte order
};
std::vector<OwnedPropertyItem> readTiffProperties(const uint8_t* data, size_t size);

}  // namespace tessel::imaging
