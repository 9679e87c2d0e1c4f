#pragma once

// Helpers for the encoder's tests: pixel images made in code, metadata sources assembled from
// segments, and the libjpeg-turbo helpers that the decoder's tests keep.

#include <array>
#include <functional>
#include <memory>

#include "jpeg/decoder_test_support.h"

namespace tessel::test {

struct Rgba {
  uint16_t r, g, b, a;
};

inline PixelImage makeImage(uint32_t width, uint32_t height,
                            const std::function<Rgba(uint32_t, uint32_t)>& pixel) {
  PixelImage image;
  image.setPixels(width, height, PixelImage::allocatePixels(width, height));
  uint16_t* out = image.pixels.get();
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x, out += 4) {
      const Rgba p = pixel(x, y);
      out[0] = p.r, out[1] = p.g, out[2] = p.b, out[3] = p.a;
    }
  }
  return image;
}

// 8-bit RGB samples as an opaque PixelImage (v becomes v x 257), and back.
inline PixelImage fromRgb8(const std::vector<uint8_t>& rgb, uint32_t width, uint32_t height) {
  return makeImage(width, height, [&](uint32_t x, uint32_t y) {
    const uint8_t* p = &rgb[(size_t{y} * width + x) * 3];
    return Rgba{uint16_t(p[0] * 257), uint16_t(p[1] * 257), uint16_t(p[2] * 257), 65535};
  });
}
inline std::vector<uint8_t> toRgb8(const PixelImage& image) {
  std::vector<uint8_t> rgb;
  for (size_t i = 0; i < size_t{image.width} * image.height * 4; ++i) {
    if (i % 4 != 3) rgb.push_back(static_cast<uint8_t>(toEightBits(image.pixels[i])));
  }
  return rgb;
}

inline const uint16_t* pixelAt(const PixelImage& image, uint32_t x, uint32_t y) {
  return image.pixels.get() + (size_t{y} * image.width + x) * 4;
}

// PSNR in dB between two sample arrays of the same size.
inline double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / sum);
}

// Natural (row-major) index of each zig-zag position, walked diagonal by diagonal.
inline const std::array<int, 64> kNaturalOfZigzag = [] {
  std::array<int, 64> table{};
  int k = 0;
  for (int sum = 0; sum < 15; ++sum) {
    const int low = std::max(0, sum - 7), high = std::min(sum, 7);
    for (int i = 0; i <= high - low; ++i) {
      const int row = (sum % 2 == 0) ? high - i : low + i;
      table[k++] = row * 8 + (sum - row);
    }
  }
  return table;
}();

// --- Segments of a metadata source -------------------------------------------------------------

struct FrameComponent {
  uint8_t id, sampling, table;
};
struct ScanComponent {
  uint8_t id, tables;
};

inline Bytes dqtTable(uint8_t index, uint16_t value, bool wide = false) {
  Bytes table = {static_cast<uint8_t>((wide ? 0x10 : 0x00) | index)};
  for (int k = 0; k < 64; ++k) {
    if (wide) table.push_back(static_cast<uint8_t>(value >> 8));
    table.push_back(static_cast<uint8_t>(value));
  }
  return table;
}

inline Bytes sofPayload(uint16_t width, uint16_t height, const std::vector<FrameComponent>& comps,
                        uint8_t precision = 8) {
  Bytes p = {precision,           uint8_t(height >> 8), uint8_t(height),
             uint8_t(width >> 8), uint8_t(width),       uint8_t(comps.size())};
  for (const auto& c : comps) p.insert(p.end(), {c.id, c.sampling, c.table});
  return p;
}

inline Bytes sosPayload(const std::vector<ScanComponent>& comps, uint8_t ss = 0, uint8_t se = 63,
                        uint8_t approximation = 0) {
  Bytes p = {static_cast<uint8_t>(comps.size())};
  for (const auto& c : comps) p.insert(p.end(), {c.id, c.tables});
  p.insert(p.end(), {ss, se, approximation});
  return p;
}

// A DHT table body with one 1-bit code (symbol 0); only its header matters to the encoder.
inline Bytes dhtTable(uint8_t classAndNumber) {
  Bytes t(18, 0);
  t[0] = classAndNumber;
  t[1] = 1;
  return t;
}
inline Bytes dhtFourTables() {
  return concat({dhtTable(0x00), dhtTable(0x10), dhtTable(0x01), dhtTable(0x11)});
}

