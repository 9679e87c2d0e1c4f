#pragma once

// What the comparisons with independent tools share: a JPEG file's structure up to its scan as
// the test reads it, libjpeg-turbo's Y, Cb and Cr, the project's decoder, quality measures, and
// the pictures that are merged.

#include <gtest/gtest.h>

// jpeglib.h needs size_t and FILE declared first.
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "core/pixel_image.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/markers/jpeg_reader.h"
#include "support/jpeg.h"

namespace tessel::test {

inline constexpr char kDate[] = "2001:02:03 04:05:06";
// The RGB PSNR that a merge of smoothPicture reaches: chroma is subsampled and quantized more
// coarsely, and this encoder's Cb and Cr weights are not quite the inverse of the JFIF conversion
// that libjpeg-turbo applies, which costs up to about 8 dB against luma (measured 30 to 45 dB); a
// turned, mirrored or channel-swapped picture lies below 20 dB.
inline constexpr double kColourBound = 27.0;

// Every real JPEG file of the sample folders; each comparison with a tool is one test of it.
class RealFile : public ::testing::TestWithParam<std::string> {};

struct Segment {
  uint8_t code;
  size_t offset;
  Bytes bytes;  // marker and length included
};
struct Component {
  int id, h, v, table;
};

// A file's segments up to and including the first SOS, and what they say.
struct Facts {
  std::vector<Segment> segments;
  size_t scanStart = 0;  // the offset after the first SOS, or 0
  int sof = 0, precision = 0, jfifMajor = -1, adobeTransform = -1, maxH = 1, maxV = 1;
  uint32_t width = 0, height = 0;
  std::vector<Component> components;
  std::map<int, std::vector<int>> tables;  // quantization tables by number, in zigzag order

