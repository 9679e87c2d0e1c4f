// The front of the decoder: each marker segment configures a fresh DecoderState, the frame is
// checked, the coding description is recorded, and the entropy-coded data goes to the baseline
// or the progressive pass.

#include <cstring>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/exception.h"
#include "core/messages.h"
#include "core/pixel_image.h"
#include "core/property_list.h"
#include "jpeg/coded_data.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/decoder/decoder_state.h"
#include "jpeg/decoder/messages.h"
#include "jpeg/decoder/reconstruct.h"
#include "jpeg/jpeg_reader.h"
#include "jpeg/markers/messages.h"

namespace tessel {

namespace {

constexpr uint32_t kTagResolutionUnit = 296;
constexpr uint32_t kTagXResolution = 282;
constexpr uint32_t kTagYResolution = 283;

// The marker classes claim their payload bytes before the decoder reads them, so a segment that
// is too short for its own counts never gets here from a parsed file. The set-up steps can also
// be called directly, so they check anyway.
void requirePayload(int32_t length, int64_t needed) {
  if (needed > length) fail(msg::kInvalidOffset);
}

// Frame and scan headers name components by identifier C. The slot is C itself when C < 4,
// otherwise the component's 1-based position in the header; a slot of 4 or more is ignored.
uint32_t slotFor(uint8_t id, uint32_t position) {
  return id < 4 ? id : position;
}

ComponentInfo& componentAt(DecoderState& state, uint32_t slot) {
  if (!state.components[slot]) state.components[slot] = std::make_unique<ComponentInfo>();
  return *state.components[slot];
}

}  // namespace

const char* processName(uint8_t frameMarker) {
  static const char* const kNames[16] = {"Baseline",
                                         "Extended sequential",
                                         "Progressive",
                                         "Lossless",
                                         "???",
                                         "Differential sequential",
                                         "Differential progressive",
                                         "Differential lossless",
                                         "???",
                                         "Extended sequential arithmetic",
                                         "Progressive arithmetic",
                                         "Lossless arithmetic",
                                         "???",
                                         "Differential sequential arithmetic",
                                         "Differential progressive arithmetic",
                                         "Differential lossless arithmetic"};
  if (frameMarker < 0xC0 || frameMarker > 0xCF) return "???";
  return kNames[frameMarker - 0xC0];
}

const char* samplingName(uint32_t samplingMode) {
  switch (samplingMode) {
    case kSampling1x1:
      return "1x1";
    case kSampling1x2:
      return "1x2";
    case kSampling2x1:
      return "2x1";
    case kSampling2x2:
      return "2x2";
    case kSamplingGray:
      return "gray";
    default:
      return "???";
  }
}

void applyApp0(DecoderState&, PixelImage& image, const uint8_t* payload, int32_t length) {
  if (length < 5 || std::memcmp(payload, "JFIF", 5) != 0) return;
  requirePayload(length, 12);
  const uint8_t units = payload[7];
  if (units != 1 && units != 2) return;  // 0: aspect ratio only
  setShort(image.properties, kTagResolutionUnit, units);
  setRational(image.properties, kTagXResolution, readBigEndian16(payload + 8), 1);
  setRational(image.properties, kTagYResolution, readBigEndian16(payload + 10), 1);
}

void applyDqt(DecoderState& state, const uint8_t* payload, int32_t length) {
  int64_t pos = 0;
  while (pos < length) {
    const uint8_t precisionAndIndex = payload[pos];
    const uint32_t index = precisionAndIndex & 15;
    if (index >= 4) fail(msg::kInvalidQuantIndex);
    if (state.quantTables[index]) fail(msg::kDuplicateQuantIndex);
    const bool wide = (precisionAndIndex & 0x10) != 0;
    const int64_t size = wide ? 128 : 64;
    requirePayload(length, pos + 1 + size);
    auto table = std::make_unique<QuantTable>();
    table->precision = wide ? 16 : 8;
    const uint8_t* values = payload + pos + 1;
    for (size_t k = 0; k < 64; ++k) {
      const uint32_t value = wide ? readBigEndian16(values + 2 * k) : values[k];
      table->values[kZigzagToNatural[k]] = static_cast<float>(value);
    }
    state.quantTables[index] = std::move(table);
    pos += 1 + size;
  }
}

void applySof(DecoderState& state, PixelImage& image, uint8_t code, const uint8_t* payload,
              int32_t length) {
  requirePayload(length, 6);
  state.frameMarker = code;
  state.precision = payload[0];
  if (state.precision != 8 && state.precision != 16) {
    failf(msg::kUnsupportedPrecision, static_cast<int>(state.precision));
  }
  state.height = readBigEndian16(payload + 1);
  state.width = readBigEndian16(payload + 3);
  image.height = state.height;
  image.width = state.width;

  const uint32_t count = payload[5];
  if (count != 1 && count != 3 && count != 4) failf(msg::kUnsupportedComponentCount, count);
  // Pixel-format codes in the GDI+ PixelFormat code space: greyscale, 24-bit RGB and 32-bit
  // ARGB for 8-bit samples; 16-bit greyscale, 48-bit RGB and 64-bit ARGB for 16-bit samples.
  uint32_t format = 0;
  if (count == 1) format = state.precision == 8 ? 0x803 : 0x101004;
  if (count == 3) format = state.precision == 8 ? 0x21808 : 0x10300C;
  if (count == 4) format = state.precision == 8 ? 0x26200A : 0x34400D;
  setLong(image.properties, kTagPixelFormat, format);

  requirePayload(length, 6 + 3 * int64_t{count});
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = payload + 6 + 3 * i;
    const uint32_t slot = slotFor(entry[0], i + 1);
    if (slot >= 4) continue;
    ComponentInfo& component = componentAt(state, slot);
    component.h = entry[1] >> 4;
    component.v = entry[1] & 15;
    component.quantIndex = entry[2];
  }
}

