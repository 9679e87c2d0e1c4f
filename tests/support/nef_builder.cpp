#include "nef_builder.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <map>
#include <stdexcept>

namespace tessel::test {

namespace {

void putBe16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void putBe32(Bytes& out, uint32_t value) {
  putBe16(out, static_cast<uint16_t>(value >> 16));
  putBe16(out, static_cast<uint16_t>(value));
}

void storeBe16(Bytes& out, size_t at, uint16_t value) {
  out[at] = static_cast<uint8_t>(value >> 8);
  out[at + 1] = static_cast<uint8_t>(value);
}

void storeBe32(Bytes& out, size_t at, uint32_t value) {
  storeBe16(out, at, static_cast<uint16_t>(value >> 16));
  storeBe16(out, at + 2, static_cast<uint16_t>(value));
}

uint32_t tiffTypeSize(uint16_t type) {
  if (type == 3 || type == 8) return 2;
  if (type == 4 || type == 9 || type == 11) return 4;
  if (type == 5 || type == 10 || type == 12) return 8;
  return 1;
}

size_t alignWord(size_t position) {
  return (position + 1) & ~size_t{1};
}

// Bytes of an entry's value as written; 0 when the value field is given verbatim.
size_t valueSize(const TiffEntry& entry) {
  if (entry.field) return 0;
  if (!entry.refs.empty()) return 4 * entry.refs.size();
  return entry.data.size();
}

struct Layout {
  std::map<std::string, uint32_t> positions;
  std::vector<std::vector<size_t>> dataPositions;  // per directory, per entry (out-of-line only)
  size_t size = 8;
};

Layout layOut(const TiffFile& file) {
  Layout layout;
  size_t position = 8;
  for (const TiffDirectory& directory : file.directories) {
    position = alignWord(position);
    layout.positions[directory.name] = static_cast<uint32_t>(position);
    position += 2 + 12 * directory.entries.size() + 4;
    std::vector<size_t>& data = layout.dataPositions.emplace_back();
    for (const TiffEntry& entry : directory.entries) {
      const size_t size = valueSize(entry);
      if (size > 4) {
        position = alignWord(position);
        data.push_back(position);
        position += size;
      } else {
        data.push_back(0);
      }
    }
  }
  for (const TiffBlob& blob : file.blobs) {
    position = alignWord(position);
    layout.positions[blob.name] = static_cast<uint32_t>(position);
    position += blob.bytes.size();
  }
  layout.size = position;
  return layout;
}

uint32_t resolve(const Layout& layout, const std::string& name) {
  const auto it = layout.positions.find(name);
  if (it == layout.positions.end()) throw std::invalid_argument("no TIFF part named " + name);
  return it->second;
}

// A triangle wave of period `period` between 0 and `period` / 2.
int32_t triangle(int64_t t, int32_t period) {
  const int32_t phase = static_cast<int32_t>(t % period);
  return phase < period / 2 ? phase : period - phase;
}

struct Code {
  uint16_t bits = 0;
  uint8_t length = 0;
};

// Canonical codes of the Nikon tables, by symbol (the number of difference bits).
std::array<Code, 16> nikonCodes(unsigned bits) {
  static constexpr uint8_t kCounts12[16] = {0, 1, 4, 2, 3, 1, 2};
  static constexpr uint8_t kSymbols12[] = {5, 4, 6, 3, 7, 2, 8, 1, 9, 0, 10, 11, 12};
  static constexpr uint8_t kCounts14[16] = {0, 1, 4, 2, 2, 3, 1, 2};
  static constexpr uint8_t kSymbols14[] = {7, 6, 8, 5, 9, 4, 10, 3, 11, 12, 2, 0, 1, 13, 14};
  const uint8_t* counts = bits == 14 ? kCounts14 : kCounts12;
  const uint8_t* symbols = bits == 14 ? kSymbols14 : kSymbols12;
  std::array<Code, 16> codes{};
  uint32_t code = 0;
  int index = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < counts[length - 1]; ++i) {
      codes[symbols[index++]] = {static_cast<uint16_t>(code++), static_cast<uint8_t>(length)};
    }
    code <<= 1;
  }
  return codes;
}

