// The progressive pass: every scan is decoded into one whole-image coefficient buffer (the DC
// coefficients in a plane of their own), with the DHT, DRI and SOS segments between scans applied
// in file order and scans decoded at the same time where they touch different coefficients; then
// the image is reconstructed, rows of MCUs on every thread. The blocks are decoded in
// progressive_blocks.h and the scans walked in progressive_scan.cpp; this file schedules them.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "core/exception.h"
#include "core/jpeg_markers.h"
#include "core/pixel_image.h"
#include "jpeg/decoder/decoder_state.h"
#include "jpeg/decoder/progressive_scan.h"
#include "jpeg/decoder/reconstruct.h"
#include "jpeg/messages.h"
#include "platform/memory.h"
#include "platform/parallel.h"
#include "platform/system.h"

namespace tessel {

namespace {

using progressive::Coefficients;
using progressive::ScanPipeline;
using progressive::ScanPlan;
using progressive::ScanProgress;

constexpr uint32_t kMaxScans = 4096;

using CoefficientBuffer = std::unique_ptr<int16_t[], FreeDeleter>;

CoefficientBuffer allocateCoefficients(const DecoderState& state) {
  const uint64_t blocks = uint64_t{state.mcuCount} * state.blocksPerMcu;
  const uint64_t bytes = blocks * 64 * sizeof(int16_t);
  // The coefficients and, later, the pixel block (when the pixels are kept) must both fit.
  const uint64_t pixelBytes = state.keepPixels ? uint64_t{state.width} * state.height * 8 : 0;
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
  const uint8_t* const end = data + length;
  const uint8_t* p = data;
  if (p >= end) return;
  for (uint32_t scans = 1;; ++scans) {
    // Each scan costs a walk over the image. No meaningful file needs more scans than this
    // (four components, each coefficient in a band and bit plane of its own, stay below it),
    // and without a bound a small file could keep the decoder busy for hours.
    if (scans > kMaxScans) failf(msg::kTooManyScans, kMaxScans);
    p = progressive::decodeScan(state, progressive::planScan(state, p), layout, end, planes);
    if (p >= end) return;
    p = progressive::readSegmentsBetweenScans(state, image, p, end);
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

// More scans than real files have (ten for the usual colour file) are decoded in order.
constexpr size_t kMaxScansAtOnce = 64;

// Finds each scan's data ahead, at the marker that ends the scan before it, and reads the
// segments from there into the state, which then holds what the last scan's header set. False
// when there are more scans than are decoded at once or the segments cannot be read.
bool planScansAhead(DecoderState& state, PixelImage& image, const uint8_t* data, const uint8_t* end,
                    std::vector<ScanPlan>& plans) {
  try {
    const uint8_t* p = data;
    for (;;) {
      if (plans.size() == kMaxScansAtOnce) return false;
      ScanPlan& plan = plans.emplace_back(progressive::planScan(state, p));
      plan.end = nextSegmentMarker(p, end);
      if (plan.end >= end) return true;
      p = progressive::readSegmentsBetweenScans(state, image, plan.end, end);
    }
  } catch (...) {
    return false;
  }
}

// Whether scan `later` must wait for scan `earlier`: both decode into the same coefficients of a
// component (the DC coefficients, or AC bands that overlap or that either refines).
bool dependsOn(const ScanPlan& later, const ScanPlan& earlier, const McuLayout& layout) {
  const bool dc = later.scan.ss == 0 && earlier.scan.ss == 0;
  const bool ac =
      later.scan.se >= 1 && earlier.scan.se >= 1 &&
      (later.scan.ah != 0 || earlier.scan.ah != 0 ||
       std::max(later.scan.ss, earlier.scan.ss) <= std::min(later.scan.se, earlier.scan.se));
  if (!dc && !ac) return false;
  for (uint32_t slot = 0; slot < 4; ++slot) {
    if (later.codes(layout, slot) && earlier.codes(layout, slot)) return true;
  }
  return false;
}

// Whether two scans visit their units in the same order: interleaved scans go MCU by MCU, and
// single-component scans of the same component block by block.
bool sameOrder(const ScanPlan& a, const ScanPlan& b) {
  if (a.scan.componentCount != 1 || b.scan.componentCount != 1) {
    return a.scan.componentCount != 1 && b.scan.componentCount != 1;
  }
  return a.inScan == b.inScan;
}

// The order of scans decoded at the same time: each scan waits for the earlier scans that decode
// the same coefficients, for their end, or, when it visits its units in the same order, only for
// each unit, which it follows through their progress. `failed` is set once any scan fails.
struct ScanSchedule {
  ScanSchedule(const std::vector<ScanPlan>& plans, const McuLayout& layout)
      : after(plans.size()), progress(plans.size()), pipelines(plans.size()) {
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
  }

  std::vector<std::vector<platform::Dependency>> after;
  std::vector<ScanProgress> progress;
  std::vector<ScanPipeline> pipelines;
  std::atomic<bool> failed{false};
};

// Decodes the planned scans on every thread, as the schedule allows, and returns where each
// scan's reading stopped; nothing when any scan failed.
std::optional<std::vector<const uint8_t*>> decodePlannedScans(const DecoderState& state,
                                                              const std::vector<ScanPlan>& plans,
                                                              const McuLayout& layout,
                                                              const uint8_t* end,
                                                              Coefficients planes) {
  ScanSchedule schedule(plans, layout);
  std::vector<const uint8_t*> stops(plans.size());
  try {
    platform::parallelForAfter(schedule.after, [&](size_t i) {
      ScanProgress& progress = schedule.progress[i];
      try {
        stops[i] =
            progressive::decodeScan(state, plans[i], layout, end, planes, &schedule.pipelines[i]);
      } catch (...) {
        schedule.failed.store(true);
        progress.units.store(ScanProgress::kDone);
        throw;
      }
      progress.units.store(ScanProgress::kDone, std::memory_order_release);
    });
  } catch (...) {
    return std::nullopt;
  }
  return stops;
}

// Whether every scan stopped where decoding in order would have gone on with the next segment:
// at the marker that ends it, or in front of padding that the segment reader passes over.
bool stoppedAtTheirMarkers(const std::vector<ScanPlan>& plans,
                           const std::vector<const uint8_t*>& stops, const uint8_t* end) {
  for (size_t i = 0; i < plans.size(); ++i) {
    const uint8_t* const marker = plans[i].end;
    if (stops[i] != marker && (marker == end || skipMarkerPadding(stops[i], marker) != marker)) {
      return false;
    }
  }
  return true;
}

// The scans on every thread. Each scan's data is found ahead and its segments are read from
// there; then scans that decode different coefficients run at the same time, and a scan that
// refines what another decodes follows it unit by unit. The result is what decodeScansInOrder
// gives when every scan stops exactly at the marker that ends it, which is checked; otherwise
// (and for any error) nothing is kept, the state is as it was, and false is returned.
bool decodeScansAtOnce(DecoderState& state, PixelImage& image, const McuLayout& layout,
                       const uint8_t* data, uint32_t length, Coefficients planes) {
  const uint8_t* const end = data + length;
  const SavedScanState saved(state);
  std::vector<ScanPlan> plans;
  if (!planScansAhead(state, image, data, end, plans)) {
    saved.restore(state);
    return false;
  }
  const auto stops = decodePlannedScans(state, plans, layout, end, planes);
  if (stops && stoppedAtTheirMarkers(plans, *stops, end)) return true;
  const uint64_t blocks = uint64_t{state.mcuCount} * layout.blocks;
  std::memset(planes.ac, 0, blocks * 64 * sizeof(int16_t));
  std::memset(planes.dc, 0, blocks * sizeof(int16_t));
  saved.restore(state);
  return false;
}

struct alignas(16) FloatBlock {
  float f[64];
};

// The image from the decoded coefficients: rows of MCUs are reconstructed independently, on as
// many threads as there are. A decode whose pixels are dropped allocates no pixel block: each MCU
// is converted into a scratch MCU of its thread's stack (see placeMcu) and left there.
void reconstructImage(const DecoderState& state, PixelImage& image, const McuLayout& layout,
                      Coefficients planes) {
  if (state.keepPixels) {
    image.setPixels(state.width, state.height, platform::allocatePixels(state.width, state.height));
  }
  const McuConverter convert = converterFor(state.samplingMode);
  const ComponentTables* tables[6];
  for (uint32_t b = 0; b < layout.blocks; ++b) tables[b] = &state.bound[layout.slot[b]];
  platform::parallelFor(state.mcuRows, [&](size_t row) {
    FloatBlock floats[6];
    size_t index = row * state.mcusPerRow * layout.blocks;
    alignas(16) int16_t natural[64];
    for (uint32_t mcu = 0; mcu < state.mcusPerRow; ++mcu) {
      for (uint32_t b = 0; b < layout.blocks; ++b, ++index) {
        const int16_t* block = planes.ac + index * 64;
        natural[0] = planes.dc[index];
        for (uint32_t k = 1; k < 64; ++k) natural[kZigzagToNatural[k]] = block[k];
        inverseDct(natural, floats[b].f, tables[b]->dequantize);
      }
      placeMcu(state, image, convert, mcu * state.mcuWidth, uint32_t(row) * state.mcuHeight,
               floats[0].f);
    }
  });
}

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
  reconstructImage(state, image, layout, planes);
}

}  // namespace tessel
