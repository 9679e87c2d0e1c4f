// The merge writer: re-encodes a PixelImage as a baseline sequential Huffman JPEG under the frame,
// sampling and quantization tables of a metadata-source JPEG, and writes the source's segments,
// in their order, around the new entropy-coded data.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/byte_order.h"
#include "core/exception.h"
#include "core/messages.h"
#include "core/pixel_image.h"
#include "jpeg/coded_data.h"
#include "jpeg/encoder/encode_state.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/encoder/forward_transform.h"
#include "jpeg/encoder/huffman_encode.h"
#include "jpeg/encoder/messages.h"
#include "jpeg/encoder/resample.h"
#include "jpeg/jpeg_reader.h"
#include "jpeg/segment_buffer.h"
#include "platform/mapped_file.h"
#include "platform/memory.h"

namespace tessel {

namespace {

constexpr uint8_t kCodeBaselineSof = 0xC0;

// The segment payloads normally come from marker classes that have claimed them, but nothing here
// reads a byte of a payload without first checking that it lies inside it.
void requirePayload(int64_t needed, int32_t length) {
  if (needed > length) fail(msg::kInvalidOffset);
}

// Frame and scan headers are copied into the output as they are, so their lengths must be exactly
// what their counts say: a decoder refuses any other.
void requireExactLength(const char* segment, int64_t needed, int32_t length) {
  if (needed != length) failf(msg::kMergeSegmentLength, segment);
}

// Segments that are copied into the output unchanged, or dropped (DRI), besides the frame, table
// and scan headers: application segments and comments.
bool isCopiedAsIs(uint8_t code) {
  return (code >= 0xE0 && code <= 0xEF) || code == 0xFE || code == kCodeDri;
}

// The tables of one DHT segment of the source, marked in `defined` by class and number. The
// output's DHT segments keep the source's table headers, so each must be well formed.
void noteHuffmanTables(const uint8_t* payload, int32_t length, bool (&defined)[2][4]) {
  int64_t pos = 0;
  while (pos < length) {
    if (pos + 17 > length) failf(msg::kMergeSegmentLength, "DHT");
    const uint8_t id = payload[pos];
    if ((id >> 4) > 1 || (id & 15) > 3) fail(msg::kMergeInvalidHuffmanId);
    int64_t symbols = 0;
    for (int i = 1; i <= 16; ++i) symbols += payload[pos + i];
    if (symbols > 256) fail(msg::kMergeHuffmanTableSize);
    pos += 17 + symbols;
    if (pos > length) failf(msg::kMergeSegmentLength, "DHT");
    defined[id >> 4][id & 15] = true;
  }
}

// The scan names frame components only, each once, in increasing identifier order: that is the
// order in which the encoder writes their blocks, and the scan header is copied unchanged. (A
// frame component that the scan leaves out has no Huffman tables and is refused with them.)
void checkScanComponents(const uint8_t* frame, const uint8_t* scan) {
  const uint32_t frameCount = frame[5];
  const uint32_t scanCount = scan[0];
  bool ok = true;
  for (uint32_t i = 0; ok && i < scanCount; ++i) {
    const uint8_t id = scan[1 + 2 * i];
    if (i > 0 && id <= scan[1 + 2 * (i - 1)]) ok = false;
    bool inFrame = false;
    for (uint32_t k = 0; k < frameCount; ++k) inFrame |= frame[6 + 3 * k] == id;
    ok = ok && inFrame;
  }
  if (!ok) fail(msg::kMergeScanComponents);
}

using CoefficientBuffer = std::unique_ptr<int16_t[], FreeDeleter>;

// A block of `count` 16-bit values, refused with a clear message when it cannot be had.
CoefficientBuffer allocateCoefficients(uint64_t count, const EncodeState& state) {
  void* block = platform::allocateLargeBlock(count * sizeof(int16_t));
  if (!block) failf(msg::kImageTooLarge, state.width, state.height);
  return CoefficientBuffer(static_cast<int16_t*>(block));
}

}  // namespace

void applyFrameHeader(EncodeState& state, uint8_t code, const uint8_t* payload, int32_t length) {
  if (code != kCodeBaselineSof) fail(msg::kMergeBaselineOnly);
  if (length < 6) failf(msg::kMergeSegmentLength, "SOF");
  if (payload[0] != 8) failf(msg::kMergeUnsupportedPrecision, unsigned{payload[0]});
  state.height = static_cast<int32_t>(readBigEndian16(payload + 1));
  state.width = static_cast<int32_t>(readBigEndian16(payload + 3));
  for (auto& component : state.components) component.reset();
  const uint32_t count = payload[5];
  requireExactLength("SOF", 6 + 3 * int64_t{count}, length);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* p = payload + 6 + 3 * i;
    // Identifiers are used as slot numbers; there are four slots.
    if (p[0] >= 4) fail(msg::kMergeInvalidComponentId);
    auto& component = state.components[p[0]];
    if (component) fail(msg::kMergeDuplicateComponentId);
    component = std::make_unique<EncodeComponent>();
    component->h = p[1] >> 4;
    component->v = p[1] & 15;
    component->quantIndex = p[2];
  }
}

