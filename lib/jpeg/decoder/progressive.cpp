// The progressive pass: every scan is decoded into one whole-image coefficient buffer, with the
// DHT, DRI and SOS segments between scans applied as they are met; then the image is
// reconstructed one MCU row at a time.

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/exception.h"
#include "core/messages.h"
#include "core/pixel_image.h"
#include "core/range_tracker.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/decoder/decoder_state.h"
#include "jpeg/decoder/huffman_decode.h"
#include "jpeg/decoder/reconstruct.h"
#include "jpeg/jpeg_reader.h"
#include "jpeg/messages.h"
#include "platform/memory.h"
#include "platform/parallel.h"
#include "platform/system.h"

namespace tessel {

namespace {

constexpr uint32_t kMaxScans = 4096;

using CoefficientBuffer = std::unique_ptr<int16_t[], FreeDeleter>;

// The band and bit position of the current scan, and its end-of-band run.
struct Band {
  uint32_t ss = 0, se = 0, al = 0;
  uint32_t eobRun = 0;  // blocks still covered by an end-of-band run
};

inline int32_t receiveExtended(BitReader& reader, uint32_t size) {
  return extend(receiveBits(reader, size), size);
}

inline int16_t shifted(int32_t value, uint32_t al) {
  return static_cast<int16_t>(static_cast<uint32_t>(value) << al);
}

// The four kinds of progressive block. Each takes the scan's reader by reference; they are
// inlined into the scan loop chosen for the scan, where the reader stays in registers.

// First DC scan of a component: a Huffman-coded difference, shifted up by Al.
inline void decodeDcFirst(BitReader& reader, int16_t* block, const HuffmanLookup& table,
                          int32_t& predictor, uint32_t al) {
  if (exhausted(reader)) {  // no difference: the block takes the predictor as it is
    block[0] = shifted(predictor, al);
    return;
  }
  const uint32_t size = decodeSymbol(reader, table);
  int32_t diff = 0;
  if (size != 0) {
    if (size > 16) fail(msg::kCorruptImageData);  // no DC difference has more than 16 bits
    diff = receiveExtended(reader, size);
  }
  predictor = static_cast<int32_t>(static_cast<uint32_t>(predictor) + static_cast<uint32_t>(diff));
  block[0] = shifted(predictor, al);
}

// DC refinement: one more bit of the DC coefficient.
inline void decodeDcRefine(BitReader& reader, int16_t* block, uint32_t al) {
  block[0] = static_cast<int16_t>(static_cast<uint16_t>(block[0]) | (receiveBits(reader, 1) << al));
}

// First AC scan of a band: runs of zeros and values, or an end-of-band run over this and the
// following blocks. A run past the end of the band ends the block.
inline void decodeAcFirst(BitReader& reader, int16_t* block, const HuffmanLookup& table,
                          Band& band) {
  if (band.eobRun != 0) {
    --band.eobRun;
    return;
  }
  constexpr uint32_t kShift = 64 - HuffmanLookup::kFastBits;
  for (uint32_t k = band.ss; k <= band.se; ++k) {
    if (reader.count < 32) refill(reader);
    // A short code with its value bits, when buffered, in one table access; a run of sixteen
    // zeros and end-of-band runs take the general path.
    const uint32_t fast = table.fastAc[reader.bits >> kShift];
    const uint32_t total = fast & 0xFF;
    if ((fast >> 16) != 0 && total <= reader.count) {
      reader.bits <<= total;
      reader.count -= total;
      k += (fast >> 8) & 15;
      if (k <= band.se)
        block[k] = shifted(static_cast<int16_t>(fast >> 16), band.al);
      continue;
    }
    const uint32_t symbol = decodeSymbol(reader, table);
    const uint32_t run = symbol >> 4;
    const uint32_t size = symbol & 15;
    if (size != 0) {
      const int32_t value = receiveExtended(reader, size);
      k += run;
      if (k <= band.se) block[k] = shifted(value, band.al);
    } else if (run < 15) {
      band.eobRun = (1u << run) + (run > 0 ? receiveBits(reader, run) : 0);
      break;
    } else {
      k += 15;  // sixteen zeros, with the loop's step
    }
  }
  if (band.eobRun != 0) --band.eobRun;
}

// Bit k set for each position k of [from, to] (0 <= from <= to <= 63).
inline uint64_t positions(uint32_t from, uint32_t to) {
  return (~uint64_t{0} >> (63 - to)) & (~uint64_t{0} << from);
}

// Bit k set where block[k] is not zero.
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

// One correction bit, in position order, for each nonzero coefficient at the positions set in
// `which`: a 1 moves the coefficient one step of `bit` further from zero. Bits missing at the end
// of the data read as 0, as receiveBits gives them one at a time.
inline void refinePositions(BitReader& reader, int16_t* block, uint64_t which, int32_t bit) {
  while (which != 0) {
    if (reader.count < 16) refill(reader);
    // Up to sixteen bits from the top of the buffer, whose bits below `count` are zeros.
    uint64_t window = reader.bits;
    uint32_t used = 0;
    for (; which != 0 && used < 16; ++used) {
      const uint32_t k = static_cast<uint32_t>(__builtin_ctzll(which));
      which &= which - 1;
      // Without a branch: the bits are as good as random.
      const int32_t step = static_cast<int32_t>(window >> 63) * bit;
      window <<= 1;
      block[k] = static_cast<int16_t>(block[k] >= 0 ? block[k] + step : block[k] - step);
    }
    used = std::min(used, reader.count);
    reader.bits <<= used;
    reader.count -= used;
  }
}

// AC refinement: correction bits for the coefficients that are nonzero already, and newly
// nonzero coefficients (value +-1) placed after runs of zero coefficients. The nonzero
// coefficients are found from a mask of the block, so that runs of zeros cost nothing to pass.
inline void decodeAcRefine(BitReader& reader, int16_t* block, const HuffmanLookup& table,
                           Band& band) {
  const int32_t bit = int32_t{1} << band.al;
  const uint64_t nonzero = nonzeroPositions(block);
  uint32_t k = band.ss;
  if (band.eobRun == 0) {
    while (k <= band.se) {
      const uint32_t symbol = decodeSymbol(reader, table);
      const uint32_t run = symbol >> 4;
      const uint32_t size = symbol & 15;
      int32_t value = 0;
      if (size != 0) {
        value = receiveExtended(reader, size);
      } else if (run < 15) {
        band.eobRun = (1u << run) + (run > 0 ? receiveBits(reader, run) : 0);
        break;  // the rest of the band is refined below
      }
      // The zero where the run is used up: nonzero coefficients before it take a correction
      // bit; past the end of the band there is none, and the block is done.
      uint64_t zeros = ~nonzero & positions(k, band.se);
      for (uint32_t i = 0; i < run && zeros != 0; ++i) zeros &= zeros - 1;
      if (zeros == 0) {
        refinePositions(reader, block, nonzero & positions(k, band.se), bit);
        return;
      }
      const uint32_t stop = static_cast<uint32_t>(__builtin_ctzll(zeros));
      if (stop > k) refinePositions(reader, block, nonzero & positions(k, stop - 1), bit);
      if (size != 0) block[stop] = shifted(value, band.al);
      k = stop + 1;
    }
  }
  if (band.eobRun != 0) {
    if (k <= band.se) refinePositions(reader, block, nonzero & positions(k, band.se), bit);
    --band.eobRun;
  }
}

const HuffmanLookup* tableAt(const std::array<std::unique_ptr<HuffmanLookup>, 4>& tables,
                             int32_t index) {
  return index >= 0 && index < 4 ? tables[index].get() : nullptr;
}

void skipScanData(BitReader& reader) {
  const uint8_t* p = reader.position;
  while (reader.end - p >= 2) {
    if (p[0] == 0xFF && p[1] != 0x00 && (p[1] < 0xD0 || p[1] > 0xD7)) break;
    ++p;
  }
  if (reader.end - p < 2) p = reader.end;
  reader.position = p;
  reader.bits = 0;
  reader.count = 0;
}

// Visits the blocks of one scan in coding order, counting restart intervals, and hands each block
// of an in-scan component to `decodeBlock` (reader, block, component, predictor).
// With `noOpWhenExhausted` (the scan kinds other than a first DC scan) a block decoded from an
// exhausted reader changes nothing, so without restart markers, which could move the reader on,
// the rest of the scan is passed over once the reader is exhausted. That keeps a file of many
// scans with little data from costing a walk over the whole image for each of them.
template <typename DecodeBlock>
void walkScan(const DecoderState& state, const McuLayout& layout, BitReader& reader,
              int16_t* coefficients, Band& band, bool noOpWhenExhausted, DecodeBlock decodeBlock) {
  const bool stopWhenExhausted = noOpWhenExhausted && state.restartInterval == 0;
  const auto inScan = [&](uint32_t slot) {
    return layout.present[slot] && state.components[slot]->inScan;
  };
  BitReader local = reader;  // kept in registers while the scan is decoded
  int32_t predictors[4] = {0, 0, 0, 0};
  const uint32_t interval = state.restartInterval != 0 ? state.restartInterval : 2147483647u;
  uint32_t counter = interval;
  uint32_t restartIndex = 0;
  // Counts a decoded unit (an MCU, or a block of a single-component scan). No restart marker
  // follows the scan's last interval, so nothing is looked for after the last unit: looking
  // would skip over the segments of the following scans.
  const auto countUnit = [&](bool last) {
    if (last || --counter != 0) return;
    BitReader copy = local;
    resynchronise(copy, restartIndex);
    local = copy;
    std::fill(predictors, predictors + 4, 0);
    band.eobRun = 0;  // an end-of-band run never crosses a restart marker
    ++restartIndex;
    counter = interval;
  };

  if (state.scanComponentCount != 1) {
    bool anyInScan = false;
    for (uint32_t slot = 0; slot < 4; ++slot) anyInScan |= inScan(slot);
    if (!anyInScan && state.restartInterval == 0) return;
    for (uint32_t mcu = 0; mcu < state.mcuCount; ++mcu) {
      if (anyInScan) {
        int16_t* block = coefficients + size_t{mcu} * layout.blocks * 64;
        for (uint32_t b = 0; b < layout.blocks; ++b, block += 64) {
          const uint32_t slot = layout.slot[b];
          if (inScan(slot)) decodeBlock(local, block, *state.components[slot], predictors[slot]);
        }
      }
      if (stopWhenExhausted && exhausted(local)) break;
      countUnit(mcu + 1 == state.mcuCount);
    }
    reader = local;
    return;
  }

  uint32_t slot = 0;
  while (slot < 4 && !(state.components[slot] && state.components[slot]->inScan)) ++slot;
  if (slot == 4 || !layout.present[slot]) {
    // The scan's one component was dropped by the slot rule, or is not part of the frame: there
    // is nothing to decode into, so its data is passed over up to the next marker other than a
    // restart marker.
    skipScanData(reader);
    return;
  }
  const ComponentInfo& component = *state.components[slot];
  const uint32_t h = component.h;
  const uint32_t v = component.v;
  // Blocks of the component that lie (at least partly) inside the image; the others are not
  // coded in a single-component scan.
  const uint64_t rows = std::min<uint64_t>(uint64_t{state.mcuRows} * v, (state.height + 7) / 8);
  const uint64_t cols = std::min<uint64_t>(uint64_t{state.mcusPerRow} * h, (state.width + 7) / 8);
  const uint64_t total = rows * cols;
  uint64_t decoded = 0;
  for (uint64_t n = 0; n < rows; ++n) {
    const uint64_t mcuRow = n / v;
    const uint64_t blockRow = n % v;
    for (uint64_t m = 0; m < cols; ++m) {
      const uint64_t mcu = mcuRow * state.mcusPerRow + m / h;
      const uint64_t index = mcu * layout.blocks + layout.offset[slot] + blockRow * h + m % h;
      decodeBlock(local, coefficients + index * 64, component, predictors[slot]);
      if (stopWhenExhausted && exhausted(local)) {
        reader = local;
        return;
      }
      countUnit(++decoded == total);
    }
  }
  reader = local;
}

// `layout` is the frame's MCU layout, fixed before the first scan: a component that a later scan
// header creates has no blocks in the coefficient buffer and is not decoded.
void decodeScan(DecoderState& state, const McuLayout& layout, BitReader& reader,
                int16_t* coefficients) {
  Band band;
  band.ss = std::max<uint32_t>(state.ss, 1);  // the AC part's start
  band.se = state.se;
  band.al = state.al;
  const bool dcPart = state.ss == 0;
  const bool acPart = state.se >= 1;
  const bool first = state.ah == 0;

  for (uint32_t slot = 0; slot < 4; ++slot) {
    if (!layout.present[slot]) continue;
    ComponentInfo& component = *state.components[slot];
    component.dc = tableAt(state.dcTables, component.dcIndex);
    component.ac = tableAt(state.acTables, component.acIndex);
    if (!component.inScan) continue;
    if (dcPart && first && !component.dc) fail(msg::kMissingDcTable);
    if (acPart && !component.ac) fail(msg::kMissingAcTable);
  }

  // The kind of block is chosen once per scan. A scan with both a DC and an AC part (which
  // progressive encoders do not write) decodes the DC part and then the band from 1.
  const uint32_t al = state.al;
  if (dcPart && !acPart) {
    if (first) {
      walkScan(state, layout, reader, coefficients, band, false,
               [al](BitReader& r, int16_t* block, const ComponentInfo& c, int32_t& predictor) {
                 decodeDcFirst(r, block, *c.dc, predictor, al);
               });
    } else {
      walkScan(state, layout, reader, coefficients, band, true,
               [al](BitReader& r, int16_t* block, const ComponentInfo&, int32_t&) {
                 decodeDcRefine(r, block, al);
               });
    }
  } else if (!dcPart) {
    if (first) {
      walkScan(state, layout, reader, coefficients, band, true,
               [&band](BitReader& r, int16_t* block, const ComponentInfo& c, int32_t&) {
                 decodeAcFirst(r, block, *c.ac, band);
               });
    } else {
      walkScan(state, layout, reader, coefficients, band, true,
               [&band](BitReader& r, int16_t* block, const ComponentInfo& c, int32_t&) {
                 decodeAcRefine(r, block, *c.ac, band);
               });
    }
  } else {
    walkScan(state, layout, reader, coefficients, band, !first,
             [&](BitReader& r, int16_t* block, const ComponentInfo& c, int32_t& predictor) {
               if (first) {
                 decodeDcFirst(r, block, *c.dc, predictor, al);
                 decodeAcFirst(r, block, *c.ac, band);
               } else {
                 decodeDcRefine(r, block, al);
                 decodeAcRefine(r, block, *c.ac, band);
               }
             });
  }
}

// Reads the segments between two scans, starting at the reader's position, and applies them
// through their marker classes, as the segments before the first scan were; returns with the
// reader just past the next scan header. Only DHT, DRI and SOS segments may come here. Every read
// is claimed in a tracker over the remaining data, so a segment that runs past the data fails
// cleanly.
void readSegmentsBetweenScans(DecoderState& state, PixelImage& image, BitReader& reader) {
  const uint8_t* const end = reader.end;
  RangeTracker tracker(reader.position, static_cast<int32_t>(end - reader.position));
  const uint8_t* p = reader.position;
  for (;;) {
    const uint8_t code = readMarkerCode(tracker, p);
    const int32_t length = readSegmentLength(tracker, p);
    if (code != kCodeDht && code != kCodeDri && code != kCodeSos) {
      fail(msg::kUnexpectedMarkerBetweenScans);  // fill bytes 0xFF included
    }
    if (length < 0) fail(msg::kInvalidHeaderLengthOrCorrupt);
    if (length > end - p) fail(msg::kInvalidOffset);
    const auto marker = makeMarker(code, length, p);
    marker->parse(tracker);
    marker->applyToDecoder(state, image, false);
    p += length;
    if (code == kCodeSos) {
      reader.position = p;
      reader.bits = 0;
      reader.count = 0;
      return;
    }
  }
}

CoefficientBuffer allocateCoefficients(const DecoderState& state) {
  const uint64_t blocks = uint64_t{state.mcuCount} * state.blocksPerMcu;
  const uint64_t bytes = blocks * 64 * sizeof(int16_t);
  // The coefficients and, later, the pixel block must both fit.
  const uint64_t pixelBytes = uint64_t{state.width} * state.height * 8;
  const uint64_t memory = platform::physicalMemoryBytes();
  if (memory != 0 && bytes + pixelBytes > memory) {
    failf(msg::kCoefficientsTooLarge, state.width, state.height);
  }
  void* block = platform::allocateLargeBlock(bytes, true);
  if (!block) failf(msg::kCoefficientsTooLarge, state.width, state.height);
  return CoefficientBuffer(static_cast<int16_t*>(block));
}

struct alignas(16) FloatBlock {
  float f[64];
};

}  // namespace

void decodeProgressive(DecoderState& state, PixelImage& image, const uint8_t* data,
                       uint32_t length) {
  scaleQuantTables(state);
  for (auto& component : state.components) {
    if (component) bindQuantTable(state, *component);
  }
  CoefficientBuffer coefficients = allocateCoefficients(state);
  const McuLayout layout = mcuLayoutOf(slotLayout(state));

  BitReader reader;
  reader.position = data;
  reader.end = data + length;
  if (reader.position < reader.end) {
    for (uint32_t scans = 1;; ++scans) {
      // Each scan costs a walk over the image. No meaningful file needs more scans than this
      // (four components, each coefficient in a band and bit plane of its own, stay below it),
      // and without a bound a small file could keep the decoder busy for hours.
      if (scans > kMaxScans) failf(msg::kTooManyScans, kMaxScans);
      decodeScan(state, layout, reader, coefficients.get());
      if (reader.position >= reader.end) break;
      readSegmentsBetweenScans(state, image, reader);
    }
  }

  image.setPixels(state.width, state.height, platform::allocatePixels(state.width, state.height));
  const McuConverter convert = converterFor(state.samplingMode);
  const ComponentInfo* components[6];
  for (uint32_t b = 0; b < layout.blocks; ++b) {
    components[b] = state.components[layout.slot[b]].get();
  }
  // Rows of MCUs are reconstructed independently, on as many threads as there are.
  platform::parallelFor(state.mcuRows, [&](size_t row) {
    FloatBlock floats[6];
    const int16_t* block = coefficients.get() + row * state.mcusPerRow * layout.blocks * 64;
    alignas(16) int16_t natural[64];
    for (uint32_t mcu = 0; mcu < state.mcusPerRow; ++mcu) {
      for (uint32_t b = 0; b < layout.blocks; ++b, block += 64) {
        for (uint32_t k = 0; k < 64; ++k) natural[kZigzagToNatural[k]] = block[k];
        inverseDct(natural, floats[b].f, components[b]->dequantize);
      }
      placeMcu(state, image, convert, mcu * state.mcuWidth, uint32_t(row) * state.mcuHeight,
               floats[0].f);
    }
  });
}

}  // namespace tessel
