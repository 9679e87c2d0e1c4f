// The baseline pass: one interleaved scan, decoded and reconstructed one MCU at a time.

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "jpeg/decoder/baseline_mcu.h"
#include "jpeg/decoder/decoder_state.h"
#include "jpeg/decoder/huffman_decode.h"
#include "jpeg/decoder/reconstruct.h"
#include "jpeg/messages.h"
#include "platform/mapped_file.h"
#include "platform/memory.h"
#include "platform/parallel.h"

namespace tessel {

namespace {

// Binds a Huffman table index of the current scan: 0..3 naming a present table.
const HuffmanLookup* bindHuffman(const std::array<std::shared_ptr<const HuffmanLookup>, 4>& tables,
                                 int32_t index) {
  if (index < 0 || index > 3 || !tables[index]) fail(msg::kMissingHuffmanTable);
  return tables[index].get();
}

}  // namespace

namespace {

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

// Without restart markers the data decodes in one sequence. Most of it is shared out over the
// threads from guessed starts; what is left from `at` on (all of it with one thread), this thread
// decodes in bands of MCUs while others transform and store the bands already decoded (and this
// one helps them when it is ahead).
void decodeSequence(const Reconstruction& r, const uint8_t* data, uint32_t length) {
  SequencePosition at;
  at.reader.position = data;
  at.reader.end = data + length;
  decodeFromGuessedStarts(r, data, length, at);
  if (at.mcu == r.state.mcuCount) return;

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

  BitReader& reader = at.reader;
  int32_t* const predictors = at.predictors;
  // Data read up to here: the file's pages behind it are handed back as decoding goes on, so
  // that a large file does not stay in memory beside the image.
  const uint8_t* released = data;
  for (uint32_t first = at.mcu; first < r.state.mcuCount; first += bandMcus) {
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
    image.setPixels(state.width, state.height, platform::allocatePixels(state.width, state.height));
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
