#pragma once

// Huffman entropy decoding: the lookup built from DHT segments, the bit reader with its
// byte-stuffing, marker and end-of-data rules, and the restart resynchronisation. The baseline
// and progressive passes share all of it.

#include <array>
#include <cstdint>
#include <vector>

#include "jpeg/jpeg_format.h"
#include "jpeg/segment_headers.h"

namespace tessel {

// A canonical Huffman code (JPEG Annex C) as a multi-level table of 256-entry pages. A page is
// indexed by the next eight bits of the stream; page 0 is the root. Each 16-bit entry is one of
//   0xFFFF      no code starts with these bits (any entry whose high byte is 0xFF is empty);
//   0xFE00 | p  the code is longer than eight bits and continues in page p (1..255): consume
//               eight bits and look the next eight up in page p;
//   (L << 8)|S  a code of L bits (1..8) at this level for symbol S: consume L bits.
// A code of up to 8 bits is a leaf of page 0, replicated over every index that begins with it;
// a code of 9 to 16 bits is a leaf of length L - 8 in the page chosen by its first eight bits.
//
// Worked example: two 2-bit codes 00 and 01 for symbols 0x01 and 0x02, one 3-bit code 100 for
// 0x03 and one 9-bit code 101000000 for 0x11 (counts N2 = 2, N3 = 1, N9 = 1). Page 0 holds
// 0x0201 at indexes 0x00-0x3F, 0x0202 at 0x40-0x7F, 0x0303 at 0x80-0x9F, the link 0xFE01 at
// 0xA0 and 0xFFFF from 0xA1 on. Page 1 holds 0x0111 (one more bit, a 0) at 0x00-0x7F and 0xFFFF
// at 0x80-0xFF. Since codes are assigned in increasing order, the empty entries of every page
// form one run at its end.
//
// `fast` and `fastAc` are derived from the pages to decode the common short codes with one
// access; they never change what is decoded (see decodeSymbol).
struct HuffmanLookup {
  static constexpr uint32_t kFastBits = 11;
  static constexpr uint32_t kEndFlag = 1u << 12;

  std::vector<uint16_t> entries;  // pageCount x 256
  uint32_t pageCount = 0;

