// The baseline sequence without restart markers, decoded on several threads. The data is cut
// into pieces at byte offsets; the first piece is decoded from the start, every other one from a
// guessed start. Wherever decoding begins, Huffman codes fall into step with the true code
// boundaries within a few codes (Klein and Wiseman, "Parallel Huffman decoding with applications
// to JPEG files", 2003), so a guessed decode soon reads the same bits as the decode from the start.
// That is checked piece by piece, in order: the decode of a piece known to be right runs on past
// the next piece's start, and where it starts an MCU at the very bit where the next piece's decode
// starts one, the two decodes are the same from there on. The decode depends on nothing but the
// bits ahead and the DC predictors, which then differ by one constant per component. A piece
// whose decode never meets the right one is decoded again from the right state. So every MCU is
// decoded from the bits the single decode reads for it, into the same blocks.

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "core/exception.h"
#include "core/jpeg_markers.h"
#include "jpeg/decoder/baseline_mcu.h"
#include "platform/mapped_file.h"
#include "platform/memory.h"
#include "platform/parallel.h"

namespace tessel {

namespace {

// MCU starts a piece records at its beginning, and past the next piece's start.
constexpr uint32_t kWindow = 16;
// MCUs a guessed start is tried on, for each block of an MCU it might fall in.
constexpr uint32_t kProbeMcus = 4;
// Bytes of data per piece: enough pieces to share out, each much longer than the probes.
constexpr size_t kLargestPiece = size_t{64} << 10;
constexpr size_t kSmallestPiece = size_t{16} << 10;
// The blocks one piece may hold (16 MB): a piece of very many small MCUs stops there.
constexpr size_t kPieceBlocks = (size_t{16} << 20) / sizeof(CoefficientBlock);

// The bit of the data at which `reader` reads next, counted from `data`. The buffered bits are
// whole bytes of which the first ones are partly consumed; stepping back over them, a stuffed
// 0xFF 0x00 is one byte. `origin` is where the reader began to load.
uint64_t streamBit(const BitReader& reader, const uint8_t* data, const uint8_t* origin) {
  const uint32_t bytes = (reader.count + 7) / 8;
  const uint8_t* p = reader.position;
  for (uint32_t n = 0; n < bytes; ++n) {
    p -= (p - origin >= 2 && p[-1] == kStuffedZero && p[-2] == kMarkerPrefix) ? 2 : 1;
  }
  return uint64_t(p - data) * 8 + (8 * bytes - reader.count);
}

// The start of an MCU in a piece's decode.
struct Mark {
  uint64_t bit = 0;  // of the data, where the MCU's first code begins
  uint32_t mcu = 0;  // its number within the piece
  BitReader reader;
  int32_t predictors[4] = {0, 0, 0, 0};
};

struct Piece {
  const uint8_t* start = nullptr;  // the byte its decode begins at
  const uint8_t* next = nullptr;   // the byte the next piece begins at; the data's end for the last
  // Its MCUs' blocks, one MCU after another, `used` of them; the blocks after those are zero.
  // Room for kPieceBlocks, lent by the decode for as long as the piece is not reconstructed.
  CoefficientBlock* blocks = nullptr;
  size_t used = 0;
  std::vector<Mark> head;    // its first MCU starts
  std::vector<Mark> tail;    // its MCU starts from the next piece's start on
  Mark stop;                 // the start of the MCU it did not decode
  bool reachedNext = false;  // stopped with its tail recorded (not at an error, the end of the
                             // data or its limit)
  // Set when the piece is checked: its MCUs [first, first + count) are the image's MCUs from
  // `image` on, once `offset` (per slot, modulo 2^32) is added to their DC predictors.
  uint32_t first = 0, count = 0, image = 0;
  uint32_t offset[4] = {0, 0, 0, 0};
};

// Decodes `piece` from `at` (MCU 0 of the piece; its reader began to load at `origin`) until its
// tail is recorded, the data holds no more bits, an MCU fails, or the image or the piece's limit
// is full. An MCU that fails leaves `stop` at its start, for the decode in one sequence to fail
// there in turn.
void decodePiece(const Reconstruction& r, const uint8_t* data, const uint8_t* origin, Piece& piece,
                 Mark at) {
  const uint32_t blocks = r.layout.blocks;
  const uint64_t nextBit = uint64_t(piece.next - data) * 8;
  const size_t limit = std::min<size_t>(kPieceBlocks / blocks, r.state.mcuCount);
  std::fill_n(piece.blocks, piece.used, CoefficientBlock{});  // a piece decoded again
  piece.used = 0;
  piece.head.clear();
  piece.tail.clear();
  piece.reachedNext = false;
  for (at.mcu = 0;; ++at.mcu) {
    const bool inHead = at.mcu < kWindow;
    if (inHead || at.reader.position >= piece.next) {
      at.bit = streamBit(at.reader, data, origin);
      if (inHead) piece.head.push_back(at);
      if (at.bit >= nextBit) {
        piece.tail.push_back(at);
        if (piece.tail.size() == kWindow) {
          piece.reachedNext = true;
          break;
        }
      }
    }
    if (at.mcu == limit || exhausted(at.reader)) break;
    int32_t predictors[4];
    std::copy(at.predictors, at.predictors + 4, predictors);
    const uint8_t* const position = at.reader.position;
    const uint32_t count = at.reader.count;
    try {
      r.decodeMcu(at.reader, at.predictors, piece.blocks + piece.used);
    } catch (const RawLayerException&) {
      std::copy(predictors, predictors + 4, at.predictors);
      std::fill_n(piece.blocks + piece.used, blocks, CoefficientBlock{});
      break;
    }
    piece.used += blocks;
    if (at.reader.position == position && at.reader.count == count) {
      // No bits left but the padding: every further MCU is this one again, which the decode in
      // one sequence gives as fast.
      ++at.mcu;
      break;
    }
  }
  piece.stop = at;
}

// Whether the decode from `at` looks like image data for a few MCUs, the first of them from its
// block `from` on: every code in its table, and (for 8-bit samples) every value within what
// 8-bit samples give. `past` is left at the end of that first MCU.
bool looksLikeImageData(const Reconstruction& r, Mark at, uint32_t from, Mark& past) {
  const bool eightBit = r.state.precision == 8;
  try {
    for (uint32_t m = 0; m <= kProbeMcus; ++m, from = 0) {
      CoefficientBlock blocks[6] = {};
      r.decodeBlocks(at.reader, at.predictors, blocks, from);
      if (m == 0) past = at;
      if (!eightBit) continue;
      for (uint32_t b = from; b < r.layout.blocks; ++b) {
        for (int i = 1; i < 64; ++i) {
          if (std::abs(blocks[b].c[i]) > 1023) return false;
        }
      }
      for (const int32_t predictor : at.predictors) {
        if (std::abs(predictor) > 2047) return false;
      }
    }
  } catch (const RawLayerException&) {
    return false;
  }
  return true;
}

// Where a guessed piece's decode starts: at its first byte, taken as the start of an MCU's block
// `from` for the first `from` whose decode looks like image data, then past the rest of that
// MCU. Block 0 when none does.
Mark guessedStart(const Reconstruction& r, const Piece& piece, const uint8_t* end) {
  Mark at;
  at.reader.position = piece.start;
  at.reader.end = end;
  Mark past;
  for (uint32_t from = 0; from < r.layout.blocks; ++from) {
    if (looksLikeImageData(r, at, from, past)) return past;
  }
  return at;
}

// The first MCU start at which the right decode of `piece` (from its MCU `first` on) and the
// decode of `next` stand at the same bit: true with their indexes in piece.tail and next.head.
bool findMeeting(const Piece& piece, const Piece& next, size_t& t, size_t& h) {
  size_t i = 0, j = 0;
  while (i < piece.tail.size() && j < next.head.size()) {
    if (piece.tail[i].mcu < piece.first || piece.tail[i].bit < next.head[j].bit) {
      ++i;
    } else if (piece.tail[i].bit > next.head[j].bit) {
      ++j;
    } else {
      t = i;
      h = j;
      return true;
    }
  }
  return false;
}

class GuessedDecode {
 public:
  GuessedDecode(const Reconstruction& r, const uint8_t* data, uint32_t length, size_t pieceBytes,
                SequencePosition& at)
      : r_(r), data_(data), end_(data + length), at_(at), released_(data) {
    const size_t count = (length + pieceBytes - 1) / pieceBytes;
    pieces_.resize(count);
    for (size_t k = 0; k < count; ++k) {
      const uint8_t* start = data + k * pieceBytes;
      // Not at the 0x00 of a stuffed pair, nor at a marker's code.
      if (k > 0 && start[-1] == kMarkerPrefix) ++start;
      pieces_[k].start = start;
      if (k > 0) pieces_[k - 1].next = start;
    }
    pieces_.back().next = end_;
  }

