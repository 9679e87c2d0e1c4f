#include "jpeg/encoder/huffman_encode.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/exception.h"
#include "core/messages.h"
#include "jpeg/encoder/encode_state.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/jpeg_reader.h"
#include "jpeg/messages.h"
#include "jpeg/segment_buffer.h"

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

// Bit k set when zig-zag position k of the block is not zero.
inline uint64_t nonzeroPositions(const int16_t* block) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  uint64_t mask = 0;
  for (int i = 0; i < 64; i += 16) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + i));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + i + 8));
    const __m128i zeros = _mm_packs_epi16(_mm_cmpeq_epi16(low, zero), _mm_cmpeq_epi16(high, zero));
    mask |= uint64_t{~static_cast<uint32_t>(_mm_movemask_epi8(zeros)) & 0xFFFFu} << i;
  }
  return mask;
#else
  uint64_t mask = 0;
  for (int k = 0; k < 64; ++k) mask |= uint64_t{block[k] != 0} << k;
  return mask;
#endif
}

// Walks every block in scan order and reports its symbols to `sink`: MCU by MCU, component slots
// in identifier order, each component's h x v blocks. The counting and the emitting pass both run
// this one walker, so they cannot disagree about what the scan contains.
template <class Sink>
void walkBlocks(const EncodeState& state, const int16_t* blocks, Sink& sink) {
  const McuLayout layout = mcuLayoutOf(slotLayout(state));
  int32_t predictor[4] = {};
  for (uint32_t mcu = 0; mcu < state.mcuCount; ++mcu) {
    for (uint32_t b = 0; b < layout.blocks; ++b, blocks += 64) {
      const uint8_t slot = layout.slot[b];
      const EncodeComponent& component = *state.components[slot];
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

// First pass: symbol frequencies, and the number of magnitude bits that will follow the codes.
struct CountingSink {
  uint64_t magnitudeBits = 0;
  void dc(const EncodeComponent& c, int32_t diff) {
    const uint32_t s = magnitudeCategory(diff);
    ++c.dcTable->entries[s].frequency;
    magnitudeBits += s;
  }
  void zrl(const EncodeComponent& c, uint32_t n) { c.acTable->entries[kZrl].frequency += n; }
  void ac(const EncodeComponent& c, uint32_t run, int32_t x) {
    const uint32_t s = magnitudeCategory(x);
    ++c.acTable->entries[(run << 4) | s].frequency;
    magnitudeBits += s;
  }
  void eob(const EncodeComponent& c) { ++c.acTable->entries[kEob].frequency; }
};

// Second pass: codes into a byte stream. The bit stream is the codes and magnitude bits one after
// the other, most significant bit first; its bytes leave the accumulator 32 bits at a time, and
// every 0xFF byte is followed by a stuffed 0x00. At the end the last partial byte is filled with
// 1 bits.
class EmittingSink {
 public:
  explicit EmittingSink(std::vector<uint8_t>& out) : out_(out) {}

  void dc(const EncodeComponent& c, int32_t diff) {
    const uint32_t s = magnitudeCategory(diff);
    putWithMagnitude(c.dcTable->entries[s], diff, s);
  }
  void zrl(const EncodeComponent& c, uint32_t n) {
    const auto& entry = c.acTable->entries[kZrl];
    for (uint32_t i = 0; i < n; ++i) put(entry.codeBits, entry.codeLength);
  }
  void ac(const EncodeComponent& c, uint32_t run, int32_t x) {
    const uint32_t s = magnitudeCategory(x);
    putWithMagnitude(c.acTable->entries[(run << 4) | s], x, s);
  }
  void eob(const EncodeComponent& c) {
    const auto& entry = c.acTable->entries[kEob];
    put(entry.codeBits, entry.codeLength);
  }

  void finish() {
    if (bits_ > 0) {
      const uint32_t padding = (8 - bits_ % 8) % 8;
      put((1u << padding) - 1, padding);
      while (bits_ > 0) {
        bits_ -= 8;
        emitByte(static_cast<uint8_t>(accumulator_ >> bits_));
      }
    }
    out_.resize(used_);
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
    if (((inverted - 0x01010101u) & ~inverted & 0x80808080u) == 0) {
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
    if (byte == 0xFF) out_[used_++] = 0x00;
  }
  void reserve(size_t bytes) {
    if (used_ + bytes > out_.size()) out_.resize(std::max<size_t>(out_.size() * 2, 4096));
  }
  // out_ arrives sized for the expected output and grows only if stuffing needs more.

  std::vector<uint8_t>& out_;
  size_t used_ = 0;           // bytes of out_ written so far
  uint64_t accumulator_ = 0;  // the low bits_ bits are pending, most significant first
  uint32_t bits_ = 0;
};

}  // namespace

void buildHuffmanTable(HuffmanCodeTable& table) {
  // Working frequencies in 64 bits, so merged counts cannot wrap.
  uint64_t frequency[256];
  uint16_t next[256];
  for (int s = 0; s < 256; ++s) {
    table.entries[s].codeLength = 0;
    table.entries[s].codeBits = 0;
    frequency[s] = table.entries[s].frequency;
    next[s] = kChainEnd;
  }
  // The reserved symbol takes part in the construction so that no real symbol gets the all-ones
  // code; it cannot occur in 8-bit baseline data.
  frequency[kReservedSymbol] = 1;

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
    if (c2 < 0) break;
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

  // Limit the lengths to 16 bits. Per round, of the two highest-numbered symbols of the greatest
  // length L, the first moves up to L - 1; the second moves down to j + 1 together with the
  // highest-numbered symbol of the greatest length j among 1..15. The sum of 2^-length over all
  // symbols stays the same, so the code stays complete.
  for (;;) {
    uint32_t longest = 0;
    for (const auto& entry : table.entries) longest = std::max(longest, entry.codeLength);
    if (longest <= 16) break;
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
  CountingSink counter;
  walkBlocks(state, blocks, counter);
  uint64_t bits = counter.magnitudeBits;
  for (int n = 0; n < 4; ++n) {
    for (auto* table : {state.dcTables[n].get(), state.acTables[n].get()}) {
      if (!table) continue;
      buildHuffmanTable(*table);
      for (const auto& entry : table->entries) bits += uint64_t{entry.frequency} * entry.codeLength;
    }
  }
  // The exact size before stuffing is known now; room for some stuffed bytes too.
  state.scanData.clear();
  state.scanData.resize(bits / 8 + bits / 512 + 64);
  EmittingSink emitter(state.scanData);
  walkBlocks(state, blocks, emitter);
  emitter.finish();
}

void writeDhtSegment(const EncodeState& state, const std::vector<HuffmanTableSpec>& tables,
                     SegmentBuffer& out) {
  out.beginSegment(kCodeDht);
  for (const HuffmanTableSpec& spec : tables) {
    const HuffmanCodeTable* table = !spec.hasValidId() ? nullptr
                                    : spec.isAc()      ? state.acTables[spec.index()].get()
                                                       : state.dcTables[spec.index()].get();
    if (!table) fail(msg::kInvalidHuffmanId);
    writeHuffmanTable(*table, spec.isAc() ? kAcClass : kDcClass, uint8_t(spec.index()), out);
  }
  out.endSegment();
}

}  // namespace tessel
