// Nikon lossless coding: Huffman-coded differences with two-row, two-column prediction, and the
// colour-filter interpolation that turns a decoded strip into RGBA pixels.

#include "sources/raw_nikon_decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "core/exception.h"
#include "sources/raw_messages.h"

namespace tessel {

namespace {

// ---------------------------------------------------------------------------------------------
// Colour-filter method tables, indexed by (column & 1) + 2 x (row & 1).

constexpr uint8_t kRggbRed[4] = {0, 2, 1, 4}, kRggbBlue[4] = {4, 1, 2, 0};
constexpr uint8_t kGrbgRed[4] = {2, 0, 4, 1}, kGrbgBlue[4] = {1, 4, 0, 2};
constexpr uint8_t kGreenOnDiagonal[4] = {3, 0, 0, 3};   // RGGB, BGGR
constexpr uint8_t kGreenOffDiagonal[4] = {0, 3, 3, 0};  // GRBG, GBRG

struct PatternEntry {
  uint8_t pattern[4];
  CfaTables tables;
};

// Blue in BGGR sits where red sits in RGGB, so the two layouts swap their red and blue tables;
// GRBG and GBRG likewise.
const PatternEntry kPatterns[] = {
    {{0, 1, 1, 2}, {kRggbRed, kGreenOnDiagonal, kRggbBlue}},   // RGGB
    {{2, 1, 1, 0}, {kRggbBlue, kGreenOnDiagonal, kRggbRed}},   // BGGR
    {{1, 0, 2, 1}, {kGrbgRed, kGreenOffDiagonal, kGrbgBlue}},  // GRBG
    {{1, 2, 0, 1}, {kGrbgBlue, kGreenOffDiagonal, kGrbgRed}},  // GBRG
};

// ---------------------------------------------------------------------------------------------
// Huffman coding.

struct CodeTable {
  uint8_t counts[16];  // number of codes of length 1..16
  uint8_t symbols[16];
};

// Low 4 bits of a symbol: the number of difference bits after the code; high 4 bits: a left
// shift (0 for every symbol of both tables).
constexpr CodeTable kTable12 = {{0, 1, 4, 2, 3, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                                {5, 4, 6, 3, 7, 2, 8, 1, 9, 0, 10, 11, 12}};
constexpr CodeTable kTable14 = {{0, 1, 4, 2, 2, 3, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0},
                                {7, 6, 8, 5, 9, 4, 10, 3, 11, 12, 2, 0, 1, 13, 14}};

constexpr bool withoutShifts(const CodeTable& table) {
  for (uint8_t symbol : table.symbols) {
    if (symbol >> 4 != 0) return false;
  }
  return true;
}
static_assert(withoutShifts(kTable12) && withoutShifts(kTable14),
              "the decoder reads every difference without a shift");

// The lookup: entry 0 holds L, the longest code length; entry 1 + c holds (length << 8) | symbol
// of the code that is a prefix of the L-bit value c.
std::vector<uint16_t> buildLookup(const CodeTable& table) {
  int longest = 0;
  for (int length = 1; length <= 16; ++length) {
    if (table.counts[length - 1] != 0) longest = length;
  }
  std::vector<uint16_t> lookup;
  try {
    lookup.assign((size_t{1} << longest) + 1, 0);
  } catch (const std::bad_alloc&) {
    fail(msg::kRawNikonAllocation);
  }
  lookup[0] = static_cast<uint16_t>(longest);
  uint32_t code = 0;
  int index = 0;
  for (int length = 1; length <= longest; ++length) {
    for (int i = 0; i < table.counts[length - 1]; ++i, ++index, ++code) {
      const uint32_t first = code << (longest - length);
      const uint32_t last = (code + 1) << (longest - length);
      const uint16_t entry = static_cast<uint16_t>(length << 8 | table.symbols[index]);
      std::fill(lookup.begin() + 1 + first, lookup.begin() + 1 + last, entry);
    }
    code <<= 1;
  }
  return lookup;
}

// Bits most significant first, read at an absolute bit position; the data behaves as if zero
// bytes followed it. This matches a reader that is refilled a byte at a time only when a read
// needs more bits than it holds (and adds nothing past the end): readPosition tells where such a
// reader would stand.
class BitStream {
 public:
  BitStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  // At least 57 bits from the current position, left-aligned.
  uint64_t window() const {
    const size_t byte = static_cast<size_t>(position_ >> 3);
    uint64_t word = 0;
    if (byte + 8 <= size_) {
      std::memcpy(&word, data_ + byte, 8);
      if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    } else {
      for (size_t i = 0; i < 8; ++i) word = word << 8 | (byte + i < size_ ? data_[byte + i] : 0u);
    }
    return word << (position_ & 7);
  }
  void skip(int n) { position_ += static_cast<uint64_t>(n); }
  uint64_t position() const { return position_; }
  // True when more bits were consumed than the data holds.
  bool overrun() const { return position_ > uint64_t{size_} * 8; }
  // The byte position of a byte-wise reader whose last read was a peek of `peekBits` at bit
  // `lastPeek`, followed by the consumption up to position(): it has loaded every byte that any
  // read reached into, up to the end of the data.
  uint64_t readPosition(uint64_t lastPeek, int peekBits) const {
    const uint64_t reached = std::max(lastPeek + static_cast<uint64_t>(peekBits), position_);
    return std::min<uint64_t>(size_, (reached + 7) / 8);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  uint64_t position_ = 0;
};

[[noreturn]] void invalidStrip() {
  fail(msg::kRawNikonInvalid);
}

// ---------------------------------------------------------------------------------------------
// Interpolation.

// The samples of one strip with the neighbours of a site clamped to the strip, so that a site
// without a neighbour on either side uses the nearest existing one.
//
// The strip's last two rows are read from a copy (`tail`): when the samples share the block that
// the pixels are written to, writing the last rows overwrites them, while rows before them are
// still where they were when they are read.
struct StripView {
  const uint16_t* samples;
  const uint16_t* tail;  // rows tailStart and after
  uint32_t tailStart;
  uint32_t width;
  uint32_t rows;

  const uint16_t* row(uint32_t y) const {
    return y < tailStart ? samples + size_t{y} * width : tail + size_t{y - tailStart} * width;
  }
  uint32_t at(uint32_t y, uint32_t x) const { return row(y)[x]; }
};

uint32_t middleTwoSum(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  const uint32_t high = std::max(std::max(a, b), std::max(c, d));
  const uint32_t low = std::min(std::min(a, b), std::min(c, d));
  return a + b + c + d - high - low;
}

// One colour at one site by `method`, for any position class. Row class: top (the strip's first
// row), bottom (its last row) or middle; column class: left, right or middle.
uint32_t siteValue(uint8_t method, const StripView& s, uint32_t y, uint32_t x, unsigned k) {
  const bool top = y == 0;
  const bool bottom = !top && y == s.rows - 1;
  const bool left = x == 0;
  const bool right = !left && x == s.width - 1;
  const uint32_t a = y == 0 ? 0 : y - 1;
  const uint32_t b = y + 1 < s.rows ? y + 1 : s.rows - 1;
  const uint32_t l = x == 0 ? 0 : x - 1;
  const uint32_t r = x + 1 < s.width ? x + 1 : s.width - 1;
  const auto mean2 = [k](uint32_t p, uint32_t q) { return ((p + q) << k) >> 1; };
  const auto mean3 = [k](uint32_t p, uint32_t q, uint32_t t) { return ((p + q + t) << k) / 3; };
  switch (method) {
    case kCfaOwn:
      return s.at(y, x) << k;
    case kCfaVertical:
      if (top) return s.at(b, x) << k;
      if (bottom) return s.at(a, x) << k;
      return mean2(s.at(a, x), s.at(b, x));
    case kCfaHorizontal:
      if (left) return s.at(y, r) << k;
      if (right) return s.at(y, l) << k;
      return mean2(s.at(y, l), s.at(y, r));
    case kCfaDirect:
      if (top && left) return mean2(s.at(y, r), s.at(b, x));
      if (top && right) return mean2(s.at(y, l), s.at(b, x));
      if (bottom && left) return mean2(s.at(y, r), s.at(a, x));
      if (bottom && right) return mean2(s.at(y, l), s.at(a, x));
      if (top) return mean3(s.at(y, l), s.at(y, r), s.at(b, x));
      if (bottom) return mean3(s.at(y, l), s.at(y, r), s.at(a, x));
      if (left) return mean3(s.at(a, x), s.at(b, x), s.at(y, r));
      if (right) return mean3(s.at(a, x), s.at(b, x), s.at(y, l));
      return (middleTwoSum(s.at(a, x), s.at(b, x), s.at(y, l), s.at(y, r)) << k) >> 1;
    default:  // kCfaDiagonal
      if (top && left) return s.at(b, r) << k;
      if (top && right) return s.at(b, l) << k;
      if (bottom && left) return s.at(a, r) << k;
      if (bottom && right) return s.at(a, l) << k;
      if (top) return mean2(s.at(b, l), s.at(b, r));
      if (bottom) return mean2(s.at(a, l), s.at(a, r));
      if (left) return mean2(s.at(a, r), s.at(b, r));
      if (right) return mean2(s.at(a, l), s.at(b, l));
      return (middleTwoSum(s.at(a, l), s.at(a, r), s.at(b, l), s.at(b, r)) << k) >> 1;
  }
}

// One colour at an interior site, where every neighbour exists and the method alone decides.
template <int Method>
[[gnu::always_inline]] inline uint32_t interiorValue(const uint16_t* above, const uint16_t* row,
                                                     const uint16_t* below, uint32_t x,
                                                     unsigned k) {
  if constexpr (Method == kCfaOwn) {
    return uint32_t{row[x]} << k;
  } else if constexpr (Method == kCfaVertical) {
    return ((uint32_t{above[x]} + below[x]) << k) >> 1;
  } else if constexpr (Method == kCfaHorizontal) {
    return ((uint32_t{row[x - 1]} + row[x + 1]) << k) >> 1;
  } else if constexpr (Method == kCfaDirect) {
    return (middleTwoSum(above[x], below[x], row[x - 1], row[x + 1]) << k) >> 1;
  } else {
    return (middleTwoSum(above[x - 1], above[x + 1], below[x - 1], below[x + 1]) << k) >> 1;
  }
}

template <int R, int G, int B>
[[gnu::always_inline]] inline void interiorPixel(const uint16_t* above, const uint16_t* row,
                                                 const uint16_t* below, uint32_t x, unsigned k,
                                                 uint16_t* pixel) {
  const uint16_t value[4] = {static_cast<uint16_t>(interiorValue<R>(above, row, below, x, k)),
                             static_cast<uint16_t>(interiorValue<G>(above, row, below, x, k)),
                             static_cast<uint16_t>(interiorValue<B>(above, row, below, x, k)),
                             0xFFFF};
  std::memcpy(pixel, value, sizeof value);
}

// The interior of one row (columns 1 to width - 2) whose even columns take their colours by
// methods R0, G0, B0 and odd columns by R1, G1, B1: whole pixels in one pass.
template <int R0, int G0, int B0, int R1, int G1, int B1>
void interiorPairs(const uint16_t* above, const uint16_t* row, const uint16_t* below,
                   uint32_t width, unsigned k, uint16_t* out) {
  uint32_t x = 1;
  for (; x + 2 < width; x += 2) {
    interiorPixel<R1, G1, B1>(above, row, below, x, k, out + size_t{4} * x);
    interiorPixel<R0, G0, B0>(above, row, below, x + 1, k, out + size_t{4} * (x + 1));
  }
  if (x + 1 < width) interiorPixel<R1, G1, B1>(above, row, below, x, k, out + size_t{4} * x);
}

using InteriorKernel = void (*)(const uint16_t*, const uint16_t*, const uint16_t*, uint32_t,
                                unsigned, uint16_t*);

// The rows a Bayer layout can have, by the methods (red, green, blue) of their even and odd
// sites: a red site takes green from its direct and blue from its diagonal neighbours, a blue
// site the other way round, and a green site takes the colour of its own row horizontally.
struct RowKernel {
  uint8_t even[3];
  uint8_t odd[3];
  InteriorKernel kernel;
};
constexpr RowKernel kRowKernels[] = {
    {{0, 3, 4}, {2, 0, 1}, interiorPairs<0, 3, 4, 2, 0, 1>},  // red, green
    {{2, 0, 1}, {0, 3, 4}, interiorPairs<2, 0, 1, 0, 3, 4>},  // green, red
    {{1, 0, 2}, {4, 3, 0}, interiorPairs<1, 0, 2, 4, 3, 0>},  // green, blue
    {{4, 3, 0}, {1, 0, 2}, interiorPairs<4, 3, 0, 1, 0, 2>},  // blue, green
};

InteriorKernel rowKernel(const CfaTables& tables, unsigned rowParity) {
  const unsigned even = 2 * rowParity, odd = even + 1;
  for (const RowKernel& row : kRowKernels) {
    if (row.even[0] == tables.red[even] && row.even[1] == tables.green[even] &&
        row.even[2] == tables.blue[even] && row.odd[0] == tables.red[odd] &&
        row.odd[1] == tables.green[odd] && row.odd[2] == tables.blue[odd]) {
      return row.kernel;
    }
  }
  return nullptr;
}

void edgePixel(const StripView& s, uint32_t y, uint32_t x, unsigned k, const CfaTables& tables,
               unsigned rowParity, uint16_t* pixel) {
  const unsigned position = (x & 1) + 2 * rowParity;
  pixel[0] = static_cast<uint16_t>(siteValue(tables.red[position], s, y, x, k));
  pixel[1] = static_cast<uint16_t>(siteValue(tables.green[position], s, y, x, k));
  pixel[2] = static_cast<uint16_t>(siteValue(tables.blue[position], s, y, x, k));
  pixel[3] = 0xFFFF;
}

}  // namespace

const CfaTables* cfaTablesFor(const uint8_t* pattern) {
  for (const PatternEntry& entry : kPatterns) {
    if (std::equal(entry.pattern, entry.pattern + 4, pattern)) return &entry.tables;
  }
  return nullptr;
}

NikonParameters readNikonParameters(const uint8_t* bytes, size_t size) {
  // Version 0x46 marks lossless coding; a second version byte follows.
  if (size < 1 || bytes[0] != 0x46) invalidStrip();
  // The second version byte, the four seeds and the two bytes after them must all be present.
  if (size < 12) invalidStrip();
  NikonParameters parameters;
  for (int i = 0; i < 4; ++i) {
    parameters.seeds[i / 2][i % 2] =
        static_cast<uint16_t>(bytes[2 + 2 * i] << 8 | bytes[3 + 2 * i]);
  }
  return parameters;
}

uint16_t decodeNikonStrip(const uint8_t* data, size_t size, uint32_t bitsPerSample,
                          const NikonParameters& parameters, uint32_t width, uint32_t rows,
                          uint16_t* samples) {
  const std::vector<uint16_t> lookup = buildLookup(bitsPerSample == 14 ? kTable14 : kTable12);
  const int longest = lookup[0];
  const uint16_t* const codes = lookup.data() + 1;
  // (1 << bitsPerSample) & 0x7FFF: 0 from 15 bits on, so that every sample is then out of range.
  const uint32_t limit = bitsPerSample < 15 ? uint32_t{1} << bitsPerSample : 0;
  // Since every sample lies below `limit` <= 16384, samples never exceed 16383.

  BitStream stream(data, size);
  uint64_t lastPeek = 0;
  // Every symbol of both tables has a shift (high 4 bits) of 0, so a difference is its n bits
  // with the JPEG sign extension: below 2^(n-1) it stands for d - (2^n - 1); n = 0 gives 0.
  const auto nextDiff = [&]() -> uint16_t {
    lastPeek = stream.position();
    const uint64_t bits = stream.window();
    const uint16_t entry = codes[bits >> (64 - longest)];
    const int length = entry >> 8;
    const int n = entry & 15;
    const uint32_t d = static_cast<uint32_t>((bits << length) >> 48) >> (16 - n);
    stream.skip(length + n);
    const uint32_t negative = d < ((uint32_t{1} << n) >> 1) ? ~uint32_t{0} : 0;
    return static_cast<uint16_t>(d - (((uint32_t{1} << n) - 1) & negative));
  };

  uint16_t vertical[2][2] = {{parameters.seeds[0][0], parameters.seeds[0][1]},
                             {parameters.seeds[1][0], parameters.seeds[1][1]}};
  uint16_t largest = 0;
  for (uint32_t r = 0; r < rows; ++r) {
    uint16_t* out = samples + size_t{r} * width;
    uint16_t* seed = vertical[r & 1];
    uint16_t horizontal[2] = {0, 0};
    for (uint32_t c = 0; c < width && c < 2; ++c) {
      seed[c] = static_cast<uint16_t>(seed[c] + nextDiff());
      horizontal[c] = seed[c];
      if (horizontal[c] >= limit) invalidStrip();
      out[c] = horizontal[c];
      largest = std::max(largest, horizontal[c]);
    }
    for (uint32_t c = 2; c < width; ++c) {
      uint16_t& predictor = horizontal[c & 1];
      predictor = static_cast<uint16_t>(predictor + nextDiff());
      if (predictor >= limit) invalidStrip();
      out[c] = predictor;
      largest = std::max(largest, predictor);
    }
    // Codes that need more bits than the file holds mean the strip was cut short: it is refused
    // instead of having its remaining samples filled in from zero differences.
    if (stream.overrun()) invalidStrip();
  }
  if (stream.readPosition(lastPeek, longest) != size) invalidStrip();
  return largest;
}

unsigned cfaShift(uint32_t maxSample) {
  if (maxSample == 0 || maxSample >= 0x8000) return 0;
  return static_cast<unsigned>(16 - std::bit_width(maxSample));
}

void interpolateStrip(const uint16_t* samples, uint32_t width, uint32_t rows, uint32_t firstRow,
                      const CfaTables& tables, unsigned shift, uint16_t* rgba) {
  if (width == 0 || rows == 0) return;
  const uint32_t tailStart = rows > 2 ? rows - 2 : 0;
  const std::vector<uint16_t> tail(samples + size_t{tailStart} * width,
                                   samples + size_t{rows} * width);
  const StripView strip{samples, tail.data(), tailStart, width, rows};
  const InteriorKernel kernels[2] = {rowKernel(tables, 0), rowKernel(tables, 1)};
  for (uint32_t y = 0; y < rows; ++y) {
    const unsigned rowParity = (firstRow + y) & 1;
    uint16_t* row = rgba + size_t{y} * width * 4;
    const bool edgeRow = y == 0 || y == rows - 1;
    if (edgeRow || width < 3 || kernels[rowParity] == nullptr) {
      for (uint32_t x = 0; x < width; ++x) {
        edgePixel(strip, y, x, shift, tables, rowParity, row + size_t{4} * x);
      }
      continue;
    }
    kernels[rowParity](strip.row(y - 1), strip.row(y), strip.row(y + 1), width, shift, row);
    edgePixel(strip, y, 0, shift, tables, rowParity, row);
    edgePixel(strip, y, width - 1, shift, tables, rowParity, row + size_t{4} * (width - 1));
  }
}

}  // namespace tessel