  // Indexed by the next kFastBits bits: (L << 8) | S for a code of L <= kFastBits bits, or 0
  // when the code is longer or there is none.
  std::array<uint16_t, 1u << kFastBits> fast{};
  // A code and its value bits together, for symbols (r << 4) | s whose L code bits and s value
  // bits both lie within the next kFastBits bits; 0 when there is no such code. Entry bits:
  //   0-7   L + s, the bits to consume
  //   8-11  r
  //   12    set for s = 0 with r < 15 (the end of a block, or of a band)
  //   16-31 the extended value as a signed 16-bit number (0 when s = 0)
  // For example, the 2-bit code 01 for symbol 0x23 followed by the value bits 101 gives, at
  // every index starting 01101, (5 << 16) | (2 << 8) | 5.
  std::array<uint32_t, 1u << kFastBits> fastAc{};
};

// Builds `lookup` from a table's 16 code-length counts and its symbols. Throws "Invalid Huffman
// code table" when the code space overflows, codes conflict or more than 255 second-level pages
// would be needed.
void buildHuffmanLookup(HuffmanLookup& lookup, const HuffmanTableSpec& table);

// Reads entropy-coded data most significant bit first. `bits` holds `count` valid bits at its
// top; the bits below them are always zero.
struct BitReader {
  const uint8_t* position = nullptr;  // next byte not yet loaded into `bits`
  const uint8_t* end = nullptr;       // one past the last byte
  uint64_t bits = 0;
  uint32_t count = 0;  // 0..64
};

// Tops the bit buffer up to more than 56 bits while data lasts; bytes once loaded stay in the
// buffer. The byte rules are those of core/jpeg_markers.h: 0xFF 0x00 is a stuffed 0xFF data
// byte; 0xFF followed by anything else, or 0xFF as the last byte, is a marker, in front of which
// every refill stops, so that all further reads of the scan see no new data.
inline void refillBits(const uint8_t*& position, const uint8_t* end, uint64_t& bits,
                       uint32_t& count) {
  if (count > 56) return;
  if (end - position >= 8) {
    uint64_t word = 0;
    for (int i = 0; i < 8; ++i) word = (word << 8) | position[i];  // one big-endian load
    const uint32_t n = (64 - count) >> 3;                          // whole bytes that fit: 1..8
    const uint64_t taken = ~uint64_t{0} << (64 - 8 * n);
    // A flag in the top bit of every byte of the word that may be 0xFF (never one missed).
    const uint64_t maybeFF = ((~word) - 0x0101010101010101u) & word & 0x8080808080808080u;
    if ((maybeFF & taken) == 0) {
      bits |= (word & taken) >> count;
      position += n;
      count += 8 * n;
      return;
    }
  }
  while (count <= 56 && position != end) {
    const uint64_t byte = *position;
    if (byte == kMarkerPrefix) {
      if (!continuesData(position, end - position)) return;  // a marker: stop in front of it
      position += 2;
    } else {
      position += 1;
    }
    bits |= byte << (56 - count);
    count += 8;
  }
}

// True when the reader holds no bits and no refill can add any: it stands at the end of the data
// or in front of a marker. Every further symbol decodes as 0 and every bit as 0.
inline bool exhausted(const BitReader& reader) {
  return reader.count == 0 && (reader.position == reader.end ||
                               !continuesData(reader.position, reader.end - reader.position));
}

inline void refill(BitReader& reader) {
  refillBits(reader.position, reader.end, reader.bits, reader.count);
}

// The general decode that walks the pages; also the end-of-data rule.
uint8_t decodeSymbolSlow(BitReader& reader, const HuffmanLookup& lookup);

// Decodes one symbol. Throws "Corrupt image data" for bits that start no code. When the code
// cannot be completed because the data has ended (or a marker follows), returns 0 without
// consuming anything: 0 is a zero DC difference and an end of block, so data that ends early
// decodes as flat blocks. The buffer is refilled only when the code needs more bits than it
// holds. A short code is taken from the fast table, which gives what the page walk gives.
inline uint8_t decodeSymbol(BitReader& reader, const HuffmanLookup& lookup) {
  constexpr uint32_t kShift = 64 - HuffmanLookup::kFastBits;
  uint32_t entry = lookup.fast[reader.bits >> kShift];
  uint32_t length = entry >> 8;
  if (length - 1 >= reader.count) {  // not a short code wholly in the buffer
    if (length != 0) {
      refill(reader);
      // The bits below the old count were zeros and may have changed the entry.
      entry = lookup.fast[reader.bits >> kShift];
      length = entry >> 8;
    }
    if (length - 1 >= reader.count) {
      // Through a copy, so that a caller's reader whose address is never taken can stay in
      // registers.
      BitReader copy = reader;
      const uint8_t symbol = decodeSymbolSlow(copy, lookup);
      reader = copy;
      return symbol;
    }
  }
  reader.bits <<= length;
  reader.count -= length;
  return static_cast<uint8_t>(entry);
}

// The next n bits (1 <= n <= 16) as an unsigned number; 0, consuming nothing, when fewer than n
// bits are left before the end of the data or a marker.
inline uint32_t receiveBits(BitReader& reader, uint32_t n) {
  if (reader.count < n) {
    refill(reader);
    if (reader.count < n) return 0;
  }
  const uint32_t value = static_cast<uint32_t>(reader.bits >> (64 - n));
  reader.bits <<= n;
  reader.count -= n;
  return value;
}

// JPEG's EXTEND (T.81 F.2.2.1): a received value v of s bits below 2^(s-1) stands for
// v - 2^s + 1. s is 1..16.
constexpr int32_t extend(uint32_t v, uint32_t s) {
  return v < (1u << (s - 1)) ? static_cast<int32_t>(v) - static_cast<int32_t>((1u << s) - 1)
                             : static_cast<int32_t>(v);
}

// The position just past the first restart marker 0xFF, 0xD0 + (restartIndex mod 8) at or after
// `p`, or `end` when there is none.
const uint8_t* findRestartMarker(const uint8_t* p, const uint8_t* end, uint32_t restartIndex);

// The restart step: discards the bit buffer and moves to just past the next restart marker
// 0xFF, 0xD0 + (restartIndex mod 8), or to the end when there is none. Bytes before it are
// skipped unread; no other marker is accepted in its place.
void resynchronise(BitReader& reader, uint32_t restartIndex);

}  // namespace tessel
