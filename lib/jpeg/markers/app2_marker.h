#pragma once

#include "jpeg/jpeg_reader.h"

namespace tessel {

// APP2: claimed whole; an ICC profile chunk is named in the listing.
class APP2Marker : public JPEGReader::Marker {
 public:
  using Marker::Marker;
  void parse(RangeTracker& tracker) override;
  void print(const uint8_t* base, int level, std::ostream& out) const override;
};

}  // namespace tessel
