#pragma once

// Messages of the foundation and the segment reader. Code and tests both use these names, so a
// message is spelled in exactly one place.
namespace tessel::msg {

inline constexpr char kFileOperationFailed[] = "File %s: failed on %s: %s";
inline constexpr char kWindowsErrorFallback[] = "Windows error %lu";

// Operation names in "File %s: failed on %s: %s". They keep the names of the Windows calls so
// that messages read the same on every platform.
inline constexpr char kOpCreateFile[] = "CreateFile";
inline constexpr char kOpGetFileSize[] = "GetFileSize";
inline constexpr char kOpCreateFileMapping[] = "CreateFileMapping";
inline constexpr char kOpMapViewOfFile[] = "MapViewOfFile";
inline constexpr char kOpWriteFile[] = "WriteFile";
inline constexpr char kOpReplaceFile[] = "ReplaceFile";
// The system text of a refusal to replace an output that has other hard links.
inline constexpr char kHardLinkedOutput[] =
    "the file has other hard links, which replacing it would break";

// RangeTracker
inline constexpr char kInvalidHeaderLength[] = "Invalid header length";
inline constexpr char kInvalidHeaderLengthOrCorrupt[] = "Invalid header length or corrupt data";
inline constexpr char kInvalidOffset[] = "Invalid offset or corrupt data";

// Segment reader
inline constexpr char kMissingEoi[] = "Missing JPEG EOI";
inline constexpr char kMissingSoi[] = "Missing JPEG SOI";
inline constexpr char kMissingMarkerPrefix[] = "Missing marker prefix";

// Property list
inline constexpr char kInvalidPropertyType[] = "Invalid property type";
inline constexpr char kMissingImageProperty[] = "Missing image property";
inline constexpr char kIncorrectCount[] = "Incorrect count in property";
inline constexpr char kPropertyTooLarge[] = "Property value is too large";

// Pixel image
inline constexpr char kImageTooLarge[] = "Image of %u x %u pixels is too large for memory";

// Frames that the decoder and the merge writer refuse before allocating anything of their size.
// A frame without pixels has nothing to code (a height of 0 would need a DNL marker).
inline constexpr char kUnsupportedImageSize[] = "Unsupported image size (width=%u, height=%u)";
// Entropy-coded data too short to describe the frame that the header claims.
inline constexpr char kCodedDataTooShort[] =
    "Compressed data of %u bytes is too short for an image of %u x %u pixels";

}  // namespace tessel::msg
