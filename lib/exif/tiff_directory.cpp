#include "exif/tiff_directory.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/byte_order.h"
#include "core/exception.h"
#include "core/messages.h"
#include "core/pixel_image.h"
#include "core/property_list.h"
#include "core/range_tracker.h"
#include "core/tiff.h"
#include "exif/messages.h"
#include "exif/tag_names.h"

namespace tessel {

// ---- TIFFDirectory -------------------------------------------------------------------------

TIFFDirectory::~TIFFDirectory() = default;

const TIFFEntry* TIFFDirectory::findTag(uint32_t tag) const {
  for (const auto& entry : entries) {
    if (const TIFFEntry* found = entry->findTag(tag)) return found;
  }
  return nullptr;
}

void TIFFDirectory::addTagNamespace(uint32_t bits) {
  for (auto& entry : entries) entry->addTagNamespace(bits);
}

void TIFFDirectory::applyToImage(bool bigEndian, PixelImage& image) const {
  for (const auto& entry : entries) entry->applyToImage(bigEndian, image);
}

// ---- TIFFEntry family ----------------------------------------------------------------------

uint32_t TIFFEntry::valueSize() const {
  return typeSizeOrZero(type) * count;
}

const TIFFEntry* TIFFEntry::findTag(uint32_t wanted) const {
  return tag == wanted ? this : nullptr;
}

void TIFFEntry::addTagNamespace(uint32_t bits) {
  tag |= bits;
}

void TIFFEntry::applyToImage(bool bigEndian, PixelImage& image) const {
  if (!isImagePropertyTag(tag)) return;
  PropertyList& list = image.properties;
  switch (type) {
    case kTypeAscii:
    case kTypeUtf8:
      setText(list, tag, type, value, count);
      break;
    case kTypeShort:
      if (count == 1) setShort(list, tag, read16(value, bigEndian));
      break;
    case kTypeLong:
      if (count == 1) setLong(list, tag, read32(value, bigEndian));
      break;
    case kTypeRational:
      if (count == 1) {
        setRational(list, tag, read32(value, bigEndian), read32(value + 4, bigEndian));
      }
      break;
    case kTypeFloat:
      if (count == 1) {
        const uint32_t bits = read32(value, bigEndian);
        float number;
        std::memcpy(&number, &bits, sizeof number);
        setFloat(list, tag, number);
      }
      break;
    default:
      break;
  }
}

ThumbnailOffset::ThumbnailOffset(uint32_t ifdIndex, uint32_t tag, uint32_t type, uint32_t count,
                                 const uint8_t* value, const uint8_t* header, int32_t offset)
    : TIFFEntry(ifdIndex, tag, type, count, value),
      header(header),
      offset(offset),
      // The stored offset may point anywhere; the address is formed without pointer arithmetic
      // so that an offset outside the mapping is merely a number until someone checks it.
      thumbnailData(reinterpret_cast<const uint8_t*>(reinterpret_cast<uintptr_t>(header) +
                                                     static_cast<uintptr_t>(int64_t{offset}))) {}

const TIFFEntry* TIFFNestedDir::findTag(uint32_t wanted) const {
  return directory.findTag(wanted);
}

void TIFFNestedDir::addTagNamespace(uint32_t bits) {
  directory.addTagNamespace(bits);
}

void TIFFNestedDir::applyToImage(bool bigEndian, PixelImage& image) const {
  directory.applyToImage(bigEndian, image);
}

// ---- Parsing -------------------------------------------------------------------------------

namespace {

// Positions inside the block are kept as 64-bit offsets from the TIFF header, and an address is
// formed only once the range is known to lie inside the tracker's current bound (which lies
// inside the mapped buffer). So no offset from the file can wrap around a check or make a
// pointer outside the mapping.
const uint8_t* inBound(const RangeTracker& tracker, const uint8_t* header, int64_t offset,
                       int64_t length) {
  if (length < 0) return nullptr;
  const int64_t start = tracker.offsetOf(header) + offset;
  const RangeTracker::Range bound = tracker.currentBound();
  if (start < bound.lo || start + length > bound.hi) return nullptr;
  return tracker.base() + start;
}

// The address of the range when all of it is inside the bound and unclaimed, else null.
const uint8_t* unclaimedAt(const RangeTracker& tracker, const uint8_t* header, int64_t offset,
                           int64_t length) {
  const uint8_t* p = inBound(tracker, header, offset, length);
  return p && tracker.isUnclaimed(p, length) ? p : nullptr;
}

// Claims the range and returns its address; throws the tracker's message when it cannot.
const uint8_t* claimAt(RangeTracker& tracker, const uint8_t* header, int64_t offset,
                       int64_t length) {
  const uint8_t* p = inBound(tracker, header, offset, length);
  if (!p) fail(msg::kInvalidOffset);
  tracker.claim(p, length);
  return p;
}

bool isSonyMakerNoteHeader(const uint8_t* p) {
  static constexpr uint8_t kDsc[12] = {'S', 'O', 'N', 'Y', ' ', 'D', 'S', 'C', ' ', 0, 0, 0};
  static constexpr uint8_t kCam[12] = {'S', 'O', 'N', 'Y', ' ', 'C', 'A', 'M', ' ', 0, 0, 0};
  return std::memcmp(p, kDsc, 12) == 0 || std::memcmp(p, kCam, 12) == 0;
}

// The maker note's own IFD may be damaged in any way; what was read before the fault is kept and
// the rest of the block is parsed as usual.
void parseMakerNoteIfd(TIFFNestedDir& note, RangeTracker& tracker, const uint8_t* header,
                       int64_t offset, const TIFFDirectory& root, bool followNext, uint32_t bits) {
  try {
    parseIfdChain(note.directory, tracker, header, static_cast<int32_t>(offset), root, followNext);
  } catch (const RawLayerException&) {
    // Dropped: a broken maker note does not fail the block.
  }
  note.directory.addTagNamespace(bits);
}

// Appends the entry for tag 37500: a parsed Canon or Sony maker note when the camera make and
// the note's header say so, otherwise a plain entry.
void appendMakerNote(TIFFDirectory& directory, RangeTracker& tracker, const uint8_t* header,
                     const TIFFDirectory& root, uint32_t ifdIndex, uint32_t tag, uint32_t type,
                     uint32_t count, const uint8_t* value) {
  const bool bigEndian = directory.bigEndian;
  const TIFFEntry* make = root.findTag(kTagMake);
  if (make && make->type == kTypeAscii) {
    // Every entry's value bytes are readable for count bytes (ASCII has size 1).
    if (make->count >= 6 && std::memcmp(make->value, "Canon", 5) == 0) {
      auto note = std::make_unique<CanonMakerNote>(ifdIndex, tag, type, count, value, bigEndian);
      CanonMakerNote& ref = *note;
      directory.entries.push_back(std::move(note));
      parseMakerNoteIfd(ref, tracker, header, value - header, root, true, kCanonNamespace);
      return;
    }
    if (make->count >= 5 && std::memcmp(make->value, "SONY", 5) == 0) {
      const uint8_t* prefix = unclaimedAt(tracker, header, value - header, 12);
      if (prefix && isSonyMakerNoteHeader(prefix)) {
        tracker.claim(prefix, 12);
        auto note =
            std::make_unique<SonyMakerNote>(ifdIndex, tag, type, count, prefix + 12, bigEndian);
        SonyMakerNote& ref = *note;
        directory.entries.push_back(std::move(note));
        parseMakerNoteIfd(ref, tracker, header, prefix + 12 - header, root, false, kSonyNamespace);
        return;
      }
    }
  }
  directory.entries.push_back(std::make_unique<TIFFEntry>(ifdIndex, tag, type, count, value));
}

}  // namespace

void parseExif(TIFFDirectory& directory, RangeTracker& tracker, const uint8_t* header) {
  const uint8_t* h = claimAt(tracker, header, 0, 8);
  if (h[0] == 0x49 && h[1] == 0x49) {
    directory.bigEndian = false;
  } else if (h[0] == 0x4D && h[1] == 0x4D) {
    directory.bigEndian = true;
  } else {
    fail(msg::kExifInvalidByteOrder);
  }
  if (read16(h + 2, directory.bigEndian) != 42) fail(msg::kExifInvalidStartMarker);
  const auto first = static_cast<int32_t>(read32(h + 4, directory.bigEndian));
  parseIfdChain(directory, tracker, header, first, directory, true);
}

namespace {

// One IFD chain being read: where its structure lies and what the entries read so far say.
struct IfdReader {
  TIFFDirectory& directory;
  RangeTracker& tracker;
  const uint8_t* header;
  const TIFFDirectory& root;
  const TiffReader& reader;
  uint32_t ifdIndex = 0;
  int64_t minOffset = INT32_MAX;  // of the values, thumbnail and sub-IFDs the IFD points to

