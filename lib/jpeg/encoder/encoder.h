#pragma once

// The merge writer's entry points: re-encoding a PixelImage under the structure of a
// metadata-source JPEG.

#include <cstdint>
#include <vector>

#include "jpeg/segment_headers.h"

namespace tessel {

class APP1Marker;
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

// What a merge writes from besides the metadata source: the picture, the property values that
// override the Exif block's, and the colour that partly transparent pixels are composited over.
struct MergeInputs {
  const PixelImage& image;
  const PropertyList& overrides;
  const Background& background;
};

// Builds the whole merged file in memory, in the steps below: planMerge, encodeImage and
// assembleFile. Throws RawLayerException; nothing is written.
std::vector<uint8_t> encodeJpegFile(const PixelImage& image, const MarkerList& source,
                                    const PropertyList& overrides, const Background& background,
                                    ImageRole role = ImageRole::kMain);

// Encodes into memory first, and only when that succeeded replaces the output's content in one
// step, so a failure leaves an existing output exactly as it was.
void writeJpegFile(OutputFile& output, const PixelImage& image, const MarkerList& source,
                   const PropertyList& overrides, const Background& background);

// The first step: reads the frame, tables and scan layout from `source`'s segments into `state`
// and refuses every source whose output could not be a valid baseline JPEG (the messages of the
// README's table), before anything of the frame's size is allocated.
void planMerge(EncodeState& state, const MarkerList& source);
// The segment steps of planMerge. The SOF segment: frame size and component slots.
void applyFrameHeader(EncodeState& state, const FrameHeader& frame);
// A DQT segment: one or more quantization tables and their divisor tables.
void applyQuantizationTables(EncodeState& state, const std::vector<QuantizationTable>& tables);
// The SOS segment: the Huffman table numbers of each component of the scan.
void applyScanHeader(EncodeState& state, const ScanHeader& scan);

// The second and third steps: `image` fitted to the frame (stretched, then padded or cropped,
// when it has another size), transformed, quantized and entropy-coded into state.scanData.
void encodeImage(EncodeState& state, const PixelImage& image, const Background& background);

// The last step: SOI, every segment of `source` in the form it takes in the output (DHT with the
// new tables, the Exif block rewritten with a new thumbnail, DRI dropped, the rest copied), the
// scan, EOI, and for a file (`role` kMain) with a multi-picture index its MP images.
std::vector<uint8_t> assembleFile(EncodeState& state, const MarkerList& source,
                                  const MergeInputs& inputs, ImageRole role);

// The DHT segment: the source segment's tables, in their order and under their numbers, with the
// encoder's new optimal codes. Fails with "Invalid Huffman table ID" for a malformed table byte or
// a table that the scan does not use.
void writeDhtSegment(const EncodeState& state, const std::vector<HuffmanTableSpec>& tables,
                     SegmentBuffer& out);

// An Exif APP1 segment: the source's Exif block with the overrides patched into its values and a
// new thumbnail encoded from the image under the old thumbnail's own structure; any other APP1
// segment is copied unchanged.
void writeExifSegment(const APP1Marker& marker, const MergeInputs& inputs, SegmentBuffer& out);

// For a metadata source with a multi-picture index: appends the source's MP images to `file`
// (SOI to EOI of the new file's own image) in entry order, large thumbnails made anew from the
// image as the Exif thumbnail is and every other image copied, and rewrites the sizes and offsets
// of the MP entries in the output's copy of the index, whose TIFF header is at offset `headerAt`
// of `file`. Throws when an image cannot be carried: one outside the file or over another image,
// a preview that is not a baseline JPEG.
void appendMpImages(std::vector<uint8_t>& file, size_t headerAt, const MpfIndex& index,
                    const MarkerList& source, const MergeInputs& inputs);

}  // namespace tessel
