#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <vector>

#include "core/tiff.h"

namespace tessel {

class PixelImage;
class RangeTracker;
class TIFFEntry;

// Tag namespaces: the high half of an entry's 32-bit tag says which directory family it came from.
inline constexpr uint32_t kSonyNamespace = 0x10000;
inline constexpr uint32_t kCanonNamespace = 0x20000;
inline constexpr uint32_t kGpsNamespace = 0x30000;

// Largest value count an entry may declare.
inline constexpr int32_t kMaxTiffCount = 100000;

// One list of entries: the parsed Exif block of an APP1 segment, or a nested directory. Entries
// point into the mapped file; the mapping must outlive the directory.
class TIFFDirectory {
 public:
  TIFFDirectory() { entries.reserve(4); }
  explicit TIFFDirectory(bool bigEndian) : bigEndian(bigEndian) { entries.reserve(4); }
  ~TIFFDirectory();
  TIFFDirectory(const TIFFDirectory&) = delete;
  TIFFDirectory& operator=(const TIFFDirectory&) = delete;

  // Each entry's findTag in list order; the first match, or null. Nested directories answer from
  // their own entries, so this is a depth-first search. Tags compare as full 32-bit numbers.
  const TIFFEntry* findTag(uint32_t tag) const;
  // ORs `bits` into the tag of every entry (nested directories pass it on to their entries).
  void addTagNamespace(uint32_t bits);
  // Copies the descriptive entries into the image's property list, in list order.
  void applyToImage(bool bigEndian, PixelImage& image) const;

  size_t count() const { return entries.size(); }

  std::vector<std::unique_ptr<TIFFEntry>> entries;
  bool bigEndian = false;  // the block's byte order is MM
};

// One 12-byte IFD entry. `value` is the first value byte inside the mapping: the entry's own value
// field when the values take 4 bytes or less, otherwise the TIFF header plus the stored offset.
// A writer patches values in a copy of the payload at value - payload.
class TIFFEntry {
 public:
  TIFFEntry(uint32_t ifdIndex, uint32_t tag, uint32_t type, uint32_t count, const uint8_t* value)
      : ifdIndex(ifdIndex), tag(tag), type(type), count(count), value(value) {}
  virtual ~TIFFEntry() = default;
  TIFFEntry(const TIFFEntry&) = delete;
  TIFFEntry& operator=(const TIFFEntry&) = delete;

  // The listing of the entry; `bigEndian` is the flag of the directory holding it.
  virtual void print(const uint8_t* base, int level, std::ostream& out, bool bigEndian) const;
  // This entry when its tag equals `tag`, else null.
  virtual const TIFFEntry* findTag(uint32_t tag) const;
  virtual void addTagNamespace(uint32_t bits);
  // Sets ASCII and UTF-8 values and single SHORT, LONG, RATIONAL and FLOAT values of the
  // descriptive tags as properties of the image.
  virtual void applyToImage(bool bigEndian, PixelImage& image) const;

  // Number of value bytes (type size x count).
  uint32_t valueSize() const;

  uint32_t ifdIndex;  // position of the IFD in its chain, from 0
  uint32_t tag;       // file tag in the low half, namespace in the high half
  uint32_t type;      // TIFF type: 1 to 13 or 129
  uint32_t count;     // 0 to 100000
  const uint8_t* value;
};

// Tag 513: where the thumbnail JPEG starts. `offset` is the stored value (signed, relative to the
// TIFF header). `thumbnailData` is header + offset as an address; it has not been checked against
// anything, so it must only be read after the range [thumbnailData, +length) has been checked.
class ThumbnailOffset : public TIFFEntry {
 public:
  ThumbnailOffset(uint32_t ifdIndex, uint32_t tag, uint32_t type, uint32_t count,
                  const uint8_t* value, const uint8_t* header, int32_t offset);

  const uint8_t* header;
  int32_t offset;
  const uint8_t* thumbnailData;
};

// Tag 514: the thumbnail's byte count as stored.
class ThumbnailLength : public TIFFEntry {
 public:
  ThumbnailLength(uint32_t ifdIndex, uint32_t tag, uint32_t type, uint32_t count,
                  const uint8_t* value, uint32_t length)
      : TIFFEntry(ifdIndex, tag, type, count, value), length(length) {}

  uint32_t length;
};

// An entry that points at a directory of its own (Exif, GPS and Interoperability IFDs, and the
// parsed maker notes). Its tag, type, count and value are those of the pointer entry.
class TIFFNestedDir : public TIFFEntry {
 public:
  TIFFNestedDir(uint32_t ifdIndex, uint32_t tag, uint32_t type, uint32_t count,
                const uint8_t* value, bool bigEndian)
      : TIFFEntry(ifdIndex, tag, type, count, value), directory(bigEndian) {}

  void print(const uint8_t* base, int level, std::ostream& out, bool bigEndian) const override;
  // Searches only the nested directory: the pointer entry itself never matches.
  const TIFFEntry* findTag(uint32_t tag) const override;
  // Passes the bits on to the nested entries; the entry's own tag stays.
  void addTagNamespace(uint32_t bits) override;
  void applyToImage(bool bigEndian, PixelImage& image) const override;

  TIFFDirectory directory;
};

// A Sony maker note: after a 12-byte "SONY DSC " or "SONY CAM " header, one IFD without a chain.
// `value` is the first byte after the header. Answers findTag for its own tag only.
class SonyMakerNote : public TIFFNestedDir {
 public:
  using TIFFNestedDir::TIFFNestedDir;
  void print(const uint8_t* base, int level, std::ostream& out, bool bigEndian) const override;
  const TIFFEntry* findTag(uint32_t tag) const override { return TIFFEntry::findTag(tag); }
};

// A Canon maker note: an IFD chain starting at the first value byte, offsets relative to the
// TIFF header. Answers findTag for its own tag only.
class CanonMakerNote : public TIFFNestedDir {
 public:
  using TIFFNestedDir::TIFFNestedDir;
  void print(const uint8_t* base, int level, std::ostream& out, bool bigEndian) const override;
  const TIFFEntry* findTag(uint32_t tag) const override { return TIFFEntry::findTag(tag); }
};

// Parses the 8-byte TIFF header at `header` (the byte after "Exif\0\0") and the IFD chain it
// points to into `directory`, claiming every structural byte in `tracker`. Throws
// RawLayerException for a malformed header or entry; the entries appended before stay.
void parseExif(TIFFDirectory& directory, RangeTracker& tracker, const uint8_t* header);

// Parses the IFD at `offset` (relative to `header`) and, with `followNext`, the IFDs linked after
// it, appending entries to `directory`. `root` is the top-level directory, where the camera make
// is looked up for the maker-note rule.
void parseIfdChain(TIFFDirectory& directory, RangeTracker& tracker, const uint8_t* header,
                   int32_t offset, const TIFFDirectory& root, bool followNext);

}  // namespace tessel
