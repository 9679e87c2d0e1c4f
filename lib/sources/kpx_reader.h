#pragma once

// The KPX container reader over bytes already in memory. readKpxFile (image_sources.h) maps the
// file and calls it; the fuzz harness calls it directly.

#include <cstddef>
#include <cstdint>

namespace tessel {

class PixelImage;

// Parses a whole KPX file of `size` bytes into `image`: properties are appended to its list and
// an RGBA section replaces its size and pixels. Throws RawLayerException on malformed input; what
// was accepted before the failure stays in the image.
void readKpxBytes(PixelImage& image, const uint8_t* bytes, size_t size);

}  // namespace tessel