void applyQuantizationTables(EncodeState& state, const uint8_t* payload, int32_t length) {
  int64_t pos = 0;
  while (pos < length) {
    const uint8_t precisionAndIndex = payload[pos];
    const uint32_t index = precisionAndIndex & 15;
    if (index >= 4) fail(msg::kMergeInvalidQuantIndex);
    if (state.quantTables[index]) fail(msg::kMergeDuplicateQuantIndex);
    if ((precisionAndIndex >> 4) > 1) fail(msg::kMergeQuantPrecision);
    const bool wide = (precisionAndIndex & 0x10) != 0;
    const int64_t entryBytes = wide ? 128 : 64;
    if (pos + 1 + entryBytes > length) failf(msg::kMergeSegmentLength, "DQT");
    auto table = std::make_unique<QuantizationTable>();
    table->precision = wide ? 16 : 8;
    const uint8_t* entries = payload + pos + 1;
    for (int k = 0; k < 64; ++k) {
      const uint32_t value = wide ? readBigEndian16(entries + 2 * k) : entries[k];
      table->values[kEncoderZigzag[k]] = static_cast<float>(value);
    }
    auto divisor = std::make_unique<DivisorTable>();
    buildDivisorTable(*table, *divisor);
    state.quantTables[index] = std::move(table);
    state.divisorTables[index] = std::move(divisor);
    pos += 1 + entryBytes;
  }
}

void applyScanHeader(EncodeState& state, const uint8_t* payload, int32_t length) {
  requirePayload(1, length);
  const uint32_t count = payload[0];
  requireExactLength("SOS", 1 + 2 * int64_t{count} + 3, length);
  for (auto& component : state.components) {
    if (component) component->dcIndex = -1;
  }
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* p = payload + 1 + 2 * i;
    if (p[0] >= 4) fail(msg::kMergeInvalidComponentId);
    auto& component = state.components[p[0]];
    if (!component) {
      component = std::make_unique<EncodeComponent>();
      component->dcIndex = 0;
    }
    component->dcIndex = p[1] >> 4;
    component->acIndex = p[1] & 15;
  }
  const uint8_t* tail = payload + 1 + 2 * count;
  if (tail[0] != 0 || tail[1] != 63 || tail[2] != 0) fail(msg::kMergeBaselineOnly);
}

void planSampling(EncodeState& state) {
  const auto& c = state.components;
  auto is = [](const std::unique_ptr<EncodeComponent>& component, uint32_t h, uint32_t v) {
    return component->h == h && component->v == v;
  };
  uint32_t mode = 0;
  if (!c[0] && c[1]) {
    if (c[2] && c[3] && is(c[2], 1, 1) && is(c[3], 1, 1)) {
      if (is(c[1], 1, 1)) mode = kSampling444;
      if (is(c[1], 2, 1)) mode = kSampling422;
      if (is(c[1], 1, 2)) mode = kSampling440;
      if (is(c[1], 2, 2)) mode = kSampling420;
    } else if (!c[2] && !c[3] && is(c[1], 1, 1)) {
      mode = kSamplingGrey;
    }
  }
  if (mode == 0) {
    std::string text = msg::kMergeUnsupportedSamplingOpen;
    for (int slot = 0; slot < 4; ++slot) {
      if (!c[slot]) continue;
      text += formatText(msg::kMergeUnsupportedSamplingComponent, slot,
                         static_cast<int>(c[slot]->h), static_cast<int>(c[slot]->v));
    }
    text += msg::kMergeUnsupportedSamplingClose;
    fail(text);
  }
  static constexpr struct {
    uint32_t width, height, blocks;
  } kGeometry[6] = {{0, 0, 0}, {8, 8, 3}, {16, 8, 4}, {8, 16, 4}, {16, 16, 6}, {8, 8, 1}};
  state.samplingMode = mode;
  state.mcuWidth = kGeometry[mode].width;
  state.mcuHeight = kGeometry[mode].height;
  state.blocksPerMcu = kGeometry[mode].blocks;
  const auto width = static_cast<uint32_t>(state.width);
  const auto height = static_cast<uint32_t>(state.height);
  state.mcusPerRow = (width + state.mcuWidth - 1) / state.mcuWidth;
  state.mcuRows = (height + state.mcuHeight - 1) / state.mcuHeight;
  state.mcuCount = state.mcusPerRow * state.mcuRows;
}

