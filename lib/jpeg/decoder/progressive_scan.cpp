#include "jpeg/decoder/progressive_scan.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <thread>

#include "core/exception.h"
#include "core/jpeg_markers.h"
#include "core/messages.h"
#include "core/range_tracker.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/decoder/progressive_blocks.h"
#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/messages.h"

namespace tessel::progressive {

namespace {

// Passes over a scan's data up to the next marker other than a restart marker.
void skipScanData(BitReader& reader) {
  reader.position = nextSegmentMarker(reader.position, reader.end);
  reader.bits = 0;
  reader.count = 0;
}

// What a walk over one scan's units carries from one unit to the next: the reader (a copy, kept
// in registers while the scan is decoded), the DC predictors, the count of the restart interval
// and the units that the scans this one follows have done.
struct ScanWalk {
  ScanWalk(const ScanPlan& plan, const BitReader& from, const ScanPipeline* pipeline, Band& band,
           bool noOpWhenExhausted)
      : reader(from),
        pipeline(pipeline),
        band(band),
        stopWhenExhausted(noOpWhenExhausted && plan.scan.restartInterval == 0),
        interval(plan.scan.restartInterval != 0 ? plan.scan.restartInterval : 2147483647u),
        counter(interval),
        ready(pipeline && !pipeline->follows.empty() ? 0 : ScanProgress::kDone) {}

  // Counts a decoded unit (an MCU, or a block of a single-component scan). No restart marker
  // follows the scan's last interval, so nothing is looked for after the last unit: looking
  // would skip over the segments of the following scans.
  void countUnit(bool last) {
    if (last || --counter != 0) return;
    BitReader copy = reader;
    resynchronise(copy, restartIndex);
    reader = copy;
    std::fill(predictors, predictors + 4, 0);
    band.eobRun = 0;  // an end-of-band run never crosses a restart marker
    ++restartIndex;
    counter = interval;
  }
  // Waits until the followed scans have done `unit`.
  void waitFor(uint64_t unit) {
    if (unit >= ready) ready = pipeline->waitFor(unit);
  }
  // Whether the rest of the scan can be passed over (see walkScan).
  bool stops() const { return stopWhenExhausted && exhausted(reader); }

  BitReader reader;
  int32_t predictors[4] = {0, 0, 0, 0};
  const ScanPipeline* const pipeline;
  Band& band;
  const bool stopWhenExhausted;
  const uint32_t interval;
  uint32_t counter;
  uint32_t restartIndex = 0;
  uint64_t ready;  // units that the followed scans have done (all of them when it follows none)
};

// The MCUs of an interleaved scan, each block of an in-scan component in MCU order.
template <typename DecodeBlock>
void walkMcus(const DecoderState& state, const ScanPlan& plan, const McuLayout& layout,
              ScanWalk& walk, DecodeBlock& decodeBlock) {
  bool anyInScan = false;
  for (uint32_t slot = 0; slot < 4; ++slot) anyInScan |= plan.codes(layout, slot);
  if (!anyInScan && plan.scan.restartInterval == 0) return;
  for (uint32_t mcu = 0; mcu < state.mcuCount; ++mcu) {
    if (anyInScan) {
      walk.waitFor(mcu);
      size_t index = size_t{mcu} * layout.blocks;
      for (uint32_t b = 0; b < layout.blocks; ++b, ++index) {
        const uint32_t slot = layout.slot[b];
        if (plan.codes(layout, slot)) decodeBlock(walk.reader, index, slot, walk.predictors[slot]);
      }
    }
    if (walk.pipeline && (mcu + 1) % state.mcusPerRow == 0) walk.pipeline->publish(mcu + 1);
    if (walk.stops()) break;
    walk.countUnit(mcu + 1 == state.mcuCount);
  }
}

// The blocks of the one component of a single-component scan, row by row across the image.
template <typename DecodeBlock>
void walkComponentBlocks(const DecoderState& state, const McuLayout& layout, uint32_t slot,
                         ScanWalk& walk, DecodeBlock& decodeBlock) {
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
      walk.waitFor(decoded);
      const uint64_t mcu = mcuRow * state.mcusPerRow + m / h;
      const size_t index = mcu * layout.blocks + layout.offset[slot] + blockRow * h + m % h;
      decodeBlock(walk.reader, index, slot, walk.predictors[slot]);
      if (walk.stops()) return;
      walk.countUnit(++decoded == total);
    }
    if (walk.pipeline) walk.pipeline->publish(decoded);
  }
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
  if (plan.scan.componentCount != 1) {
    ScanWalk walk(plan, reader, pipeline, band, noOpWhenExhausted);
    walkMcus(state, plan, layout, walk, decodeBlock);
    reader = walk.reader;
    return;
  }
  uint32_t slot = 0;
  while (slot < 4 && !plan.inScan[slot]) ++slot;
  if (slot == 4 || !plan.codes(layout, slot)) {
    // The scan's one component was dropped by the slot rule, or is not part of the frame: there
    // is nothing to decode into, so its data is passed over up to the next marker other than a
    // restart marker.
    skipScanData(reader);
    return;
  }
  ScanWalk walk(plan, reader, pipeline, band, noOpWhenExhausted);
  walkComponentBlocks(state, layout, slot, walk, decodeBlock);
  reader = walk.reader;
}