void applyDht(DecoderState& state, const uint8_t* payload, int32_t length) {
  int32_t pos = 0;
  while (pos < length) {
    const uint8_t id = payload[pos];
    if ((id & 0xF0) > 0x10 || (id & 15) > 3) fail(msg::kInvalidHuffmanId);
    pos += 1;
    auto lookup = std::make_unique<HuffmanLookup>();
    buildHuffmanLookup(*lookup, payload, length, pos);
    auto& tables = (id & 0x10) ? state.acTables : state.dcTables;
    tables[id & 15] = std::move(lookup);
  }
}

void applySos(DecoderState& state, const uint8_t* payload, int32_t length) {
  for (auto& component : state.components) {
    if (!component) continue;
    component->dcIndex = -1;
    component->acIndex = -1;
    component->inScan = false;
  }
  requirePayload(length, 1);
  const uint32_t count = payload[0];
  state.scanComponentCount = count;
  requirePayload(length, 1 + 2 * int64_t{count} + 3);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = payload + 1 + 2 * i;
    const uint32_t slot = slotFor(entry[0], i + 1);
    if (slot >= 4) continue;
    ComponentInfo& component = componentAt(state, slot);
    component.dcIndex = entry[1] >> 4;
    component.acIndex = entry[1] & 15;
    component.inScan = true;
  }
  const uint8_t* tail = payload + 1 + 2 * count;
  // In a lossless frame these bytes are the predictor and the point transform, not spectral
  // endpoints (Se is always 0 there); such a frame is refused with the mode message instead.
  const bool lossless = isSofCode(state.frameMarker) && (state.frameMarker & 3) == 3;
  if (!lossless && (tail[0] > tail[1] || tail[1] >= 64)) fail(msg::kInvalidSpectral);
  state.ss = tail[0];
  state.se = tail[1];
  state.ah = tail[2] >> 4;
  state.al = tail[2] & 15;
  if (state.ah != 0 && state.ah != state.al + 1) fail(msg::kSingleBitRefinement);
}

void applyDri(DecoderState& state, const uint8_t* payload, int32_t length) {
  if (length != 2) fail(msg::kDriWrongSize);
  state.restartInterval = readBigEndian16(payload);
}

