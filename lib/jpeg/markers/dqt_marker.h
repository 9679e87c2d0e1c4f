#pragma once

#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/markers/marker_visitor.h"
#include "jpeg/segment_headers.h"

namespace tessel {

// DQT: one or more quantization tables.
class DQTMarker : public JPEGReader::Marker {
 public:
  using Marker::Marker;
  void accept(MarkerVisitor& visitor) const override { visitor.visit(*this); }
  void parse(RangeTracker& tracker) override;
  void print(const uint8_t* base, int level, std::ostream& out) const override;

  std::vector<QuantizationTable> tables;
};

}  // namespace tessel
