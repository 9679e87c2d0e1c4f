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
inline constexpr char kOpSetFilePointer[] = "SetFilePointer";
inline constexpr char kOpSetEndOfFile[] = "SetEndOfFile";
inline constexpr char kOpWriteFile[] = "WriteFile";

// RangeTracker
inline constexpr char kInvalidHeaderLength[] = "Invalid header length";
inline constexpr char kInvalidHeaderLengthOrCorrupt[] = "Invalid header length or corrupt data";
inline constexpr char kInvalidOffset[] = "Invalid offset or corrupt data";

// Segment reader
inline constexpr char kMissingEoi[] = "Missing JPEG EOI";
inline constexpr char kMissingSoi[] = "Missing JPEG SOI";
inline constexpr char kMissingMarkerPrefix[] = "Missing marker prefix";

// Pixel image
inline constexpr char kImageTooLarge[] = "Image of %u x %u pixels is too large for memory";

}  // namespace tessel::msg