class BitWriter {
 public:
  void put(uint32_t value, int length) {
    for (int i = length - 1; i >= 0; --i) {
      current_ = static_cast<uint8_t>(current_ << 1 | ((value >> i) & 1));
      if (++used_ == 8) {
        out_.push_back(current_);
        current_ = 0;
        used_ = 0;
      }
    }
  }
  // Pads the last byte with zero bits.
  Bytes finish() {
    if (used_ != 0) out_.push_back(static_cast<uint8_t>(current_ << (8 - used_)));
    used_ = 0;
    current_ = 0;
    return std::move(out_);
  }

 private:
  Bytes out_;
  uint8_t current_ = 0;
  int used_ = 0;
};

TiffEntry entryOf(uint16_t tag, uint16_t type, uint32_t count, Bytes data) {
  TiffEntry entry;
  entry.tag = tag;
  entry.type = type;
  entry.count = count;
  entry.data = std::move(data);
  return entry;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TiffEntry TiffEntry::ascii(uint16_t tag, const std::string& text) {
  TiffEntry entry =
      entryOf(tag, 2, static_cast<uint32_t>(text.size() + 1), Bytes(text.begin(), text.end()));
  entry.data.push_back(0);
  return entry;
}

TiffEntry TiffEntry::shorts(uint16_t tag, const std::vector<uint16_t>& values) {
  TiffEntry entry = entryOf(tag, 3, static_cast<uint32_t>(values.size()), {});
  for (uint16_t value : values) putBe16(entry.data, value);
  return entry;
}

TiffEntry TiffEntry::longs(uint16_t tag, const std::vector<uint32_t>& values) {
  TiffEntry entry = entryOf(tag, 4, static_cast<uint32_t>(values.size()), {});
  for (uint32_t value : values) putBe32(entry.data, value);
  return entry;
}

TiffEntry TiffEntry::rational(uint16_t tag, uint32_t numerator, uint32_t denominator) {
  TiffEntry entry = entryOf(tag, 5, 1, {});
  putBe32(entry.data, numerator);
  putBe32(entry.data, denominator);
  return entry;
}

TiffEntry TiffEntry::raw(uint16_t tag, uint16_t type, const Bytes& data) {
  return entryOf(tag, type, static_cast<uint32_t>(data.size() / tiffTypeSize(type)), data);
}

TiffEntry TiffEntry::positions(uint16_t tag, const std::vector<TiffRef>& refs) {
  TiffEntry entry = entryOf(tag, 4, static_cast<uint32_t>(refs.size()), {});
  entry.refs = refs;
  return entry;
}

TiffEntry* TiffDirectory::find(uint16_t tag) {
  for (TiffEntry& entry : entries) {
    if (entry.tag == tag) return &entry;
  }
  return nullptr;
}

TiffEntry& TiffDirectory::set(const TiffEntry& entry) {
  if (TiffEntry* existing = find(entry.tag)) return *existing = entry;
  const auto at = std::find_if(entries.begin(), entries.end(),
                               [&](const TiffEntry& e) { return e.tag > entry.tag; });
  return *entries.insert(at, entry);
}

void TiffDirectory::remove(uint16_t tag) {
  std::erase_if(entries, [tag](const TiffEntry& e) { return e.tag == tag; });
}

TiffDirectory& TiffFile::directory(const std::string& name) {
  for (TiffDirectory& d : directories) {
    if (d.name == name) return d;
  }
  throw std::invalid_argument("no TIFF directory named " + name);
}

TiffBlob& TiffFile::blob(const std::string& name) {
  for (TiffBlob& b : blobs) {
    if (b.name == name) return b;
  }
  throw std::invalid_argument("no TIFF blob named " + name);
}

Bytes TiffFile::serialize() const {
  const Layout layout = layOut(*this);
  Bytes out(layout.size, 0);
  std::copy(header.begin(), header.begin() + std::min<size_t>(header.size(), 4), out.begin());
  uint32_t first = 0;
  if (firstField) {
    first = *firstField;
  } else if (!directories.empty()) {
    first = resolve(layout, directories.front().name);
  }
  storeBe32(out, 4, first);

  for (size_t d = 0; d < directories.size(); ++d) {
    const TiffDirectory& directory = directories[d];
    size_t at = resolve(layout, directory.name);
    storeBe16(out, at, static_cast<uint16_t>(directory.entries.size()));
    at += 2;
    for (size_t e = 0; e < directory.entries.size(); ++e, at += 12) {
      const TiffEntry& entry = directory.entries[e];
      storeBe16(out, at, entry.tag);
      storeBe16(out, at + 2, entry.type);
      storeBe32(out, at + 4, entry.count);
      Bytes value = entry.data;
      if (!entry.refs.empty()) {
        value.clear();
        for (const TiffRef& ref : entry.refs)
          putBe32(value, resolve(layout, ref.target) + ref.delta);
      }
      if (entry.field) {
        storeBe32(out, at + 8, *entry.field);
      } else if (value.size() > 4) {
        const size_t dataAt = layout.dataPositions[d][e];
        storeBe32(out, at + 8, static_cast<uint32_t>(dataAt));
        std::copy(value.begin(), value.end(), out.begin() + static_cast<std::ptrdiff_t>(dataAt));
      } else {
        std::copy(value.begin(), value.end(), out.begin() + static_cast<std::ptrdiff_t>(at + 8));
      }
    }
    uint32_t next = 0;
    if (directory.nextField) {
      next = *directory.nextField;
    } else if (!directory.next.empty()) {
      next = resolve(layout, directory.next);
    }
    storeBe32(out, at, next);
  }
  for (const TiffBlob& blob : blobs) {
    std::copy(blob.bytes.begin(), blob.bytes.end(),
              out.begin() + static_cast<std::ptrdiff_t>(resolve(layout, blob.name)));
  }
  return out;
}

// ---------------------------------------------------------------------------------------------

const char* cfaName(CfaLayout layout) {
  static constexpr const char* kNames[] = {"RGGB", "BGGR", "GRBG", "GBRG"};
  return kNames[static_cast<int>(layout)];
}

Bytes cfaPatternBytes(CfaLayout layout) {
  static const Bytes kPatterns[] = {{0, 1, 1, 2}, {2, 1, 1, 0}, {1, 0, 2, 1}, {1, 2, 0, 1}};
  return kPatterns[static_cast<int>(layout)];
}

int cfaColour(CfaLayout layout, uint32_t x, uint32_t y) {
  return cfaPatternBytes(layout)[(x & 1) + 2 * (y & 1)];
}

RawSamples syntheticSamples(uint32_t width, uint32_t rows, unsigned bits, uint32_t seed) {
  RawSamples samples{width, rows, std::vector<uint16_t>(size_t{width} * rows)};
  const int32_t top = (1 << bits) - 1;
  const int32_t scale = 1 << (bits - 8);  // one step of an 8-bit scene
  const int32_t noise = 2 * scale;
  uint32_t state = seed * 2654435761u + 1;
  for (uint32_t y = 0; y < rows; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      // Broad gradients, a few soft bands and a colour cast per CFA site, like a dim scene.
      int32_t value = 16 * scale + static_cast<int32_t>(x) * 40 * scale / std::max(width, 1u) +
                      static_cast<int32_t>(y) * 30 * scale / std::max(rows, 1u) +
                      triangle(int64_t{x} + 2 * int64_t{y}, 512) * scale / 4 +
                      triangle(int64_t{3} * x + y, 97) * scale / 8;
      value = value * (10 + static_cast<int32_t>((x & 1) + (y & 1))) / 10;
      value += static_cast<int32_t>(state % static_cast<uint32_t>(2 * noise + 1)) - noise;
      samples.at(x, y) = static_cast<uint16_t>(std::clamp(value, 0, top));
    }
  }
  return samples;
}

