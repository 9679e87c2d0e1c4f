#pragma once

// Entropy coding of a baseline sequential scan with optimal Huffman tables: a counting pass over
// the quantized blocks, tables built from the counts with a 16-bit length limit, and an emitting
// pass. Both passes run the same block walker, so what is counted is exactly what is emitted.

#include <cstdint>
#include <vector>

namespace tessel {

class SegmentBuffer;
struct EncodeState;

// Per symbol (0..255): how often it occurs, and its code once the table is built. Symbols are the
// baseline ones: the magnitude category for DC, (run << 4) | category for AC, 0x00 being the
// end-of-block and 0xF0 the run of sixteen zeros.
struct HuffmanCodeTable {
  struct Entry {
    uint32_t frequency = 0;
    uint32_t codeLength = 0;  // 0: no code; at most 16 once built
    uint32_t codeBits = 0;    // right-aligned in codeLength bits
  };
  Entry entries[256];
};

// Table classes as they appear in the high nibble of a DHT table byte.
inline constexpr uint8_t kDcClass = 0;
inline constexpr uint8_t kAcClass = 1;

// Magnitude category of a value: the number of significant bits of |x| (0 for 0).
inline uint32_t magnitudeCategory(int32_t x) {
  const uint32_t magnitude = static_cast<uint32_t>(x < 0 ? -x : x);
  return magnitude == 0 ? 0 : 32 - static_cast<uint32_t>(__builtin_clz(magnitude));
}

// Sets every codeLength and codeBits of `table` from its frequencies: the frequency-merging
// construction with symbol 255 as the reserved code point, lengths limited to 16, canonical codes.
void buildHuffmanTable(HuffmanCodeTable& table);

// Appends one DHT table body: the table byte, 16 counts, then the symbols by length.
void writeHuffmanTable(const HuffmanCodeTable& table, uint8_t tableClass, uint8_t tableNumber,
                       SegmentBuffer& out);

// Counts the symbols of every block, builds every table the scan uses, and emits the scan into
// state.scanData. `blocks` holds the quantized blocks in scan order, 64 values each in zig-zag
// order.
void encodeScan(EncodeState& state, const int16_t* blocks);

}  // namespace tessel
