#pragma once

// Helpers shared by the encoder's unit and conformance tests: pixel images made in code, metadata
// sources assembled from segments, and libjpeg-turbo as the independent decoder.

// jpeglib.h needs size_t and FILE declared before it.
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "core/range_tracker.h"
#include "jpeg/jpeg_reader.h"
#include "support/test_support.h"

namespace tessel::test {

struct Rgba {
  uint16_t r, g, b, a;
};

inline PixelImage makeImage(uint32_t width, uint32_t height,
                            const std::function<Rgba(uint32_t, uint32_t)>& pixel) {
  PixelImage image;
  image.setPixels(width, height, PixelImage::allocatePixels(width, height));
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const Rgba p = pixel(x, y);
      uint16_t* out = image.pixels.get() + (size_t{y} * width + x) * 4;
      out[0] = p.r;
      out[1] = p.g;
      out[2] = p.b;
      out[3] = p.a;
    }
  }
  return image;
}

inline const uint16_t* pixelAt(const PixelImage& image, uint32_t x, uint32_t y) {
  return image.pixels.get() + (size_t{y} * image.width + x) * 4;
}

// A smooth colour picture with some texture, opaque.
inline PixelImage makePicture(uint32_t width, uint32_t height) {
  return makeImage(width, height, [&](uint32_t x, uint32_t y) {
    const double fx = double(x) / width, fy = double(y) / height;
    auto level = [](double v) {
      return static_cast<uint16_t>(std::lround(std::clamp(v, 0.0, 1.0) * 65535));
    };
    return Rgba{level(0.5 + 0.4 * std::sin(6 * fx + 2 * fy)),
                level(0.5 + 0.4 * std::cos(5 * fy - 3 * fx)),
                level(0.3 + 0.5 * fx * fy + 0.05 * ((x * 7 + y * 13) % 5)), 65535};
  });
}

// The message of the RawLayerException that `action` throws, or "(no exception)".
inline std::string messageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const RawLayerException& e) {
    return e.message();
  }
  return "(no exception)";
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

// --- Segments of a metadata source ------------------------------------------------------------

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
  Bytes p = {precision,
             static_cast<uint8_t>(height >> 8),
             static_cast<uint8_t>(height),
             static_cast<uint8_t>(width >> 8),
             static_cast<uint8_t>(width),
             static_cast<uint8_t>(comps.size())};
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

// A DHT table body holding one 1-bit code (symbol 0); only its header matters to the encoder.
inline Bytes dhtTable(uint8_t classAndNumber) {
  Bytes t = {classAndNumber, 1};
  t.resize(17, 0);
  t.push_back(0);
  return t;
}

// Four tables (DC 0, AC 0, DC 1, AC 1) in one segment.
inline Bytes dhtFourTables() {
  return concat({dhtTable(0x00), dhtTable(0x10), dhtTable(0x01), dhtTable(0x11)});
}

inline const std::vector<FrameComponent> kFrame420 = {{1, 0x22, 0}, {2, 0x11, 1}, {3, 0x11, 1}};
inline const std::vector<ScanComponent> kScanYcc = {{1, 0x00}, {2, 0x11}, {3, 0x11}};

// A metadata source: SOI, the given segments, two bytes of entropy-coded data, EOI.
inline Bytes jpegFile(const std::vector<Bytes>& segments) {
  Bytes file = kSoi;
  for (const auto& s : segments) file.insert(file.end(), s.begin(), s.end());
  file.insert(file.end(), {0x12, 0x34});
  file.insert(file.end(), kEoi.begin(), kEoi.end());
  return file;
}

// A typical 4:2:0 source of the given size, with a COM segment and a DRI segment.
inline Bytes typicalSource(uint16_t width, uint16_t height,
                           const std::vector<FrameComponent>& frame = kFrame420) {
  return jpegFile(
      {segmentBytes(0xFE, {'h', 'i'}), segmentBytes(0xDB, concat({dqtTable(0, 4), dqtTable(1, 6)})),
       segmentBytes(0xC0, sofPayload(width, height, frame)), segmentBytes(0xDD, {0x00, 0x04}),
       segmentBytes(0xC4, dhtFourTables()), segmentBytes(0xDA, sosPayload(kScanYcc))});
}

// A JPEG byte stream segmented into marker objects; the bytes live as long as the markers.
class ParsedJpeg {
 public:
  explicit ParsedJpeg(Bytes bytes) : bytes_(std::move(bytes)) {
    tracker_ = std::make_unique<RangeTracker>(bytes_.data(), static_cast<int32_t>(bytes_.size()));
    segment(list_, *tracker_, bytes_.data(), static_cast<int32_t>(bytes_.size()));
  }
  const MarkerList& markers() const { return list_; }
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
  std::unique_ptr<RangeTracker> tracker_;
  MarkerList list_;
};

// Segments of a JPEG stream up to and including the first SOS: (code, whole segment bytes).
struct RawSegment {
  uint8_t code;
  Bytes bytes;
};
inline std::vector<RawSegment> segmentsUpToScan(const Bytes& file, size_t* scanStart = nullptr) {
  std::vector<RawSegment> segments;
  size_t pos = 2;
  while (pos + 4 <= file.size() && file[pos] == 0xFF) {
    const uint8_t code = file[pos + 1];
    const size_t length = (size_t{file[pos + 2]} << 8) | file[pos + 3];
    if (pos + 2 + length > file.size()) break;
    segments.push_back({code, Bytes(file.begin() + pos, file.begin() + pos + 2 + length)});
    pos += 2 + length;
    if (code == 0xDA) break;
  }
  if (scanStart) *scanStart = pos;
  return segments;
}

