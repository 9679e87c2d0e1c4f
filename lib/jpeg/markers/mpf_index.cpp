#include "jpeg/markers/mpf_index.h"

#include <cstring>
#include <string>

#include "core/byte_order.h"
#include "core/exception.h"
#include "core/range_tracker.h"
#include "core/text.h"
#include "core/tiff.h"
#include "exif/tag_names.h"

namespace tessel {

namespace {

constexpr uint8_t kMpfSignature[4] = {'M', 'P', 'F', 0};
constexpr uint32_t kMpEntrySize = 16;

struct MpTypeRow {
  uint32_t type;
  const char* name;
};
constexpr MpTypeRow kMpTypes[] = {
    {0x030000, "Baseline MP Primary Image"},
    {kMpTypeLargeThumbnailVga, "Large Thumbnail (VGA equivalent)"},
    {kMpTypeLargeThumbnailFullHd, "Large Thumbnail (full HD equivalent)"},
    {0x020001, "Multi-frame Panorama"},
    {0x020002, "Multi-frame Disparity"},
    {0x020003, "Multi-frame Multi-angle"},
    {0x000000, "Undefined"},
};

std::string flagText(const MpEntry& entry) {
  std::string text;
  const auto add = [&](bool set, const char* name) {
    if (set) text.append(text.empty() ? "" : ", ").append(name);
  };
  add(entry.dependentParent(), "dependent parent");
  add(entry.dependentChild(), "dependent child");
  add(entry.representative(), "representative");
  return text.empty() ? "none" : text;
}

void printEntries(const MpfIndex& index, const uint8_t* base, int level, std::ostream& out) {
  for (size_t i = 0; i < index.entries.size(); ++i) {
    const MpEntry& e = index.entries[i];
    // The first image starts the file; the others lie at their offset from the index's header.
    const int64_t first = e.offset == 0 ? 0 : (index.header - base) + int64_t{e.offset};
    indent(level, out);
    writef(out, "Image %u: flags \"%s\", format %s, type 0x%06x \"%s\", size %u, offset %u",
           static_cast<unsigned>(i + 1), flagText(e).c_str(), e.format() == 0 ? "JPEG" : "other",
           e.type(), mpTypeName(e.type()), e.size, e.offset);
    if (e.dependent1 != 0 || e.dependent2 != 0) {
      writef(out, ", dependent images %u and %u", unsigned{e.dependent1}, unsigned{e.dependent2});
    }
    writef(out, " (bytes %lld - %lld)\n", static_cast<long long>(first),
           static_cast<long long>(first + int64_t{e.size} - 1));
  }
}

}  // namespace

std::unique_ptr<MpfIndex> parseMpfIndex(const uint8_t* payload, int32_t length) {
  if (length < 4 || std::memcmp(payload, kMpfSignature, 4) != 0) return nullptr;
  auto index = std::make_unique<MpfIndex>();
  index->header = payload + 4;
  // The index is read with a tracker of its own over the TIFF block: its structure is checked as
  // an Exif block's is (no offset reaches before its header), and the file's account of
  // identified bytes is the segment's whole payload.
  RangeTracker tracker(index->header, length - 4);
  try {
    parseExif(index->directory, tracker, index->header);
  } catch (const RawLayerException&) {
    return nullptr;
  }
  index->bigEndian = index->directory.bigEndian;
  index->directory.addTagNamespace(kMpfNamespace);
  index->entryTag = index->directory.findTag(kMpfNamespace | kTagMpEntry);
  if (const TIFFEntry* tag = index->entryTag; tag && tag->type == kTypeUndefined) {
    // The value bytes of an entry lie inside the segment for its whole count.
    for (uint32_t at = 0; at + kMpEntrySize <= tag->count; at += kMpEntrySize) {
      const uint8_t* p = tag->value + at;
      MpEntry& e = index->entries.emplace_back();
      e.attribute = read32(p, index->bigEndian);
      e.size = read32(p + 4, index->bigEndian);
      e.offset = read32(p + 8, index->bigEndian);
      e.dependent1 = read16(p + 12, index->bigEndian);
      e.dependent2 = read16(p + 14, index->bigEndian);
      e.field = p;
    }
  }
  return index;
}

const char* mpTypeName(uint32_t type) {
  for (const MpTypeRow& row : kMpTypes) {
    if (row.type == type) return row.name;
  }
  return "???";
}

void printMpfIndex(const MpfIndex& index, const uint8_t* base, int level, std::ostream& out) {
  indent(level, out);
  out << "\"MPF\" multi-picture index\n";
  indent(level, out);
  writef(out, "TIFF data in %s order\n", index.bigEndian ? "Motorola" : "Intel");
  for (const auto& entry : index.directory.entries) {
    if (entry.get() == index.entryTag && !index.entries.empty()) {
      printEntryHeading(*entry, base, level, out);
      printEntries(index, base, level + 1, out);
    } else {
      entry->print(base, level, out, index.bigEndian);
    }
  }
}

}  // namespace tessel
