#pragma once

// The frame-size cap of the image fuzz targets: frames above a number of pixels are passed over,
// as image fuzzers usually do, since a large frame only makes a run slow without exercising
// anything that a small one does not.

#include <cstdint>

#include "jpeg/markers/app1_marker.h"
#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/markers/marker_visitor.h"
#include "jpeg/markers/sof_marker.h"

namespace tessel::fuzz {

// True when every SOF of `list`, of the Exif thumbnails inside it and of the images after it
// (which the merge writer encodes at their own size), declares at most `maxPixels` pixels. `width`
// and `height` receive the last frame size of `list` itself.
inline bool framesWithinCap(const MarkerList& list, uint64_t maxPixels, uint32_t& width,
                            uint32_t& height) {
  struct Cap : MarkerVisitor {
    uint64_t maxPixels;
    uint32_t width = 0, height = 0;
    bool within = true;
    void visit(const JPEGReader::Marker&) override {}
    void visit(const APP1Marker& marker) override {
      uint32_t w = 0, h = 0;
      within &= !marker.thumbnail || framesWithinCap(*marker.thumbnail, maxPixels, w, h);
    }
    void visit(const SOFMarker& marker) override {
      height = marker.frame.height;
      width = marker.frame.width;
      within &= uint64_t{width} * height <= maxPixels;
    }
  } cap;
  cap.maxPixels = maxPixels;
  visitMarkers(list, cap);
  for (const MpImage& mp : list.mpImages) {
    uint32_t w = 0, h = 0;
    cap.within &= !mp.markers || framesWithinCap(*mp.markers, maxPixels, w, h);
  }
  width = cap.width;
  height = cap.height;
  return cap.within;
}

}  // namespace tessel::fuzz
