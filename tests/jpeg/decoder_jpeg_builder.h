#pragma once

// Small JPEG streams assembled segment by segment, for tests that need exact control over the
// headers or the entropy-coded bits.

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "support/test_support.h"

namespace tessel::test {

struct FrameEntry {
  uint8_t id, sampling, quant;
};
struct ScanEntry {
  uint8_t id, tables;
};

// One quantization table with every value `value` (two-byte values when `wide`).
inline Bytes dqtSegment(uint8_t index, uint16_t value = 1, bool wide = false) {
  Bytes payload = {static_cast<uint8_t>((wide ? 0x10 : 0x00) | index)};
  for (int k = 0; k < 64; ++k) {
    if (wide) payload.push_back(static_cast<uint8_t>(value >> 8));
    payload.push_back(static_cast<uint8_t>(value));
  }
  return segmentBytes(0xDB, payload);
}

inline Bytes sofSegment(uint8_t code, uint32_t width, uint32_t height,
                        std::initializer_list<FrameEntry> components, uint8_t precision = 8) {
  Bytes payload = {precision,
                   static_cast<uint8_t>(height >> 8),
                   static_cast<uint8_t>(height),
                   static_cast<uint8_t>(width >> 8),
                   static_cast<uint8_t>(width),
                   static_cast<uint8_t>(components.size())};
  for (const FrameEntry& c : components) {
    payload.push_back(c.id);
    payload.push_back(c.sampling);
    payload.push_back(c.quant);
  }
  return segmentBytes(code, payload);
}

// One Huffman table: class/index byte, then symbols listed per code length 1..16.
struct HuffmanTable {
  uint8_t id;  // 0x00-0x03 DC, 0x10-0x13 AC
  std::vector<std::vector<uint8_t>> symbolsByLength;
};
inline Bytes dhtSegment(std::initializer_list<HuffmanTable> tables) {
  Bytes payload;
  for (const HuffmanTable& table : tables) {
    payload.push_back(table.id);
    Bytes symbols;
    for (size_t length = 0; length < 16; ++length) {
      if (length >= table.symbolsByLength.size()) {
        payload.push_back(0);
        continue;
      }
      const auto& list = table.symbolsByLength[length];
      payload.push_back(static_cast<uint8_t>(list.size()));
      symbols.insert(symbols.end(), list.begin(), list.end());
    }
    payload.insert(payload.end(), symbols.begin(), symbols.end());
  }
  return segmentBytes(0xC4, payload);
}

inline Bytes sosSegment(std::initializer_list<ScanEntry> components, uint8_t ss = 0,
                        uint8_t se = 63, uint8_t approximation = 0) {
  Bytes payload = {static_cast<uint8_t>(components.size())};
  // push_back rather than insert of a list: GCC 12 misreads the latter as out of bounds.
  for (const ScanEntry& c : components) {
    payload.push_back(c.id);
    payload.push_back(c.tables);
  }
  payload.push_back(ss);
  payload.push_back(se);
  payload.push_back(approximation);
  return segmentBytes(0xDA, payload);
}

// Writes bits most significant first; `bytes()` pads the last byte with ones and stuffs every
// 0xFF data byte with a 0x00.
class BitWriter {
 public:
  void put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      current_ = static_cast<uint8_t>((current_ << 1) | ((value >> i) & 1));
      if (++filled_ == 8) flush();
    }
  }
  Bytes bytes() {
    Bytes out = out_;
    if (filled_ != 0) {
      uint8_t last = static_cast<uint8_t>((current_ << (8 - filled_)) | (0xFF >> filled_));
      out.push_back(last);
      if (last == 0xFF) out.push_back(0x00);
    }
    return out;
  }

 private:
  void flush() {
    out_.push_back(current_);
    if (current_ == 0xFF) out_.push_back(0x00);
    current_ = 0;
    filled_ = 0;
  }
  Bytes out_;
  uint8_t current_ = 0;
  int filled_ = 0;
};

}  // namespace tessel::test
