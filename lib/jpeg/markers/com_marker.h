#pragma once

#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/markers/marker_visitor.h"

namespace tessel {

// COM: a comment, claimed whole and listed with unprintable bytes escaped.
class COMMarker : public JPEGReader::Marker {
 public:
  using Marker::Marker;
  void accept(MarkerVisitor& visitor) const override { visitor.visit(*this); }
  void parse(RangeTracker& tracker) override;
  void print(const uint8_t* base, int level, std::ostream& out) const override;
};

}  // namespace tessel
