#pragma once

// Helpers shared by the decoder's unit and conformance tests: JPEG files made in code with
// libjpeg-turbo's encoder, libjpeg-turbo's decoder as the independent reference, decoding through
// this library's segment reader and decoder, and the pixel comparison.

// jpeglib.h needs size_t and FILE declared first.
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "core/range_tracker.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/jpeg_reader.h"
#include "support/test_support.h"

namespace tessel::test {

// An 8-bit RGB picture with smooth gradients, edges and fine texture, so that every kind of
// coefficient occurs.
inline std::vector<uint8_t> makeRgbPicture(uint32_t width, uint32_t height, uint32_t seed = 1) {
  std::vector<uint8_t> rgb(size_t{width} * height * 3);
  uint32_t noise = seed * 2654435761u + 12345;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      noise = noise * 1664525u + 1013904223u;
      const double fx = double(x) / std::max(width, 1u), fy = double(y) / std::max(height, 1u);
      const int texture = static_cast<int>((noise >> 24) % 24) - 12;
      const bool edge = ((x / 11) + (y / 7)) % 5 == 0;
      const double r = 128 + 100 * std::sin(7 * fx + 3 * fy) + (edge ? 60 : 0);
      const double g = 120 + 90 * std::cos(5 * fy - 4 * fx) - (edge ? 50 : 0);
      const double b = 60 + 150 * fx * fy;
      uint8_t* p = &rgb[(size_t{y} * width + x) * 3];
      p[0] = static_cast<uint8_t>(std::clamp(r + texture, 0.0, 255.0));
      p[1] = static_cast<uint8_t>(std::clamp(g + texture, 0.0, 255.0));
      p[2] = static_cast<uint8_t>(std::clamp(b - texture, 0.0, 255.0));
    }
  }
  return rgb;
}

struct EncodeOptions {
  int lumaH = 2, lumaV = 2;  // chroma is always 1x1
  int quality = 90;
  bool grey = false;
  bool progressive = false;
  unsigned restartInterval = 0;  // in MCUs
};

namespace detail {
struct TurboError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char text[JMSG_LENGTH_MAX] = {};
};
inline void turboErrorExit(j_common_ptr info) {
  auto* error = reinterpret_cast<TurboError*>(info->err);
  info->err->format_message(info, error->text);
  std::longjmp(error->jump, 1);
}
inline void turboQuietOutput(j_common_ptr) {}
}  // namespace detail

