#include "jpeg/encoder/huffman_encode.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "core/exception.h"
#include "core/messages.h"
#include "jpeg/encoder/encode_state.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/messages.h"
#include "jpeg/segment_buffer.h"
#include "platform/parallel.h"

namespace tessel {

namespace {

constexpr uint16_t kChainEnd = 0xFFFF;
constexpr int kReservedSymbol = 255;
constexpr uint8_t kZrl = 0xF0;
constexpr uint8_t kEob = 0x00;

// Highest-numbered symbol whose length is `length`, below `below` (exclusive); -1 when none.
int highestSymbolOfLength(const HuffmanCodeTable& table, uint32_t length, int below) {
  for (int s = below - 1; s >= 0; --s) {
    if (table.entries[s].codeLength == length) return s;
  }
  return -1;
}

// The MCUs [first, last) of the scan, split so that threads can take a band each. A band starts
// with the DC predictions that the band before it leaves: the DC values of each component's last
// block in the MCU before the band.
struct Band {
  uint32_t first = 0, last = 0;
  int32_t predictor[4] = {};
};

std::vector<Band> splitIntoBands(const EncodeState& state, const McuLayout& layout,
                                 const int16_t* blocks) {
  // Enough bands to share out, but none too small: each holds at least 512 MCUs.
  const uint32_t count = std::clamp<uint32_t>(state.mcuCount / 512, 1, 8 * platform::threadCount());
  std::vector<Band> bands(count);
  for (uint32_t i = 0; i < count; ++i) {
    Band& band = bands[i];
    band.first = uint32_t(uint64_t{state.mcuCount} * i / count);
    band.last = uint32_t(uint64_t{state.mcuCount} * (i + 1) / count);
    if (band.first == 0) continue;
    const int16_t* previous = blocks + (size_t{band.first} - 1) * layout.blocks * 64;
    for (uint32_t b = 0; b < layout.blocks; ++b) band.predictor[layout.slot[b]] = previous[64 * b];
  }
  return bands;
}

// Walks the blocks of a band in scan order and reports their symbols to `sink`: MCU by MCU,
// component slots in identifier order, each component's h x v blocks. The counting and the
// emitting pass both run this one walker, so they cannot disagree about what the scan contains.
template <class Sink>
void walkBlocks(const EncodeState& state, const McuLayout& layout, const int16_t* blocks,
                const Band& band, Sink& sink) {
  int32_t predictor[4];
  std::copy(band.predictor, band.predictor + 4, predictor);
  blocks += size_t{band.first} * layout.blocks * 64;
  for (uint32_t mcu = band.first; mcu < band.last; ++mcu) {
    for (uint32_t b = 0; b < layout.blocks; ++b, blocks += 64) {
      const uint8_t slot = layout.slot[b];
      const ComponentCoding& component = state.coding[slot];
      const int32_t diff = blocks[0] - predictor[slot];
      predictor[slot] = blocks[0];
      sink.dc(component, diff);
      // The non-zero coefficients in zig-zag order; the zeros between them are the runs.
      uint64_t nonzero = nonzeroPositions(blocks) & ~uint64_t{1};
      uint32_t last = 0;
      while (nonzero) {
        const uint32_t k = static_cast<uint32_t>(__builtin_ctzll(nonzero));
        nonzero &= nonzero - 1;
        uint32_t run = k - last - 1;
        last = k;
        if (run > 15) {
          const uint32_t zrls = ((run - 16) >> 4) + 1;
          sink.zrl(component, zrls);
          run -= 16 * zrls;
        }
        sink.ac(component, run, blocks[k]);
      }
      // Zeros after the last non-zero coefficient end with an end-of-block.
      if (last < 63) sink.eob(component);
    }
  }
}

// First pass: one band's symbol frequencies by table class and number, and the magnitude bits
// that will follow the codes. The bands' counts add up to the scan's.
struct CountingSink {
  uint32_t frequency[2][4][256] = {};
  uint64_t magnitudeBits = 0;
  void dc(const ComponentCoding& c, int32_t diff) {
    const uint32_t s = magnitudeCategory(diff);
    ++frequency[kDcClass][c.dcIndex][s];
    magnitudeBits += s;
  }
  void zrl(const ComponentCoding& c, uint32_t n) { frequency[kAcClass][c.acIndex][kZrl] += n; }
  void ac(const ComponentCoding& c, uint32_t run, int32_t x) {
    const uint32_t s = magnitudeCategory(x);
    ++frequency[kAcClass][c.acIndex][(run << 4) | s];
    magnitudeBits += s;
  }
  void eob(const ComponentCoding& c) { ++frequency[kAcClass][c.acIndex][kEob]; }
  // The band's length in bits once the tables have their codes.
  uint64_t bits(const EncodeState& state) const {
    uint64_t total = magnitudeBits;
    for (int n = 0; n < 4; ++n) {
      for (int c = 0; c < 2; ++c) {
        const HuffmanCodeTable* table = c == 0 ? state.dcTables[n].get() : state.acTables[n].get();
        if (!table) continue;
        for (int s = 0; s < 256; ++s) {
          total += uint64_t{frequency[c][n][s]} * table->entries[s].codeLength;
        }
      }
    }
    return total;
  }
};

// Second pass: one band's codes into a byte stream. The bit stream is the codes and magnitude bits
// one after the other, most significant bit first; its bytes leave the accumulator 32 bits at a
// time, and every 0xFF byte is followed by a stuffed 0x00. A band starts `phase` bits into a byte
// whose first bits the band before it writes: that byte is stored without its stuffing, and the
// bits after the band's last whole byte are left in the accumulator (see joinBands).
class EmittingSink {
 public:
  EmittingSink(std::vector<uint8_t>& out, uint32_t phase) : out_(out), bits_(phase) {
    firstByteRaw_ = phase != 0;
  }

