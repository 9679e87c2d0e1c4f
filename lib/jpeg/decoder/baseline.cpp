// The baseline pass: one interleaved scan, decoded and reconstructed one MCU at a time.

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "jpeg/decoder/decoder_state.h"
#include "jpeg/decoder/huffman_decode.h"
#include "jpeg/decoder/reconstruct.h"
#include "jpeg/messages.h"
#include "platform/mapped_file.h"
#include "platform/memory.h"
#include "platform/parallel.h"

namespace tessel {

namespace {

struct alignas(16) CoefficientBlock {
  int16_t c[64];
};
struct alignas(16) FloatBlock {
  float f[64];
};

// Binds a Huffman table index of the current scan: 0..3 naming a present table.
const HuffmanLookup* bindHuffman(const std::array<std::shared_ptr<const HuffmanLookup>, 4>& tables,
                                 int32_t index) {
  if (index < 0 || index > 3 || !tables[index]) fail(msg::kMissingHuffmanTable);
  return tables[index].get();
}

// One block of one component, into a block of zeros (reconstruction zeroes each block again
// after use, on its own thread). A run that would carry the position past 63 (only corrupt
// data does) ends the block after its value bits have been read, so nothing is written outside it.
inline void decodeBaselineBlock(BitReader& reader, const HuffmanLookup& dc, const HuffmanLookup& ac,
                                int32_t& predictor, int16_t* block) {
  constexpr uint32_t kShift = 64 - HuffmanLookup::kFastBits;

  // The DC difference: a short code and its value bits in one table access when they are
  // buffered (a category of 16 or more has a run nibble and takes the general path).
  if (reader.count < 32) refill(reader);
  int32_t diff = 0;
  uint32_t fast = dc.fastAc[reader.bits >> kShift];
  if (fast != 0 && (fast & 0xFF) <= reader.count && (fast & 0xF00) == 0) {
    reader.bits <<= fast & 0xFF;
    reader.count -= fast & 0xFF;
    diff = (fast & HuffmanLookup::kEndFlag) ? 0 : static_cast<int16_t>(fast >> 16);
  } else {
    const uint32_t size = decodeSymbol(reader, dc);
    if (size != 0) {
      if (size > 16) fail(msg::kCorruptImageData);  // no DC difference has more than 16 bits
      diff = extend(receiveBits(reader, size), size);
    }
  }
  // The predictor wraps like the 32-bit register it is; only its low 16 bits are stored.
  predictor = static_cast<int32_t>(static_cast<uint32_t>(predictor) + static_cast<uint32_t>(diff));
  block[0] = static_cast<int16_t>(predictor);

  uint32_t k = 1;
  while (k < 64) {
    // A short code and its value bits: one table access does both when they are buffered. A run
    // of sixteen zeros stores a zero at its last position, which changes nothing.
    if (reader.count < HuffmanLookup::kFastBits) refill(reader);
    fast = ac.fastAc[reader.bits >> kShift];
    const uint32_t total = fast & 0xFF;
    if (fast != 0 && total <= reader.count) {
      reader.bits <<= total;
      reader.count -= total;
      if (fast & HuffmanLookup::kEndFlag) break;
      k += (fast >> 8) & 15;
      if (k > 63) break;
      block[kZigzagToNatural[k]] = static_cast<int16_t>(fast >> 16);
      ++k;
      continue;
    }
    const uint32_t symbol = decodeSymbol(reader, ac);
    const uint32_t bitsize = symbol & 15;
    const uint32_t run = symbol >> 4;
    if (bitsize != 0) {
      k += run;
      const int32_t value = extend(receiveBits(reader, bitsize), bitsize);
      if (k > 63) break;
      block[kZigzagToNatural[k]] = static_cast<int16_t>(value);
      ++k;
    } else if (run == 15) {
      k += 16;  // sixteen zeros
    } else {
      break;  // end of block
    }
  }
}

}  // namespace

namespace {

// What reconstructing an MCU needs: its blocks' components, the converter and the image.
struct Reconstruction {
  const DecoderState& state;
  PixelImage& image;
  McuLayout layout;
  McuConverter convert;
  const ComponentTables* tables[6];  // of each block's component

  Reconstruction(const DecoderState& state, PixelImage& image)
      : state(state),
        image(image),
        layout(mcuLayoutOf(state.layout())),
        convert(converterFor(state.samplingMode)) {
    for (uint32_t b = 0; b < layout.blocks; ++b) tables[b] = &state.bound[layout.slot[b]];
  }

  // Decodes one MCU's blocks from `reader` into `blocks`.
  void decodeMcu(BitReader& reader, int32_t* predictors, CoefficientBlock* blocks) const {
    BitReader local = reader;  // kept in registers while the MCU is decoded
    for (uint32_t b = 0; b < layout.blocks; ++b) {
      decodeBaselineBlock(local, *tables[b]->dc, *tables[b]->ac, predictors[layout.slot[b]],
                          blocks[b].c);
    }
    reader = local;
  }