// Encodes an 8-bit RGB picture (grey: the red channel) with libjpeg-turbo.
inline Bytes encodeWithTurbo(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb,
                             const EncodeOptions& options) {
  jpeg_compress_struct info;
  detail::TurboError error;
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = detail::turboErrorExit;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  std::vector<uint8_t> row(size_t{width} * 3);
  if (setjmp(error.jump)) {
    jpeg_destroy_compress(&info);
    std::free(buffer);
    throw std::runtime_error(error.text);
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = width;
  info.image_height = height;
  info.input_components = options.grey ? 1 : 3;
  info.in_color_space = options.grey ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, options.quality, TRUE);
  if (!options.grey) {
    info.comp_info[0].h_samp_factor = options.lumaH;
    info.comp_info[0].v_samp_factor = options.lumaV;
  }
  info.restart_interval = options.restartInterval;
  if (options.progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < height) {
    const uint8_t* source = &rgb[size_t{info.next_scanline} * width * 3];
    if (options.grey) {
      for (uint32_t x = 0; x < width; ++x) row[x] = source[3 * x];
    } else {
      std::copy(source, source + size_t{width} * 3, row.begin());
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  Bytes out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

// libjpeg-turbo's decode with the float inverse DCT and replicating upsampling: 8-bit RGB (grey
// files are expanded to three equal channels).
struct TurboImage {
  bool ok = false;
  std::string error;
  long warnings = 0;
  uint32_t width = 0, height = 0;
  int components = 0;
  bool progressive = false, arithmetic = false;
  bool adobe = false;
  int adobeTransform = -1;
  int samplingH[4] = {0, 0, 0, 0}, samplingV[4] = {0, 0, 0, 0};
  std::vector<uint8_t> rgb;
};

// With `ycc` the three channels are libjpeg-turbo's Y, Cb and Cr planes (upsampled) instead.
inline TurboImage decodeWithTurbo(const Bytes& jpeg, bool headerOnly = false, bool ycc = false) {
  TurboImage result;
  std::vector<uint8_t> row;  // before setjmp: a jump back must not skip a destructor
  jpeg_decompress_struct info;
  detail::TurboError error;
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = detail::turboErrorExit;
  error.manager.output_message = detail::turboQuietOutput;
  if (setjmp(error.jump)) {
    result.ok = false;
    result.error = error.text;
    jpeg_destroy_decompress(&info);
    return result;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&info, TRUE);
  result.width = info.image_width;
  result.height = info.image_height;
  result.components = info.num_components;
  result.progressive = info.progressive_mode;
  result.arithmetic = info.arith_code;
  result.adobe = info.saw_Adobe_marker;
  result.adobeTransform = info.saw_Adobe_marker ? info.Adobe_transform : -1;
  for (int c = 0; c < info.num_components && c < 4; ++c) {
    result.samplingH[c] = info.comp_info[c].h_samp_factor;
    result.samplingV[c] = info.comp_info[c].v_samp_factor;
  }
  if (headerOnly) {
    jpeg_destroy_decompress(&info);
    result.ok = true;
    return result;
  }
  info.dct_method = JDCT_FLOAT;
  info.do_fancy_upsampling = FALSE;
  const bool grey = info.num_components == 1;
  info.out_color_space = grey ? JCS_GRAYSCALE : ycc ? JCS_YCbCr : JCS_RGB;
  jpeg_start_decompress(&info);
  result.rgb.resize(size_t{result.width} * result.height * 3);
  row.resize(size_t{result.width} * info.output_components);
  while (info.output_scanline < info.output_height) {
    const size_t y = info.output_scanline;
    JSAMPROW rows[1] = {row.data()};
    jpeg_read_scanlines(&info, rows, 1);
    for (size_t x = 0; x < result.width; ++x) {
      for (int c = 0; c < 3; ++c) {
        result.rgb[(y * result.width + x) * 3 + c] = grey ? row[x] : row[x * 3 + c];
      }
    }
  }
  jpeg_finish_decompress(&info);
  result.warnings = error.manager.num_warnings;
  jpeg_destroy_decompress(&info);
  result.ok = true;
  return result;
}

// The reconstruction formulas written out plainly, one pixel at a time, applied to the quantized
// coefficients that libjpeg-turbo's entropy decoder reads from a file. This library's decode of a
// valid file must equal it sample for sample: that checks its entropy decoding against an
// independent decoder and its (vectorised) reconstruction against the formulas.
namespace reference {

// The float AAN butterfly in the documented order of operations.
inline void butterfly(const float* x, float* out) {
  const float t10 = x[0] + x[4], t11 = x[0] - x[4], t13 = x[2] + x[6];
  const float t12 = (x[2] - x[6]) * 1.4142135f - t13;
  const float e0 = t10 + t13, e3 = t10 - t13, e1 = t11 + t12, e2 = t11 - t12;
  const float z13 = x[5] + x[3], z10 = x[5] - x[3], z11 = x[1] + x[7], z12 = x[1] - x[7];
  const float o7 = z11 + z13;
  const float z5 = (z10 + z12) * 1.847759f;
  const float o6 = z5 - z10 * 2.613126f - o7;
  const float o5 = (z11 - z13) * 1.4142135f - o6;
  const float o4 = z12 * 1.0823922f - z5 + o5;
  const float y[8] = {e0 + o7, e1 + o6, e2 + o5, e3 - o4, e3 + o4, e2 - o5, e1 - o6, e0 - o7};
  std::copy(y, y + 8, out);
}

// `scaled`: the quantization table already multiplied by the scale factors.
inline void inverseDct(const int16_t* coefficients, const float* scaled, float* out) {
  float workspace[64];
  for (int c = 0; c < 8; ++c) {
    bool zero = true;
    for (int r = 1; r < 8; ++r) zero = zero && coefficients[8 * r + c] == 0;
    float x[8], y[8];
    for (int r = 0; r < 8; ++r) x[r] = float(coefficients[8 * r + c]) * scaled[8 * r + c];
    if (zero) {
      for (int r = 0; r < 8; ++r) y[r] = x[0];
    } else {
      butterfly(x, y);
    }
    for (int r = 0; r < 8; ++r) workspace[8 * r + c] = y[r];
  }
  for (int r = 0; r < 8; ++r) butterfly(workspace + 8 * r, out + 8 * r);
}

// Truncation toward zero, then clamping to 0..65535 (in double, so that any float is defined).
inline uint16_t clampSample(float v) {
  const double t = std::trunc(double(v));
  return static_cast<uint16_t>(t < 0 ? 0 : t > 65535 ? 65535 : t);
}

struct Image {
  bool ok = false;
  uint32_t width = 0, height = 0;
  std::vector<uint16_t> rgba;
};

// `scale`: the 64 inverse-DCT scale factors.
inline Image decode(const Bytes& jpeg, const float* scale) {
  Image image;
  jpeg_decompress_struct info;
  detail::TurboError error;
  std::vector<std::vector<float>> planes;  // before setjmp: a jump back skips no destructor
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = detail::turboErrorExit;
  error.manager.output_message = detail::turboQuietOutput;
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    return Image{};
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&info, TRUE);
  jvirt_barray_ptr* arrays = jpeg_read_coefficients(&info);
  const int components = info.num_components;
  // Each component's samples at its own resolution, block by block.
  std::vector<uint32_t> planeWidth(components);
  for (int ci = 0; ci < components; ++ci) {
    const jpeg_component_info& comp = info.comp_info[ci];
    float scaled[64];
    for (int i = 0; i < 64; ++i) scaled[i] = float(comp.quant_table->quantval[i]) * scale[i];
    const uint32_t wb = comp.width_in_blocks, hb = comp.height_in_blocks;
    planeWidth[ci] = wb * 8;
    planes.emplace_back(size_t{wb} * hb * 64);
    for (uint32_t by = 0; by < hb; ++by) {
      JBLOCKARRAY row = (*info.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&info),
                                                        arrays[ci], by, 1, FALSE);
      for (uint32_t bx = 0; bx < wb; ++bx) {
        int16_t coefficients[64];
        for (int i = 0; i < 64; ++i) coefficients[i] = row[0][bx][i];
        float block[64];
        inverseDct(coefficients, scaled, block);
        for (int r = 0; r < 8; ++r) {
          for (int c = 0; c < 8; ++c) {
            planes[ci][(size_t{by} * 8 + r) * planeWidth[ci] + bx * 8 + c] = block[8 * r + c];
          }
        }
      }
    }
  }
  image.width = info.image_width;
  image.height = info.image_height;
  image.rgba.resize(size_t{image.width} * image.height * 4);
  const int h = info.comp_info[0].h_samp_factor, v = info.comp_info[0].v_samp_factor;
  for (uint32_t y = 0; y < image.height; ++y) {
    for (uint32_t x = 0; x < image.width; ++x) {
      uint16_t* out = &image.rgba[(size_t{y} * image.width + x) * 4];
      const float luma = planes[0][size_t{y} * planeWidth[0] + x];
      if (components == 1) {
        out[0] = out[1] = out[2] = clampSample(luma * 257.0f + 32896.5f);
      } else {
        const size_t chroma = size_t{y / v} * planeWidth[1] + x / h;
        const float cb = planes[1][chroma], cr = planes[2][chroma];
        const float yy = luma * 257.0f;
        out[0] = clampSample((cr * 362.2283f + yy) + 32896.5f);
        out[1] = clampSample(((yy - cb * 87.57424f) - cr * 183.4464f) + 32896.5f);
        out[2] = clampSample((cb * 457.3386f + yy) + 32896.5f);
      }
      out[3] = 65535;
    }
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  image.ok = true;
  return image;
}

}  // namespace reference

// The number of samples in which a decoded image differs from the reference (-1 for a size
// mismatch).
inline long samplesDifferingFrom(const PixelImage& image, const reference::Image& expected) {
  if (image.width != expected.width || image.height != expected.height) return -1;
  long differing = 0;
  for (size_t i = 0; i < expected.rgba.size(); ++i) {
    differing += image.pixels[i] != expected.rgba[i];
  }
  return differing;
}

// Offset of the first marker (other than a restart marker) after the first scan header's data,
// that is, where the segments before the second scan start; the size when there is none.
inline size_t endOfFirstScan(const Bytes& jpeg) {
  size_t i = 2;
  while (i + 4 <= jpeg.size() && !(jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA)) {
    i += jpeg[i] == 0xFF && jpeg[i + 1] != 0x00 && jpeg[i + 1] != 0xFF
             ? 2 + (size_t{jpeg[i + 2]} << 8 | jpeg[i + 3])
             : 1;
  }
  i += 2 + (size_t{jpeg[i + 2]} << 8 | jpeg[i + 3]);
  for (; i + 1 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] != 0x00 && (jpeg[i + 1] < 0xD0 || jpeg[i + 1] > 0xD7)) {
      return i;
    }
  }
  return jpeg.size();
}