inline const std::vector<FrameComponent> kFrame420 = {{1, 0x22, 0}, {2, 0x11, 1}, {3, 0x11, 1}};
inline const std::vector<ScanComponent> kScanYcc = {{1, 0x00}, {2, 0x11}, {3, 0x11}};

// A metadata source: SOI, the given segments, entropy-coded data after an SOS, EOI. The data is
// filler, as much as a frame of the first SOF's size needs at the least (one bit per 8 x 8 block
// of each of up to three full-size components) and never less than two bytes.
inline Bytes jpegFile(const std::vector<Bytes>& segments) {
  Bytes file = kSoi;
  size_t data = 2;
  for (const auto& s : segments) {
    file.insert(file.end(), s.begin(), s.end());
    if (s[1] == 0xC0 && s.size() >= 9 && data == 2) {
      const size_t height = size_t{s[5]} << 8 | s[6], width = size_t{s[7]} << 8 | s[8];
      data = std::max<size_t>(2, 3 * ((width + 7) / 8) * ((height + 7) / 8) / 8 + 1);
    }
  }
  if (!segments.empty() && segments.back()[1] == 0xDA) {
    for (size_t i = 0; i < data; ++i) file.push_back(i % 2 ? 0x34 : 0x12);
  }
  file.insert(file.end(), {0xFF, 0xD9});
  return file;
}

// A 4:2:0 source with a COM and a DRI segment; `scan` lists the SOS components.
inline Bytes typicalSource(uint16_t width, uint16_t height,
                           const std::vector<ScanComponent>& scan = kScanYcc) {
  return jpegFile(
      {segmentBytes(0xFE, {'h', 'i'}), segmentBytes(0xDB, concat({dqtTable(0, 4), dqtTable(1, 6)})),
       segmentBytes(0xC0, sofPayload(width, height, kFrame420)), segmentBytes(0xDD, {0x00, 0x04}),
       segmentBytes(0xC4, dhtFourTables()), segmentBytes(0xDA, sosPayload(scan))});
}

// A JPEG byte stream segmented into marker objects; the bytes live as long as the markers.
class ParsedJpeg {
 public:
  explicit ParsedJpeg(Bytes bytes) : bytes_(std::move(bytes)) {
    tracker_ = std::make_unique<RangeTracker>(bytes_.data(), static_cast<int32_t>(bytes_.size()));
    segment(list_, *tracker_, bytes_.data(), static_cast<int32_t>(bytes_.size()));
  }
  const MarkerList& markers() const { return list_; }

 private:
  Bytes bytes_;
  std::unique_ptr<RangeTracker> tracker_;
  MarkerList list_;
};

// The segments of a JPEG stream up to and including the first SOS, as (code, whole segment);
// `scanStart` receives the offset where the entropy-coded data begins.
struct RawSegment {
  uint8_t code;
  Bytes bytes;
};
inline std::vector<RawSegment> segmentsUpToScan(const Bytes& file, size_t* scanStart = nullptr) {
  std::vector<RawSegment> segments;
  size_t pos = 2;
  while (pos + 4 <= file.size() && file[pos] == 0xFF) {
    const uint8_t code = file[pos + 1];
    const size_t end = pos + 2 + ((size_t{file[pos + 2]} << 8) | file[pos + 3]);
    if (end > file.size()) break;
    segments.push_back({code, Bytes(file.begin() + pos, file.begin() + end)});
    pos = end;
    if (code == 0xDA) break;
  }
  if (scanStart) *scanStart = pos;
  return segments;
}

// True when the entropy-coded data from `start` to the final EOI has every 0xFF stuffed (so it
// holds no marker, restart markers included) and the file ends with EOI.
inline bool scanIsClean(const Bytes& file, size_t start) {
  if (file.size() < start + 2 || file[file.size() - 2] != 0xFF || file.back() != 0xD9) return false;
  for (size_t i = start; i + 2 < file.size(); ++i) {
    if (file[i] == 0xFF && file[i + 1] != 0x00) return false;
  }
  return true;
}

}  // namespace tessel::test
