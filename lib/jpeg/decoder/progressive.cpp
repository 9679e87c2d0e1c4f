// The progressive pass: every scan is decoded into one whole-image coefficient buffer (the DC
// coefficients in a plane of their own), with the DHT, DRI and SOS segments between scans applied
// in file order and scans decoded at the same time where they touch different coefficients; then
// the image is reconstructed, rows of MCUs on every thread.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "core/exception.h"
#include "core/messages.h"
#include "core/pixel_image.h"
#include "core/range_tracker.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/decoder/decoder_state.h"
#include "jpeg/decoder/huffman_decode.h"
#include "jpeg/decoder/reconstruct.h"
#include "jpeg/markers/jpeg_reader.h"
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
      if (k <= band.se) block[k] = shifted(static_cast<int16_t>(fast >> 16), band.al);
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

// What decoding one scan takes from the state after its header: the header's fields, the
// restart interval and the Huffman tables of its components. The tables are held here, since a
// later DHT segment may replace them in the state while the scan is still to be decoded.
struct ScanPlan {
  uint32_t ss = 0, se = 0, ah = 0, al = 0;
  uint32_t restartInterval = 0;
  uint32_t componentCount = 0;
  std::array<bool, 4> inScan{};  // per slot
  std::array<std::shared_ptr<const HuffmanLookup>, 4> dc, ac;
  const uint8_t* start = nullptr;  // the scan's entropy-coded data
  const uint8_t* end = nullptr;    // where the next segment was looked for
};

ScanPlan planScan(const DecoderState& state) {
  ScanPlan plan;
  plan.ss = state.scan.ss;
  plan.se = state.scan.se;
  plan.ah = state.scan.ah;
  plan.al = state.scan.al;
  plan.restartInterval = state.scan.restartInterval;
  plan.componentCount = state.scan.componentCount;
  const auto table = [](const std::array<std::shared_ptr<const HuffmanLookup>, 4>& tables,
                        int32_t index) {
    return index >= 0 && index < 4 ? tables[index] : nullptr;
  };
  for (uint32_t slot = 0; slot < 4; ++slot) {
    const std::optional<ComponentPlan>& component = state.components[slot];
    if (!component) continue;
    plan.inScan[slot] = component->inScan;
    plan.dc[slot] = table(state.scan.dcTables, component->dcIndex);
    plan.ac[slot] = table(state.scan.acTables, component->acIndex);
  }
  return plan;
}

// The coefficients being decoded: 64 per block in zig-zag order, except the DC coefficients,
// which have a plane of their own so that a DC scan and an AC scan of the same blocks touch
// separate memory.
struct Coefficients {
  int16_t* ac;
  int16_t* dc;
};

// How far a scan has got, for a later scan of the same coefficients that follows it block by
// block: the units (MCUs of an interleaved scan, blocks of a single-component one) done, made
// public a row at a time, and kDone once the scan has ended, however it ended.
struct ScanProgress {
  static constexpr uint64_t kDone = ~uint64_t{0};
  std::atomic<uint64_t> units{0};
};

// A scan's place among scans decoded at the same time: the progress it publishes and the
// progress of the earlier scans it follows unit by unit (the other scans it depends on have
// ended before it starts). `failed` is set when any scan throws, so that none waits for ever.
struct ScanPipeline {
  ScanProgress* own = nullptr;
  std::vector<const ScanProgress*> follows;
  const std::atomic<bool>* failed = nullptr;

  // The units, from `unit` on, that the followed scans have done; waits until there is one.
  uint64_t waitFor(uint64_t unit) const {
    for (;;) {
      uint64_t ready = ScanProgress::kDone;
      for (const ScanProgress* p : follows)
        ready = std::min(ready, p->units.load(std::memory_order_acquire));
      if (ready > unit) return ready;
      if (failed->load(std::memory_order_relaxed)) fail(msg::kCorruptImageData);
      std::this_thread::yield();
    }
  }
  void publish(uint64_t units) const { own->units.store(units, std::memory_order_release); }
};

// Whether [p, to) holds only what is passed over in front of a segment's marker: 0x00 bytes and
// 0xFF 0x00 pairs.
bool onlyPadding(const uint8_t* p, const uint8_t* to) {
  while (p < to) {
    if (p[0] == 0xFF && to - p >= 2 && p[1] == 0x00) {
      p += 2;
    } else if (p[0] == 0x00) {
      ++p;
    } else {
      return false;
    }
  }
  return p == to;
}

// Passes over a scan's data up to the next marker other than a restart marker.
void skipScanData(BitReader& reader) {
  reader.position = nextSegmentMarker(reader.position, reader.end);
  reader.bits = 0;
  reader.count = 0;
}

