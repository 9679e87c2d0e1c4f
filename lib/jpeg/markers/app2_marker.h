#pragma once

#include <memory>

#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/markers/marker_visitor.h"
#include "jpeg/markers/mpf_index.h"

namespace tessel {

// APP2: claimed whole; an ICC profile chunk is named in the listing, and a multi-picture index is
// read and listed.
class APP2Marker : public JPEGReader::Marker {
 public:
  using Marker::Marker;
  void accept(MarkerVisitor& visitor) const override { visitor.visit(*this); }
  void parse(RangeTracker& tracker) override;
  void print(const uint8_t* base, int level, std::ostream& out) const override;

  // The "MPF" index; null for another segment or one whose index cannot be read.
  std::unique_ptr<MpfIndex> mpf;
};

}  // namespace tessel