void deriveSampling(DecoderState& state) {
  const auto& c = state.components;
  const auto is = [](const std::unique_ptr<ComponentInfo>& component, uint32_t h, uint32_t v) {
    return component->h == h && component->v == v;
  };
  uint32_t mode = 0;
  if (!c[0] && c[1]) {
    if (c[2]) {
      if (c[3] && is(c[2], 1, 1) && is(c[3], 1, 1)) {
        if (is(c[1], 1, 1)) mode = kSampling1x1;
        if (is(c[1], 2, 1)) mode = kSampling1x2;
        if (is(c[1], 1, 2)) mode = kSampling2x1;
        if (is(c[1], 2, 2)) mode = kSampling2x2;
      }
    } else if (!c[3] && is(c[1], 1, 1)) {
      mode = kSamplingGray;
    }
  }
  if (mode == 0) {
    std::string text = msg::kUnsupportedSamplingOpen;
    for (int i = 0; i < 4; ++i) {
      if (!c[i]) continue;
      text += formatText(msg::kUnsupportedSamplingComponent, i, static_cast<int>(c[i]->h),
                         static_cast<int>(c[i]->v));
    }
    text += msg::kUnsupportedSamplingClose;
    fail(text);
  }

  static constexpr uint32_t kWidth[6] = {0, 8, 16, 8, 16, 8};
  static constexpr uint32_t kHeight[6] = {0, 8, 8, 16, 16, 8};
  static constexpr uint32_t kBlocks[6] = {0, 3, 4, 4, 6, 1};
  state.samplingMode = mode;
  state.mcuWidth = kWidth[mode];
  state.mcuHeight = kHeight[mode];
  state.blocksPerMcu = kBlocks[mode];
  state.mcusPerRow = (state.width + state.mcuWidth - 1) / state.mcuWidth;
  state.mcuRows = (state.height + state.mcuHeight - 1) / state.mcuHeight;
  state.mcuCount = state.mcusPerRow * state.mcuRows;
  state.blocksPerMcuRow = state.blocksPerMcu * state.mcusPerRow;
}

void scaleQuantTables(DecoderState& state) {
  for (auto& table : state.quantTables) {
    if (table) scaleQuantTable(*table);
  }
}

void bindQuantTable(DecoderState& state, ComponentInfo& component) {
  if (component.quantIndex > 3 || !state.quantTables[component.quantIndex]) {
    fail(msg::kMissingQuantTable);
  }
  component.quant = state.quantTables[component.quantIndex].get();
}

McuLayout mcuLayout(const DecoderState& state) {
  McuLayout layout;
  for (uint32_t slot = 0; slot < 4; ++slot) {
    const ComponentInfo* component = state.components[slot].get();
    if (!component) continue;
    layout.offset[slot] = static_cast<uint8_t>(layout.blocks);
    layout.present[slot] = true;
    for (uint32_t i = 0; i < component->h * component->v; ++i) {
      layout.slot[layout.blocks++] = static_cast<uint8_t>(slot);
    }
  }
  return layout;
}

void decodeImage(const MarkerList& markers, DecoderState& state, PixelImage& image, bool infoOnly) {
  for (const auto& marker : markers.items) marker->applyToDecoder(state, image, infoOnly);
  if (!markers.compressedData) fail(msg::kNoCompressedData);
  deriveSampling(state);

  const std::string description =
      std::string(processName(state.frameMarker)) + " " + samplingName(state.samplingMode);
  setCompressionMode(image.properties, description.c_str());

  image.pixels.reset();
  if (infoOnly) return;
  if (state.frameMarker != 0xC0 && state.frameMarker != 0xC2) {
    failf(msg::kUnsupportedMode, state.frameMarker - 0xC0);
  }
  // Nothing of the frame's size is allocated before its data has been found long enough for it.
  std::vector<ComponentSampling> sampling;
  for (const auto& component : state.components) {
    if (component) sampling.push_back({component->h, component->v});
  }
  requireCodedDataFor(state.width, state.height, sampling, markers.compressedLength);
  if (state.frameMarker == 0xC0) {
    decodeBaseline(state, image, markers.compressedData, markers.compressedLength);
  } else {
    decodeProgressive(state, image, markers.compressedData, markers.compressedLength);
  }
}

void decodeJpegImage(const MarkerList& markers, PixelImage& image) {
  DecoderState state;
  decodeImage(markers, state, image, false);
}

void decodeThumbnailInfo(const MarkerList& thumbnail, PixelImage& thumbnailImage) {
  DecoderState state;
  decodeImage(thumbnail, state, thumbnailImage, true);
}

}  // namespace tessel
