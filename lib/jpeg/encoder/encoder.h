#pragma once

// The merge writer's entry points: re-encoding a PixelImage under the structure of a
// metadata-source JPEG.

#include <cstdint>
#include <vector>

#include "jpeg/segment_headers.h"

namespace tessel {

class MarkerList;
struct MpfIndex;
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

// What an encoded image is to its file: the file's own picture, or an image nested in it (the
// Exif thumbnail, an MP preview), whose quantization table numbers may be defined twice, the
// later definition replacing the earlier, as JPEG defines it.
enum class ImageRole : bool { kMain, kNested };

// Builds the whole merged file in memory: SOI, every marker of `source` through its write
// operation, the new entropy-coded scan, EOI. Throws RawLayerException; nothing is written.
std::vector<uint8_t> encodeJpegFile(const PixelImage& image, const MarkerList& source,
                                    const PropertyList& overrides, const Background& background,
                                    ImageRole role = ImageRole::kMain);

// For a metadata source with a multi-picture index: appends the source's MP images to `file`
// (SOI to EOI of the new file's own image) in entry order, large thumbnails made anew from `image`
// as the Exif thumbnail is and every other image copied, and rewrites the sizes and offsets of the
// MP entries in the output's copy of the index, whose TIFF header is at offset `headerAt` of
// `file`. Throws when an image cannot be carried: one outside the file or over another image, a
// preview that is not a baseline JPEG.
void appendMpImages(std::vector<uint8_t>& file, size_t headerAt, const MpfIndex& index,
                    const MarkerList& source, const PixelImage& image,
                    const PropertyList& overrides, const Background& background);

// Encodes into memory first, and only when that succeeded replaces the output's content in one
// step, so a failure leaves an existing output exactly as it was.
void writeJpegFile(OutputFile& output, const PixelImage& image, const MarkerList& source,
                   const PropertyList& overrides, const Background& background);

// The DHT marker's write: the source segment's tables, in their order and under their numbers,
// with the encoder's new optimal codes. Fails with "Invalid Huffman table ID" for a malformed
// table byte or a table that the scan does not use.
void writeDhtSegment(const EncodeState& state, const std::vector<HuffmanTableSpec>& tables,
                     SegmentBuffer& out);

// Reads the frame, tables and scan layout from `source`'s SOF, DQT and SOS segments, validates
// them, and encodes `image` (resampled to the frame size when it differs) into state.scanData.
void encodeImage(EncodeState& state, const PixelImage& image, const MarkerList& source,
                 const Background& background);

// The SOF segment: frame size and component records.
void applyFrameHeader(EncodeState& state, const FrameHeader& frame);
// A DQT segment: one or more quantization tables and their divisor tables.
void applyQuantizationTables(EncodeState& state, const std::vector<QuantizationTable>& tables);
// The SOS segment: the Huffman table numbers of each component of the scan.
void applyScanHeader(EncodeState& state, const ScanHeader& scan);
// Chooses the sampling mode from the component layout and computes the MCU geometry.
void planSampling(EncodeState& state);

}  // namespace tessel
