#pragma once

// The merge writer's entry points: re-encoding a PixelImage under the structure of a
// metadata-source JPEG.

#include <cstdint>
#include <vector>

namespace tessel {

class MarkerList;
class OutputFile;
class PixelImage;
class PropertyList;
class SegmentBuffer;
struct EncodeState;

// Colour that partly transparent pixels are composited over (16-bit samples).
struct Background {
  uint16_t r = 0;
  uint16_t g = 0;
  uint16_t b = 0;
};

// Builds the whole merged file in memory: SOI, every marker of `source` through its write
// operation, the new entropy-coded scan, EOI. Throws RawLayerException; nothing is written.
std::vector<uint8_t> encodeJpegFile(const PixelImage& image, const MarkerList& source,
                                    const PropertyList& overrides, const Background& background);

// Encodes into memory first, and only when that succeeded truncates `output` and writes the
// bytes, so a failure leaves an existing output exactly as it was.
void writeJpegFile(OutputFile& output, const PixelImage& image, const MarkerList& source,
                   const PropertyList& overrides, const Background& background);

// The DHT marker's write: the source segment's tables, in their order and under their numbers,
// with the encoder's new optimal codes.
void writeDhtSegment(const EncodeState& state, const uint8_t* payload, int32_t length,
                     SegmentBuffer& out);

}  // namespace tessel
