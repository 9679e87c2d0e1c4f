#pragma once

#include "jpeg/jpeg_reader.h"
#include "jpeg/segment_headers.h"

namespace tessel {

// SOFn: the frame header of every coding process.
class SOFMarker : public JPEGReader::Marker {
 public:
  using Marker::Marker;
  void parse(RangeTracker& tracker) override;
  void applyToDecoder(DecoderState& state, PixelImage& image, bool infoOnly) override;
  void print(const uint8_t* base, int level, std::ostream& out) const override;

  FrameHeader frame;
};

}  // namespace tessel
