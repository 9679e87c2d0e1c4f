// The front of the decoder: each marker segment configures a fresh DecoderState, the frame is
// checked, the coding description is recorded, and the entropy-coded data goes to the baseline
// or the progressive pass.

#include <cstring>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/exception.h"
#include "core/pixel_image.h"
#include "core/property_list.h"
#include "jpeg/coded_data.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/decoder/decoder_state.h"
#include "jpeg/decoder/reconstruct.h"
#include "jpeg/jpeg_reader.h"
#include "jpeg/messages.h"

namespace tessel {

namespace {

ComponentInfo& componentAt(DecoderState& state, uint32_t slot) {
  if (!state.components[slot]) state.components[slot] = std::make_unique<ComponentInfo>();
  return *state.components[slot];
}

}  // namespace

void applyApp0(DecoderState&, PixelImage& image, const uint8_t* payload, int32_t length) {
  // The parse claimed the 14 bytes of a JFIF header.
  if (length < 5 || std::memcmp(payload, "JFIF", 5) != 0) return;
  const uint8_t units = payload[7];
  if (units != 1 && units != 2) return;  // 0: aspect ratio only
  setShort(image.properties, kTagResolutionUnit, units);
  setRational(image.properties, kTagXResolution, readBigEndian16(payload + 8), 1);
  setRational(image.properties, kTagYResolution, readBigEndian16(payload + 10), 1);
}

void applyDqt(DecoderState& state, const std::vector<QuantizationTable>& tables) {
  for (const QuantizationTable& table : tables) {
    defineQuantizationTable(state.quantTables, table, state.redefinition);
  }
}

void applySof(DecoderState& state, PixelImage& image, const FrameHeader& frame) {
  state.frameMarker = frame.code;
  state.precision = frame.precision;
  if (state.precision != 8 && state.precision != 16) {
    failf(msg::kUnsupportedPrecision, state.precision);
  }
  state.height = frame.height;
  state.width = frame.width;
  image.height = state.height;
  image.width = state.width;

  const auto count = static_cast<uint32_t>(frame.components.size());
  if (count != 1 && count != 3 && count != 4) failf(msg::kUnsupportedComponentCount, count);
  // Pixel-format codes in the GDI+ PixelFormat code space: greyscale, 24-bit RGB and 32-bit
  // ARGB for 8-bit samples; 16-bit greyscale, 48-bit RGB and 64-bit ARGB for 16-bit samples.
  uint32_t format = 0;
  if (count == 1) format = state.precision == 8 ? 0x803 : 0x101004;
  if (count == 3) format = state.precision == 8 ? 0x21808 : 0x10300C;
  if (count == 4) format = state.precision == 8 ? 0x26200A : 0x34400D;
  setLong(image.properties, kTagPixelFormat, format);

  state.slots = ComponentSlots(frame.components);
  for (uint32_t i = 0; i < count; ++i) {
    const FrameComponent& entry = frame.components[i];
    const uint32_t slot = state.slots.frameSlot(i);
    if (slot >= 4) continue;
    ComponentInfo& component = componentAt(state, slot);
    component.h = entry.h;
    component.v = entry.v;
    component.quantIndex = entry.quantTable;
  }
}

void applyDht(DecoderState& state, const std::vector<HuffmanTableSpec>& tables) {
  for (const HuffmanTableSpec& table : tables) {
    if (!table.hasValidId()) fail(msg::kInvalidHuffmanId);
    auto lookup = std::make_shared<HuffmanLookup>();
    buildHuffmanLookup(*lookup, table);
    (table.isAc() ? state.acTables : state.dcTables)[table.index()] = std::move(lookup);
  }
}

void applySos(DecoderState& state, const ScanHeader& scan) {
  for (auto& component : state.components) {
    if (!component) continue;
    component->dcIndex = -1;
    component->acIndex = -1;
    component->inScan = false;
  }
  state.scanComponentCount = static_cast<uint32_t>(scan.components.size());
  for (uint32_t i = 0; i < state.scanComponentCount; ++i) {
    const ScanComponent& entry = scan.components[i];
    const uint32_t slot = state.slots.scanSlot(entry.id, i);
    if (slot >= 4) continue;
    ComponentInfo& component = componentAt(state, slot);
    component.dcIndex = entry.dcTable;
    component.acIndex = entry.acTable;
    component.inScan = true;
  }
  // In a lossless frame these bytes are the predictor and the point transform, not spectral
  // endpoints (Se is always 0 there); such a frame is refused with the mode message instead.
  const bool lossless = isSofCode(state.frameMarker) && (state.frameMarker & 3) == 3;
  if (!lossless && (scan.ss > scan.se || scan.se >= 64)) fail(msg::kInvalidSpectral);
  state.ss = scan.ss;
  state.se = scan.se;
  state.ah = scan.ah;
  state.al = scan.al;
  if (state.ah != 0 && state.ah != state.al + 1) fail(msg::kSingleBitRefinement);
}

SlotLayout slotLayout(const DecoderState& state) {
  SlotLayout slots;
  for (int i = 0; i < 4; ++i) {
    if (const ComponentInfo* c = state.components[i].get()) slots[i] = {true, c->h, c->v};
  }
  return slots;
}

void deriveSampling(DecoderState& state) {
  static_cast<FrameGeometry&>(state) = planFrame(slotLayout(state), state.width, state.height);
}

void scaleQuantTables(DecoderState& state) {
  for (size_t t = 0; t < 4; ++t) {
    if (!state.quantTables[t]) continue;
    for (size_t i = 0; i < 64; ++i) {
      state.dequantize[t][i] = static_cast<float>(state.quantTables[t]->values[i]) * kIdctScale[i];
    }
  }
}

void bindQuantTable(DecoderState& state, ComponentInfo& component) {
  if (component.quantIndex > 3 || !state.quantTables[component.quantIndex]) {
    fail(msg::kMissingQuantTable);
  }
  component.dequantize = state.dequantize[component.quantIndex].data();
}

void decodeImage(const MarkerList& markers, DecoderState& state, PixelImage& image, bool infoOnly) {
  for (const auto& marker : markers.items) marker->applyToDecoder(state, image, infoOnly);
  if (!markers.compressedData) fail(msg::kNoCompressedData);
  deriveSampling(state);

  const std::string description = std::string(processDescriptionName(state.frameMarker)) + " " +
                                  samplingName(state.samplingMode);
  setCompressionMode(image.properties, description.c_str());

  image.pixels.reset();
  if (infoOnly) return;
  if (state.frameMarker != kCodeSof0 && state.frameMarker != kCodeSof2) {
    failf(msg::kUnsupportedMode, state.frameMarker - 0xC0);
  }
  // Nothing of the frame's size is allocated before its data has been found long enough for it.
  std::vector<ComponentSampling> sampling;
  for (const auto& component : state.components) {
    if (component) sampling.push_back({component->h, component->v});
  }
  requireCodedDataFor(state.width, state.height, sampling, markers.compressedLength);
  if (state.frameMarker == kCodeSof0) {
    decodeBaseline(state, image, markers.compressedData, markers.compressedLength);
  } else {
    decodeProgressive(state, image, markers.compressedData, markers.compressedLength);
  }
}

void decodeJpegImage(const MarkerList& markers, PixelImage& image, const DecodeOptions& options) {
  DecoderState state;
  state.redefinition = options.redefinition;
  state.input = options.input;
  decodeImage(markers, state, image, false);
}

void decodeThumbnailInfo(const MarkerList& thumbnail, PixelImage& thumbnailImage) {
  DecoderState state;
  state.redefinition = Redefinition::kReplaces;
  decodeImage(thumbnail, state, thumbnailImage, true);
}

}  // namespace tessel
