#pragma once

// Messages of the Exif and property-list code.
namespace tessel::msg {

inline constexpr char kInvalidPropertyType[] = "Invalid property type";
inline constexpr char kMissingImageProperty[] = "Missing image property";
inline constexpr char kIncorrectCount[] = "Incorrect count in property";

}  // namespace tessel::msg