  explicit Facts(const Bytes& file) {
    for (size_t pos = 2; pos + 4 <= file.size() && file[pos] == 0xFF;) {
      const uint8_t code = file[pos + 1], *p = file.data() + pos + 4;
      const size_t end = pos + 2 + (file[pos + 2] << 8 | file[pos + 3]), n = end - pos - 4;
      if (end > file.size() || end < pos + 4) break;
      segments.push_back({code, pos, Bytes(file.begin() + pos, file.begin() + end)});
      pos = end;
      if (code == 0xDB) {
        for (size_t at = 0, size; at < n && at + (size = p[at] >> 4 ? 129 : 65) <= n; at += size) {
          auto& table = tables[p[at] & 15] = {};
          for (size_t k = 1; k < size; k += size / 64) {
            table.push_back(size == 129 ? p[at + k] << 8 | p[at + k + 1] : p[at + k]);
          }
        }
      } else if (code >> 4 == 0xC && (code % 4 || code == 0xC0) && !sof && n >= 6) {  // SOFn
        sof = code, precision = p[0], height = p[1] << 8 | p[2], width = p[3] << 8 | p[4];
        for (const uint8_t* c = p + 6; c < p + 6 + 3 * p[5] && c + 3 <= p + n; c += 3) {
          components.push_back({c[0], c[1] >> 4, c[1] & 15, c[2]});
          maxH = std::max(maxH, c[1] >> 4), maxV = std::max(maxV, c[1] & 15);
        }
      } else if (code == 0xE0 && n >= 7 && !std::memcmp(p, "JFIF", 5)) {
        jfifMajor = p[5];
      } else if (code == 0xEE && n >= 12 && !std::memcmp(p, "Adobe", 5)) {
        adobeTransform = p[11];
      } else if (code == 0xDA) {
        scanStart = pos;
        break;
      }
    }
  }
  // Whether the components take their slots by position: one or three distinct IDs, one of them
  // 0 (0, 1, 2 as some cameras and editors write them). Otherwise an ID below 4 is the slot.
  bool slotsByPosition() const {
    std::set<int> ids;
    for (const Component& c : components) ids.insert(c.id);
    return (components.size() == 1 || components.size() == 3) && ids.size() == components.size() &&
           ids.count(0);
  }
  // IDs 1, 2, 3 (or 1, or distinct ones placed by position) and one of the five samplings that
  // the programs take.
  bool layoutSupported() const {
    bool ids = true;
    for (size_t i = 0; i < components.size(); ++i) {
      ids = ids && (slotsByPosition() || components[i].id == int(i) + 1);
    }
    const auto is11 = [&](size_t i) { return components[i].h == 1 && components[i].v == 1; };
    return ids && (components.size() == 1
                       ? is11(0)
                       : components.size() == 3 && maxH <= 2 && maxV <= 2 && is11(1) && is11(2));
  }
  // The refusal of a layout other than the five, with the components by slot.
  std::string samplingRefusal() const {
    std::vector<Component> byId = components;
    for (size_t i = 0; i < byId.size() && slotsByPosition(); ++i) byId[i].id = int(i) + 1;
    std::sort(byId.begin(), byId.end(), [](auto& a, auto& b) { return a.id < b.id; });
    std::string text = "Unsupported sampling (";
    for (const Component& c : byId) {
      text += " comp " + std::to_string(c.id) + ": " + std::to_string(c.h) + " x " +
              std::to_string(c.v);
    }
    return text + " )";
  }
  const Segment* exif() const {  // the first APP1 that holds "Exif\0\0"
    for (const Segment& s : segments) {
      if (s.code == 0xE1 && s.bytes.size() >= 10 && !std::memcmp(&s.bytes[4], "Exif\0", 6)) {
        return &s;
      }
    }
    return nullptr;
  }
  // The lowest luma PSNR that the luma table allows: each coefficient is off by at most q/2, so
  // by Parseval a block's luma is off by at most sqrt(sum q^2 / 256) per pixel (root mean
  // square); the decoder's transform and its rounding add less than a level.
  double lumaBound() const {
    if (components.empty() || !tables.count(components[0].table)) return 1000;
    double sum = 0;
    for (int q : tables.at(components[0].table)) sum += double(q) * q;
    return 20 * std::log10(255.0 / (std::sqrt(sum / 256) + 1));
  }
};

// The project's decoder on a file: the message of its failure, or "(no exception)".
inline std::string decodeFile(const std::string& path, PixelImage& image) {
  return messageOf([&] {
    JPEGReader reader(path);
    reader.parse();
    decodeJpegImage(*reader.markers, image);
  });
}

// libjpeg-turbo's Y, Cb and Cr (Y three times for grey) with the float inverse DCT and
// replicating upsampling, interleaved; empty when it fails.
inline std::vector<uint8_t> turboYcc(const Bytes& jpeg) {
  struct Error {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
  } error;
  jpeg_decompress_struct info;
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = [](j_common_ptr i) { std::longjmp(((Error*)i->err)->jump, 1); };
  error.manager.output_message = [](j_common_ptr) {};
  std::vector<uint8_t> out, row;  // before setjmp: no destructor is jumped over
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    return {};
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&info, TRUE);
  info.dct_method = JDCT_FLOAT;
  info.do_fancy_upsampling = FALSE;
  info.out_color_space = info.num_components == 1 ? JCS_GRAYSCALE : JCS_YCbCr;
  jpeg_start_decompress(&info);
  const size_t width = info.output_width, n = info.output_components;
  out.resize(width * info.output_height * 3);
  row.resize(width * n);
  for (JSAMPROW rows[1] = {row.data()}; info.output_scanline < info.output_height;) {
    uint8_t* o = &out[info.output_scanline * width * 3];
    jpeg_read_scanlines(&info, rows, 1);
    for (size_t i = 0; i < width * 3; ++i) o[i] = row[n == 1 ? i / 3 : i];
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return out;
}

// The project's decode against libjpeg-turbo's at 8 bits. `max` and `aboveTwo` leave out pixels
// whose Y, Cb or Cr libjpeg-turbo range-limited before its colour conversion (this decoder
// converts the unlimited values, so those differ by design); `mean` covers every pixel. This
// decoder's chroma weights are not JFIF's (red takes Cr x 1.40945 against 1.402, blue Cb x
// 1.77953 against 1.772, green a little of both): that difference times the chroma of the pixel,
// rounded to a level, is taken off each sample's difference first, so that saturated colours, where
// it alone reaches a level, are held to the same rounding bounds as the rest.
struct Agreement {
  bool sameSize = false, opaque = true;
  int max[3] = {0, 0, 0};
  double mean[3] = {0, 0, 0};
  long aboveTwo = 0, samples = 0;
};
inline Agreement agreementWithTurbo(const PixelImage& image, const Bytes& jpeg) {
  Agreement a;
  const TurboImage turbo = decodeWithTurbo(jpeg);
  const std::vector<uint8_t> ycc = turboYcc(jpeg);
  const size_t pixels = size_t{image.width} * image.height;
  a.sameSize = turbo.ok && image.pixels && turbo.width == image.width &&
               turbo.height == image.height && ycc.size() == pixels * 3;
  for (size_t i = 0; a.sameSize && i < pixels; ++i) {
    const uint16_t* p = image.pixels.get() + 4 * i;
    const bool limited =
        std::any_of(&ycc[3 * i], &ycc[3 * i + 3], [](uint8_t v) { return v == 0 || v == 255; });
    a.opaque = a.opaque && p[3] == 65535;
    const double cb = ycc[3 * i + 1] - 128.0, cr = ycc[3 * i + 2] - 128.0;
    const double weights[3] = {(362.2283 / 257 - 1.402) * cr,
                               (0.344136 - 87.57424 / 257) * cb + (0.714136 - 183.4464 / 257) * cr,
                               (457.3386 / 257 - 1.772) * cb};
    for (int c = 0; c < 3; ++c) {
      const int raw = (2 * p[c] + 257) / 514 - int{turbo.rgb[3 * i + c]};
      const int d = std::abs(raw - int(std::lround(weights[c])));
      a.mean[c] += double(d) / double(pixels);
      if (limited) continue;
      a.max[c] = std::max(a.max[c], d);
      a.aboveTwo += d > 2;
      ++a.samples;
    }
  }
  return a;
}

// PSNR of the first `planes` of libjpeg-turbo's Y, Cb, Cr of a JPEG against 8-bit-scale RGB
// converted with an encoder's own weights, unrounded: the JFIF ones, or this encoder's (76, 150,
// 29 / 255 and so on; the plain average for a grey file).
inline double yccPsnr(const Bytes& jpeg, const std::vector<float>& rgb, bool jfif, int planes) {
  const std::vector<uint8_t> ycc = turboYcc(jpeg);
  const bool grey = decodeWithTurbo(jpeg, true).components == 1;
  double sum = 0;
  for (size_t i = 0; i < rgb.size() && ycc.size() == rgb.size(); i += 3) {
    const double r = rgb[i], g = rgb[i + 1], b = rgb[i + 2];
    const double expected[3] = {
        jfif ? 0.299 * r + 0.587 * g + 0.114 * b
             : (grey ? (r + g + b) / 3 : (76 * r + 150 * g + 29 * b) / 255),
        128 + (jfif ? -0.168736 * r - 0.331264 * g + 0.5 * b : (-43 * r - 84 * g + 127 * b) / 255),
        128 + (jfif ? 0.5 * r - 0.418688 * g - 0.081312 * b : (127 * r - 107 * g - 20 * b) / 255)};
    for (int c = 0; c < planes; ++c) sum += std::pow(ycc[i + c] - expected[c], 2);
  }
  if (ycc.size() != rgb.size()) return 0;
  return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(rgb.size() / 3 * planes) / sum);
}

