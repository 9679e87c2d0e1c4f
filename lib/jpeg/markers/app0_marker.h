#pragma once

#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/markers/marker_visitor.h"

namespace tessel {

// The JFIF header of an APP0 segment.
struct JfifHeader {
  uint16_t version = 0;  // major in the high byte
  uint8_t units = 0;     // 0: aspect ratio only, 1: per inch, 2: per centimetre
  uint16_t xDensity = 0, yDensity = 0;
  uint8_t thumbnailWidth = 0, thumbnailHeight = 0;
};

// APP0: the JFIF header. Any other APP0 payload fails the file.
class APP0Marker : public JPEGReader::Marker {
 public:
  using Marker::Marker;
  void accept(MarkerVisitor& visitor) const override { visitor.visit(*this); }
  void parse(RangeTracker& tracker) override;
  void print(const uint8_t* base, int level, std::ostream& out) const override;

  JfifHeader jfif;  // read by the parse, which fails for any other APP0 payload
};

}  // namespace tessel
