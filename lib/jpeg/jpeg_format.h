#pragma once

// The facts of the JPEG format that the segment reader, the marker classes, the decoder and the
// merge writer share: coding processes, the zig-zag order, component slots, and the sampling
// layouts with the MCU geometry each of them gives a frame. Marker codes and the byte rules of
// streams are in core/jpeg_markers.h.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/jpeg_markers.h"
#include "jpeg/segment_headers.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessel {

// The coding process of a frame marker code, as listings name it ("Baseline DCT Huffman") and as
// an image's coding description does ("Baseline"); "???" for a code that names none.
const char* processListingName(uint8_t code);
const char* processDescriptionName(uint8_t code);

// Zig-zag position k (0..63) to natural (row-major) index.
inline constexpr std::array<uint8_t, 64> kZigzagToNatural = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The sampling layouts handled: three components whose first (luma) has the factors h x v and the
// other two 1 x 1, or one grey component. The numbers are stable.
enum class SamplingMode : uint8_t {
  kLuma1x1 = 1,  // 4:4:4
  kLuma2x1 = 2,  // 4:2:2, luma h = 2, v = 1
  kLuma1x2 = 3,  // 4:4:0, luma h = 1, v = 2
  kLuma2x2 = 4,  // 4:2:0
  kGrey = 5,
};

// The sampling factors of the component in one of the four slots (absent when not `present`).
struct SlotSampling {
  bool present = false;
  uint32_t h = 1;
  uint32_t v = 1;
};
using SlotLayout = std::array<SlotSampling, 4>;

// Which of the four component slots each component of a frame occupies. Frame and scan headers
// name components by identifier C: the slot is C itself when C < 4, otherwise the component's
// 1-based position in the header; a slot of 4 or more is not used. A frame of one or three
// components with distinct identifiers among which is 0 (0, 1, 2 as some cameras and editors
// write them) has its components in the slots of their positions instead, so that they are
// luminance, Cb and Cr in the order of the frame header, and its scans name them through it.
class ComponentSlots {
 public:
  ComponentSlots() = default;
  explicit ComponentSlots(std::span<const FrameComponent> frame);

  // The slot of the frame component at `position` (from 0).
  uint32_t frameSlot(size_t position) const;
  // The slot of the scan component `id` at `position` (from 0) in its scan header; 4 or more for
  // an identifier that a frame placed by position does not have.
  uint32_t scanSlot(uint8_t id, size_t position) const;
  bool byPosition() const { return byPosition_; }

 private:
  bool byPosition_ = false;
  std::vector<uint8_t> ids_;  // the frame's identifiers, in header order
};

// A frame's MCU geometry for its sampling layout.
struct FrameGeometry {
  SamplingMode samplingMode = SamplingMode::kGrey;
  uint32_t mcuWidth = 0, mcuHeight = 0;  // pixels: 8 or 16
  uint32_t blocksPerMcu = 0;             // 1, 3, 4 or 6
  uint32_t mcusPerRow = 0, mcuRows = 0;  // ceil(width / mcuWidth), ceil(height / mcuHeight)
  uint32_t mcuCount = 0;
};

// The mode of a slot layout: slot 0 empty and slot 1 present; slots 2 and 3 both present and 1 x 1
// with slot 1 1 x 1, 2 x 1, 1 x 2 or 2 x 2, or both absent with slot 1 1 x 1 (grey). Throws
// "Unsupported sampling (", " comp %d: %d x %d" for each present slot, " )" for any other layout.
// Then the MCU geometry of a width x height frame.
FrameGeometry planFrame(const SlotLayout& slots, uint32_t width, uint32_t height);

// The name of a mode in a coding description: the luma blocks of an MCU as rows x columns, so
// that 4:2:2 is "1x2"; "gray" for one component.
const char* samplingName(SamplingMode mode);

// Which slot each block of an MCU belongs to: the present slots in order, each with h x v blocks
// in row-major order.
struct McuLayout {
  uint32_t blocks = 0;
  std::array<uint8_t, 6> slot{};    // per block of the MCU
  std::array<uint8_t, 4> offset{};  // first block of each slot within the MCU
  std::array<bool, 4> present{};    // the slot has blocks in the MCU
};
// For a layout that planFrame accepted.
McuLayout mcuLayoutOf(const SlotLayout& slots);

// Bit k set where block[k] (64 coefficients) is not zero.
inline uint64_t nonzeroPositions(const int16_t* block) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  uint64_t mask = 0;
  for (int i = 0; i < 64; i += 16) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + i));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + i + 8));
    const __m128i zeros = _mm_packs_epi16(_mm_cmpeq_epi16(low, zero), _mm_cmpeq_epi16(high, zero));
    mask |= uint64_t{~static_cast<uint32_t>(_mm_movemask_epi8(zeros)) & 0xFFFFu} << i;
  }
  return mask;
#else
  uint64_t mask = 0;
  for (int k = 0; k < 64; ++k) mask |= uint64_t{block[k] != 0} << k;
  return mask;
#endif
}

}  // namespace tessel