// --- libjpeg-turbo as the independent decoder -------------------------------------------------

struct Decoded {
  bool ok = false;
  std::string error;
  int warnings = 0;
  int width = 0, height = 0, components = 0;
  std::vector<uint8_t> samples;  // interleaved, `components` per pixel
};

namespace detail {
struct ErrorManager {
  jpeg_error_mgr base;
  jmp_buf jump;
  int warnings = 0;
  char message[JMSG_LENGTH_MAX] = {};
};
inline void onError(j_common_ptr info) {
  auto* manager = reinterpret_cast<ErrorManager*>(info->err);
  info->err->format_message(info, manager->message);
  longjmp(manager->jump, 1);
}
inline void onMessage(j_common_ptr info, int level) {
  if (level < 0) ++reinterpret_cast<ErrorManager*>(info->err)->warnings;
}
}  // namespace detail

// Decodes a JPEG held in memory, to RGB (or grey for one component, or Y only when `luma`).
// `plain` asks for the float inverse DCT and chroma replicated without smoothing, which is how
// the project's decoder works.
inline Decoded decodeWithLibjpeg(const Bytes& file, bool luma = false, bool plain = false) {
  Decoded result;
  jpeg_decompress_struct info;
  detail::ErrorManager manager;
  info.err = jpeg_std_error(&manager.base);
  manager.base.error_exit = detail::onError;
  manager.base.emit_message = detail::onMessage;
  jpeg_create_decompress(&info);
  if (setjmp(manager.jump)) {
    result.error = manager.message;
    jpeg_destroy_decompress(&info);
    return result;
  }
  jpeg_mem_src(&info, const_cast<unsigned char*>(file.data()), file.size());
  jpeg_read_header(&info, TRUE);
  if (luma) info.out_color_space = JCS_GRAYSCALE;
  if (plain) {
    info.dct_method = JDCT_FLOAT;
    info.do_fancy_upsampling = FALSE;
  }
  jpeg_start_decompress(&info);
  result.width = static_cast<int>(info.output_width);
  result.height = static_cast<int>(info.output_height);
  result.components = info.output_components;
  const size_t stride = size_t(result.width) * result.components;
  result.samples.resize(stride * result.height);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = result.samples.data() + stride * info.output_scanline;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  result.warnings = manager.warnings;
  jpeg_destroy_decompress(&info);
  result.ok = true;
  return result;
}

// Encodes 8-bit RGB samples with libjpeg-turbo: the given quality, luma sampling h x v (chroma
// 1 x 1), restart interval in MCUs (0 for none), or one grey component when `grey`.
inline Bytes encodeWithLibjpeg(const std::vector<uint8_t>& rgb, int width, int height, int quality,
                               int h = 2, int v = 2, int restartInterval = 0, bool grey = false) {
  jpeg_compress_struct info;
  jpeg_error_mgr error;
  info.err = jpeg_std_error(&error);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  if (grey) jpeg_set_colorspace(&info, JCS_GRAYSCALE);
  jpeg_set_quality(&info, quality, TRUE);
  info.comp_info[0].h_samp_factor = grey ? 1 : h;
  info.comp_info[0].v_samp_factor = grey ? 1 : v;
  info.restart_interval = static_cast<unsigned>(restartInterval);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(rgb.data()) + size_t(info.next_scanline) * width * 3;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  Bytes file(buffer, buffer + size);
  jpeg_destroy_compress(&info);
  free(buffer);
  return file;
}

// A decoded picture as a PixelImage (8-bit values v become v x 257, opaque).
inline PixelImage toPixelImage(const Decoded& decoded) {
  return makeImage(decoded.width, decoded.height, [&](uint32_t x, uint32_t y) {
    const uint8_t* p =
        decoded.samples.data() + (size_t(y) * decoded.width + x) * decoded.components;
    if (decoded.components == 1) {
      const auto v = static_cast<uint16_t>(p[0] * 257);
      return Rgba{v, v, v, 65535};
    }
    return Rgba{static_cast<uint16_t>(p[0] * 257), static_cast<uint16_t>(p[1] * 257),
                static_cast<uint16_t>(p[2] * 257), 65535};
  });
}

// PSNR in dB between two 8-bit sample arrays of the same size.
inline double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = double(a[i]) - double(b[i]);
    sum += d * d;
  }
  const double mse = sum / double(a.size());
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// The 8-bit RGB samples of a PixelImage (the high byte rounded: v / 257).
inline std::vector<uint8_t> rgb8(const PixelImage& image) {
  std::vector<uint8_t> out;
  out.reserve(size_t{image.width} * image.height * 3);
  for (size_t i = 0; i < size_t{image.width} * image.height; ++i) {
    for (int c = 0; c < 3; ++c) {
      out.push_back(static_cast<uint8_t>((image.pixels[i * 4 + c] + 128) / 257));
    }
  }
  return out;
}

}  // namespace tessel::test
