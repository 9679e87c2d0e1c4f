#pragma once

// Reading numbers stored in a byte order: big-endian in JPEG segments and NEF files, little-endian
// in KPX files, either in Exif and TIFF blocks. Every multi-byte number the library reads from a
// file goes through these, and write32 patches one into a TIFF block.

#include <cstdint>

namespace tessel {

constexpr uint16_t readBigEndian16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
constexpr uint32_t readBigEndian32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
constexpr uint16_t readLittleEndian16(const uint8_t* p) {
  return static_cast<uint16_t>(p[1] << 8 | p[0]);
}
constexpr uint32_t readLittleEndian32(const uint8_t* p) {
  return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

// In the order a TIFF block names: big-endian ("MM") or little-endian ("II").
constexpr uint16_t read16(const uint8_t* p, bool bigEndian) {
  return bigEndian ? readBigEndian16(p) : readLittleEndian16(p);
}
constexpr uint32_t read32(const uint8_t* p, bool bigEndian) {
  return bigEndian ? readBigEndian32(p) : readLittleEndian32(p);
}
constexpr uint64_t read64(const uint8_t* p, bool bigEndian) {
  const uint64_t first = read32(p, bigEndian), second = read32(p + 4, bigEndian);
  return bigEndian ? first << 32 | second : second << 32 | first;
}
constexpr void write32(uint8_t* p, uint32_t value, bool bigEndian) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (bigEndian ? 24 - 8 * i : 8 * i));
}

}  // namespace tessel
