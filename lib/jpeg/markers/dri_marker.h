#pragma once

#include "jpeg/jpeg_reader.h"
#include "jpeg/segment_headers.h"

namespace tessel {

// DRI: the restart interval. It is dropped from merged files.
class DRIMarker : public JPEGReader::Marker {
 public:
  using Marker::Marker;
  void parse(RangeTracker& tracker) override;
  void applyToDecoder(DecoderState& state, PixelImage& image, bool infoOnly) override;
  void write(EncodeState& state, const PixelImage& image, const PropertyList& overrides,
             const Background& background, SegmentBuffer& out) override;
  void print(const uint8_t* base, int level, std::ostream& out) const override;

  uint16_t interval = 0;  // MCUs per restart interval
};

}  // namespace tessel