// Visits the blocks of one scan in coding order, counting restart intervals, and hands each block
// of an in-scan component to `decodeBlock` (reader, block index, slot, predictor).
// With `noOpWhenExhausted` (the scan kinds other than a first DC scan) a block decoded from an
// exhausted reader changes nothing, so without restart markers, which could move the reader on,
// the rest of the scan is passed over once the reader is exhausted. That keeps a file of many
// scans with little data from costing a walk over the whole image for each of them.
template <typename DecodeBlock>
void walkScan(const DecoderState& state, const ScanPlan& plan, const McuLayout& layout,
              BitReader& reader, const ScanPipeline* pipeline, Band& band, bool noOpWhenExhausted,
              DecodeBlock decodeBlock) {
  const bool stopWhenExhausted = noOpWhenExhausted && plan.restartInterval == 0;
  const auto inScan = [&](uint32_t slot) { return layout.present[slot] && plan.inScan[slot]; };
  BitReader local = reader;  // kept in registers while the scan is decoded
  int32_t predictors[4] = {0, 0, 0, 0};
  const uint32_t interval = plan.restartInterval != 0 ? plan.restartInterval : 2147483647u;
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
  // Units that the scans this one follows have done (all of them when it follows none).
  uint64_t ready = pipeline && !pipeline->follows.empty() ? 0 : ScanProgress::kDone;
  const auto waitFor = [&](uint64_t unit) {
    if (unit >= ready) ready = pipeline->waitFor(unit);
  };

  if (plan.componentCount != 1) {
    bool anyInScan = false;
    for (uint32_t slot = 0; slot < 4; ++slot) anyInScan |= inScan(slot);
    if (!anyInScan && plan.restartInterval == 0) return;
    for (uint32_t mcu = 0; mcu < state.mcuCount; ++mcu) {
      if (anyInScan) {
        waitFor(mcu);
        size_t index = size_t{mcu} * layout.blocks;
        for (uint32_t b = 0; b < layout.blocks; ++b, ++index) {
          const uint32_t slot = layout.slot[b];
          if (inScan(slot)) decodeBlock(local, index, slot, predictors[slot]);
        }
      }
      if (pipeline && (mcu + 1) % state.mcusPerRow == 0) pipeline->publish(mcu + 1);
      if (stopWhenExhausted && exhausted(local)) break;
      countUnit(mcu + 1 == state.mcuCount);
    }
    reader = local;
    return;
  }

  uint32_t slot = 0;
  while (slot < 4 && !plan.inScan[slot]) ++slot;
  if (slot == 4 || !layout.present[slot]) {
    // The scan's one component was dropped by the slot rule, or is not part of the frame: there
    // is nothing to decode into, so its data is passed over up to the next marker other than a
    // restart marker.
    skipScanData(reader);
    return;
  }
  const ComponentPlan& component = *state.components[slot];
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
      waitFor(decoded);
      const uint64_t mcu = mcuRow * state.mcusPerRow + m / h;
      const size_t index = mcu * layout.blocks + layout.offset[slot] + blockRow * h + m % h;
      decodeBlock(local, index, slot, predictors[slot]);
      if (stopWhenExhausted && exhausted(local)) {
        reader = local;
        return;
      }
      countUnit(++decoded == total);
    }
    if (pipeline) pipeline->publish(decoded);
  }
  reader = local;
}