  // Transforms MCU number `mcu` and stores its pixels; leaves its blocks zero for the next.
  void reconstructMcu(uint32_t mcu, CoefficientBlock* blocks) const {
    FloatBlock floats[6];
    for (uint32_t b = 0; b < layout.blocks; ++b) {
      inverseDct(blocks[b].c, floats[b].f, tables[b]->dequantize);
      blocks[b] = CoefficientBlock{};
    }
    placeMcu(state, image, convert, (mcu % state.mcusPerRow) * state.mcuWidth,
             (mcu / state.mcusPerRow) * state.mcuHeight, floats[0].f);
  }
};

// With restart markers each interval decodes on its own: its data starts after the marker that
// ends the one before. Where the single reader would resynchronise (searching from where it
// stopped, which is never past the first marker after the interval's start) is found by the same
// search from the interval's start, so the intervals can be decoded in any order, by any thread.
void decodeIntervals(const Reconstruction& r, const uint8_t* data, uint32_t length) {
  const uint32_t interval = r.state.scan.restartInterval;
  const uint32_t count = (r.state.mcuCount + interval - 1) / interval;
  std::vector<const uint8_t*> starts(count);
  const uint8_t* const end = data + length;
  starts[0] = data;
  for (uint32_t k = 1; k < count; ++k) starts[k] = findRestartMarker(starts[k - 1], end, k - 1);

  // Pieces of a few intervals each, enough of them to share out evenly.
  const uint32_t pieces = std::min(count, 16 * platform::threadCount());
  platform::parallelFor(pieces, [&](size_t piece) {
    CoefficientBlock blocks[6] = {};
    for (uint32_t k = uint32_t(piece * count / pieces); k < (piece + 1) * count / pieces; ++k) {
      BitReader reader;
      reader.position = starts[k];
      reader.end = end;
      int32_t predictors[4] = {0, 0, 0, 0};
      const uint32_t last = std::min(r.state.mcuCount, (k + 1) * interval);
      for (uint32_t mcu = k * interval; mcu < last; ++mcu) {
        r.decodeMcu(reader, predictors, blocks);
        r.reconstructMcu(mcu, blocks);
      }
    }
  });
}

constexpr ptrdiff_t kReleaseStep = ptrdiff_t{1} << 20;

// Without restart markers the data decodes in one sequence: this thread decodes bands of MCUs
// while others transform and store the bands already decoded (and this one helps them when it
// is ahead).
void decodeSequence(const Reconstruction& r, const uint8_t* data, uint32_t length) {
  const uint32_t blocks = r.layout.blocks;
  // Bands of whole MCU rows of about a quarter of a million pixels.
  const uint64_t rowPixels = uint64_t{r.state.mcusPerRow} * r.state.mcuWidth * r.state.mcuHeight;
  const uint32_t bandRows = uint32_t(std::clamp<uint64_t>(262144 / rowPixels, 1, r.state.mcuRows));
  const uint32_t bandMcus = bandRows * r.state.mcusPerRow;
  const unsigned threads = platform::threadCount();
  std::vector<std::vector<CoefficientBlock>> spare;
  std::mutex spareMutex;
  // Declared last: on every way out its threads finish before the bands they use go away.
  platform::TaskGroup workers(threads - 1);

  BitReader reader;
  reader.position = data;
  reader.end = data + length;
  int32_t predictors[4] = {0, 0, 0, 0};
  // Data read up to here: the file's pages behind it are handed back as decoding goes on, so
  // that a large file does not stay in memory beside the image.
  const uint8_t* released = data;
  for (uint32_t first = 0; first < r.state.mcuCount; first += bandMcus) {
    const uint32_t count = std::min(bandMcus, r.state.mcuCount - first);
    std::vector<CoefficientBlock> band;
    {
      std::lock_guard lock(spareMutex);
      if (!spare.empty()) {
        band = std::move(spare.back());
        spare.pop_back();
      }
    }
    band.resize(size_t{bandMcus} * blocks);
    for (uint32_t i = 0; i < count; ++i) r.decodeMcu(reader, predictors, &band[size_t{i} * blocks]);
    if (r.state.input && reader.position - released >= kReleaseStep) {
      r.state.input->releasePages(released, reader.position);
      released = reader.position;
    }
    // No more bands waiting than the workers can take in turn.
    workers.throttle(2 * size_t{threads});
    workers.run([&r, &spare, &spareMutex, first, count, blocks, band = std::move(band)]() mutable {
      for (uint32_t i = 0; i < count; ++i) r.reconstructMcu(first + i, &band[size_t{i} * blocks]);
      std::lock_guard lock(spareMutex);
      spare.push_back(std::move(band));
    });
  }
  // This thread is done decoding: it transforms bands too until none is left.
  workers.throttle(0);
  workers.wait();
}

}  // namespace

void decodeBaseline(DecoderState& state, PixelImage& image, const uint8_t* data, uint32_t length) {
  if (state.keepPixels) {
    image.setPixels(state.width, state.height,
                    platform::allocatePixels(state.width, state.height));
  }
  scaleQuantTables(state);
  for (uint32_t slot = 0; slot < 4; ++slot) {
    if (!state.components[slot]) continue;
    bindQuantTable(state, slot);
    state.bound[slot].dc = bindHuffman(state.scan.dcTables, state.components[slot]->dcIndex);
    state.bound[slot].ac = bindHuffman(state.scan.acTables, state.components[slot]->acIndex);
  }
  const Reconstruction reconstruction(state, image);
  if (state.scan.restartInterval != 0) {
    decodeIntervals(reconstruction, data, length);
  } else {
    decodeSequence(reconstruction, data, length);
  }
}

}  // namespace tessel
