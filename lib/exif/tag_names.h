#pragma once

#include <cstdint>
#include <ostream>

namespace tessel {

class TIFFDirectory;
class TIFFEntry;

// The name of a 32-bit tag (namespace included: Canon maker-note tags are 0x20000 + tag, GPS
// tags 0x30000 + tag, MPF tags 0x40000 + tag), or "???" for a tag without a name.
const char* tagName(uint32_t tag);

// The name of a property of a decoded image's list in the decode report ("Date Time", "Make",
// "Pixel Format", ...), or "???".
const char* propertyName(uint32_t tag);

// The descriptive tags that image sources copy into a property list (Make, Model, Orientation, the
// resolution, dates, ...).
bool isImagePropertyTag(uint32_t tag) noexcept;

// The first line of an entry's listing: "Tag 0x%x \"%s\" (value bytes %d - %d):".
void printEntryHeading(const TIFFEntry& entry, const uint8_t* base, int level, std::ostream& out);

// Lists one directory: its byte-order line and each entry, all at `level`. Positions are printed
// relative to `base` (the first byte of the mapped file).
void printDirectory(const TIFFDirectory& directory, const uint8_t* base, int level,
                    std::ostream& out);

}  // namespace tessel
