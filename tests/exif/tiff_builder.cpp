#include "tiff_builder.h"

#include <algorithm>

namespace tessel::test {

TiffEntrySpec shortEntry(uint16_t tag, uint16_t value, bool bigEndian) {
  std::string field(2, '\0');
  field[0] = static_cast<char>(bigEndian ? value >> 8 : value & 0xFF);
  field[1] = static_cast<char>(bigEndian ? value & 0xFF : value >> 8);
  return {tag, 3, 1, 0, field};
}

TiffBlock& TiffBlock::header(uint32_t firstIfd, const char* order, uint16_t magic) {
  bytes(0, std::string(order ? order : (bigEndian ? "MM" : "II")));
  put16(2, magic);
  return put32(4, firstIfd);
}

TiffBlock& TiffBlock::put16(size_t at, uint16_t value) {
  if (data.size() < at + 2) data.resize(at + 2);
  data[at + (bigEndian ? 1 : 0)] = static_cast<uint8_t>(value);
  data[at + (bigEndian ? 0 : 1)] = static_cast<uint8_t>(value >> 8);
  return *this;
}

TiffBlock& TiffBlock::put32(size_t at, uint32_t value) {
  if (data.size() < at + 4) data.resize(at + 4);
  for (int i = 0; i < 4; ++i) {
    data[at + (bigEndian ? 3 - i : i)] = static_cast<uint8_t>(value >> (8 * i));
  }
  return *this;
}

TiffBlock& TiffBlock::bytes(size_t at, const std::string& text) {
  if (data.size() < at + text.size()) data.resize(at + text.size());
  std::copy(text.begin(), text.end(), data.begin() + static_cast<std::ptrdiff_t>(at));
  return *this;
}

TiffBlock& TiffBlock::bytes(size_t at, const std::vector<uint8_t>& raw) {
  if (data.size() < at + raw.size()) data.resize(at + raw.size());
  std::copy(raw.begin(), raw.end(), data.begin() + static_cast<std::ptrdiff_t>(at));
  return *this;
}

TiffBlock& TiffBlock::ifd(size_t at, std::initializer_list<TiffEntrySpec> entries,
                          std::optional<uint32_t> next) {
  put16(at, static_cast<uint16_t>(entries.size()));
  size_t pos = at + 2;
  for (const TiffEntrySpec& e : entries) {
    put16(pos, e.tag);
    put16(pos + 2, e.type);
    put32(pos + 4, e.count);
    if (e.inlineBytes) {
      std::string field = *e.inlineBytes;
      field.resize(4, '\0');
      bytes(pos + 8, field);
    } else {
      put32(pos + 8, e.value);
    }
    pos += 12;
  }
  if (next) put32(pos, *next);
  return *this;
}

}  // namespace tessel::test