// Decodes one scan from `reader` into `planes`. `layout` is the frame's MCU layout, fixed before
// the first scan: a component that a later scan header creates has no blocks and is not decoded.
void decodeScan(const DecoderState& state, const ScanPlan& plan, const McuLayout& layout,
                BitReader& reader, Coefficients planes, const ScanPipeline* pipeline = nullptr) {
  Band band;
  band.ss = std::max<uint32_t>(plan.ss, 1);  // the AC part's start
  band.se = plan.se;
  band.al = plan.al;
  const bool dcPart = plan.ss == 0;
  const bool acPart = plan.se >= 1;
  const bool first = plan.ah == 0;

  for (uint32_t slot = 0; slot < 4; ++slot) {
    if (!layout.present[slot] || !plan.inScan[slot]) continue;
    if (dcPart && first && !plan.dc[slot]) fail(msg::kMissingDcTable);
    if (acPart && !plan.ac[slot]) fail(msg::kMissingAcTable);
  }
  const HuffmanLookup* dcTables[4];
  const HuffmanLookup* acTables[4];
  for (uint32_t slot = 0; slot < 4; ++slot) {
    dcTables[slot] = plan.dc[slot].get();
    acTables[slot] = plan.ac[slot].get();
  }
  int16_t* const dc = planes.dc;
  int16_t* const ac = planes.ac;

  // The kind of block is chosen once per scan. A scan with both a DC and an AC part (which
  // progressive encoders do not write) decodes the DC part and then the band from 1.
  const uint32_t al = plan.al;
  if (dcPart && !acPart) {
    if (first) {
      walkScan(state, plan, layout, reader, pipeline, band, false,
               [&](BitReader& r, size_t index, uint32_t slot, int32_t& predictor) {
                 decodeDcFirst(r, dc + index, *dcTables[slot], predictor, al);
               });
    } else {
      walkScan(state, plan, layout, reader, pipeline, band, true,
               [&](BitReader& r, size_t index, uint32_t, int32_t&) {
                 decodeDcRefine(r, dc + index, al);
               });
    }
  } else if (!dcPart) {
    if (first) {
      walkScan(state, plan, layout, reader, pipeline, band, true,
               [&](BitReader& r, size_t index, uint32_t slot, int32_t&) {
                 decodeAcFirst(r, ac + index * 64, *acTables[slot], band);
               });
    } else {
      walkScan(state, plan, layout, reader, pipeline, band, true,
               [&](BitReader& r, size_t index, uint32_t slot, int32_t&) {
                 decodeAcRefine(r, ac + index * 64, *acTables[slot], band);
               });
    }
  } else {
    walkScan(state, plan, layout, reader, pipeline, band, !first,
             [&](BitReader& r, size_t index, uint32_t slot, int32_t& predictor) {
               if (first) {
                 decodeDcFirst(r, dc + index, *dcTables[slot], predictor, al);
                 decodeAcFirst(r, ac + index * 64, *acTables[slot], band);
               } else {
                 decodeDcRefine(r, dc + index, al);
                 decodeAcRefine(r, ac + index * 64, *acTables[slot], band);
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
    applyToDecoder(state, image, *marker);
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

// The scans one after another, each from where the one before it stopped, as the format
// defines them.
void decodeScansInOrder(DecoderState& state, PixelImage& image, const McuLayout& layout,
                        const uint8_t* data, uint32_t length, Coefficients planes) {
  BitReader reader;
  reader.position = data;
  reader.end = data + length;
  if (reader.position >= reader.end) return;
  for (uint32_t scans = 1;; ++scans) {
    // Each scan costs a walk over the image. No meaningful file needs more scans than this
    // (four components, each coefficient in a band and bit plane of its own, stay below it),
    // and without a bound a small file could keep the decoder busy for hours.
    if (scans > kMaxScans) failf(msg::kTooManyScans, kMaxScans);
    decodeScan(state, planScan(state), layout, reader, planes);
    if (reader.position >= reader.end) return;
    readSegmentsBetweenScans(state, image, reader);
  }
}

// What the segments between scans change, saved whole before reading ahead and restored when the
// reading ahead is given up.
struct SavedScanState {
  explicit SavedScanState(const DecoderState& state)
      : components(state.components), scan(state.scan) {}
  void restore(DecoderState& state) const {
    state.components = components;
    state.scan = scan;
  }

  std::array<std::optional<ComponentPlan>, 4> components;
  ScanSettings scan;
};

// Whether scan `later` must wait for scan `earlier`: both decode into the same coefficients of a
// component (the DC coefficients, or AC bands that overlap or that either refines).
bool dependsOn(const ScanPlan& later, const ScanPlan& earlier, const McuLayout& layout) {
  const bool dc = later.ss == 0 && earlier.ss == 0;
  const bool ac = later.se >= 1 && earlier.se >= 1 &&
                  (later.ah != 0 || earlier.ah != 0 ||
                   std::max(later.ss, earlier.ss) <= std::min(later.se, earlier.se));
  if (!dc && !ac) return false;
  for (uint32_t slot = 0; slot < 4; ++slot) {
    if (layout.present[slot] && later.inScan[slot] && earlier.inScan[slot]) return true;
  }
  return false;
}

// Whether two scans visit their units in the same order: interleaved scans go MCU by MCU, and
// single-component scans of the same component block by block.
bool sameOrder(const ScanPlan& a, const ScanPlan& b) {
  if (a.componentCount != 1 || b.componentCount != 1) {
    return a.componentCount != 1 && b.componentCount != 1;
  }
  return a.inScan == b.inScan;
}

// More scans than real files have (ten for the usual colour file) are decoded in order.
constexpr size_t kMaxScansAtOnce = 64;

// The scans on every thread. Each scan's data is found ahead, at the marker that ends the scan
// before it, and its segments are read from there; then scans that decode different coefficients
// run at the same time, and a scan that refines what another decodes follows it unit by unit.
// The result is what decodeScansInOrder gives when every scan stops exactly at the marker that
// ends it, which is checked; otherwise (and for any error) nothing is kept, the state is as it
// was, and false is returned.
bool decodeScansAtOnce(DecoderState& state, PixelImage& image, const McuLayout& layout,
                       const uint8_t* data, uint32_t length, Coefficients planes) {
  const uint8_t* const end = data + length;
  const SavedScanState saved(state);
  std::vector<ScanPlan> plans;
  try {
    BitReader reader;
    reader.position = data;
    reader.end = end;
    for (;;) {
      if (plans.size() == kMaxScansAtOnce) {
        saved.restore(state);
        return false;
      }
      ScanPlan& plan = plans.emplace_back(planScan(state));
      plan.start = reader.position;
      plan.end = nextSegmentMarker(reader.position, end);
      if (plan.end >= end) break;
      reader.position = plan.end;
      readSegmentsBetweenScans(state, image, reader);
    }
  } catch (...) {
    saved.restore(state);
    return false;
  }

  std::vector<std::vector<platform::Dependency>> after(plans.size());
  std::vector<ScanPipeline> pipelines(plans.size());
  std::vector<ScanProgress> progress(plans.size());
  std::vector<const uint8_t*> stops(plans.size());
  std::atomic<bool> failed{false};
  for (size_t j = 0; j < plans.size(); ++j) {
    pipelines[j].own = &progress[j];
    pipelines[j].failed = &failed;
    for (size_t i = 0; i < j; ++i) {
      if (!dependsOn(plans[j], plans[i], layout)) continue;
      const bool follow = sameOrder(plans[j], plans[i]);
      after[j].push_back({i, follow});
      if (follow) pipelines[j].follows.push_back(&progress[i]);
    }
  }
  try {
    platform::parallelForAfter(after, [&](size_t i) {
      BitReader reader;
      reader.position = plans[i].start;
      reader.end = end;
      try {
        decodeScan(state, plans[i], layout, reader, planes, &pipelines[i]);
      } catch (...) {
        failed.store(true);
        progress[i].units.store(ScanProgress::kDone);
        throw;
      }
      progress[i].units.store(ScanProgress::kDone, std::memory_order_release);
      stops[i] = reader.position;
    });
  } catch (...) {
    failed.store(true);
  }
  for (size_t i = 0; i < plans.size() && !failed; ++i) {
    failed =
        !(stops[i] == plans[i].end || (plans[i].end != end && onlyPadding(stops[i], plans[i].end)));
  }
  if (!failed) return true;
  const uint64_t blocks = uint64_t{state.mcuCount} * layout.blocks;
  std::memset(planes.ac, 0, blocks * 64 * sizeof(int16_t));
  std::memset(planes.dc, 0, blocks * sizeof(int16_t));
  saved.restore(state);
  return false;
}

struct alignas(16) FloatBlock {
  float f[64];
};

}  // namespace

void decodeProgressive(DecoderState& state, PixelImage& image, const uint8_t* data,
                       uint32_t length) {
  scaleQuantTables(state);
  for (uint32_t slot = 0; slot < 4; ++slot) {
    if (state.components[slot]) bindQuantTable(state, slot);
  }
  CoefficientBuffer coefficients = allocateCoefficients(state);
  const McuLayout layout = mcuLayoutOf(state.layout());
  std::vector<int16_t> dc(size_t{state.mcuCount} * layout.blocks);
  const Coefficients planes{coefficients.get(), dc.data()};
  if (length == 0 || platform::threadCount() == 1 ||
      !decodeScansAtOnce(state, image, layout, data, length, planes)) {
    decodeScansInOrder(state, image, layout, data, length, planes);
  }

  image.setPixels(state.width, state.height, platform::allocatePixels(state.width, state.height));
  const McuConverter convert = converterFor(state.samplingMode);
  const ComponentTables* tables[6];
  for (uint32_t b = 0; b < layout.blocks; ++b) tables[b] = &state.bound[layout.slot[b]];
  // Rows of MCUs are reconstructed independently, on as many threads as there are.
  platform::parallelFor(state.mcuRows, [&](size_t row) {
    FloatBlock floats[6];
    size_t index = row * state.mcusPerRow * layout.blocks;
    alignas(16) int16_t natural[64];
    for (uint32_t mcu = 0; mcu < state.mcusPerRow; ++mcu) {
      for (uint32_t b = 0; b < layout.blocks; ++b, ++index) {
        const int16_t* block = coefficients.get() + index * 64;
        natural[0] = dc[index];
        for (uint32_t k = 1; k < 64; ++k) natural[kZigzagToNatural[k]] = block[k];
        inverseDct(natural, floats[b].f, tables[b]->dequantize);
      }
      placeMcu(state, image, convert, mcu * state.mcuWidth, uint32_t(row) * state.mcuHeight,
               floats[0].f);
    }
  });
}

}  // namespace tessel