Bytes encodeNikonLossless(const RawSamples& samples, unsigned bits, const NikonSeeds& seeds) {
  const std::array<Code, 16> codes = nikonCodes(bits);
  BitWriter writer;
  NikonSeeds vertical = seeds;
  for (uint32_t r = 0; r < samples.rows; ++r) {
    int32_t horizontal[2] = {0, 0};
    for (uint32_t c = 0; c < samples.width; ++c) {
      const int32_t predicted = c < 2 ? vertical[r & 1][c] : horizontal[c & 1];
      const int32_t sample = samples.at(c, r);
      const int32_t diff = sample - predicted;
      const int n = diff == 0 ? 0 : std::bit_width(static_cast<uint32_t>(std::abs(diff)));
      if (n >= 16 || codes[n].length == 0) {
        throw std::invalid_argument("difference does not fit the Nikon code table");
      }
      writer.put(codes[n].bits, codes[n].length);
      if (n != 0) writer.put(static_cast<uint32_t>(diff >= 0 ? diff : diff + (1 << n) - 1), n);
      if (c < 2) vertical[r & 1][c] = static_cast<uint16_t>(sample);
      horizontal[c & 1] = sample;
    }
  }
  return writer.finish();
}

Bytes nikonDecoderParameters(const NikonSeeds& seeds, uint8_t version, uint8_t version2) {
  Bytes out = {version, version2};
  for (const auto& row : seeds) {
    for (uint16_t seed : row) putBe16(out, seed);
  }
  putBe16(out, 0);  // curve size
  return out;
}