void encodeImage(EncodeState& state, const PixelImage& image, const MarkerList& source,
                 const Background& background) {
  // The marker classes are told apart by their codes. Everything that will be copied into the
  // output is checked here, before any work is done, so that a merge that succeeds always writes a
  // file that decoders accept.
  const uint8_t* frame = nullptr;
  const uint8_t* scan = nullptr;
  bool haveDqt = false;
  bool huffmanDefined[2][4] = {};
  bool jfif = false;
  int adobeTransform = -1;  // of the last Adobe segment, which is the one decoders use
  for (const auto& marker : source.items) {
    const uint8_t code = marker->code;
    const uint8_t* payload = marker->payload;
    // The JFIF and Adobe segments that decoders act on: at least 14 and 12 bytes long.
    if (code == 0xE0 && marker->length >= 14 && std::memcmp(payload, "JFIF", 5) == 0) {
      if (payload[5] != 1) failf(msg::kMergeJfifVersion, payload[5], payload[6]);
      jfif = true;
    } else if (code == 0xEE && marker->length >= 12 && std::memcmp(payload, "Adobe", 5) == 0) {
      adobeTransform = payload[11];
    }
    if (isSofCode(code)) {
      if (frame) fail(msg::kMergeOneSof);
      applyFrameHeader(state, code, marker->payload, marker->length);
      frame = marker->payload;
    } else if (code == kCodeDqt) {
      applyQuantizationTables(state, marker->payload, marker->length);
      haveDqt = true;
    } else if (code == kCodeSos) {
      applyScanHeader(state, marker->payload, marker->length);
      scan = marker->payload;
    } else if (code == kCodeDht) {
      noteHuffmanTables(marker->payload, marker->length, huffmanDefined);
    } else if (!isCopiedAsIs(code)) {
      failf(msg::kMergeUnexpectedSegment, code);
    }
  }
  if (!frame) fail(msg::kMergeMissingSof);
  if (!haveDqt) fail(msg::kMergeMissingDqt);
  if (!scan) fail(msg::kMergeMissingSos);
  checkScanComponents(frame, scan);
  if (frame[5] == 3 && !jfif && adobeTransform != -1 && adobeTransform != 1) {
    failf(msg::kMergeAdobeTransform, adobeTransform);
  }

  // Link every component to its divisor table and to code tables, which exist exactly for the
  // table numbers that the scan uses.
  for (auto& component : state.components) {
    if (!component) continue;
    const uint32_t q = component->quantIndex;
    if (q > 3 || !state.divisorTables[q]) fail(msg::kMergeMissingQuantIndex);
    for (float value : state.quantTables[q]->values) {
      if (value == 0.0f) fail(msg::kMergeInvalidQuantValue);
    }
    component->divisor = state.divisorTables[q].get();
    if (component->dcIndex < 0 || component->dcIndex > 3) fail(msg::kMergeMissingHuffmanIndex);
    auto& dc = state.dcTables[component->dcIndex];
    if (!dc) dc = std::make_unique<HuffmanCodeTable>();
    component->dcTable = dc.get();
    if (component->acIndex > 3) fail(msg::kMergeMissingHuffmanIndex);
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
      fail(msg::kMergeInvalidHuffmanId);
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
                                    const PropertyList& overrides, const Background& background) {
  EncodeState state;
  encodeImage(state, image, source, background);

  SegmentBuffer segments(1024);
  segments.append(0xFF);
  segments.append(0xD8);
  // Every segment of the source up to its first SOS header, in order, each in the form its class
  // gives it in the output (DHT with the new tables, DRI dropped, the rest copied).
  for (const auto& marker : source.items) {
    marker->write(state, image, overrides, background, segments);
  }
  std::vector<uint8_t> file = std::move(segments.bytes());
  file.reserve(file.size() + state.scanData.size() + 2);
  file.insert(file.end(), state.scanData.begin(), state.scanData.end());
  state.scanData = {};
  file.push_back(0xFF);
  file.push_back(0xD9);
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
