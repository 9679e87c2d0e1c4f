#pragma once

#include "jpeg/jpeg_reader.h"
#include "jpeg/segment_headers.h"

namespace tessel {

// SOS: the header of a scan.
class SOSMarker : public JPEGReader::Marker {
 public:
  using Marker::Marker;
  void parse(RangeTracker& tracker) override;
  void applyToDecoder(DecoderState& state, PixelImage& image, bool infoOnly) override;
  void print(const uint8_t* base, int level, std::ostream& out) const override;

  ScanHeader scan;
};

}  // namespace tessel
