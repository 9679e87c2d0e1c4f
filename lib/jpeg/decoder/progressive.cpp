// The progressive pass: every scan is decoded into one whole-image coefficient buffer, with the
// DHT, DRI and SOS segments between scans applied as they are met; then the image is
// reconstructed one MCU row at a time.

#include <algorithm>
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
#include "jpeg/decoder/messages.h"
#include "jpeg/decoder/reconstruct.h"
#include "jpeg/jpeg_reader.h"
#include "jpeg/markers/messages.h"
#include "platform/system.h"

namespace tessel {

namespace {

struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
using CoefficientBuffer = std::unique_ptr<int16_t[], FreeDeleter>;

// The per-scan decoding context of one block.
struct ScanContext {
  BitReader reader;
  uint32_t ss = 0, se = 0, al = 0;
  uint32_t eobRun = 0;  // blocks still covered by an end-of-band run
};

using BlockDecoder = void (*)(ScanContext& scan, int16_t* block, const HuffmanLookup* table,
                              int32_t& predictor);

inline int32_t receiveExtended(BitReader& reader, uint32_t size) {
  return extend(receiveBits(reader, size), size);
}

inline int16_t shifted(int32_t value, uint32_t al) {
  return static_cast<int16_t>(static_cast<uint32_t>(value) << al);
}

// First DC scan of a component: a Huffman-coded difference, shifted up by Al.
void decodeDcFirst(ScanContext& scan, int16_t* block, const HuffmanLookup* table,
                   int32_t& predictor) {
  const uint32_t size = decodeSymbol(scan.reader, *table);
  int32_t diff = 0;
  if (size != 0) {
    if (size > 16) fail(msg::kCorruptImageData);
    diff = receiveExtended(scan.reader, size);
  }
  predictor = static_cast<int32_t>(static_cast<uint32_t>(predictor) + static_cast<uint32_t>(diff));
  block[0] = shifted(predictor, scan.al);
}

// DC refinement: one more bit of the DC coefficient.
void decodeDcRefine(ScanContext& scan, int16_t* block, const HuffmanLookup*, int32_t&) {
  block[0] = static_cast<int16_t>(static_cast<uint16_t>(block[0]) |
                                  (receiveBits(scan.reader, 1) << scan.al));
}

// First AC scan of a band: runs of zeros and values, or an end-of-band run over this and the
// following blocks. A run past the end of the band ends the block.
void decodeAcFirst(ScanContext& scan, int16_t* block, const HuffmanLookup* table, int32_t&) {
  if (scan.eobRun != 0) {
    --scan.eobRun;
    return;
  }
  BitReader& reader = scan.reader;
  for (uint32_t k = scan.ss; k <= scan.se; ++k) {
    const uint32_t symbol = decodeSymbol(reader, *table);
    const uint32_t run = symbol >> 4;
    const uint32_t size = symbol & 15;
    if (size != 0) {
      const int32_t value = receiveExtended(reader, size);
      k += run;
      if (k <= scan.se) block[kZigzagToNatural[k]] = shifted(value, scan.al);
    } else if (run < 15) {
      scan.eobRun = (1u << run) + (run > 0 ? receiveBits(reader, run) : 0);
      break;
    } else {
      k += 15;  // sixteen zeros, with the loop's step
    }
  }
  if (scan.eobRun != 0) --scan.eobRun;
}

// One correction bit for a coefficient that is already nonzero.
inline void refineNonzero(BitReader& reader, int16_t& coefficient, int32_t bit) {
  if (receiveBits(reader, 1) != 0) {
    const int32_t value = coefficient >= 0 ? coefficient + bit : coefficient - bit;
    coefficient = static_cast<int16_t>(value);
  }
}

// AC refinement: correction bits for the coefficients that are nonzero already, and newly
// nonzero coefficients (value +-1) placed after runs of zero coefficients.
void decodeAcRefine(ScanContext& scan, int16_t* block, const HuffmanLookup* table, int32_t&) {
  BitReader& reader = scan.reader;
  const int32_t bit = int32_t{1} << scan.al;
  uint32_t k = scan.ss;
  if (scan.eobRun == 0) {
    for (; k <= scan.se; ++k) {
      const uint32_t symbol = decodeSymbol(reader, *table);
      int32_t run = static_cast<int32_t>(symbol >> 4);
      const uint32_t size = symbol & 15;
      int32_t value = 0;
      if (size != 0) {
        value = receiveExtended(reader, size);
      } else if (run < 15) {
        scan.eobRun = (1u << run) + (run > 0 ? receiveBits(reader, static_cast<uint32_t>(run)) : 0);
        break;  // the rest of the band is refined below
      }
      // Walk over the band: nonzero coefficients take a correction bit; zero ones count the
      // run down, and the walk stops at the zero where the run is used up.
      for (; k <= scan.se; ++k) {
        int16_t& coefficient = block[kZigzagToNatural[k]];
        if (coefficient != 0) {
          refineNonzero(reader, coefficient, bit);
        } else {
          if (run == 0) break;
          --run;
        }
      }
      if (size != 0 && k <= scan.se) block[kZigzagToNatural[k]] = shifted(value, scan.al);
    }
  }
  if (scan.eobRun != 0) {
    for (; k <= scan.se; ++k) {
      int16_t& coefficient = block[kZigzagToNatural[k]];
      if (coefficient != 0) refineNonzero(reader, coefficient, bit);
    }
    --scan.eobRun;
  }
}

const HuffmanLookup* tableAt(const std::array<std::unique_ptr<HuffmanLookup>, 4>& tables,
                             int32_t index) {
  return index >= 0 && index < 4 ? tables[index].get() : nullptr;
}

// Counts decoded units (MCUs, or blocks in a single-component scan) against the restart
// interval and resynchronises at each interval's end.
class RestartCounter {
 public:
  RestartCounter(const DecoderState& state, ScanContext& scan, int32_t* predictors)
      : interval_(state.restartInterval != 0 ? state.restartInterval : 2147483647u),
        counter_(interval_),
        scan_(scan),
        predictors_(predictors) {}

