#pragma once

#include <optional>

#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/markers/marker_visitor.h"

namespace tessel {

// The Adobe block of an APP14 segment.
struct AdobeHeader {
  uint16_t version = 0;
  uint16_t flags0 = 0, flags1 = 0;
  uint8_t transform = 0;  // colour transform: 0 none (RGB or CMYK), 1 YCbCr, 2 YCCK
};

// APP14: the Adobe colour-transform block. Other APP14 payloads stay unidentified.
class APP14Marker : public JPEGReader::Marker {
 public:
  using Marker::Marker;
  void accept(MarkerVisitor& visitor) const override { visitor.visit(*this); }
  void parse(RangeTracker& tracker) override;
  void print(const uint8_t* base, int level, std::ostream& out) const override;

  std::optional<AdobeHeader> adobe;  // for a payload that starts "Adobe"
};

}  // namespace tessel
