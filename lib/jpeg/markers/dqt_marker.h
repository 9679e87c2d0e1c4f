#pragma once

#include "jpeg/jpeg_reader.h"
#include "jpeg/segment_headers.h"

namespace tessel {

// DQT: one or more quantization tables.
class DQTMarker : public JPEGReader::Marker {
 public:
  using Marker::Marker;
  void parse(RangeTracker& tracker) override;
  void applyToDecoder(DecoderState& state, PixelImage& image, bool infoOnly) override;
  void print(const uint8_t* base, int level, std::ostream& out) const override;

  std::vector<QuantizationTable> tables;
};

}  // namespace tessel