// Segments a JPEG held in memory and decodes it with this library.
inline void decodeBytes(const Bytes& jpeg, PixelImage& image, bool infoOnly = false) {
  MarkerList markers;
  RangeTracker tracker(jpeg.data(), static_cast<int32_t>(jpeg.size()));
  segment(markers, tracker, jpeg.data(), static_cast<int32_t>(jpeg.size()));
  if (infoOnly) {
    decodeThumbnailInfo(markers, image);
  } else {
    decodeJpegImage(markers, image);
  }
}

// A 16-bit sample brought to 8 bits, rounded.
inline int toEightBits(uint16_t v) {
  return (2 * v + 257) / 514;
}

// Differences per channel at 8 bits. `max` leaves out the pixels whose Y, Cb or Cr libjpeg-turbo
// had to range-limit to 0..255 before its colour conversion (this decoder converts the unlimited
// values, so those pixels differ by design); `mean` covers every pixel.
struct Difference {
  int max[3] = {0, 0, 0};
  double mean[3] = {0, 0, 0};
  long aboveTwo = 0;      // samples of pixels not range-limited that differ by more than 2
  long rangeLimited = 0;  // pixels left out of `max`
  bool alphaOpaque = true;
};

inline Difference compareWithTurbo(const PixelImage& image, const TurboImage& turbo,
                                   const TurboImage& ycc) {
  Difference d;
  const size_t pixels = size_t{image.width} * image.height;
  double sum[3] = {0, 0, 0};
  for (size_t i = 0; i < pixels; ++i) {
    const uint16_t* p = image.pixels.get() + 4 * i;
    bool limited = false;
    for (int c = 0; c < 3; ++c) limited |= ycc.rgb[3 * i + c] == 0 || ycc.rgb[3 * i + c] == 255;
    d.rangeLimited += limited;
    for (int c = 0; c < 3; ++c) {
      const int diff = std::abs(toEightBits(p[c]) - int{turbo.rgb[3 * i + c]});
      sum[c] += diff;
      if (limited) continue;
      d.max[c] = std::max(d.max[c], diff);
      d.aboveTwo += diff > 2;
    }
    d.alphaOpaque = d.alphaOpaque && p[3] == 65535;
  }
  for (int c = 0; c < 3; ++c) d.mean[c] = pixels ? sum[c] / double(pixels) : 0;
  return d;
}

}  // namespace tessel::test
