#pragma once

// Messages of the marker classes.
namespace tessel::msg {

inline constexpr char kUnknownApp0Signature[] = "Unknown APP0 signature";
inline constexpr char kDriWrongSize[] = "DRI header is wrong size";

}  // namespace tessel::msg
