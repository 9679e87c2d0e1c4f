#pragma once

// Builds TIFF/Exif blocks byte by byte for tests: a header, IFDs at chosen offsets and value bytes,
// in either byte order.

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/range_tracker.h"
#include "exif/tag_names.h"
#include "exif/tiff_directory.h"

namespace tessel::test {

// One 12-byte IFD entry. The value field holds `value` as a 32-bit number in the block's order,
// or, when `inlineBytes` is set, those bytes (zero-padded to 4).
struct TiffEntrySpec {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  uint32_t value = 0;
  std::optional<std::string> inlineBytes = std::nullopt;
};

// A SHORT entry with count 1 and its value in the first two bytes of the value field.
TiffEntrySpec shortEntry(uint16_t tag, uint16_t value, bool bigEndian);

class TiffBlock {
 public:
  explicit TiffBlock(bool bigEndian, size_t size = 512) : bigEndian(bigEndian), data(size, 0) {}

  // "II" or "MM" (or `order` when given), the magic number and the first IFD's offset.
  TiffBlock& header(uint32_t firstIfd, const char* order = nullptr, uint16_t magic = 42);
  TiffBlock& put16(size_t at, uint16_t value);
  TiffBlock& put32(size_t at, uint32_t value);
  TiffBlock& bytes(size_t at, const std::string& text);
  TiffBlock& bytes(size_t at, const std::vector<uint8_t>& raw);
  // The entry count, the entries and, when `next` is set, the 4-byte next-IFD link.
  TiffBlock& ifd(size_t at, std::initializer_list<TiffEntrySpec> entries,
                 std::optional<uint32_t> next = 0u);
  TiffBlock& resize(size_t size) {
    data.resize(size);
    return *this;
  }

  bool bigEndian;
  std::vector<uint8_t> data;
};

// A parse of a block with its own tracker over the block's bytes.
struct ParsedTiff {
  explicit ParsedTiff(const std::vector<uint8_t>& block)
      : bytes(block), tracker(bytes.data(), static_cast<int32_t>(bytes.size())) {}
  void parse() { parseExif(directory, tracker, bytes.data()); }
  std::string listing(int level = 0) const {
    std::ostringstream out;
    printDirectory(directory, bytes.data(), level, out);
    return out.str();
  }

  std::vector<uint8_t> bytes;
  RangeTracker tracker;
  TIFFDirectory directory;
};

}  // namespace tessel::test
