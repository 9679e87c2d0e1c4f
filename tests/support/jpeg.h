#pragma once

// JPEG streams for tests: segments assembled byte by byte (the one JPEG builder), and
// libjpeg-turbo as the independent encoder and decoder.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/support.h"

namespace tessel::test {

// One segment: 0xFF, the code, the length field and the payload.
Bytes segment(uint8_t code, const Bytes& payload);
Bytes concat(std::initializer_list<Bytes> parts);
inline const Bytes kSoi = {0xFF, 0xD8};
inline const Bytes kEoi = {0xFF, 0xD9};

struct FrameEntry {
  uint8_t id, sampling, quant;  // sampling: h << 4 | v
};
struct ScanEntry {
  uint8_t id, tables;  // tables: DC << 4 | AC
};
// One Huffman table: the class and number byte (0x00-0x03 DC, 0x10-0x13 AC) and the symbols of
// each code length from 1 bit on.
struct HuffmanTable {
  uint8_t id;
  std::vector<std::vector<uint8_t>> symbolsByLength;
};

// A DQT segment with one table of 64 equal values (two bytes each when `wide`).
Bytes dqtSegment(uint8_t index, uint16_t value = 1, bool wide = false);
Bytes sofSegment(uint8_t code, uint32_t width, uint32_t height,
                 std::initializer_list<FrameEntry> components, uint8_t precision = 8);
Bytes dhtSegment(std::initializer_list<HuffmanTable> tables);
Bytes sosSegment(std::initializer_list<ScanEntry> components, uint8_t ss = 0, uint8_t se = 63,
                 uint8_t approximation = 0);

// Writes entropy-coded bits most significant first; bytes() pads the last byte with ones and
// stuffs every 0xFF with a 0x00.
class BitWriter {
 public:
  void put(uint32_t value, int bits);
  Bytes bytes() const;

 private:
  Bytes out_;
  uint32_t current_ = 0;
  int filled_ = 0;
};

// An 8-bit RGB picture with gradients, edges and fine texture, so that every kind of coefficient
// occurs.
std::vector<uint8_t> makeRgbPicture(uint32_t width, uint32_t height, uint32_t seed = 1);

// libjpeg-turbo, where the tests have it (not in the Windows build).
#if TESSEL_HAVE_TURBO
struct TurboOptions {
  int lumaH = 2, lumaV = 2;  // chroma is always 1 x 1
  int quality = 90;
  bool grey = false;
  bool progressive = false;
  unsigned restartInterval = 0;  // in MCUs
};
// libjpeg-turbo's encode of an 8-bit RGB picture (grey: its red channel).
Bytes encodeWithTurbo(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb,
                      const TurboOptions& options);

// libjpeg-turbo's decode with the float inverse DCT and replicating upsampling, as 8-bit RGB (a
// grey file gives three equal channels), with the number of warnings; `error` when it failed.
struct TurboImage {
  bool ok = false;
  std::string error;
  long warnings = 0;
  uint32_t width = 0, height = 0;
  int components = 0;
  std::vector<uint8_t> rgb;
};
TurboImage decodeWithTurbo(const Bytes& jpeg, bool headerOnly = false);

#endif

// PSNR in dB between two sample arrays of the same size (99 when equal).
double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

}  // namespace tessel::test
