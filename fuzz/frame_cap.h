#pragma once

// The frame-size cap of the image fuzz targets: frames above a number of pixels are passed over,
// as image fuzzers usually do, since a large frame only makes a run slow without exercising
// anything that a small one does not.

#include <cstdint>

#include "jpeg/jpeg_reader.h"
#include "jpeg/markers/app1_marker.h"

namespace tessel::fuzz {

// True when every SOF of `list`, of the Exif thumbnails inside it and of the images after it
// (which the merge writer encodes at their own size), declares at most `maxPixels` pixels. `width`
// and `height` receive the last frame size of `list` itself.
inline bool framesWithinCap(const MarkerList& list, uint64_t maxPixels, uint32_t& width,
                            uint32_t& height) {
  for (const MpImage& mp : list.mpImages) {
    uint32_t w = 0, h = 0;
    if (mp.markers && !framesWithinCap(*mp.markers, maxPixels, w, h)) return false;
  }
  for (const auto& marker : list.items) {
    if (const auto* app1 = dynamic_cast<const APP1Marker*>(marker.get())) {
      uint32_t w = 0, h = 0;
      if (app1->thumbnail && !framesWithinCap(*app1->thumbnail, maxPixels, w, h)) return false;
    }
    if (!isSofCode(marker->code) || marker->length < 5) continue;
    height = (uint32_t{marker->payload[1]} << 8) | marker->payload[2];
    width = (uint32_t{marker->payload[3]} << 8) | marker->payload[4];
    if (uint64_t{width} * height > maxPixels) return false;
  }
  return true;
}

}  // namespace tessel::fuzz
