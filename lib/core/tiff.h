#pragma once

// TIFF structures as the Exif tree, the Nikon raw reader and the imaging library's property walk
// all read them: field types and their sizes, the tag numbers the library acts on, and one reader
// of IFD entries whose every offset and size is checked in 64 bits against the structure's size.

#include <cstdint>

namespace tessel {

// TIFF field types (the same codes serve Exif entries and properties).
enum TiffType : uint32_t {
  kTypeByte = 1,
  kTypeAscii = 2,
  kTypeShort = 3,
  kTypeLong = 4,
  kTypeRational = 5,
  kTypeSByte = 6,
  kTypeUndefined = 7,
  kTypeSShort = 8,
  kTypeSLong = 9,
  kTypeSRational = 10,
  kTypeFloat = 11,
  kTypeDouble = 12,
  kTypeIfd = 13,    // a LONG that points at a directory
  kTypeUtf8 = 129,  // Exif 3.0: text like ASCII, in UTF-8
};

// The types a reader accepts differ on purpose:
// - kExif: the Exif tree, property lists and the imaging library's property walk take every type
//   the TIFF and Exif standards define (1 to 13 and 129); an Exif entry of another type fails its
//   block, the property walk skips it.
// - kNikonRaw: the raw reader takes the integer, rational and byte types a NEF uses (SSHORT
//   included) and no floating-point type; any other fails the file.
enum class TiffTypeSet { kExif, kNikonRaw };

// Bytes per value of `type`, or 0 when `accepted` does not take it.
uint32_t tiffTypeSize(uint32_t type, TiffTypeSet accepted);

// Tag numbers the library acts on. The high half of an Exif tree tag names the directory family it
// came from (a maker note or GPS), see tiff_directory.h.
inline constexpr uint32_t kTagNewSubfileType = 254;
inline constexpr uint32_t kTagImageWidth = 256;
inline constexpr uint32_t kTagImageLength = 257;
inline constexpr uint32_t kTagBitsPerSample = 258;
inline constexpr uint32_t kTagMake = 271;
inline constexpr uint32_t kTagStripOffsets = 273;
inline constexpr uint32_t kTagOrientation = 274;
inline constexpr uint32_t kTagRowsPerStrip = 278;
inline constexpr uint32_t kTagStripByteCounts = 279;
inline constexpr uint32_t kTagXResolution = 282;
inline constexpr uint32_t kTagYResolution = 283;
inline constexpr uint32_t kTagResolutionUnit = 296;
inline constexpr uint32_t kTagDateTime = 306;
inline constexpr uint32_t kTagSubIfds = 330;
inline constexpr uint32_t kTagThumbnailOffset = 513;
inline constexpr uint32_t kTagThumbnailLength = 514;
inline constexpr uint32_t kTagCfaPattern = 33422;
inline constexpr uint32_t kTagExifIfd = 34665;
inline constexpr uint32_t kTagGpsIfd = 34853;
inline constexpr uint32_t kTagDateTimeOriginal = 36867;
inline constexpr uint32_t kTagDateTimeDigitized = 36868;
inline constexpr uint32_t kTagMakerNote = 37500;
inline constexpr uint32_t kTagInteropIfd = 40965;
inline constexpr uint32_t kTagNikonDecoderParameters = 150;  // inside a Nikon maker note
// Private tags that image sources set.
inline constexpr uint32_t kTagPixelFormat = 49152;      // LONG: GDI+ PixelFormat code
inline constexpr uint32_t kTagCompressionMode = 49153;  // ASCII: coding description

// One 12-byte IFD entry. Offsets are relative to the TIFF header; the value bytes start in the
// entry's own value field when they take 4 bytes or less, otherwise at the stored offset, which
// nothing has checked yet.
struct TiffField {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  uint32_t typeSize = 0;  // 0 for a type the reader does not accept
  uint64_t size = 0;      // type size x count
  uint64_t valueOffset = 0;
  bool inlineValue() const { return size <= 4; }
};

// A TIFF structure of `size` bytes from its header, in one byte order.
class TiffReader {
 public:
  TiffReader(const uint8_t* header, uint64_t size, bool bigEndian, TiffTypeSet types)
      : header_(header), size_(size), bigEndian_(bigEndian), types_(types) {}

  // True when [offset, offset + length) lies inside the structure.
  bool contains(uint64_t offset, uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  const uint8_t* header() const { return header_; }
  bool bigEndian() const { return bigEndian_; }
  // Numbers at an offset that contains() has shown inside.
  uint16_t read16(uint64_t offset) const;
  uint32_t read32(uint64_t offset) const;
  // The entry at `offset` (12 bytes that contains() has shown inside).
  TiffField field(uint64_t offset) const;

 private:
  const uint8_t* header_;
  uint64_t size_;
  bool bigEndian_;
  TiffTypeSet types_;
};

}  // namespace tessel