  // `last`: no restart marker follows the scan's last interval, so there is nothing to look for
  // after the last unit (looking would skip over the segments of the following scans).
  void count(bool last) {
    if (last || --counter_ != 0) return;
    resynchronise(scan_.reader, restartIndex_);
    std::fill(predictors_, predictors_ + 4, 0);
    scan_.eobRun = 0;  // an end-of-band run never crosses a restart marker
    ++restartIndex_;
    counter_ = interval_;
  }

 private:
  uint32_t interval_;
  uint32_t counter_;
  uint32_t restartIndex_ = 0;
  ScanContext& scan_;
  int32_t* predictors_;
};

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

// `layout` is the frame's MCU layout, fixed before the first scan: a component that a later scan
// header creates has no blocks in the coefficient buffer and is not decoded.
void decodeScan(DecoderState& state, const McuLayout& layout, BitReader& reader,
                int16_t* coefficients) {
  ScanContext scan;
  scan.reader = reader;
  scan.ss = state.ss;
  scan.se = state.se;
  scan.al = state.al;

  // The DC part of the scan (Ss = 0) and its AC part (Se >= 1), each chosen once per scan.
  const BlockDecoder dcDecoder =
      state.ss == 0 ? (state.ah == 0 ? decodeDcFirst : decodeDcRefine) : nullptr;
  const BlockDecoder acDecoder =
      state.se >= 1 ? (state.ah == 0 ? decodeAcFirst : decodeAcRefine) : nullptr;
  scan.ss = std::max<uint32_t>(state.ss, 1);  // only the AC part reads the band's start

  const auto inScan = [&](uint32_t slot) {
    return layout.present[slot] && state.components[slot]->inScan;
  };
  for (uint32_t slot = 0; slot < 4; ++slot) {
    if (!layout.present[slot]) continue;
    ComponentInfo& component = *state.components[slot];
    component.dc = tableAt(state.dcTables, component.dcIndex);
    component.ac = tableAt(state.acTables, component.acIndex);
    if (!inScan(slot)) continue;
    if (dcDecoder == decodeDcFirst && !component.dc) fail(msg::kMissingDcTable);
    if (acDecoder && !component.ac) fail(msg::kMissingAcTable);
  }

  int32_t predictors[4] = {0, 0, 0, 0};
  RestartCounter restarts(state, scan, predictors);

  const auto decodeBlock = [&](int16_t* block, const ComponentInfo& component, int32_t& predictor) {
    if (dcDecoder) dcDecoder(scan, block, component.dc, predictor);
    if (acDecoder) acDecoder(scan, block, component.ac, predictor);
  };

  if (state.scanComponentCount != 1) {
    bool anyInScan = false;
    for (uint32_t slot = 0; slot < 4; ++slot) anyInScan |= inScan(slot);
    if (!anyInScan && state.restartInterval == 0) {
      reader = scan.reader;
      return;
    }
    for (uint32_t mcu = 0; mcu < state.mcuCount; ++mcu) {
      if (anyInScan) {
        int16_t* block = coefficients + size_t{mcu} * layout.blocks * 64;
        for (uint32_t b = 0; b < layout.blocks; ++b, block += 64) {
          const uint32_t slot = layout.slot[b];
          if (inScan(slot)) decodeBlock(block, *state.components[slot], predictors[slot]);
        }
      }
      restarts.count(mcu + 1 == state.mcuCount);
    }
  } else {
    uint32_t slot = 0;
    while (slot < 4 && !(state.components[slot] && state.components[slot]->inScan)) ++slot;
    if (slot == 4 || !layout.present[slot]) {
      // The scan's one component was dropped by the slot rule, or is not part of the frame:
      // there is nothing to decode into, so its data is passed over up to the next marker other
      // than a restart marker.
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
        decodeBlock(coefficients + index * 64, component, predictors[slot]);
        restarts.count(++decoded == total);
      }
    }
  }
  reader = scan.reader;
}

uint32_t bigEndian16(const uint8_t* p) {
  return (uint32_t{p[0]} << 8) | p[1];
}

// Reads the segments between two scans, starting at the reader's position, and applies them;
// returns with the reader just past the next scan header. Every read is claimed in a tracker over
// the remaining data, so a segment that runs past the data fails cleanly.
void readSegmentsBetweenScans(DecoderState& state, BitReader& reader) {
  const uint8_t* const start = reader.position;
  const uint8_t* const end = reader.end;
  RangeTracker tracker(start, static_cast<int32_t>(end - start));
  const uint8_t* p = start;
  for (;;) {
    tracker.claim(p, 1);
    const uint8_t prefix = *p++;
    if (prefix == 0x00) continue;
    if (prefix != 0xFF) fail(msg::kMissingMarkerPrefix);
    tracker.claim(p, 1);
    const uint8_t code = *p++;
    if (code == 0x00) continue;
    tracker.claim(p, 2);
    const int32_t length = static_cast<int32_t>(bigEndian16(p)) - 2;
    p += 2;
    const uint8_t* const payload = p;
    if (code != kCodeDht && code != kCodeDri && code != kCodeSos) {
      fail(msg::kUnexpectedMarkerBetweenScans);  // fill bytes 0xFF included
    }
    if (length < 0) fail(msg::kInvalidHeaderLengthOrCorrupt);
    if (length > end - p) fail(msg::kInvalidOffset);
    switch (code) {
      case kCodeDht:
        makeMarker(kCodeDht, length, payload)->parse(tracker);
        applyDht(state, payload, length);
        break;
      case kCodeDri:
        if (length != 2) fail(msg::kDriWrongSize);
        tracker.claim(payload, 2);
        state.restartInterval = bigEndian16(payload);
        break;
      case kCodeSos:
        tracker.claim(payload, 1);
        tracker.claim(payload + 1, 2 * int64_t{payload[0]} + 3);
        applySos(state, payload, length);
        reader.position = payload + length;
        reader.bits = 0;
        reader.count = 0;
        return;
    }
    p = payload + length;
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
  void* block = std::calloc(blocks * 64, sizeof(int16_t));
  if (!block) failf(msg::kCoefficientsTooLarge, state.width, state.height);
  platform::adviseLargeBlock(block, blocks * 64 * sizeof(int16_t));
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
  const McuLayout layout = mcuLayout(state);

  BitReader reader;
  reader.position = data;
  reader.end = data + length;
  if (reader.position < reader.end) {
    for (;;) {
      decodeScan(state, layout, reader, coefficients.get());
      if (reader.position >= reader.end) break;
      readSegmentsBetweenScans(state, reader);
    }
  }

  image.setPixels(state.width, state.height, PixelImage::allocatePixels(state.width, state.height));
  platform::adviseLargeBlock(image.pixels.get(), size_t{state.width} * state.height * 8);
  const McuConverter convert = converterFor(state.samplingMode);
  FloatBlock floats[6];
  const ComponentInfo* components[6];
  for (uint32_t b = 0; b < layout.blocks; ++b) {
    components[b] = state.components[layout.slot[b]].get();
  }
  const int16_t* block = coefficients.get();
  for (uint32_t row = 0; row < state.mcuRows; ++row) {
    for (uint32_t mcu = 0; mcu < state.mcusPerRow; ++mcu) {
      for (uint32_t b = 0; b < layout.blocks; ++b, block += 64) {
        inverseDct(block, floats[b].f, *components[b]->quant);
      }
      placeMcu(state, image, convert, mcu * state.mcuWidth, row * state.mcuHeight, floats[0].f);
    }
  }
}

}  // namespace tessel
