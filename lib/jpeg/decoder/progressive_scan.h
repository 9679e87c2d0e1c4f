#pragma once

// One progressive scan at a time: the plan taken from the state after its header, the walk over
// its blocks into the whole-image coefficients, and the segments read between two scans. The
// schedule in progressive.cpp decides which scans are decoded when, and on which thread.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "jpeg/decoder/decoder_state.h"
#include "jpeg/decoder/huffman_decode.h"
#include "jpeg/jpeg_format.h"

namespace tessel {

class PixelImage;

namespace progressive {

// What decoding one scan takes from the state after its header: the scan settings (the header's
// fields, the restart interval and the Huffman tables), copied whole, since later segments may
// replace them in the state while the scan is still to be decoded, and each slot's place in the
// scan with the tables its component links to.
struct ScanPlan {
  ScanSettings scan;
  std::array<bool, 4> inScan{};  // per slot
  // Each slot's tables among those held in `scan`; null where the link names none.
  std::array<const HuffmanLookup*, 4> dc{}, ac{};
  const uint8_t* start = nullptr;  // the scan's entropy-coded data
  const uint8_t* end = nullptr;    // where the next segment was looked for, when it was

  // Whether the scan codes blocks of the component in `slot`: a component that a later scan
  // header creates has no blocks in the frame's layout.
  bool codes(const McuLayout& layout, uint32_t slot) const {
    return layout.present[slot] && inScan[slot];
  }
};

// The plan of the scan whose header the state holds, with its data at `start`: the one place
// where scans decoded in order and scans decoded at once take their settings from.
ScanPlan planScan(const DecoderState& state, const uint8_t* start);

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
  uint64_t waitFor(uint64_t unit) const;
  void publish(uint64_t units) const { own->units.store(units, std::memory_order_release); }
};

// Decodes one scan, from `plan.start` with the data ending at `end`, into `planes`, and returns
// where its reading stopped. `layout` is the frame's MCU layout, fixed before the first scan: a
// component that a later scan header creates has no blocks and is not decoded. `pipeline` is
// given when the scan runs at the same time as others.
const uint8_t* decodeScan(const DecoderState& state, const ScanPlan& plan, const McuLayout& layout,
                          const uint8_t* end, Coefficients planes,
                          const ScanPipeline* pipeline = nullptr);

// Reads the segments between two scans from `p` and applies them through their marker classes,
// as the segments before the first scan were; returns the position just past the next scan
// header. Only DHT, DRI and SOS segments may come here. Every read is claimed in a tracker over
// [p, end), so a segment that runs past the data fails cleanly.
const uint8_t* readSegmentsBetweenScans(DecoderState& state, PixelImage& image, const uint8_t* p,
                                        const uint8_t* end);

}  // namespace progressive
}  // namespace tessel
