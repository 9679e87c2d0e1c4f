// The merge writer: re-encodes a PixelImage as a baseline sequential Huffman JPEG under the frame,
// sampling and quantization tables of a metadata-source JPEG, and writes the source's segments,
// in their order, around the new entropy-coded data.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/exception.h"
#include "core/messages.h"
#include "core/pixel_image.h"
#include "jpeg/coded_data.h"
#include "jpeg/encoder/encode_state.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/encoder/forward_transform.h"
#include "jpeg/encoder/huffman_encode.h"
#include "jpeg/encoder/resample.h"
#include "jpeg/jpeg_reader.h"
#include "jpeg/markers/app2_marker.h"
#include "jpeg/markers/dht_marker.h"
#include "jpeg/markers/dqt_marker.h"
#include "jpeg/markers/sof_marker.h"
#include "jpeg/markers/sos_marker.h"
#include "jpeg/messages.h"
#include "jpeg/mp_images.h"
#include "jpeg/segment_buffer.h"
#include "platform/mapped_file.h"
#include "platform/memory.h"

namespace tessel {

namespace {

// Segments that are copied into the output unchanged, or dropped (DRI), besides the frame, table
// and scan headers: application segments and comments.
bool isCopiedAsIs(uint8_t code) {
  return isAppCode(code) || code == kCodeCom || code == kCodeDri;
}

// The tables of one DHT segment of the source, marked in `defined` by class and number. The
// output's DHT segments keep the source's table headers, so each must be well formed.
void noteHuffmanTables(const std::vector<HuffmanTableSpec>& tables, bool (&defined)[2][4]) {
  for (const HuffmanTableSpec& table : tables) {
    if (!table.hasValidId()) fail(msg::kInvalidHuffmanId);
    if (table.symbolCount > 256) fail(msg::kMergeHuffmanTableSize);
    defined[table.isAc()][table.index()] = true;
  }
}

// The scan names frame components only, each once, in increasing identifier order: that is the
// order in which the encoder writes their blocks, and the scan header is copied unchanged. (A
// frame component that the scan leaves out has no Huffman tables and is refused with them.)
void checkScanComponents(const FrameHeader& frame, const ScanHeader& scan) {
  for (size_t i = 0; i < scan.components.size(); ++i) {
    const uint8_t id = scan.components[i].id;
    const bool inFrame = std::any_of(frame.components.begin(), frame.components.end(),
                                     [&](const FrameComponent& c) { return c.id == id; });
    if (!inFrame || (i > 0 && id <= scan.components[i - 1].id)) fail(msg::kMergeScanComponents);
  }
}

using CoefficientBuffer = std::unique_ptr<int16_t[], FreeDeleter>;

// A block of `count` 16-bit values, refused with a clear message when it cannot be had.
CoefficientBuffer allocateCoefficients(uint64_t count, const EncodeState& state) {
  void* block = platform::allocateLargeBlock(count * sizeof(int16_t));
  if (!block) failf(msg::kImageTooLarge, state.width, state.height);
  return CoefficientBuffer(static_cast<int16_t*>(block));
}

}  // namespace

SlotLayout slotLayout(const EncodeState& state) {
  SlotLayout slots;
  for (int i = 0; i < 4; ++i) {
    if (const EncodeComponent* c = state.components[i].get()) slots[i] = {true, c->h, c->v};
  }
  return slots;
}

void applyFrameHeader(EncodeState& state, const FrameHeader& frame) {
  if (frame.code != kCodeSof0) fail(msg::kMergeBaselineOnly);
  if (frame.precision != 8) failf(msg::kUnsupportedPrecision, unsigned{frame.precision});
  // Frame and scan headers are copied into the output as they are, so their lengths must be
  // exactly what their counts say: a decoder refuses any other.
  if (!frame.exactLength) failf(msg::kMergeSegmentLength, "SOF");
  state.height = frame.height;
  state.width = frame.width;
  for (auto& component : state.components) component.reset();
  state.slots = ComponentSlots(frame.components);
  for (size_t i = 0; i < frame.components.size(); ++i) {
    const FrameComponent& entry = frame.components[i];
    // Identifiers are the slot numbers, of which there are four, unless the frame places its
    // components by position.
    if (!state.slots.byPosition() && entry.id >= 4) fail(msg::kMergeInvalidComponentId);
    const uint32_t slot = state.slots.frameSlot(i);
    if (slot >= 4) fail(msg::kMergeInvalidComponentId);
    auto& component = state.components[slot];
    if (component) fail(msg::kMergeDuplicateComponentId);
    component = std::make_unique<EncodeComponent>();
    component->h = entry.h;
    component->v = entry.v;
    component->quantIndex = entry.quantTable;
  }
}

void applyQuantizationTables(EncodeState& state, const std::vector<QuantizationTable>& tables) {
  for (const QuantizationTable& table : tables) {
    defineQuantizationTable(state.quantTables, table, state.redefinition);
    if ((table.precisionAndIndex >> 4) > 1) fail(msg::kMergeQuantPrecision);
    auto divisor = std::make_unique<DivisorTable>();
    buildDivisorTable(table, *divisor);
    state.divisorTables[table.index()] = std::move(divisor);
  }
}

void applyScanHeader(EncodeState& state, const ScanHeader& scan) {
  if (!scan.exactLength) failf(msg::kMergeSegmentLength, "SOS");
  for (auto& component : state.components) {
    if (component) component->dcIndex = -1;
  }
  for (size_t i = 0; i < scan.components.size(); ++i) {
    const ScanComponent& entry = scan.components[i];
    if (!state.slots.byPosition() && entry.id >= 4) fail(msg::kMergeInvalidComponentId);
    const uint32_t slot = state.slots.byPosition() ? state.slots.scanSlot(entry.id, i) : entry.id;
    if (slot >= 4) fail(msg::kMergeScanComponents);
    auto& component = state.components[slot];
    if (!component) component = std::make_unique<EncodeComponent>();
    component->dcIndex = entry.dcTable;
    component->acIndex = entry.acTable;
  }
  if (scan.ss != 0 || scan.se != 63 || scan.ah != 0 || scan.al != 0) {
    fail(msg::kMergeBaselineOnly);
  }
}

void planSampling(EncodeState& state) {
  static_cast<FrameGeometry&>(state) = planFrame(
      slotLayout(state), static_cast<uint32_t>(state.width), static_cast<uint32_t>(state.height));
}

void encodeImage(EncodeState& state, const PixelImage& image, const MarkerList& source,
                 const Background& background) {
  // The marker classes are told apart by their codes. Everything that will be copied into the
  // output is checked here, before any work is done, so that a merge that succeeds always writes a
  // file that decoders accept.
  const FrameHeader* frame = nullptr;
  const ScanHeader* scan = nullptr;
  bool haveDqt = false;
  bool huffmanDefined[2][4] = {};
  bool jfif = false;
  int adobeTransform = -1;  // of the last Adobe segment, which is the one decoders use
  for (const auto& marker : source.items) {
    const uint8_t code = marker->code;
    const uint8_t* payload = marker->payload;
    // The JFIF and Adobe segments that decoders act on: at least 14 and 12 bytes long.
    if (code == kCodeApp0 && marker->length >= 14 && std::memcmp(payload, "JFIF", 5) == 0) {
      if (payload[5] != 1) failf(msg::kMergeJfifVersion, payload[5], payload[6]);
      jfif = true;
    } else if (code == kCodeApp14 && marker->length >= 12 &&
               std::memcmp(payload, "Adobe", 5) == 0) {
      adobeTransform = payload[11];
    }
    if (const auto* sof = dynamic_cast<const SOFMarker*>(marker.get())) {
      if (frame) fail(msg::kMergeOneSof);
      applyFrameHeader(state, sof->frame);
      frame = &sof->frame;
    } else if (const auto* dqt = dynamic_cast<const DQTMarker*>(marker.get())) {
      applyQuantizationTables(state, dqt->tables);
      haveDqt = true;
    } else if (const auto* sos = dynamic_cast<const SOSMarker*>(marker.get())) {
      applyScanHeader(state, sos->scan);
      scan = &sos->scan;
    } else if (const auto* dht = dynamic_cast<const DHTMarker*>(marker.get())) {
      noteHuffmanTables(dht->tables, huffmanDefined);
    } else if (!isCopiedAsIs(code)) {
      failf(msg::kMergeUnexpectedSegment, code);
    }
  }
  if (!frame) fail(msg::kMergeMissingSof);
  if (!haveDqt) fail(msg::kMergeMissingDqt);
  if (!scan) fail(msg::kMergeMissingSos);
  checkScanComponents(*frame, *scan);
  if (frame->components.size() == 3 && !jfif && adobeTransform != -1 && adobeTransform != 1) {
    failf(msg::kMergeAdobeTransform, adobeTransform);
  }

  // Link every component to its divisor table and to code tables, which exist exactly for the
  // table numbers that the scan uses.
  for (auto& component : state.components) {
    if (!component) continue;
    const uint32_t q = component->quantIndex;
    if (q > 3 || !state.divisorTables[q]) fail(msg::kMissingQuantTable);
    for (const uint16_t value : state.quantTables[q]->values) {
      if (value == 0) fail(msg::kMergeInvalidQuantValue);
    }
    component->divisor = state.divisorTables[q].get();
    if (component->dcIndex < 0 || component->dcIndex > 3) fail(msg::kMissingHuffmanTable);
    auto& dc = state.dcTables[component->dcIndex];
    if (!dc) dc = std::make_unique<HuffmanCodeTable>();
    component->dcTable = dc.get();
    if (component->acIndex > 3) fail(msg::kMissingHuffmanTable);
    auto& ac = state.acTables[component->acIndex];
    if (!ac) ac = std::make_unique<HuffmanCodeTable>();
    component->acTable = ac.get();
    if (!huffmanDefined[kDcClass][component->dcIndex] ||
        !huffmanDefined[kAcClass][component->acIndex]) {
      fail(msg::kMergeMissingHuffmanTable);
    }
  }

  planSampling(state);
  // Nothing of the frame's size is allocated before the source's own data has been found long
  // enough for its frame: a header is not trusted on its own.
  std::vector<ComponentSampling> sampling;
  for (const auto& component : state.components) {
    if (component) sampling.push_back({component->h, component->v});
  }
  requireCodedDataFor(static_cast<uint32_t>(state.width), static_cast<uint32_t>(state.height),
                      sampling, source.compressedLength);
  // The output's DHT segments hold new codes for exactly the tables that the source's define, and
  // only the tables the scan uses get codes.
  for (uint32_t number = 0; number < 4; ++number) {
    if ((huffmanDefined[kDcClass][number] && !state.dcTables[number]) ||
        (huffmanDefined[kAcClass][number] && !state.acTables[number])) {
      fail(msg::kInvalidHuffmanId);
    }
  }

  const auto width = static_cast<uint32_t>(state.width);
  const auto height = static_cast<uint32_t>(state.height);
  CoefficientBuffer coefficients;
  if (image.width == width && image.height == height && image.pixels) {
    coefficients = allocateCoefficients(uint64_t{state.blocksPerMcu} * state.mcuCount * 64, state);
    transformImage(state, image, coefficients.get(), background);
  } else {
    // Stretch to the frame size (the aspect ratio is not kept), then pad or crop away whatever
    // difference the rounding of the fixed-point steps left.
    PixelImage resampled;
    {
      if (image.width == 0 || image.height == 0 || !image.pixels) {
        failf(msg::kResampleEmptySource, image.width, image.height);
      }
      const float scaleX = static_cast<float>(width) / static_cast<float>(image.width);
      const float scaleY = static_cast<float>(height) / static_cast<float>(image.height);
      ResampleJob::setUp(image, scaleX, scaleY, resampled).run();
    }
    if (resampled.width != width || resampled.height != height) {
      PixelImage padded;
      padOrCrop(resampled, width, height, padded);
      resampled = std::move(padded);
    }
    coefficients = allocateCoefficients(uint64_t{state.blocksPerMcu} * state.mcuCount * 64, state);
    transformImage(state, resampled, coefficients.get(), background);
  }
  encodeScan(state, coefficients.get());
}

std::vector<uint8_t> encodeJpegFile(const PixelImage& image, const MarkerList& source,
                                    const PropertyList& overrides, const Background& background,
                                    ImageRole role) {
  EncodeState state;
  if (role == ImageRole::kNested) state.redefinition = Redefinition::kReplaces;
  encodeImage(state, image, source, background);

  SegmentBuffer segments(1024);
  segments.append(0xFF);
  segments.append(kCodeSoi);
  // Every segment of the source up to its first SOS header, in order, each in the form its class
  // gives it in the output (DHT with the new tables, DRI dropped, the rest copied). A file's
  // multi-picture index is copied too, and rewritten once the images after it are in place.
  const APP2Marker* mpf = role == ImageRole::kMain ? mpfSegment(source) : nullptr;
  size_t mpfHeaderAt = 0;
  for (const auto& marker : source.items) {
    if (marker.get() == mpf) {
      mpfHeaderAt = segments.length() + 4 + static_cast<size_t>(mpf->mpf->header - mpf->payload);
    }
    marker->write(state, image, overrides, background, segments);
  }
  std::vector<uint8_t> file = std::move(segments.bytes());
  file.reserve(file.size() + state.scanData.size() + 2);
  file.insert(file.end(), state.scanData.begin(), state.scanData.end());
  state.scanData = {};
  file.push_back(0xFF);
  file.push_back(kCodeEoi);
  if (mpf) appendMpImages(file, mpfHeaderAt, *mpf->mpf, source, image, overrides, background);
  return file;
}

void writeJpegFile(OutputFile& output, const PixelImage& image, const MarkerList& source,
                   const PropertyList& overrides, const Background& background) {
  // Everything is built before the file is touched: a failing merge leaves an existing output as
  // it was.
  const std::vector<uint8_t> file = encodeJpegFile(image, source, overrides, background);
  output.replaceContents(file.data(), file.size());
}

}  // namespace tessel
