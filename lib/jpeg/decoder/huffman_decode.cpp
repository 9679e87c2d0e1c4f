#include "jpeg/decoder/huffman_decode.h"

#include <cstring>

#include "core/exception.h"
#include "core/messages.h"
#include "jpeg/messages.h"

namespace tessel {

namespace {

constexpr uint16_t kEmpty = 0xFFFF;
constexpr uint16_t kLink = 0xFE00;
constexpr uint32_t kMaxPages = 256;  // a link holds the page number in one byte, page 0 included

bool isEmpty(uint16_t entry) {
  return (entry >> 8) == 0xFF;
}
bool isLink(uint16_t entry) {
  return (entry & 0xFF00) == kLink;
}

// Adds a code of `length` bits (1..16) for `symbol`, starting in `page`.
void insertCode(HuffmanLookup& lookup, uint32_t page, uint32_t code, uint32_t length,
                uint8_t symbol) {
  while (length > 8) {
    const uint32_t prefix = code >> (length - 8);
    uint16_t entry = lookup.entries[page * 256 + prefix];
    if (entry == kEmpty) {
      if (lookup.pageCount >= kMaxPages) fail(msg::kInvalidHuffmanTable);
      const uint32_t next = lookup.pageCount++;
      lookup.entries.resize(size_t{lookup.pageCount} * 256, kEmpty);
      entry = static_cast<uint16_t>(kLink | next);
      lookup.entries[page * 256 + prefix] = entry;
    } else if (!isLink(entry)) {
      fail(msg::kInvalidHuffmanTable);  // a shorter code is a prefix of this one
    }
    page = entry & 0xFF;
    code &= (1u << (length - 8)) - 1;
    length -= 8;
  }
  const uint32_t first = code << (8 - length);
  const uint32_t last = first + (1u << (8 - length));
  const uint16_t leaf = static_cast<uint16_t>((length << 8) | symbol);
  for (uint32_t i = first; i < last; ++i) {
    uint16_t& entry = lookup.entries[page * 256 + i];
    if (entry != kEmpty) fail(msg::kInvalidHuffmanTable);
    entry = leaf;
  }
}

// Decodes the code at the top of `bits` (which holds `available` valid bits, zeros below) by
// walking the pages; returns (L << 8) | S, or 0 when the code is longer than `available` bits
// or there is none.
uint32_t walkCode(const HuffmanLookup& lookup, uint32_t bits, uint32_t available) {
  uint32_t page = 0;
  uint32_t used = 0;
  for (;;) {
    const uint16_t entry = lookup.entries[page * 256 + (bits >> 24)];
    if (isLink(entry)) {
      page = entry & 0xFF;
      bits <<= 8;
      used += 8;
      if (used >= available) return 0;
      continue;
    }
    if (isEmpty(entry)) return 0;
    const uint32_t length = used + (entry >> 8);
    return length <= available ? (length << 8) | (entry & 0xFF) : 0;
  }
}

void buildFastTables(HuffmanLookup& lookup) {
  constexpr uint32_t kBits = HuffmanLookup::kFastBits;
  for (uint32_t index = 0; index < (1u << kBits); ++index) {
    const uint32_t bits = index << (32 - kBits);
    const uint32_t code = walkCode(lookup, bits, kBits);
    lookup.fast[index] = static_cast<uint16_t>(code);
    lookup.fastAc[index] = 0;
    if (code == 0) continue;
    const uint32_t length = code >> 8;
    const uint32_t symbol = code & 0xFF;
    const uint32_t size = symbol & 15;
    const uint32_t run = symbol >> 4;
    if (size == 0) {
      lookup.fastAc[index] = (run << 8) | length | (run < 15 ? HuffmanLookup::kEndFlag : 0);
      continue;
    }
    if (length + size > kBits) continue;
    const uint32_t raw = (bits << length) >> (32 - size);
    const int32_t value = extend(raw, size);
    lookup.fastAc[index] =
        (uint32_t{static_cast<uint16_t>(value)} << 16) | (run << 8) | (length + size);
  }
}

}  // namespace

void buildHuffmanLookup(HuffmanLookup& lookup, const HuffmanTableSpec& table) {
  lookup.entries.assign(256, kEmpty);
  lookup.pageCount = 1;
  // Canonical code assignment (T.81 Annex C): codes of each length follow each other, and the
  // first code of the next length is the next code shifted left by one.
  uint32_t code = 0;
  const uint8_t* symbol = table.symbols;
  for (uint32_t bitLength = 1; bitLength <= 16; ++bitLength) {
    for (uint32_t i = 0; i < table.counts[bitLength - 1]; ++i) {
      if (code >= (1u << bitLength)) fail(msg::kInvalidHuffmanTable);
      insertCode(lookup, 0, code, bitLength, *symbol++);
      ++code;
    }
    code <<= 1;
  }
  buildFastTables(lookup);
}

uint8_t decodeSymbolSlow(BitReader& reader, const HuffmanLookup& lookup) {
  for (;;) {
    // Walk the pages over the buffered bits (zeros below them).
    uint64_t bits = reader.bits;
    uint32_t count = reader.count;
    const uint16_t* page = lookup.entries.data();
    while (count > 0) {
      const uint16_t entry = page[bits >> 56];
      if (isLink(entry)) {
        if (count < 8) break;
        bits <<= 8;
        count -= 8;
        page = lookup.entries.data() + size_t{entry & 0xFFu} * 256;
        continue;
      }
      if (isEmpty(entry)) fail(msg::kCorruptImageData);
      const uint32_t length = entry >> 8;
      if (count < length) break;
      reader.bits = bits << length;
      reader.count = count - length;
      return static_cast<uint8_t>(entry);
    }
    // The code needs more bits than are buffered. When no more come (the data has ended, or a
    // marker follows), it decodes as 0 and nothing is consumed.
    const uint32_t before = reader.count;
    refill(reader);
    if (reader.count == before) return 0;
  }
}

const uint8_t* findRestartMarker(const uint8_t* p, const uint8_t* end, uint32_t restartIndex) {
  const uint8_t wanted = static_cast<uint8_t>(0xD0 + (restartIndex & 7));
  while (end - p >= 2) {
    const void* found = std::memchr(p, 0xFF, static_cast<size_t>(end - p - 1));
    if (!found) break;
    p = static_cast<const uint8_t*>(found);
    if (p[1] == wanted) return p + 2;
    ++p;
  }
  return end;
}

void resynchronise(BitReader& reader, uint32_t restartIndex) {
  reader.bits = 0;
  reader.count = 0;
  reader.position = findRestartMarker(reader.position, reader.end, restartIndex);
}

}  // namespace tessel
