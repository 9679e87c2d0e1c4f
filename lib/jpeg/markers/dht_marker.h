#pragma once

#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/markers/marker_visitor.h"
#include "jpeg/segment_headers.h"

namespace tessel {

// DHT: one or more Huffman tables. In a merged file it carries the new optimal codes.
class DHTMarker : public JPEGReader::Marker {
 public:
  using Marker::Marker;
  void accept(MarkerVisitor& visitor) const override { visitor.visit(*this); }
  void parse(RangeTracker& tracker) override;
  void print(const uint8_t* base, int level, std::ostream& out) const override;

  std::vector<HuffmanTableSpec> tables;
};

}  // namespace tessel
