#pragma once

// Messages of the KPX container reader. Code and tests both use these names, so a message is
// spelled in exactly one place.
namespace tessel::msg {

inline constexpr char kKpxMissingMagic[] = "Invalid KPX file (missing magic number)";
inline constexpr char kKpxMissingSectionKey[] = "Invalid KPX file (missing section key)";
inline constexpr char kKpxGarbageAfterTerminator[] = "Invalid KPX file (garbage after terminator)";
inline constexpr char kKpxMissingSectionLength[] = "Invalid KPX file (missing section length)";
inline constexpr char kKpxGarbageSectionLength[] = "Invalid KPX file (garbage section length)";
inline constexpr char kKpxGarbagePropCount[] = "Invalid KPX file (garbage PROP count)";
inline constexpr char kKpxTruncatedProp[] = "Invalid KPX file (truncated PROP section)";
inline constexpr char kKpxTruncatedRgba[] = "Invalid KPX file (truncated RGBA section)";
inline constexpr char kKpxGarbageDimensions[] = "Invalid KPX file (garbage image dimensions)";
inline constexpr char kKpxGarbageSectionKey[] = "Invalid KPX file (garbage section key)";

}  // namespace tessel::msg
