#pragma once

// The four kinds of block of a progressive scan: the first DC scan of a component, a DC
// refinement, the first AC scan of a band and an AC refinement. Each takes the scan's reader by
// reference and is defined here, so that it is inlined into the scan loop chosen for the scan,
// where the reader stays in registers.

#include <algorithm>
#include <cstdint>

#include "core/exception.h"
#include "jpeg/decoder/huffman_decode.h"
#include "jpeg/jpeg_format.h"
#include "jpeg/messages.h"

namespace tessel::progressive {

// The band and bit position of the current scan, and its end-of-band run.
struct Band {
  uint32_t ss = 0, se = 0, al = 0;
  uint32_t eobRun = 0;  // blocks still covered by an end-of-band run
};

inline int32_t receiveExtended(BitReader& reader, uint32_t size) {
  return extend(receiveBits(reader, size), size);
}

inline int16_t shifted(int32_t value, uint32_t al) {
  return static_cast<int16_t>(static_cast<uint32_t>(value) << al);
}

// First DC scan of a component: a Huffman-coded difference, shifted up by Al.
inline void decodeDcFirst(BitReader& reader, int16_t* block, const HuffmanLookup& table,
                          int32_t& predictor, uint32_t al) {
  if (exhausted(reader)) {  // no difference: the block takes the predictor as it is
    block[0] = shifted(predictor, al);
    return;
  }
  const uint32_t size = decodeSymbol(reader, table);
  int32_t diff = 0;
  if (size != 0) {
    if (size > 16) fail(msg::kCorruptImageData);  // no DC difference has more than 16 bits
    diff = receiveExtended(reader, size);
  }
  predictor = static_cast<int32_t>(static_cast<uint32_t>(predictor) + static_cast<uint32_t>(diff));
  block[0] = shifted(predictor, al);
}

// DC refinement: one more bit of the DC coefficient.
inline void decodeDcRefine(BitReader& reader, int16_t* block, uint32_t al) {
  block[0] = static_cast<int16_t>(static_cast<uint16_t>(block[0]) | (receiveBits(reader, 1) << al));
}

// First AC scan of a band: runs of zeros and values, or an end-of-band run over this and the
// following blocks. A run past the end of the band ends the block. Forced inline: called from two
// scan loops, it would otherwise stay a call for every block of the commonest kind of scan.
[[gnu::always_inline]] inline void decodeAcFirst(BitReader& reader, int16_t* block,
                                                 const HuffmanLookup& table, Band& band) {
  if (band.eobRun != 0) {
    --band.eobRun;
    return;
  }
  constexpr uint32_t kShift = 64 - HuffmanLookup::kFastBits;
  for (uint32_t k = band.ss; k <= band.se; ++k) {
    if (reader.count < 32) refill(reader);
    // A short code with its value bits, when buffered, in one table access; a run of sixteen
    // zeros and end-of-band runs take the general path.
    const uint32_t fast = table.fastAc[reader.bits >> kShift];
    const uint32_t total = fast & 0xFF;
    if ((fast >> 16) != 0 && total <= reader.count) {
      reader.bits <<= total;
      reader.count -= total;
      k += (fast >> 8) & 15;
      if (k <= band.se) block[k] = shifted(static_cast<int16_t>(fast >> 16), band.al);
      continue;
    }
    const uint32_t symbol = decodeSymbol(reader, table);
    const uint32_t run = symbol >> 4;
    const uint32_t size = symbol & 15;
    if (size != 0) {
      const int32_t value = receiveExtended(reader, size);
      k += run;
      if (k <= band.se) block[k] = shifted(value, band.al);
    } else if (run < 15) {
      band.eobRun = (1u << run) + (run > 0 ? receiveBits(reader, run) : 0);
      break;
    } else {
      k += 15;  // sixteen zeros, with the loop's step
    }
  }
  if (band.eobRun != 0) --band.eobRun;
}

// Bit k set for each position k of [from, to] (0 <= from <= to <= 63).
inline uint64_t positions(uint32_t from, uint32_t to) {
  return (~uint64_t{0} >> (63 - to)) & (~uint64_t{0} << from);
}

// One correction bit, in position order, for each nonzero coefficient at the positions set in
// `which`: a 1 moves the coefficient one step of `bit` further from zero. Bits missing at the end
// of the data read as 0, as receiveBits gives them one at a time.
inline void refinePositions(BitReader& reader, int16_t* block, uint64_t which, int32_t bit) {
  while (which != 0) {
    if (reader.count < 16) refill(reader);
    // Up to sixteen bits from the top of the buffer, whose bits below `count` are zeros.
    uint64_t window = reader.bits;
    uint32_t used = 0;
    for (; which != 0 && used < 16; ++used) {
      const uint32_t k = static_cast<uint32_t>(__builtin_ctzll(which));
      which &= which - 1;
      // Without a branch: the bits are as good as random.
      const int32_t step = static_cast<int32_t>(window >> 63) * bit;
      window <<= 1;
      block[k] = static_cast<int16_t>(block[k] >= 0 ? block[k] + step : block[k] - step);
    }
    used = std::min(used, reader.count);
    reader.bits <<= used;
    reader.count -= used;
  }
}

// AC refinement: correction bits for the coefficients that are nonzero already, and newly
// nonzero coefficients (value +-1) placed after runs of zero coefficients. The nonzero
// coefficients are found from a mask of the block, so that runs of zeros cost nothing to pass.
// Forced inline as decodeAcFirst: as a call, the reader would go through memory on every access.
[[gnu::always_inline]] inline void decodeAcRefine(BitReader& reader, int16_t* block,
                                                  const HuffmanLookup& table, Band& band) {
  const int32_t bit = int32_t{1} << band.al;
  const uint64_t nonzero = nonzeroPositions(block);
  uint32_t k = band.ss;
  if (band.eobRun == 0) {
    while (k <= band.se) {
      const uint32_t symbol = decodeSymbol(reader, table);
      const uint32_t run = symbol >> 4;
      const uint32_t size = symbol & 15;
      int32_t value = 0;
      if (size != 0) {
        value = receiveExtended(reader, size);
      } else if (run < 15) {
        band.eobRun = (1u << run) + (run > 0 ? receiveBits(reader, run) : 0);
        break;  // the rest of the band is refined below
      }
      // The zero where the run is used up: nonzero coefficients before it take a correction
      // bit; past the end of the band there is none, and the block is done.
      uint64_t zeros = ~nonzero & positions(k, band.se);
      for (uint32_t i = 0; i < run && zeros != 0; ++i) zeros &= zeros - 1;
      if (zeros == 0) {
        refinePositions(reader, block, nonzero & positions(k, band.se), bit);
        return;
      }
      const uint32_t stop = static_cast<uint32_t>(__builtin_ctzll(zeros));
      if (stop > k) refinePositions(reader, block, nonzero & positions(k, stop - 1), bit);
      if (size != 0) block[stop] = shifted(value, band.al);
      k = stop + 1;
    }
  }
  if (band.eobRun != 0) {
    if (k <= band.se) refinePositions(reader, block, nonzero & positions(k, band.se), bit);
    --band.eobRun;
  }
}

}  // namespace tessel::progressive
