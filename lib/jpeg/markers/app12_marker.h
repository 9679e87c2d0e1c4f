#pragma once

#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/markers/marker_visitor.h"

namespace tessel {

// APP12: claimed whole; a "Ducky" block is named in the listing.
class APP12Marker : public JPEGReader::Marker {
 public:
  using Marker::Marker;
  void accept(MarkerVisitor& visitor) const override { visitor.visit(*this); }
  void parse(RangeTracker& tracker) override;
  void print(const uint8_t* base, int level, std::ostream& out) const override;
};

}  // namespace tessel
