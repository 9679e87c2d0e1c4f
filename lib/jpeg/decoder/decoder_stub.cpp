// Placeholder until the decoder lands: every entry point fails cleanly.
#include "core/exception.h"
#include "jpeg/decoder/decoder.h"

namespace tessel {

void decodeImage(const MarkerList&, DecoderState&, PixelImage&, bool) {
  fail("Decoding is not available in this build");
}
void decodeJpegImage(const MarkerList&, PixelImage&) {
  fail("Decoding is not available in this build");
}
void decodeThumbnailInfo(const MarkerList&, PixelImage&) {}
void applyApp0(DecoderState&, PixelImage&, const uint8_t*, int32_t) {}
void applyDqt(DecoderState&, const uint8_t*, int32_t) {}
void applySof(DecoderState&, PixelImage&, uint8_t, const uint8_t*, int32_t) {}
void applyDht(DecoderState&, const uint8_t*, int32_t) {}
void applySos(DecoderState&, const uint8_t*, int32_t) {}
void applyDri(DecoderState&, const uint8_t*, int32_t) {}

}  // namespace tessel