Bytes NefFile::serialize() const {
  TiffFile file = tiff;
  if (withMakerNote) {
    Bytes note = makerNotePrefix;
    const Bytes inner = makerNote.serialize();
    note.insert(note.end(), inner.begin(), inner.end());
    file.directory("exif").set(TiffEntry::raw(37500, 7, note));
  }
  return file.serialize();
}

NefFile makeNef(const RawSamples& samples, const NefOptions& options) {
  constexpr uint32_t kPreviewWidth = 16, kPreviewHeight = 12;
  const std::string kDateTime = "2024:05:06 07:08:09";
  NefFile nef;
  TiffFile& t = nef.tiff;

  TiffDirectory ifd0{"ifd0", {}, {}, {}};
  ifd0.entries = {
      TiffEntry::longs(254, {1}),
      TiffEntry::longs(256, {kPreviewWidth}),
      TiffEntry::longs(257, {kPreviewHeight}),
      TiffEntry::shorts(258, {8, 8, 8}),
      TiffEntry::shorts(259, {1}),
      TiffEntry::shorts(262, {2}),
      TiffEntry::ascii(271, "NIKON CORPORATION"),
      TiffEntry::ascii(272, "NIKON D3X"),
      TiffEntry::positions(273, {{"preview", 0}}),
      TiffEntry::shorts(274, {1}),
      TiffEntry::shorts(277, {3}),
      TiffEntry::longs(278, {kPreviewHeight}),
      TiffEntry::longs(279, {kPreviewWidth * kPreviewHeight * 3}),
      TiffEntry::rational(282, 300, 1),
      TiffEntry::rational(283, 300, 1),
      TiffEntry::shorts(284, {1}),
      TiffEntry::shorts(296, {2}),
      TiffEntry::ascii(305, "Ver.1.00"),
      TiffEntry::ascii(306, kDateTime),
      TiffEntry::positions(330, {{"raw", 0}}),
      TiffEntry::positions(34665, {{"exif", 0}}),
  };

  const Bytes coded = encodeNikonLossless(samples, options.bitsPerSample, options.seeds);
  std::vector<TiffRef> strips(options.strips, TiffRef{"strip", 0});
  TiffDirectory raw{"raw", {}, {}, {}};
  raw.entries = {
      TiffEntry::longs(254, {0}),
      TiffEntry::longs(256, {samples.width}),
      TiffEntry::longs(257, {samples.rows * options.strips}),
      TiffEntry::shorts(258, {static_cast<uint16_t>(options.bitsPerSample)}),
      TiffEntry::shorts(259, {34713}),
      TiffEntry::shorts(262, {32803}),
      TiffEntry::positions(273, strips),
      TiffEntry::shorts(277, {1}),
      TiffEntry::longs(278, {samples.rows}),
      TiffEntry::longs(279, {static_cast<uint32_t>(coded.size())}),
      TiffEntry::shorts(284, {1}),
      TiffEntry::shorts(33421, {2, 2}),
      TiffEntry::raw(33422, 1, cfaPatternBytes(options.cfa)),
      TiffEntry::shorts(37399, {2}),
  };

  TiffDirectory exif{"exif", {}, {}, {}};
  exif.entries = {
      TiffEntry::rational(33434, 1, 125),
      TiffEntry::ascii(36867, kDateTime),
  };

  t.directories = {ifd0, raw, exif};
  Bytes preview(kPreviewWidth * kPreviewHeight * 3);
  for (size_t i = 0; i < preview.size(); ++i) preview[i] = static_cast<uint8_t>(i * 7);
  t.blobs = {{"preview", preview}, {"strip", coded}};

  TiffDirectory nikon{"nikon", {}, {}, {}};
  nikon.entries = {
      TiffEntry::raw(1, 7, Bytes{'0', '2', '1', '0'}),
      TiffEntry::raw(150, 7, nikonDecoderParameters(options.seeds)),
  };
  nef.makerNote.directories = {nikon};
  return nef;
}

}  // namespace tessel::test