// Checks that every component the scan codes has the tables that the scan's kind of block reads.
void requireTables(const ScanPlan& plan, const McuLayout& layout) {
  const bool dcFirst = plan.scan.ss == 0 && plan.scan.ah == 0;
  const bool acPart = plan.scan.se >= 1;
  for (uint32_t slot = 0; slot < 4; ++slot) {
    if (!plan.codes(layout, slot)) continue;
    if (dcFirst && !plan.dc[slot]) fail(msg::kMissingDcTable);
    if (acPart && !plan.ac[slot]) fail(msg::kMissingAcTable);
  }
}

}  // namespace

ScanPlan planScan(const DecoderState& state, const uint8_t* start) {
  ScanPlan plan;
  plan.scan = state.scan;
  const auto table = [](const std::array<std::shared_ptr<const HuffmanLookup>, 4>& tables,
                        int32_t index) {
    return index >= 0 && index < 4 ? tables[index].get() : nullptr;
  };
  for (uint32_t slot = 0; slot < 4; ++slot) {
    const std::optional<ComponentPlan>& component = state.components[slot];
    if (!component) continue;
    plan.inScan[slot] = component->inScan;
    plan.dc[slot] = table(plan.scan.dcTables, component->dcIndex);
    plan.ac[slot] = table(plan.scan.acTables, component->acIndex);
  }
  plan.start = start;
  return plan;
}

uint64_t ScanPipeline::waitFor(uint64_t unit) const {
  for (;;) {
    uint64_t ready = ScanProgress::kDone;
    for (const ScanProgress* p : follows)
      ready = std::min(ready, p->units.load(std::memory_order_acquire));
    if (ready > unit) return ready;
    if (failed->load(std::memory_order_relaxed)) fail(msg::kCorruptImageData);
    std::this_thread::yield();
  }
}

const uint8_t* decodeScan(const DecoderState& state, const ScanPlan& plan, const McuLayout& layout,
                          const uint8_t* end, Coefficients planes, const ScanPipeline* pipeline) {
  requireTables(plan, layout);
  const std::array<const HuffmanLookup*, 4> dcTables = plan.dc, acTables = plan.ac;
  BitReader reader;
  reader.position = plan.start;
  reader.end = end;
  Band band;
  band.ss = std::max<uint32_t>(plan.scan.ss, 1);  // the AC part's start
  band.se = plan.scan.se;
  band.al = plan.scan.al;
  const bool dcPart = plan.scan.ss == 0;
  const bool acPart = plan.scan.se >= 1;
  const bool first = plan.scan.ah == 0;
  int16_t* const dc = planes.dc;
  int16_t* const ac = planes.ac;
  const uint32_t al = plan.scan.al;
  const auto walk = [&](bool noOpWhenExhausted, auto decodeBlock) {
    walkScan(state, plan, layout, reader, pipeline, band, noOpWhenExhausted, decodeBlock);
  };

  // The kind of block is chosen once per scan. A scan with both a DC and an AC part (which
  // progressive encoders do not write) decodes the DC part and then the band from 1.
  if (dcPart && !acPart) {
    if (first) {
      walk(false, [&](BitReader& r, size_t index, uint32_t slot, int32_t& predictor) {
        decodeDcFirst(r, dc + index, *dcTables[slot], predictor, al);
      });
    } else {
      walk(true, [&](BitReader& r, size_t index, uint32_t, int32_t&) {
        decodeDcRefine(r, dc + index, al);
      });
    }
  } else if (!dcPart) {
    if (first) {
      walk(true, [&](BitReader& r, size_t index, uint32_t slot, int32_t&) {
        decodeAcFirst(r, ac + index * 64, *acTables[slot], band);
      });
    } else {
      walk(true, [&](BitReader& r, size_t index, uint32_t slot, int32_t&) {
        decodeAcRefine(r, ac + index * 64, *acTables[slot], band);
      });
    }
  } else {
    walk(!first, [&](BitReader& r, size_t index, uint32_t slot, int32_t& predictor) {
      if (first) {
        decodeDcFirst(r, dc + index, *dcTables[slot], predictor, al);
        decodeAcFirst(r, ac + index * 64, *acTables[slot], band);
      } else {
        decodeDcRefine(r, dc + index, al);
        decodeAcRefine(r, ac + index * 64, *acTables[slot], band);
      }
    });
  }
  return reader.position;
}

const uint8_t* readSegmentsBetweenScans(DecoderState& state, PixelImage& image, const uint8_t* p,
                                        const uint8_t* end) {
  RangeTracker tracker(p, static_cast<int32_t>(end - p));
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
    if (code == kCodeSos) return p;
  }
}

}  // namespace tessel::progressive
