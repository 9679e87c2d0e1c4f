#pragma once

// The multi-picture index of an APP2 "MPF" segment (CIPA DC-007): a TIFF header of its own byte
// order and an IFD chain. In the first image of a file it is the MP Index IFD, whose MP entries
// say where the file's images lie, possibly followed by an MP Attribute IFD; in the images after
// it, an MP Attribute IFD alone. The index points into the mapping, which must outlive it.

#include <cstdint>
#include <memory>
#include <ostream>
#include <vector>

#include "exif/tiff_directory.h"

namespace tessel {

// The namespace of MPF tags in the tag-name table.
inline constexpr uint32_t kMpfNamespace = 0x40000;
inline constexpr uint32_t kTagMpEntry = 0xB002;

// The MP image types.
inline constexpr uint32_t kMpTypeLargeThumbnailVga = 0x010001;
inline constexpr uint32_t kMpTypeLargeThumbnailFullHd = 0x010002;

// One 16-byte MP entry.
struct MpEntry {
  uint32_t attribute = 0;  // flags, data format and type
  uint32_t size = 0;
  uint32_t offset = 0;  // from the TIFF header of the first image's index; 0 for the first image
  uint16_t dependent1 = 0, dependent2 = 0;
  const uint8_t* field = nullptr;  // the entry's 16 bytes in the mapping

  bool dependentParent() const { return (attribute >> 31) & 1; }
  bool dependentChild() const { return (attribute >> 30) & 1; }
  bool representative() const { return (attribute >> 29) & 1; }
  uint32_t format() const { return (attribute >> 24) & 7; }  // 0: JPEG
  uint32_t type() const { return attribute & 0xFFFFFF; }
  // Large thumbnails, which a merge makes anew from its image.
  bool isPreview() const {
    return type() == kMpTypeLargeThumbnailVga || type() == kMpTypeLargeThumbnailFullHd;
  }
};

struct MpfIndex {
  const uint8_t* header = nullptr;  // the TIFF header; MP offsets count from it
  bool bigEndian = false;
  TIFFDirectory directory;              // entries' tags carry kMpfNamespace
  const TIFFEntry* entryTag = nullptr;  // the MPEntry entry, when there is one
  std::vector<MpEntry> entries;
};

// The index of an APP2 payload that starts with "MPF" and a zero byte, all of whose `length`
// bytes lie inside the mapping; null for any other payload. Damaged structure never throws: the
// parse keeps what it could read, and a header or entry it cannot read leaves no index.
std::unique_ptr<MpfIndex> parseMpfIndex(const uint8_t* payload, int32_t length);

// The name of an MP image type ("Baseline MP Primary Image", ...), or "???".
const char* mpTypeName(uint32_t type);

// Lists the index at `level`: a heading line, then the directory as the Exif listing prints one,
// with each MP entry on a line of its own (flags, format, type, size, offset and the bytes of the
// file it points to, counted from `base`).
void printMpfIndex(const MpfIndex& index, const uint8_t* base, int level, std::ostream& out);

}  // namespace tessel