  // Decodes, checks and reconstructs every piece: a piece's decode waits for the reconstruction
  // of the piece `ahead` places before it, so that `ahead` pieces' blocks at most are held at
  // once. False, having done nothing, when the room for them cannot be had.
  bool run(size_t ahead) {
    for (size_t i = 0; i < ahead; ++i) {
      rooms_.emplace_back(static_cast<CoefficientBlock*>(
          platform::allocateLargeBlock(kPieceBlocks * sizeof(CoefficientBlock), true)));
      if (!rooms_.back()) return false;
      pool_.push_back(rooms_.back().get());
    }
    enum Kind { kDecode, kCheck, kReconstruct };
    struct Task {
      Kind kind;
      size_t piece;
    };
    const size_t count = pieces_.size();
    std::vector<Task> tasks;
    std::vector<std::vector<platform::Dependency>> after;
    std::vector<size_t> decodeTask(count), checkTask(count), reconstructTask(count);
    const auto add = [&](Kind kind, size_t k, std::vector<platform::Dependency> dependencies) {
      (kind == kDecode  ? decodeTask
       : kind == kCheck ? checkTask
                        : reconstructTask)[k] = tasks.size();
      tasks.push_back({kind, k});
      after.push_back(std::move(dependencies));
    };
    const auto check = [&](size_t k) {
      std::vector<platform::Dependency> on = {{decodeTask[k]}};
      if (k + 1 < count) on.push_back({decodeTask[k + 1]});
      if (k > 0) on.push_back({checkTask[k - 1]});
      add(kCheck, k, std::move(on));
      add(kReconstruct, k, {{checkTask[k]}});
    };
    add(kDecode, 0, {});
    for (size_t k = 1; k < count; ++k) {
      std::vector<platform::Dependency> on;
      if (k >= ahead) on.push_back({reconstructTask[k - ahead]});
      add(kDecode, k, std::move(on));
      check(k - 1);
    }
    check(count - 1);
    platform::parallelForAfter(after, [&](size_t i) {
      const Task task = tasks[i];
      if (task.kind == kDecode) {
        decode(task.piece);
      } else if (task.kind == kCheck) {
        if (!stopped_.load(std::memory_order_relaxed)) checkPiece(task.piece);
      } else {
        reconstruct(task.piece);
      }
    });
    return true;
  }

