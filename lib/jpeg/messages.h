#pragma once

// Messages of the JPEG stream model, the decoder and the merge writer, each spelled once. Code
// and tests both use these names. Texts with a format directive are formatted with failf.
namespace tessel::msg {

// Marker segments.
inline constexpr char kUnknownApp0Signature[] = "Unknown APP0 signature";
inline constexpr char kDriWrongSize[] = "DRI header is wrong size";

// Frame, table and scan headers, as the decoder and the merge writer read them.
inline constexpr char kUnsupportedPrecision[] = "Unsupported image format (precision=%u)";
inline constexpr char kInvalidQuantIndex[] = "Invalid quantization table index";
inline constexpr char kDuplicateQuantIndex[] = "Duplicate quantization table index";
inline constexpr char kMissingQuantTable[] = "Missing quantization table index";
inline constexpr char kInvalidHuffmanId[] = "Invalid Huffman table ID";
inline constexpr char kMissingHuffmanTable[] = "Missing Huffman table index";
// The sampling message is built from three pieces: the opening, one entry per present component
// slot (slot, h, v), and the closing.
inline constexpr char kUnsupportedSamplingOpen[] = "Unsupported sampling (";
inline constexpr char kUnsupportedSamplingComponent[] = " comp %d: %d x %d";
inline constexpr char kUnsupportedSamplingClose[] = " )";

// The decoder.
inline constexpr char kNoCompressedData[] = "No compressed image data";
inline constexpr char kUnsupportedMode[] = "Unsupported image format (mode=SOF%d)";
inline constexpr char kUnsupportedComponentCount[] =
    "Unsupported image format (number of components=%u)";
inline constexpr char kInvalidSpectral[] = "Invalid spectral endpoints";
inline constexpr char kSingleBitRefinement[] =
    "Only single bit refinement is supported in progressive JPEG";
inline constexpr char kInvalidHuffmanTable[] = "Invalid Huffman code table";
inline constexpr char kCorruptImageData[] = "Corrupt image data";
inline constexpr char kMissingDcTable[] = "Missing DC Huffman table";
inline constexpr char kMissingAcTable[] = "Missing AC Huffman table";
inline constexpr char kUnexpectedMarkerBetweenScans[] = "Unexpected JPEG marker between scans";
inline constexpr char kTooManyScans[] = "Progressive JPEG with more than %u scans";
inline constexpr char kCoefficientsTooLarge[] =
    "Coefficients of an image of %u x %u pixels are too large for memory";

// The merge writer: what the metadata source must be.
inline constexpr char kMergeMissingSof[] = "Missing SOF marker";
inline constexpr char kMergeMissingDqt[] = "Missing DQT marker";
inline constexpr char kMergeMissingSos[] = "Missing SOS marker";
inline constexpr char kMergeBaselineOnly[] = "Merge only supports baseline Huffman";
inline constexpr char kMergeInvalidComponentId[] = "Invalid component ID";
// The checks that keep every merged file decodable: the output copies the source's segments up to
// the scan, so each of them must be one that a baseline decoder accepts there.
inline constexpr char kMergeOneSof[] = "Merge needs exactly one SOF marker";
inline constexpr char kMergeUnexpectedSegment[] =
    "Merge cannot copy marker %02x: only APPn, COM, DQT, DHT, DRI, SOF0 and SOS may precede the "
    "scan";
inline constexpr char kMergeSegmentLength[] =
    "Merge needs a %s segment whose length fits its content";
inline constexpr char kMergeQuantPrecision[] = "Merge needs quantization tables of 8 or 16 bits";
inline constexpr char kMergeDuplicateComponentId[] = "Merge needs distinct component IDs";
inline constexpr char kMergeScanComponents[] =
    "Merge needs a scan of every frame component in identifier order";
inline constexpr char kMergeMissingHuffmanTable[] =
    "Merge needs a Huffman table for every table the scan uses";
inline constexpr char kMergeHuffmanTableSize[] = "Merge needs Huffman tables of at most 256 codes";
// Decoders warn about any JFIF major version but 1, and take an Adobe segment's transform 0 (in a
// file without JFIF) for RGB: the merged YCbCr data would come out in the wrong colours.
inline constexpr char kMergeJfifVersion[] = "Merge cannot copy a JFIF segment of version %u.%02u";
inline constexpr char kMergeAdobeTransform[] =
    "Merge needs YCbCr colour, but the Adobe segment names colour transform %u";
// Exif tags that point at a thumbnail the source could not read, starting in the APP1 segment and
// running past it: the output has other bytes past the segment, where a reader could find a
// thumbnail that nothing checked.
inline constexpr char kMergeUnreadThumbnail[] =
    "Merge cannot copy an unreadable Exif thumbnail that runs past its APP1 segment";
// A zero quantizer would divide by zero: the coefficients become infinite and the scan could not
// be decoded. Coded data never uses one.
inline constexpr char kMergeInvalidQuantValue[] = "Invalid quantization table value";
// An impossible state of the table construction (the fuzz harness treats it as a crash).
inline constexpr char kMergeInternalHuffmanError[] = "Internal error: incomplete Huffman code";

// The Exif rewrite.
inline constexpr char kMergeOverrideSizeMismatch[] = "Size mismatch in overridden property";
// A segment's 2-byte length field describes at most 65533 payload bytes; a new thumbnail that
// grows the Exif block past that cannot be written as one APP1 segment.
inline constexpr char kMergeExifTooLarge[] =
    "Exif block of %zu bytes with the new thumbnail does not fit in an APP1 segment";

// The images after the metadata source's own, which its multi-picture index lists: each is written
// again, so each must be one the merge can carry.
inline constexpr char kMergeMpImageOutside[] =
    "Merge cannot carry MP image %u: it lies outside the metadata source or overlaps another image";
inline constexpr char kMergeMpPreview[] =
    "Merge cannot make MP image %u anew: it is not a baseline JPEG";

// Resampling.
inline constexpr char kResampleEmptySource[] = "Cannot resample an image of %u x %u pixels";
inline constexpr char kResampleSourceTooLarge[] =
    "Image of %u x %u pixels is too large to resample";

}  // namespace tessel::msg
