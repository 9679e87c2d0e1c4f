#include "core/jpeg_markers.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/byte_order.h"

namespace tessel {

namespace {

// The first 0xFF in [p, end - 1), or null: a last byte 0xFF has no code after it.
const uint8_t* nextPrefix(const uint8_t* p, const uint8_t* end) {
  if (end - p < 2) return nullptr;
  return static_cast<const uint8_t*>(
      std::memchr(p, kMarkerPrefix, static_cast<size_t>(end - p - 1)));
}

#if defined(__SSE2__)
// Bit i set where block[i] is 0xFF and block[i + 1] is not 0x00: a marker, a fill byte or a
// restart marker starts there. Reads 17 bytes.
inline uint32_t markerBits(const uint8_t* block) {
  const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
  const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 1));
  const uint32_t prefixes =
      static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, _mm_set1_epi8(-1))));
  const uint32_t stuffed =
      static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(next, _mm_setzero_si128())));
  return prefixes & ~stuffed;
}
#endif

// The first 0xFF in [p, end - 1) that is not followed by 0x00, or null. Entropy-coded data holds
// a stuffed 0xFF 0x00 every few hundred bytes and a marker seldom; passing over the stuffed
// pairs here, 64 bytes at a time, keeps the walk at the speed of memory.
const uint8_t* nextUnstuffedPrefix(const uint8_t* p, const uint8_t* end) {
#if defined(__SSE2__)
  const __m128i prefix = _mm_set1_epi8(-1);
  while (end - p > 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    const __m128i any =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(a, prefix), _mm_cmpeq_epi8(b, prefix)),
                     _mm_or_si128(_mm_cmpeq_epi8(c, prefix), _mm_cmpeq_epi8(d, prefix)));
    if (_mm_movemask_epi8(any) != 0) {
      const uint64_t bits = uint64_t{markerBits(p)} | uint64_t{markerBits(p + 16)} << 16 |
                            uint64_t{markerBits(p + 32)} << 32 | uint64_t{markerBits(p + 48)} << 48;
      if (bits != 0) return p + std::countr_zero(bits);
    }
    p += 64;
  }
#endif
  while ((p = nextPrefix(p, end))) {
    if (p[1] != kStuffedZero) return p;
    p += 2;
  }
  return nullptr;
}

}  // namespace

const uint8_t* nextSegmentMarker(const uint8_t* p, const uint8_t* end) {
  while ((p = nextUnstuffedPrefix(p, end))) {
    if (!isRestartCode(p[1])) return p;
    p += 2;
  }
  return end;
}

const uint8_t* skipMarkerPadding(const uint8_t* p, const uint8_t* end) {
  while (p < end) {
    if (p[0] == kMarkerPrefix && end - p >= 2 && p[1] == kStuffedZero) {
      p += 2;
    } else if (p[0] == 0x00) {
      ++p;
    } else {
      break;
    }
  }
  return p;
}

const uint8_t* findImageEnd(const uint8_t* p, const uint8_t* end) {
  while ((p = nextUnstuffedPrefix(p, end))) {
    const uint8_t code = p[1];
    if (code == kCodeEoi) return p;
    if (code == kMarkerPrefix) {
      p += 1;  // a fill byte; the next 0xFF may start the marker
    } else if (code < 0xC0 || isStandaloneCode(code)) {
      p += 2;
    } else {
      if (end - p < 4) return nullptr;
      const uint32_t field = readBigEndian16(p + 2);
      if (field < 2 || field > static_cast<uint64_t>(end - p - 2)) return nullptr;
      p += 2 + field;
    }
  }
  return nullptr;
}

bool readSegmentAt(const uint8_t* data, size_t size, size_t at, SegmentAt& segment) {
  while (at + 4 <= size && data[at] == kMarkerPrefix && data[at + 1] == kMarkerPrefix) ++at;
  if (at + 4 > size || data[at] != kMarkerPrefix) return false;
  segment.code = data[at + 1];
  segment.marker = at;
  segment.field = readBigEndian16(data + at + 2);
  return true;
}

}  // namespace tessel