  void readEntry(int64_t offset);
  void appendEntry(uint32_t tag, uint32_t type, uint32_t count, const uint8_t* value);
};

// Reads the 12-byte entry at `offset` into the directory, or drops it when its value bytes are
// not free.
void IfdReader::readEntry(int64_t offset) {
  const uint8_t* entry = claimAt(tracker, header, offset, 12);
  const TiffField field = reader.field(uint64_t(offset));
  if (field.typeSize == 0) fail(msg::kUnknownTiffType);
  const auto count = static_cast<int32_t>(field.count);
  if (count < 0 || count > kMaxTiffCount) fail(msg::kInvalidTiffCount);
  const int64_t total = int64_t(field.size);
  const uint8_t* value = entry + 8;
  if (total > 4) {
    // Offsets are signed here: one that reads as negative points before the header.
    const auto valueOffset = static_cast<int32_t>(static_cast<uint32_t>(field.valueOffset));
    minOffset = std::min<int64_t>(minOffset, valueOffset);
    // Out-of-line values must lie in bytes nobody has identified; they are tested, not claimed,
    // so that structure can never be read as a value and the other way round.
    value = unclaimedAt(tracker, header, valueOffset, total);
    if (!value) return;  // the entry is dropped
  }
  // From here `value` is readable for max(total, 4) bytes.
  appendEntry(field.tag, field.type, static_cast<uint32_t>(count), value);
}

// The entry's object: a nested directory for the sub-IFD pointers (a pointer to bytes already
// read is dropped), the thumbnail's position and length, a maker note, or a plain entry.
void IfdReader::appendEntry(uint32_t tag, uint32_t type, uint32_t count, const uint8_t* value) {
  const bool bigEndian = directory.bigEndian;
  auto& entries = directory.entries;
  switch (tag) {
    case kTagExifIfd:
    case kTagGpsIfd:
    case kTagInteropIfd: {
      const auto sub = static_cast<int32_t>(read32(value, bigEndian));
      if (!unclaimedAt(tracker, header, sub, 2)) return;
      minOffset = std::min<int64_t>(minOffset, sub);
      auto nested = std::make_unique<TIFFNestedDir>(ifdIndex, tag, type, count, value, bigEndian);
      TIFFNestedDir& ref = *nested;
      entries.push_back(std::move(nested));
      parseIfdChain(ref.directory, tracker, header, sub, root, true);
      if (tag == kTagGpsIfd) ref.directory.addTagNamespace(kGpsNamespace);
      return;
    }
    case kTagThumbnailOffset: {
      const auto start = static_cast<int32_t>(read32(value, bigEndian));
      minOffset = std::min<int64_t>(minOffset, start);
      entries.push_back(
          std::make_unique<ThumbnailOffset>(ifdIndex, tag, type, count, value, header, start));
      return;
    }
    case kTagThumbnailLength:
      entries.push_back(std::make_unique<ThumbnailLength>(ifdIndex, tag, type, count, value,
                                                          read32(value, bigEndian)));
      return;
    case kTagMakerNote:
      appendMakerNote(directory, tracker, header, root, ifdIndex, tag, type, count, value);
      return;
    default:
      entries.push_back(std::make_unique<TIFFEntry>(ifdIndex, tag, type, count, value));
      return;
  }
}

}  // namespace

void parseIfdChain(TIFFDirectory& directory, RangeTracker& tracker, const uint8_t* header,
                   int32_t firstOffset, const TIFFDirectory& root, bool followNext) {
  // Entries are read by the shared TIFF reader; what the Exif tree adds on top are its bounds: the
  // tracker's, in which structure is claimed and values must be unclaimed. Every pass claims the
  // IFD's count bytes first, so a chain that links back into an IFD already read stops there.
  const int64_t headerOffset = tracker.offsetOf(header);
  const TiffReader reader(header,
                          uint64_t(std::max<int64_t>(0, tracker.currentBound().hi - headerOffset)),
                          directory.bigEndian, TiffTypeSet::kExif);
  IfdReader ifd{directory, tracker, header, root, reader};
  for (int64_t offset = firstOffset;;) {
    ifd.minOffset = INT32_MAX;
    if (!unclaimedAt(tracker, header, offset, 2)) return;
    claimAt(tracker, header, offset, 2);
    const uint32_t entryCount = reader.read16(uint64_t(offset));
    offset += 2;
    for (uint32_t i = 0; i < entryCount; ++i, offset += 12) ifd.readEntry(offset);
    // A link position that is not before every value the IFD points to is not a link: data that
    // follows the entries directly is never read as a next-IFD offset.
    if (!followNext || offset >= ifd.minOffset) return;
    const uint8_t* linkBytes = unclaimedAt(tracker, header, offset, 4);
    if (!linkBytes) return;
    tracker.claim(linkBytes, 4);
    const auto link = static_cast<int32_t>(read32(linkBytes, directory.bigEndian));
    if (link == 0) return;
    ++ifd.ifdIndex;
    offset = link;
  }
}

}  // namespace tessel
