#pragma once

#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/markers/marker_visitor.h"
#include "jpeg/segment_headers.h"

namespace tessel {

// DRI: the restart interval. It is dropped from merged files.
class DRIMarker : public JPEGReader::Marker {
 public:
  using Marker::Marker;
  void accept(MarkerVisitor& visitor) const override { visitor.visit(*this); }
  void parse(RangeTracker& tracker) override;
  void print(const uint8_t* base, int level, std::ostream& out) const override;

  uint16_t interval = 0;  // MCUs per restart interval
};

}  // namespace tessel
