#pragma once

// Messages of the Exif directory parse.
namespace tessel::msg {

inline constexpr char kExifInvalidByteOrder[] = "Exif header has invalid byte order";
inline constexpr char kExifInvalidStartMarker[] = "Exif header has invalid start marker";
inline constexpr char kUnknownTiffType[] = "Unknown TIFF data type";
inline constexpr char kInvalidTiffCount[] = "Invalid TIFF data count";

}  // namespace tessel::msg