  void dc(const ComponentCoding& c, int32_t diff) {
    const uint32_t s = magnitudeCategory(diff);
    putWithMagnitude(c.dcTable->entries[s], diff, s);
  }
  void zrl(const ComponentCoding& c, uint32_t n) {
    const auto& entry = c.acTable->entries[kZrl];
    for (uint32_t i = 0; i < n; ++i) put(entry.codeBits, entry.codeLength);
  }
  void ac(const ComponentCoding& c, uint32_t run, int32_t x) {
    const uint32_t s = magnitudeCategory(x);
    putWithMagnitude(c.acTable->entries[(run << 4) | s], x, s);
  }
  void eob(const ComponentCoding& c) {
    const auto& entry = c.acTable->entries[kEob];
    put(entry.codeBits, entry.codeLength);
  }

  // Writes the whole bytes still in the accumulator; returns the bits after them (fewer than 8,
  // in the low bits of `tail`).
  uint32_t finish(uint32_t& tail) {
    while (bits_ >= 8) {
      bits_ -= 8;
      emitByte(static_cast<uint8_t>(accumulator_ >> bits_));
    }
    out_.resize(used_);
    tail = static_cast<uint32_t>(accumulator_) & ((1u << bits_) - 1);
    return bits_;
  }

 private:
  // A code and the magnitude bits after it (the low s bits of x for x > 0, of x - 1 for x < 0);
  // together at most 16 + 16 bits.
  void putWithMagnitude(const HuffmanCodeTable::Entry& entry, int32_t x, uint32_t s) {
    const uint32_t magnitude = static_cast<uint32_t>(x < 0 ? x - 1 : x) & ((1u << s) - 1);
    put((uint64_t{entry.codeBits} << s) | magnitude, entry.codeLength + s);
  }
  void put(uint64_t value, uint32_t length) {
    accumulator_ = (accumulator_ << length) | value;
    bits_ += length;
    if (bits_ >= 32) {
      bits_ -= 32;
      emitWord(static_cast<uint32_t>(accumulator_ >> bits_));
    }
  }
  void emitWord(uint32_t word) {
    reserve(8);
    // No byte of the word is 0xFF: no stuffing, four bytes at once.
    const uint32_t inverted = ~word;
    if (((inverted - 0x01010101u) & ~inverted & 0x80808080u) == 0 && !firstByteRaw_) {
      uint8_t* p = out_.data() + used_;
      p[0] = static_cast<uint8_t>(word >> 24);
      p[1] = static_cast<uint8_t>(word >> 16);
      p[2] = static_cast<uint8_t>(word >> 8);
      p[3] = static_cast<uint8_t>(word);
      used_ += 4;
    } else {
      for (int shift = 24; shift >= 0; shift -= 8) emitByte(static_cast<uint8_t>(word >> shift));
    }
  }
  void emitByte(uint8_t byte) {
    reserve(2);
    out_[used_++] = byte;
    if (byte == 0xFF && !firstByteRaw_) out_[used_++] = 0x00;
    firstByteRaw_ = false;
  }
  void reserve(size_t bytes) {
    if (used_ + bytes > out_.size()) out_.resize(std::max<size_t>(out_.size() * 2, 4096));
  }
  // out_ arrives sized for the expected output and grows only if stuffing needs more.

