#pragma once

// Messages of the JPEG decoder. Code and tests both use these names, so a message is spelled in
// exactly one place. Texts with a format directive are formatted with failf.
namespace tessel::msg {

// Frame and marker set-up.
inline constexpr char kNoCompressedData[] = "No compressed image data";
inline constexpr char kUnsupportedMode[] = "Unsupported image format (mode=SOF%d)";
inline constexpr char kUnsupportedPrecision[] = "Unsupported image format (precision=%d)";
inline constexpr char kUnsupportedComponentCount[] =
    "Unsupported image format (number of components=%u)";
inline constexpr char kInvalidQuantIndex[] = "Invalid quantization table index";
inline constexpr char kDuplicateQuantIndex[] = "Duplicate quantization table index";
inline constexpr char kInvalidHuffmanId[] = "Invalid Huffman table ID";
inline constexpr char kInvalidSpectral[] = "Invalid spectral endpoints";
inline constexpr char kSingleBitRefinement[] =
    "Only single bit refinement is supported in progressive JPEG";
// The sampling message is built from three pieces: the opening, one entry per present component
// slot (slot, h, v), and the closing.
inline constexpr char kUnsupportedSamplingOpen[] = "Unsupported sampling (";
inline constexpr char kUnsupportedSamplingComponent[] = " comp %d: %d x %d";
inline constexpr char kUnsupportedSamplingClose[] = " )";

// Entropy decoding.
inline constexpr char kInvalidHuffmanTable[] = "Invalid Huffman code table";
inline constexpr char kCorruptImageData[] = "Corrupt image data";
inline constexpr char kMissingQuantTable[] = "Missing quantization table index";
inline constexpr char kMissingHuffmanTable[] = "Missing Huffman table index";

// Progressive scans and the segments between them.
inline constexpr char kMissingDcTable[] = "Missing DC Huffman table";
inline constexpr char kMissingAcTable[] = "Missing AC Huffman table";
inline constexpr char kUnexpectedMarkerBetweenScans[] = "Unexpected JPEG marker between scans";
inline constexpr char kTooManyScans[] = "Progressive JPEG with more than %u scans";
inline constexpr char kCoefficientsTooLarge[] =
    "Coefficients of an image of %u x %u pixels are too large for memory";

}  // namespace tessel::msg
