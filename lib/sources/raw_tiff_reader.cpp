// Nikon NEF raw files: a big-endian TIFF walk that finds the full-resolution raw image (the
// directory whose NewSubfileType is 0) and the decoder parameters in the Nikon maker note, then
// strip decoding and colour-filter interpolation (raw_nikon_decoder.cpp).
//
// This walker is separate from the Exif directory model: it reads big-endian data only, keeps its
// own type sizes and checks positions against the file size.

#include "sources/raw_tiff_reader.h"
#include "core/byte_order.h"
#include "platform/memory.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "core/exception.h"
#include "core/messages.h"
#include "core/pixel_image.h"
#include "core/property_list.h"
#include "exif/tag_names.h"
#include "core/tiff.h"
#include "platform/mapped_file.h"
#include "sources/image_sources.h"
#include "sources/raw_messages.h"
#include "sources/raw_nikon_decoder.h"

namespace tessel {

namespace {

constexpr uint32_t kMaxStrips = 16;
constexpr uint32_t kNoSubfileType = 0xFFFFFFFF;

// A property met during the walk. Setting a tag again replaces the pending item in place, as the
// property list's setters do; the list itself is filled once, when the walk ends or fails. An
// ASCII value is copied only then, so a file that repeats a long text in many entries costs one
// copy instead of one per entry.
struct PendingProperty {
  uint32_t tag;
  uint32_t type;
  uint32_t count;       // ASCII: the byte count
  const uint8_t* text;  // ASCII: the bytes in the mapping
  uint32_t values[2];   // SHORT, LONG: values[0]; RATIONAL: numerator, denominator
};

struct Entry {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  uint64_t size;         // raw type size x count
  const uint8_t* value;  // the value bytes: in the entry when size <= 4, else at its offset
};

// The walk's state for one file.
class RawTiffReader {
 public:
  RawTiffReader(PixelImage& image, const uint8_t* bytes, uint32_t fileSize)
      : bytes(bytes),
        fileSize(fileSize),
        file(bytes, fileSize, true, TiffTypeSet::kNikonRaw),
        image(image) {}

  void walk();
  void commitProperties();
  void build(uint64_t maxPixels);

 private:
  void walkChain(uint64_t offset);
  void enterDirectory(uint64_t position);
  Entry readEntry(const TiffReader& reader, uint64_t offset);
  void handleEntry(const Entry& entry);
  void handleRawEntry(const Entry& entry);
  void copyProperty(const Entry& entry);
  void walkMakerNote(const uint8_t* p, uint64_t size);
  void setPending(const PendingProperty& property);
  void decodeStrips();

  const uint8_t* bytes;
  uint32_t fileSize;
  TiffReader file;  // the whole file: NEF files are big-endian TIFF
  PixelImage& image;
  uint32_t subfileType = kNoSubfileType;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bitsPerSample = 0;
  uint32_t stripOffsets[kMaxStrips] = {};
  uint32_t stripCount = 0;
  uint32_t rowsPerStrip = 0;
  uint32_t stripByteCount = 0;
  uint32_t metaOffset = 0;
  uint32_t metaSize = 0;
  const CfaTables* cfa = nullptr;  // the red, green and blue method tables

