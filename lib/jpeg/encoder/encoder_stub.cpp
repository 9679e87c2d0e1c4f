// Placeholder until the encoder lands: every entry point fails cleanly.
#include "core/exception.h"
#include "jpeg/encoder/encoder.h"

namespace tessel {

std::vector<uint8_t> encodeJpegFile(const PixelImage&, const MarkerList&, const PropertyList&,
                                    const Background&) {
  fail("Encoding is not available in this build");
}
void writeJpegFile(OutputFile&, const PixelImage&, const MarkerList&, const PropertyList&,
                   const Background&) {
  fail("Encoding is not available in this build");
}
void writeDhtSegment(const EncodeState&, const uint8_t*, int32_t, SegmentBuffer&) {
  fail("Encoding is not available in this build");
}

}  // namespace tessel
