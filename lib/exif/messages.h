#pragma once

// Messages of the Exif and property-list code.
namespace tessel::msg {

// Property list
inline constexpr char kInvalidPropertyType[] = "Invalid property type";
inline constexpr char kMissingImageProperty[] = "Missing image property";
inline constexpr char kIncorrectCount[] = "Incorrect count in property";
inline constexpr char kPropertyTooLarge[] = "Property value is too large";

// TIFF/Exif directory parse
inline constexpr char kExifInvalidByteOrder[] = "Exif header has invalid byte order";
inline constexpr char kExifInvalidStartMarker[] = "Exif header has invalid start marker";
inline constexpr char kUnknownTiffType[] = "Unknown TIFF data type";
inline constexpr char kInvalidTiffCount[] = "Invalid TIFF data count";

}  // namespace tessel::msg
