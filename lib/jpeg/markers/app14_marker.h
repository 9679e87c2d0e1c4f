#pragma once

#include "jpeg/jpeg_reader.h"

namespace tessel {

// APP14: the Adobe colour-transform block. Other APP14 payloads stay unidentified.
class APP14Marker : public JPEGReader::Marker {
 public:
  using Marker::Marker;
  void parse(RangeTracker& tracker) override;
  void print(const uint8_t* base, int level, std::ostream& out) const override;
};

}  // namespace tessel