  std::vector<uint8_t>& out_;
  size_t used_ = 0;           // bytes of out_ written so far
  uint64_t accumulator_ = 0;  // the low bits_ bits are pending, most significant first
  uint32_t bits_ = 0;
  bool firstByteRaw_ = false;  // the next byte is shared with the band before
};

// One band's bytes after emitting: `bytes` (the first of them without its stuffing when the band
// began inside a byte) and the `tailBits` bits after them.
struct EmittedBand {
  std::vector<uint8_t> bytes;
  uint32_t tail = 0, tailBits = 0;
};

void appendByte(std::vector<uint8_t>& out, uint8_t byte) {
  out.push_back(byte);
  if (byte == 0xFF) out.push_back(0x00);
}

// Joins the bands into one stream: where a band began inside a byte, that byte takes the bits
// the band before left over, and is stuffed then. The last bits are padded with 1 bits.
void joinBands(std::vector<EmittedBand>& bands, std::vector<uint8_t>& out) {
  size_t total = 2;
  for (const EmittedBand& band : bands) total += band.bytes.size() + 1;
  out.clear();
  out.reserve(total);
  uint32_t carry = 0, carryBits = 0;  // bits waiting for the rest of their byte
  for (EmittedBand& band : bands) {
    if (!band.bytes.empty()) {
      size_t from = 0;
      if (carryBits != 0) {
        appendByte(out, static_cast<uint8_t>(band.bytes[0] | (carry << (8 - carryBits))));
        from = 1;
      }
      out.insert(out.end(), band.bytes.begin() + from, band.bytes.end());
      carry = band.tail;
      carryBits = band.tailBits;
    } else {
      // The band ended inside the byte it began in: its bits follow the carried ones.
      carry = (carry << (band.tailBits - carryBits)) | band.tail;
      carryBits = band.tailBits;
    }
    band.bytes = {};
  }
  if (carryBits != 0) {
    const uint32_t padding = 8 - carryBits;
    appendByte(out, static_cast<uint8_t>((carry << padding) | ((1u << padding) - 1)));
  }
}

}  // namespace

namespace {

// The code lengths of the frequency-merging construction: the two smallest non-zero frequencies
// are merged until one is left, and every merge puts both chains one level deeper.
void mergeFrequencies(HuffmanCodeTable& table, uint64_t (&frequency)[256]) {
  uint16_t next[256];
  std::fill(std::begin(next), std::end(next), kChainEnd);
  for (;;) {
    // The two smallest non-zero frequencies; on a tie the higher symbol number wins, because
    // symbols are scanned downwards and only a strictly smaller frequency displaces.
    int c1 = -1, c2 = -1;
    for (int s = 255; s >= 0; --s) {
      if (frequency[s] == 0) continue;
      if (c1 < 0 || frequency[s] < frequency[c1]) {
        c2 = c1;
        c1 = s;
      } else if (c2 < 0 || frequency[s] < frequency[c2]) {
        c2 = s;
      }
    }
    if (c2 < 0) return;
    // Both chains go one level deeper; c2's chain hangs off the end of c1's.
    int s = c1;
    for (;;) {
      ++table.entries[s].codeLength;
      if (next[s] == kChainEnd) break;
      s = next[s];
    }
    next[s] = static_cast<uint16_t>(c2);
    for (s = c2; s != kChainEnd; s = next[s]) ++table.entries[s].codeLength;
    frequency[c1] += frequency[c2];
    frequency[c2] = 0;
  }
}

// Limits the lengths to 16 bits. Per round, of the two highest-numbered symbols of the greatest
// length L, the first moves up to L - 1; the second moves down to j + 1 together with the
// highest-numbered symbol of the greatest length j among 1..15. The sum of 2^-length over all
// symbols stays the same, so the code stays complete.
void limitCodeLengths(HuffmanCodeTable& table) {
  for (;;) {
    uint32_t longest = 0;
    for (const auto& entry : table.entries) longest = std::max(longest, entry.codeLength);
    if (longest <= 16) return;
    const int first = highestSymbolOfLength(table, longest, 256);
    const int second = highestSymbolOfLength(table, longest, first);
    int shorter = -1;
    uint32_t j = 0;
    for (uint32_t length = 15; length >= 1 && shorter < 0; --length) {
      shorter = highestSymbolOfLength(table, length, 256);
      j = length;
    }
    // A complete code always has an even count at its greatest length and some shorter code.
    if (second < 0 || shorter < 0) fail(msg::kMergeInternalHuffmanError);
    table.entries[first].codeLength = longest - 1;
    table.entries[shorter].codeLength = j + 1;
    table.entries[second].codeLength = j + 1;
  }
}

}  // namespace

void buildHuffmanTable(HuffmanCodeTable& table) {
  // Working frequencies in 64 bits, so merged counts cannot wrap.
  uint64_t frequency[256];
  for (int s = 0; s < 256; ++s) {
    table.entries[s].codeLength = 0;
    table.entries[s].codeBits = 0;
    frequency[s] = table.entries[s].frequency;
  }
  // The reserved symbol takes part in the construction so that no real symbol gets the all-ones
  // code; it cannot occur in 8-bit baseline data.
  frequency[kReservedSymbol] = 1;
  mergeFrequencies(table, frequency);
  limitCodeLengths(table);
  // Canonical codes: by length, then by symbol number.
  uint32_t code = 0;
  for (uint32_t length = 1; length <= 16; ++length) {
    for (auto& entry : table.entries) {
      if (entry.codeLength == length) entry.codeBits = code++;
    }
    code <<= 1;
  }
  // The reserved symbol's code (all ones at the greatest length) is never used or written.
  table.entries[kReservedSymbol].codeLength = 0;
  table.entries[kReservedSymbol].codeBits = 0;
}

void writeHuffmanTable(const HuffmanCodeTable& table, uint8_t tableClass, uint8_t tableNumber,
                       SegmentBuffer& out) {
  out.append(static_cast<uint8_t>((tableClass << 4) | tableNumber));
  for (uint32_t length = 1; length <= 16; ++length) {
    uint32_t count = 0;
    for (const auto& entry : table.entries) count += entry.codeLength == length;
    out.append(static_cast<uint8_t>(count));
  }
  for (uint32_t length = 1; length <= 16; ++length) {
    for (int s = 0; s < 256; ++s) {
      if (table.entries[s].codeLength == length) out.append(static_cast<uint8_t>(s));
    }
  }
}

void encodeScan(EncodeState& state, const int16_t* blocks) {
  // Both passes run band by band on as many threads as there are; the bands' frequencies add up
  // to the scan's, and each band's bytes are placed after the bits of the bands before it.
  const McuLayout layout = mcuLayoutOf(state.layout());
  const std::vector<Band> bands = splitIntoBands(state, layout, blocks);
  std::vector<CountingSink> counts(bands.size());
  platform::parallelFor(bands.size(),
                        [&](size_t i) { walkBlocks(state, layout, blocks, bands[i], counts[i]); });
  for (int n = 0; n < 4; ++n) {
    for (int c = 0; c < 2; ++c) {
      HuffmanCodeTable* table = c == 0 ? state.dcTables[n].get() : state.acTables[n].get();
      if (!table) continue;
      for (const CountingSink& band : counts) {
        for (int s = 0; s < 256; ++s) table->entries[s].frequency += band.frequency[c][n][s];
      }
      buildHuffmanTable(*table);
    }
  }
  std::vector<uint64_t> startBit(bands.size() + 1, 0);
  for (size_t i = 0; i < bands.size(); ++i) startBit[i + 1] = startBit[i] + counts[i].bits(state);
  std::vector<EmittedBand> emitted(bands.size());
  platform::parallelFor(bands.size(), [&](size_t i) {
    const uint64_t bits = startBit[i + 1] - startBit[i] + 8;
    // The exact size before stuffing is known; room for some stuffed bytes too.
    emitted[i].bytes.resize(bits / 8 + bits / 512 + 64);
    EmittingSink emitter(emitted[i].bytes, uint32_t(startBit[i] % 8));
    walkBlocks(state, layout, blocks, bands[i], emitter);
    emitted[i].tailBits = emitter.finish(emitted[i].tail);
  });
  joinBands(emitted, state.scanData);
}

void writeDhtSegment(const EncodeState& state, const std::vector<HuffmanTableSpec>& tables,
                     SegmentBuffer& out) {
  out.beginSegment(kCodeDht);
  for (const HuffmanTableSpec& source : tables) {
    const HuffmanCodeTable* table = !source.hasValidId() ? nullptr
                                    : source.isAc()      ? state.acTables[source.index()].get()
                                                         : state.dcTables[source.index()].get();
    if (!table) fail(msg::kInvalidHuffmanId);
    writeHuffmanTable(*table, source.isAc() ? kAcClass : kDcClass, uint8_t(source.index()), out);
  }
  out.endSegment();
}

}  // namespace tessel