 private:
  void decode(size_t k) {
    if (stopped_.load(std::memory_order_relaxed)) return;
    Piece& piece = pieces_[k];
    {
      std::lock_guard lock(poolMutex_);
      piece.blocks = pool_.back();  // there is one for every piece that may be in hand
      pool_.pop_back();
    }
    if (k == 0) {
      Mark at;
      at.reader = at_.reader;
      decodePiece(r_, data_, data_, piece, at);
    } else {
      decodePiece(r_, data_, piece.start, piece, guessedStart(r_, piece, end_));
    }
  }

  // Runs in piece order, once the piece's first right MCU is known: finds where its right decode
  // meets the next piece's, or decodes the next piece again from the right state, or ends the
  // guessed decode where the piece stopped.
  void checkPiece(size_t k) {
    Piece& piece = pieces_[k];
    if (r_.state.input && piece.start - released_ >= kReleaseStep) {
      r_.state.input->releasePages(released_, piece.start);
      released_ = piece.start;
    }
    if (k + 1 < pieces_.size() && piece.reachedNext && piece.tail.back().mcu >= piece.first) {
      Piece& next = pieces_[k + 1];
      size_t t = 0, h = 0;
      const bool met = findMeeting(piece, next, t, h);
      if (!endPiece(piece, met ? piece.tail[t] : piece.tail.back())) return;
      if (met) {
        next.first = next.head[h].mcu;
        for (int s = 0; s < 4; ++s) {
          next.offset[s] = uint32_t(at_.predictors[s]) - uint32_t(next.head[h].predictors[s]);
        }
      } else {
        Mark from;
        from.reader = at_.reader;
        std::copy(at_.predictors, at_.predictors + 4, from.predictors);
        decodePiece(r_, data_, data_, next, from);
        next.first = 0;
        std::fill(next.offset, next.offset + 4, 0u);
      }
      next.image = at_.mcu;
      return;
    }
    endPiece(piece, piece.stop);
    stopped_ = true;
  }

