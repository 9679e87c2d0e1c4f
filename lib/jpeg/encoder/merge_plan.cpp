// The first step of a merge: the metadata source's segments read into the plan of the output,
// with every check that keeps a merged file decodable made before any work is done. The output
// copies the source's segments up to the scan, so each of them must be one that a baseline
// decoder accepts there.

#include <algorithm>
#include <vector>

#include "core/exception.h"
#include "core/messages.h"
#include "jpeg/coded_data.h"
#include "jpeg/encoder/encode_state.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/encoder/forward_transform.h"
#include "jpeg/markers/app0_marker.h"
#include "jpeg/markers/app14_marker.h"
#include "jpeg/markers/dht_marker.h"
#include "jpeg/markers/dqt_marker.h"
#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/markers/sof_marker.h"
#include "jpeg/markers/sos_marker.h"
#include "jpeg/messages.h"

namespace tessel {

namespace {

// Segments that are copied into the output unchanged, or dropped (DRI), besides the frame, table
// and scan headers: application segments and comments.
bool isCopiedAsIs(uint8_t code) {
  return isAppCode(code) || code == kCodeCom || code == kCodeDri;
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

// What the segments up to the scan say, read in stream order.
class MergePlanner : public MarkerVisitor {
 public:
  explicit MergePlanner(EncodeState& state) : state_(state) {}

  void visit(const JPEGReader::Marker& marker) override {
    if (!isCopiedAsIs(marker.code)) failf(msg::kMergeUnexpectedSegment, marker.code);
  }
  // Decoders warn about any JFIF major version but 1.
  void visit(const APP0Marker& marker) override {
    const unsigned major = marker.jfif.version >> 8, minor = marker.jfif.version & 0xFF;
    if (major != 1) failf(msg::kMergeJfifVersion, major, minor);
    jfif = true;
  }
  // Of the last Adobe segment, which is the one decoders use.
  void visit(const APP14Marker& marker) override {
    if (marker.adobe) adobeTransform = marker.adobe->transform;
  }
  void visit(const SOFMarker& marker) override {
    if (frame) fail(msg::kMergeOneSof);
    applyFrameHeader(state_, marker.frame);
    frame = &marker.frame;
  }
  void visit(const DQTMarker& marker) override {
    applyQuantizationTables(state_, marker.tables);
    haveDqt = true;
  }
  void visit(const SOSMarker& marker) override {
    applyScanHeader(state_, marker.scan);
    scan = &marker.scan;
  }
  // The output's DHT segments keep the source's table headers, so each must be well formed.
  void visit(const DHTMarker& marker) override {
    for (const HuffmanTableSpec& table : marker.tables) {
      if (!table.hasValidId()) fail(msg::kInvalidHuffmanId);
      if (table.symbolCount > 256) fail(msg::kMergeHuffmanTableSize);
      huffmanDefined[table.isAc()][table.index()] = true;
    }
  }

  const FrameHeader* frame = nullptr;
  const ScanHeader* scan = nullptr;
  bool haveDqt = false;
  bool huffmanDefined[2][4] = {};
  bool jfif = false;
  int adobeTransform = -1;

 private:
  EncodeState& state_;
};

// Links every component to its divisor table and to code tables, which exist exactly for the
// table numbers that the scan uses.
void linkComponents(EncodeState& state, const bool (&defined)[2][4]) {
  for (uint32_t slot = 0; slot < 4; ++slot) {
    const auto& component = state.components[slot];
    if (!component) continue;
    ComponentCoding& coding = state.coding[slot];
    const uint32_t q = component->quantIndex;
    if (q > 3 || !state.divisorTables[q]) fail(msg::kMissingQuantTable);
    for (const uint16_t value : state.quantTables[q]->values) {
      if (value == 0) fail(msg::kMergeInvalidQuantValue);
    }
    coding.divisor = state.divisorTables[q].get();
    if (component->dcIndex < 0 || component->dcIndex > 3) fail(msg::kMissingHuffmanTable);
    auto& dc = state.dcTables[component->dcIndex];
    if (!dc) dc = std::make_unique<HuffmanCodeTable>();
    if (component->acIndex < 0 || component->acIndex > 3) fail(msg::kMissingHuffmanTable);
    auto& ac = state.acTables[component->acIndex];
    if (!ac) ac = std::make_unique<HuffmanCodeTable>();
    coding = {coding.divisor, dc.get(), ac.get(), uint32_t(component->dcIndex),
              uint32_t(component->acIndex)};
    if (!defined[kDcClass][component->dcIndex] || !defined[kAcClass][component->acIndex]) {
      fail(msg::kMergeMissingHuffmanTable);
    }
  }
}

// What the whole list says, once read: the headers and tables a baseline file needs, colours a
// decoder takes for YCbCr, and data long enough for the frame.
void checkPlan(EncodeState& state, const MergePlanner& planner, const MarkerList& source) {
  if (!planner.frame) fail(msg::kMergeMissingSof);
  if (!planner.haveDqt) fail(msg::kMergeMissingDqt);
  if (!planner.scan) fail(msg::kMergeMissingSos);
  checkScanComponents(*planner.frame, *planner.scan);
  // A colour file without JFIF whose Adobe segment says RGB (0) or an unknown transform would be
  // decoded in the wrong colours.
  const int transform = planner.adobeTransform;
  if (planner.frame->components.size() == 3 && !planner.jfif && transform != -1 && transform != 1) {
    failf(msg::kMergeAdobeTransform, transform);
  }
  linkComponents(state, planner.huffmanDefined);
  state.planGeometry();
  // Nothing of the frame's size is allocated before the source's own data has been found long
  // enough for its frame: a header is not trusted on its own.
  std::vector<ComponentSampling> sampling;
  for (const auto& component : state.components) {
    if (component) sampling.push_back({component->h, component->v});
  }
  requireCodedDataFor(state.width, state.height, sampling, source.compressedLength);
  // The output's DHT segments hold new codes for exactly the tables that the source's define, and
  // only the tables the scan uses get codes.
  for (uint32_t number = 0; number < 4; ++number) {
    if ((planner.huffmanDefined[kDcClass][number] && !state.dcTables[number]) ||
        (planner.huffmanDefined[kAcClass][number] && !state.acTables[number])) {
      fail(msg::kInvalidHuffmanId);
    }
  }
}

}  // namespace

void applyFrameHeader(EncodeState& state, const FrameHeader& frame) {
  if (frame.code != kCodeSof0) fail(msg::kMergeBaselineOnly);
  if (frame.precision != 8) failf(msg::kUnsupportedPrecision, unsigned{frame.precision});
  // Frame and scan headers are copied into the output as they are, so their lengths must be
  // exactly what their counts say: a decoder refuses any other.
  if (!frame.exactLength) failf(msg::kMergeSegmentLength, "SOF");
  // Identifiers are the slot numbers, of which there are four, unless the frame places its
  // components by position; each slot once.
  const ComponentSlots slots(frame.components);
  bool taken[4] = {};
  for (size_t i = 0; i < frame.components.size(); ++i) {
    if (!slots.byPosition() && frame.components[i].id >= 4) fail(msg::kMergeInvalidComponentId);
    const uint32_t slot = slots.frameSlot(i);
    if (slot >= 4) fail(msg::kMergeInvalidComponentId);
    if (taken[slot]) fail(msg::kMergeDuplicateComponentId);
    taken[slot] = true;
  }
  state.components = {};
  state.applyFrame(frame);
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
  for (size_t i = 0; i < scan.components.size(); ++i) {
    const uint8_t id = scan.components[i].id;
    if (!state.slots.byPosition() && id >= 4) fail(msg::kMergeInvalidComponentId);
    if (state.slots.byPosition() && state.slots.scanSlot(id, i) >= 4) {
      fail(msg::kMergeScanComponents);
    }
  }
  state.applyScan(scan);
  if (scan.ss != 0 || scan.se != 63 || scan.ah != 0 || scan.al != 0) {
    fail(msg::kMergeBaselineOnly);
  }
}

void planMerge(EncodeState& state, const MarkerList& source) {
  MergePlanner planner(state);
  visitMarkers(source, planner);
  checkPlan(state, planner, source);
}

}  // namespace tessel