  std::set<uint64_t> visited;  // file positions of the directories read so far
  std::vector<PendingProperty> pending;
};

void RawTiffReader::walk() {
  if (fileSize < 8 || readBigEndian32(bytes) != 0x4D4D002A) fail(msg::kRawInvalidStructure);
  walkChain(readBigEndian32(bytes + 4));
}

// No directory is read twice, and a file holds a bounded number of them, so that chains and
// lists that lead back to a directory end instead of walking for ever.
void RawTiffReader::enterDirectory(uint64_t position) {
  if (visited.size() >= kRawMaxDirectories || !visited.insert(position).second) {
    fail(msg::kRawInvalidStructure);
  }
}

void RawTiffReader::walkChain(uint64_t offset) {
  for (;;) {
    if (offset < 8 || offset + 2 > fileSize) fail(msg::kRawInvalidStructure);
    enterDirectory(offset);
    const uint32_t count = readBigEndian16(bytes + offset);
    const uint64_t entries = offset + 2;
    if (entries + 12 * uint64_t{count} + 4 > fileSize) fail(msg::kRawInvalidStructure);
    // A NewSubfileType applies to the rest of its own directory and to those reached from it.
    const uint32_t savedSubfileType = subfileType;
    for (uint32_t i = 0; i < count; ++i) handleEntry(readEntry(file, entries + 12 * i));
    subfileType = savedSubfileType;
    const uint32_t next = readBigEndian32(bytes + entries + 12 * uint64_t{count});
    if (next <= 8) return;
    offset = next;
  }
}

// The entry at `offset` of `reader` (the file, or a maker note with its own header), whose value
// bytes must lie inside the file.
Entry RawTiffReader::readEntry(const TiffReader& reader, uint64_t offset) {
  const TiffField field = reader.field(offset);
  // A type the walker does not take, and an entry without values, are both refused.
  if (field.size == 0) fail(msg::kRawInvalidType);
  if (!field.inlineValue() && !reader.contains(field.valueOffset, field.size)) {
    fail(msg::kRawInvalidDataCount);
  }
  return {field.tag, field.type, field.count, field.size, reader.header() + field.valueOffset};
}

void RawTiffReader::handleEntry(const Entry& entry) {
  switch (entry.tag) {
    case kTagNewSubfileType:
      if (entry.type != kTypeLong || entry.count != 1) fail(msg::kRawNewSubfileTypeType);
      subfileType = readBigEndian32(entry.value);
      if (subfileType == 0) {
        static constexpr char kRaw[] = "RAW";
        setPending({kTagCompressionMode, kTypeAscii, sizeof kRaw, nullptr, {0, 0}});
      }
      break;
    case kTagSubIfds:
    case kTagExifIfd:
      if (entry.type != kTypeLong) fail(msg::kRawSubIfdsType);
      for (uint32_t i = 0; i < entry.count; ++i)
        walkChain(readBigEndian32(entry.value + 4 * uint64_t{i}));
      break;
    case kTagMakerNote:
      walkMakerNote(entry.value, entry.size);
      break;
    default:
      // The raw image's own tags count in the raw directory only.
      if (subfileType == 0) handleRawEntry(entry);
      break;
  }
  copyProperty(entry);
}

// A tag of the raw image's directory: its size, sample depth, strips and colour filter.
void RawTiffReader::handleRawEntry(const Entry& entry) {
  // The value of a tag that must hold one LONG; fails with `message` otherwise.
  const auto oneLong = [&entry](const char* message) {
    if (entry.type != kTypeLong || entry.count != 1) fail(message);
    return readBigEndian32(entry.value);
  };
  switch (entry.tag) {
    case kTagImageWidth:
      width = oneLong(msg::kRawImageWidthType);
      break;
    case kTagImageLength:
      height = oneLong(msg::kRawImageLengthType);
      break;
    case kTagBitsPerSample:
      if (entry.type != kTypeShort || entry.count != 1) fail(msg::kRawBitsPerSampleType);
      bitsPerSample = readBigEndian16(entry.value);
      break;
    case kTagStripOffsets:
      if (entry.type != kTypeLong || entry.count > kMaxStrips) fail(msg::kRawStripOffsetsType);
      stripCount = entry.count;
      for (uint32_t i = 0; i < stripCount; ++i)
        stripOffsets[i] = readBigEndian32(entry.value + 4 * i);
      break;
    case kTagRowsPerStrip:
      rowsPerStrip = oneLong(msg::kRawRowsPerStripType);
      break;
    case kTagStripByteCounts:
      stripByteCount = oneLong(msg::kRawStripByteCountsType);
      break;
    case kTagCfaPattern:
      cfa = entry.type == kTypeByte && entry.count == 4 ? cfaTablesFor(entry.value) : nullptr;
      if (!cfa) fail(msg::kRawCfaPatternValue);
      break;
    default:
      break;
  }
}

// Descriptive tags are copied from every directory: ASCII as it stands, SHORT, LONG and RATIONAL
// when they hold one value.
void RawTiffReader::copyProperty(const Entry& entry) {
  if (!isImagePropertyTag(entry.tag)) return;
  switch (entry.type) {
    case kTypeAscii:
      setPending({entry.tag, kTypeAscii, entry.count, entry.value, {0, 0}});
      break;
    case kTypeShort:
      if (entry.count == 1)
        setPending({entry.tag, kTypeShort, 1, nullptr, {readBigEndian16(entry.value), 0}});
      break;
    case kTypeLong:
      if (entry.count == 1)
        setPending({entry.tag, kTypeLong, 1, nullptr, {readBigEndian32(entry.value), 0}});
      break;
    case kTypeRational:
      if (entry.count == 1) {
        setPending({entry.tag,
                    kTypeRational,
                    1,
                    nullptr,
                    {readBigEndian32(entry.value), readBigEndian32(entry.value + 4)}});
      }
      break;
    default:
      break;
  }
}

// The Nikon maker note: "Nikon", a zero byte, four version bytes, then a TIFF header of its own
// to which every offset inside is relative. Only tag 150, the decoder parameters, is used.
void RawTiffReader::walkMakerNote(const uint8_t* p, uint64_t size) {
  // The header reaches to byte 17 (the first IFD offset), so 18 bytes must be there.
  if (size < 18 || std::memcmp(p, "Nikon\0", 6) != 0 || readBigEndian32(p + 10) != 0x4D4D002A ||
      readBigEndian32(p + 14) != 8) {
    fail(msg::kRawInvalidMakerNote);
  }
  const uint64_t header = static_cast<uint64_t>(p + 10 - bytes);
  const uint64_t end = static_cast<uint64_t>(p - bytes) + size;
  // Its directories must lie inside the note; the values they point to only inside the file.
  const TiffReader note(bytes + header, fileSize - header, true, TiffTypeSet::kNikonRaw);
  uint64_t offset = header + 8;
  for (;;) {
    if (offset + 2 > end) fail(msg::kRawInvalidMakerNote);
    const uint32_t count = readBigEndian16(bytes + offset);
    const uint64_t entries = offset + 2;
    if (entries + 12 * uint64_t{count} + 4 > end) fail(msg::kRawInvalidMakerNote);
    enterDirectory(offset);
    for (uint32_t i = 0; i < count; ++i) {
      const Entry entry = readEntry(note, entries - header + 12 * i);
      if (entry.tag == kTagNikonDecoderParameters) {
        metaOffset = static_cast<uint32_t>(entry.value - bytes);
        metaSize = static_cast<uint32_t>(entry.size);
      }
    }
    const uint32_t next = readBigEndian32(bytes + entries + 12 * uint64_t{count});
    if (next <= 8) return;
    offset = header + next;
  }
}

void RawTiffReader::setPending(const PendingProperty& property) {
  for (PendingProperty& item : pending) {
    if (item.tag == property.tag) {
      item = property;
      return;
    }
  }
  pending.push_back(property);
}

void RawTiffReader::commitProperties() {
  PropertyList& list = image.properties;
  for (const PendingProperty& item : pending) {
    if (item.tag == kTagCompressionMode && item.text == nullptr) {
      setCompressionMode(list, msg::kRawCompressionMode);
      continue;
    }
    switch (item.type) {
      case kTypeAscii:
        setAscii(list, item.tag, item.text, item.count);
        break;
      case kTypeShort:
        setShort(list, item.tag, static_cast<uint16_t>(item.values[0]));
        break;
      case kTypeLong:
        setLong(list, item.tag, item.values[0]);
        break;
      default:
        setRational(list, item.tag, item.values[0], item.values[1]);
        break;
    }
  }
  pending.clear();
}

void RawTiffReader::build(uint64_t maxPixels) {
  if (width == 0) fail(msg::kRawImageWidthMissing);
  if (height == 0) fail(msg::kRawImageLengthMissing);
  if (bitsPerSample == 0) fail(msg::kRawBitsPerSampleMissing);
  if (stripCount == 0) fail(msg::kRawStripOffsetsMissing);
  if (rowsPerStrip == 0) fail(msg::kRawRowsPerStripMissing);
  if (stripByteCount == 0) fail(msg::kRawStripByteCountsMissing);
  if (uint64_t{rowsPerStrip} * stripCount != height) fail(msg::kRawInvalidImageStructure);
  if (!cfa) fail(msg::kRawCfaPatternValue);

  image.width = width;
  image.height = height;
  image.pixels.reset();
  if (maxPixels != 0 && uint64_t{width} * height > maxPixels) {
    failf(msg::kImageTooLarge, width, height);
  }
  image.pixels = platform::allocatePixels(width, height);
  decodeStrips();
}

void RawTiffReader::decodeStrips() {
  const size_t stripSamples = size_t{rowsPerStrip} * width;
  const size_t stripPixelSamples = stripSamples * 4;
  uint16_t* const pixels = image.pixels.get();
  uint32_t strip = 0;
  try {
    for (; strip < stripCount; ++strip) {
      const NikonParameters parameters = readNikonParameters(bytes + metaOffset, metaSize);
      const uint32_t offset = stripOffsets[strip];
      // The coded data runs from the strip's offset to the end of the file.
      if (offset >= fileSize) fail(msg::kRawNikonInvalid);
      // The raw samples go into the last quarter of the strip's own pixels, which the
      // interpolation overwrites only once it no longer needs them.
      uint16_t* const stripPixels = pixels + strip * stripPixelSamples;
      uint16_t* const raw = stripPixels + 3 * stripSamples;
      const uint16_t largest = decodeNikonStrip(bytes + offset, fileSize - offset, bitsPerSample,
                                                parameters, width, rowsPerStrip, raw);
      interpolateStrip(raw, width, rowsPerStrip, strip * rowsPerStrip, *cfa, cfaShift(largest),
                       stripPixels);
    }
  } catch (...) {
    // The rows no strip has finished hold no pixels: leave them black rather than undefined.
    std::fill(pixels + strip * stripPixelSamples, pixels + stripCount * stripPixelSamples,
              uint16_t{0});
    throw;
  }
}

}  // namespace

void readRawTiffBytes(PixelImage& image, const std::string& fileName, const uint8_t* bytes,
                      uint32_t size, uint64_t maxPixels) {
  try {
    RawTiffReader reader(image, bytes, size);
    try {
      reader.walk();
    } catch (...) {
      // Properties met before the failure stay in the image.
      reader.commitProperties();
      throw;
    }
    reader.commitProperties();
    reader.build(maxPixels);
  } catch (const RawLayerException& e) {
    failf(msg::kRawError, fileName.c_str(), e.message().c_str());
  }
}

void readRawTiffFile(PixelImage& image, const std::string& fileName) {
  const MappedFile file(fileName);
  readRawTiffBytes(image, fileName, file.view(), file.size());
}

}  // namespace tessel