  // Takes the piece's right MCUs up to `end` (at most the image's last) and moves the sequence's
  // position past them; false when the image is then complete.
  bool endPiece(Piece& piece, const Mark& end) {
    piece.count =
        uint32_t(std::min<uint64_t>(end.mcu - piece.first, r_.state.mcuCount - piece.image));
    at_.reader = end.reader;
    for (int s = 0; s < 4; ++s) {
      at_.predictors[s] = int32_t(uint32_t(end.predictors[s]) + piece.offset[s]);
    }
    at_.mcu = piece.image + piece.count;
    if (at_.mcu < r_.state.mcuCount) return true;
    stopped_ = true;
    return false;
  }

  // Reconstructs the piece's right MCUs (which leaves their blocks zero), clears the others and
  // hands its blocks on to a later piece.
  void reconstruct(size_t k) {
    Piece& piece = pieces_[k];
    if (!piece.blocks) return;  // never decoded
    const uint32_t blocks = r_.layout.blocks;
    const bool offset = std::any_of(piece.offset, piece.offset + 4, [](uint32_t o) { return o; });
    CoefficientBlock* const all = piece.blocks;
    for (uint32_t i = 0; i < piece.count; ++i) {
      CoefficientBlock* mcu = all + size_t{piece.first + i} * blocks;
      if (offset) {
        for (uint32_t b = 0; b < blocks; ++b) {
          const uint32_t dc = uint16_t(mcu[b].c[0]) + piece.offset[r_.layout.slot[b]];
          mcu[b].c[0] = int16_t(uint16_t(dc));
        }
      }
      r_.reconstructMcu(piece.image + i, mcu);
    }
    const size_t done = size_t{piece.first + piece.count} * blocks;
    std::fill(all, all + std::min(size_t{piece.first} * blocks, piece.used), CoefficientBlock{});
    if (piece.used > done) std::fill(all + done, all + piece.used, CoefficientBlock{});
    piece.used = 0;
    std::lock_guard lock(poolMutex_);
    pool_.push_back(all);
    piece.blocks = nullptr;
  }

  const Reconstruction& r_;
  const uint8_t* const data_;
  const uint8_t* const end_;
  SequencePosition& at_;
  std::vector<Piece> pieces_;
  const uint8_t* released_;
  std::atomic<bool> stopped_{false};
  struct Free {
    void operator()(CoefficientBlock* block) const { std::free(block); }
  };
  std::vector<std::unique_ptr<CoefficientBlock, Free>> rooms_;
  std::mutex poolMutex_;
  std::vector<CoefficientBlock*> pool_;  // rooms not lent, all zero
};

}  // namespace

void decodeFromGuessedStarts(const Reconstruction& r, const uint8_t* data, uint32_t length,
                             SequencePosition& at) {
  const unsigned threads = platform::threadCount();
  if (threads < 2 || length < 2 * kSmallestPiece || r.state.mcuCount < 4 * kWindow) return;
  const size_t pieceBytes =
      std::clamp<size_t>(length / (4 * threads), kSmallestPiece, kLargestPiece);
  GuessedDecode decode(r, data, length, pieceBytes, at);
  decode.run(2 * threads + 2);
}

}  // namespace tessel
