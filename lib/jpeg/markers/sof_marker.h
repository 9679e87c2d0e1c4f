#pragma once

#include "jpeg/jpeg_reader.h"

namespace tessel {

// SOFn: the frame header of every coding process.
class SOFMarker : public JPEGReader::Marker {
 public:
  using Marker::Marker;
  void parse(RangeTracker& tracker) override;
  void applyToDecoder(DecoderState& state, PixelImage& image, bool infoOnly) override;
  void print(const uint8_t* base, int level, std::ostream& out) const override;

  // The coding process named by a frame marker code (0xC0-0xCF).
  static const char* processName(uint8_t code);
};

}  // namespace tessel