// Smooth colour ramps running in different directions, a wave in blue, a dark square and a light
// disc off the centre, on the 0..255 scale at any size: no symmetry, so a turned, mirrored or
// channel-swapped result is far off, and stretching it moves only the shapes' edges.
inline std::vector<float> smoothPicture(uint32_t width, uint32_t height) {
  std::vector<float> rgb;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const double fx = (x + 0.5) / width, fy = (y + 0.5) / height;
      double r = 30 + 190 * fx, g = 40 + 170 * fy, b = 140 + 80 * std::sin(8.2 * fx + 4.4 * fy);
      if (fx > 0.1 && fx < 0.35 && fy > 0.15 && fy < 0.45) r *= 0.3, g *= 0.3, b *= 0.3;
      if (std::hypot(fx - 0.7, fy - 0.65) < 0.14) r = 235, g = 225, b = 200;
      for (double v : {r, g, b}) rgb.push_back(float(std::lround(v)));
    }
  }
  return rgb;
}

// A binary 8-bit PPM.
inline void writePpm(const std::string& path, uint32_t width, uint32_t height,
                     const std::vector<float>& rgb) {
  const std::string header =
      "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  Bytes bytes(header.begin(), header.end());
  for (float v : rgb) bytes.push_back(uint8_t(std::lround(v)));
  writeFile(path, bytes);
}

}  // namespace tessel::test
