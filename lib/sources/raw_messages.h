#pragma once

// Messages of the Nikon raw reader. Each one reaches the user inside kRawError, which adds the
// file name. Code and tests both use these names, so a message is spelled in exactly one place.
namespace tessel::msg {

inline constexpr char kRawError[] = "Error %s: %s";

inline constexpr char kRawInvalidStructure[] = "Invalid TIFF structure";
inline constexpr char kRawInvalidType[] = "Invalid TIFF type";
inline constexpr char kRawInvalidDataCount[] = "Invalid TIFF data count";

inline constexpr char kRawNewSubfileTypeType[] = "Tag NewSubfileType must be type LONG";
inline constexpr char kRawImageWidthType[] = "Tag ImageWidth must be type LONG";
inline constexpr char kRawImageLengthType[] = "Tag ImageLength must be type LONG";
inline constexpr char kRawBitsPerSampleType[] = "Tag BitsPerSample must be type SHORT";
inline constexpr char kRawStripOffsetsType[] = "Tag StripOffsets must be type LONG";
inline constexpr char kRawRowsPerStripType[] = "Tag RowsPerStrip must be type LONG";
inline constexpr char kRawStripByteCountsType[] = "Tag StripByteCounts must be type LONG";
inline constexpr char kRawSubIfdsType[] = "Tag SubIFDs must be type LONG";
inline constexpr char kRawCfaPatternValue[] = "Tag CFAPattern does not have a recognized value";

inline constexpr char kRawInvalidMakerNote[] = "Invalid MakerNote";

inline constexpr char kRawImageWidthMissing[] = "Tag ImageWidth is missing";
inline constexpr char kRawImageLengthMissing[] = "Tag ImageLength is missing";
inline constexpr char kRawBitsPerSampleMissing[] = "Tag BitsPerSample is missing";
inline constexpr char kRawStripOffsetsMissing[] = "Tag StripOffsets is missing";
inline constexpr char kRawRowsPerStripMissing[] = "Tag RowsPerStrip is missing";
inline constexpr char kRawStripByteCountsMissing[] = "Tag StripByteCounts is missing";
inline constexpr char kRawInvalidImageStructure[] = "Invalid image structure";

inline constexpr char kRawNikonInvalid[] = "Nikon raw image has invalid structure";
inline constexpr char kRawNikonAllocation[] = "Allocation failed in Nikon decoder";

// The coding description stored in property 49153 for raw sources.
inline constexpr char kRawCompressionMode[] = "RAW";

}  // namespace tessel::msg
