#include "support/jpeg.h"

#if TESSEL_HAVE_TURBO
// jpeglib.h needs size_t and FILE declared first.
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>
#endif

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <stdexcept>

namespace tessel::test {

Bytes segment(uint8_t code, const Bytes& payload) {
  const size_t length = payload.size() + 2;
  Bytes out(4 + payload.size());
  out[0] = 0xFF;
  out[1] = code;
  out[2] = uint8_t(length >> 8);
  out[3] = uint8_t(length);
  std::copy(payload.begin(), payload.end(), out.begin() + 4);
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes dqtSegment(uint8_t index, uint16_t value, bool wide) {
  Bytes payload = {uint8_t((wide ? 0x10 : 0x00) | index)};
  for (int k = 0; k < 64; ++k) {
    if (wide) payload.push_back(uint8_t(value >> 8));
    payload.push_back(uint8_t(value));
  }
  return segment(0xDB, payload);
}

Bytes sofSegment(uint8_t code, uint32_t width, uint32_t height,
                 std::initializer_list<FrameEntry> components, uint8_t precision) {
  Bytes payload = {precision,           uint8_t(height >> 8), uint8_t(height),
                   uint8_t(width >> 8), uint8_t(width),       uint8_t(components.size())};
  for (const FrameEntry& c : components) {
    for (uint8_t b : {c.id, c.sampling, c.quant}) payload.push_back(b);
  }
  return segment(code, payload);
}

Bytes dhtSegment(std::initializer_list<HuffmanTable> tables) {
  Bytes payload;
  for (const HuffmanTable& table : tables) {
    payload.push_back(table.id);
    Bytes symbols;
    for (size_t length = 0; length < 16; ++length) {
      const bool used = length < table.symbolsByLength.size();
      payload.push_back(used ? uint8_t(table.symbolsByLength[length].size()) : 0);
      if (used) {
        for (uint8_t s : table.symbolsByLength[length]) symbols.push_back(s);
      }
    }
    payload.insert(payload.end(), symbols.begin(), symbols.end());
  }
  return segment(0xC4, payload);
}

Bytes sosSegment(std::initializer_list<ScanEntry> components, uint8_t ss, uint8_t se,
                 uint8_t approximation) {
  Bytes payload = {uint8_t(components.size())};
  for (const ScanEntry& c : components) {
    payload.push_back(c.id);
    payload.push_back(c.tables);
  }
  for (uint8_t b : {ss, se, approximation}) payload.push_back(b);
  return segment(0xDA, payload);
}

void BitWriter::put(uint32_t value, int bits) {
  for (int i = bits - 1; i >= 0; --i) {
    current_ = (current_ << 1) | ((value >> i) & 1);
    if (++filled_ == 8) {
      out_.push_back(uint8_t(current_));
      if (uint8_t(current_) == 0xFF) out_.push_back(0x00);
      current_ = 0;
      filled_ = 0;
    }
  }
}

Bytes BitWriter::bytes() const {
  Bytes out = out_;
  if (filled_ != 0) {
    out.push_back(uint8_t((current_ << (8 - filled_)) | (0xFF >> filled_)));
    if (out.back() == 0xFF) out.push_back(0x00);
  }
  return out;
}

std::vector<uint8_t> makeRgbPicture(uint32_t width, uint32_t height, uint32_t seed) {
  std::vector<uint8_t> rgb(size_t{width} * height * 3);
  uint32_t noise = seed * 2654435761u + 12345;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      noise = noise * 1664525u + 1013904223u;
      const double fx = double(x) / std::max(width, 1u), fy = double(y) / std::max(height, 1u);
      const int texture = int((noise >> 24) % 24) - 12;
      const bool edge = ((x / 11) + (y / 7)) % 5 == 0;
      const double r = 128 + 100 * std::sin(7 * fx + 3 * fy) + (edge ? 60 : 0);
      const double g = 120 + 90 * std::cos(5 * fy - 4 * fx) - (edge ? 50 : 0);
      const double b = 60 + 150 * fx * fy;
      uint8_t* p = &rgb[(size_t{y} * width + x) * 3];
      p[0] = uint8_t(std::clamp(r + texture, 0.0, 255.0));
      p[1] = uint8_t(std::clamp(g + texture, 0.0, 255.0));
      p[2] = uint8_t(std::clamp(b - texture, 0.0, 255.0));
    }
  }
  return rgb;
}

#if TESSEL_HAVE_TURBO
namespace {

struct TurboError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char text[JMSG_LENGTH_MAX] = {};
};

void errorExit(j_common_ptr info) {
  auto* error = reinterpret_cast<TurboError*>(info->err);
  info->err->format_message(info, error->text);
  std::longjmp(error->jump, 1);
}

}  // namespace

Bytes encodeWithTurbo(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb,
                      const TurboOptions& options) {
  jpeg_compress_struct info;
  TurboError error;
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = errorExit;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  std::vector<uint8_t> row(size_t{width} * 3);  // before setjmp: no destructor is jumped over
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
    for (uint32_t x = 0; x < width * (options.grey ? 1 : 3); ++x) {
      row[x] = options.grey ? source[3 * x] : source[x];
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

TurboImage decodeWithTurbo(const Bytes& jpeg, bool headerOnly) {
  TurboImage result;
  std::vector<uint8_t> row;  // before setjmp: no destructor is jumped over
  jpeg_decompress_struct info;
  TurboError error;
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = errorExit;
  error.manager.output_message = [](j_common_ptr) {};
  if (setjmp(error.jump)) {
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
  if (!headerOnly) {
    info.dct_method = JDCT_FLOAT;
    info.do_fancy_upsampling = FALSE;
    const bool grey = info.num_components == 1;
    info.out_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&info);
    result.rgb.resize(size_t{result.width} * result.height * 3);
    row.resize(size_t{result.width} * info.output_components);
    while (info.output_scanline < info.output_height) {
      uint8_t* out = &result.rgb[size_t{info.output_scanline} * result.width * 3];
      JSAMPROW rows[1] = {row.data()};
      jpeg_read_scanlines(&info, rows, 1);
      for (size_t i = 0; i < size_t{result.width} * 3; ++i) out[i] = grey ? row[i / 3] : row[i];
    }
    jpeg_finish_decompress(&info);
  }
  result.warnings = error.manager.num_warnings;
  jpeg_destroy_decompress(&info);
  result.ok = true;
  return result;
}

#endif  // TESSEL_HAVE_TURBO

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / sum);
}

}  // namespace tessel::test
