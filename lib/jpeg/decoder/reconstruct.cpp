#include "jpeg/decoder/reconstruct.h"

#include <algorithm>
#include <cstring>

#include "core/pixel_image.h"
#include "jpeg/decoder/decoder_state.h"
#include "jpeg/decoder/reconstruct_kernels.h"
#include "platform/cpu.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessel {

const std::array<float, 64> kIdctScale = {
    0.125f,     0.17338f,   0.1633204f, 0.1469844f, 0.125f,     0.0982119f, 0.0676495f, 0.0344874f,
    0.17338f,   0.2404849f, 0.2265319f, 0.2038733f, 0.17338f,   0.1362238f, 0.0938326f, 0.0478354f,
    0.1633204f, 0.2265319f, 0.2133884f, 0.1920444f, 0.1633204f, 0.12832f,   0.0883883f, 0.04506f,
    0.1469844f, 0.2038733f, 0.1920444f, 0.1728354f, 0.1469844f, 0.1154849f, 0.0795474f, 0.0405529f,
    0.125f,     0.17338f,   0.1633204f, 0.1469844f, 0.125f,     0.0982119f, 0.0676495f, 0.0344874f,
    0.0982119f, 0.1362238f, 0.12832f,   0.1154849f, 0.0982119f, 0.0771646f, 0.0531519f, 0.0270966f,
    0.0676495f, 0.0938326f, 0.0883883f, 0.0795474f, 0.0676495f, 0.0531519f, 0.0366117f, 0.0186645f,
    0.0344874f, 0.0478354f, 0.04506f,   0.0405529f, 0.0344874f, 0.0270966f, 0.0186645f, 0.0095151f,
};

namespace narrow {

#if defined(__SSE2__)

void inverseDct(const int16_t* coefficients, float* out, const float* dequantize) {
  const float* q = dequantize;

  __m128i rows[8];
  for (int r = 0; r < 8; ++r) {
    rows[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + 8 * r));
  }
  // Every coefficient but the DC one, ORed together.
  __m128i any = _mm_and_si128(rows[0], _mm_set_epi16(-1, -1, -1, -1, -1, -1, -1, 0));
  for (int r = 1; r < 8; ++r) any = _mm_or_si128(any, rows[r]);
  if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) == 0xFFFF) {
    // Only the DC coefficient is set: every column but the first is zero, and the row pass of
    // (d, 0, ..., 0) gives d in every position.
    const __m128 d = _mm_set1_ps(static_cast<float>(coefficients[0]) * q[0]);
    for (int i = 0; i < 64; i += 4) _mm_storeu_ps(out + i, d);
    return;
  }

  // Column pass: lanes are columns 0-3 (lo) and 4-7 (hi); x[r] is row r times its table row.
  // A column whose rows 1..7 are zero yields x[0]q[0] in every row from the butterfly as well.
  __m128 lo[8], hi[8];
  for (int r = 0; r < 8; ++r) {
    const __m128i sign = _mm_srai_epi16(rows[r], 15);
    const __m128 vlo = _mm_cvtepi32_ps(_mm_unpacklo_epi16(rows[r], sign));
    const __m128 vhi = _mm_cvtepi32_ps(_mm_unpackhi_epi16(rows[r], sign));
    lo[r] = _mm_mul_ps(vlo, _mm_load_ps(q + 8 * r));
    hi[r] = _mm_mul_ps(vhi, _mm_load_ps(q + 8 * r + 4));
  }
  __m128 wlo[8], whi[8];
  butterfly(lo, wlo);
  butterfly(hi, whi);

  // Row pass: transpose so that lanes are rows, transform, transpose back.
  for (int half = 0; half < 2; ++half) {
    __m128 x[8];
    for (int k = 0; k < 4; ++k) {
      x[k] = wlo[4 * half + k];
      x[4 + k] = whi[4 * half + k];
    }
    _MM_TRANSPOSE4_PS(x[0], x[1], x[2], x[3]);
    _MM_TRANSPOSE4_PS(x[4], x[5], x[6], x[7]);
    __m128 y[8];
    butterfly(x, y);
    _MM_TRANSPOSE4_PS(y[0], y[1], y[2], y[3]);
    _MM_TRANSPOSE4_PS(y[4], y[5], y[6], y[7]);
    float* o = out + 32 * half;
    for (int k = 0; k < 4; ++k) {
      _mm_storeu_ps(o + 8 * k, y[k]);
      _mm_storeu_ps(o + 8 * k + 4, y[4 + k]);
    }
  }
}

namespace {

// Truncates toward zero, clamps to 0..65535 and packs eight values to unsigned 16-bit: the
// conversion truncates, and the signed saturation of the pack, with a bias of 32768, clamps.
// Values below -65536 are raised to it first, so that the conversion cannot overflow downwards;
// one at or above 2^31 converts to 0x80000000, which the bias turns into a large positive
// number, so it clamps to 65535 as it should.
inline __m128i toSamples(__m128 a, __m128 b) {
  const __m128 floor = _mm_set1_ps(-65536.0f);
  const __m128i bias = _mm_set1_epi32(32768);
  const __m128i ia = _mm_sub_epi32(_mm_cvttps_epi32(_mm_max_ps(a, floor)), bias);
  const __m128i ib = _mm_sub_epi32(_mm_cvttps_epi32(_mm_max_ps(b, floor)), bias);
  return _mm_xor_si128(_mm_packs_epi32(ia, ib), _mm_set1_epi16(-32768));
}

inline void storeRgba8(uint16_t* out, __m128i r, __m128i g, __m128i b) {
  const __m128i a = _mm_set1_epi16(-1);
  const __m128i rgLo = _mm_unpacklo_epi16(r, g);
  const __m128i rgHi = _mm_unpackhi_epi16(r, g);
  const __m128i baLo = _mm_unpacklo_epi16(b, a);
  const __m128i baHi = _mm_unpackhi_epi16(b, a);
  __m128i* o = reinterpret_cast<__m128i*>(out);
  _mm_storeu_si128(o + 0, _mm_unpacklo_epi32(rgLo, baLo));
  _mm_storeu_si128(o + 1, _mm_unpackhi_epi32(rgLo, baLo));
  _mm_storeu_si128(o + 2, _mm_unpacklo_epi32(rgHi, baHi));
  _mm_storeu_si128(o + 3, _mm_unpackhi_epi32(rgHi, baHi));
}

// Chroma terms of four chroma samples.
struct Chroma4 {
  __m128 r, gb, gr, b;
};
inline Chroma4 chromaTerms(const float* cb, const float* cr) {
  const __m128 vb = _mm_loadu_ps(cb);
  const __m128 vr = _mm_loadu_ps(cr);
  return {_mm_mul_ps(vr, _mm_set1_ps(kCrToR)), _mm_mul_ps(vb, _mm_set1_ps(kCbToG)),
          _mm_mul_ps(vr, _mm_set1_ps(kCrToG)), _mm_mul_ps(vb, _mm_set1_ps(kCbToB))};
}

// The 128-bit kernels of the colour converters (see McuConverters).
struct Sse2 {
  // The chroma terms of eight pixels, lanes 0-3 and 4-7.
  struct Chroma8 {
    __m128 r[2];   // Cr x 362.2283
    __m128 gb[2];  // Cb x 87.57424
    __m128 gr[2];  // Cr x 183.4464
    __m128 b[2];   // Cb x 457.3386
  };

  // Eight pixels from eight luma values and their chroma terms.
  static void colourPixels8(const float* luma, const Chroma8& c, uint16_t* out) {
    const __m128 scale = _mm_set1_ps(kLumaScale);
    const __m128 offset = _mm_set1_ps(kOffset);
    __m128 r[2], g[2], b[2];
    for (int i = 0; i < 2; ++i) {
      const __m128 y = _mm_mul_ps(_mm_loadu_ps(luma + 4 * i), scale);
      r[i] = _mm_add_ps(_mm_add_ps(c.r[i], y), offset);
      g[i] = _mm_add_ps(_mm_sub_ps(_mm_sub_ps(y, c.gb[i]), c.gr[i]), offset);
      b[i] = _mm_add_ps(_mm_add_ps(c.b[i], y), offset);
    }
    storeRgba8(out, toSamples(r[0], r[1]), toSamples(g[0], g[1]), toSamples(b[0], b[1]));
  }

  // Eight chroma samples at full resolution.
  static Chroma8 chromaFull(const float* cb, const float* cr) {
    const Chroma4 a = chromaTerms(cb, cr);
    const Chroma4 b = chromaTerms(cb + 4, cr + 4);
    return {{a.r, b.r}, {a.gb, b.gb}, {a.gr, b.gr}, {a.b, b.b}};
  }

  // Four chroma samples, each serving two neighbouring pixels.
  static Chroma8 chromaDoubled(const float* cb, const float* cr) {
    const Chroma4 a = chromaTerms(cb, cr);
    return {{_mm_unpacklo_ps(a.r, a.r), _mm_unpackhi_ps(a.r, a.r)},
            {_mm_unpacklo_ps(a.gb, a.gb), _mm_unpackhi_ps(a.gb, a.gb)},
            {_mm_unpacklo_ps(a.gr, a.gr), _mm_unpackhi_ps(a.gr, a.gr)},
            {_mm_unpacklo_ps(a.b, a.b), _mm_unpackhi_ps(a.b, a.b)}};
  }

  static void grey(const float* blocks, uint16_t* out, size_t stride) {
    const __m128 scale = _mm_set1_ps(kLumaScale);
    const __m128 offset = _mm_set1_ps(kOffset);
    for (int r = 0; r < 8; ++r) {
      const __m128 a = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(blocks + 8 * r), scale), offset);
      const __m128 b = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(blocks + 8 * r + 4), scale), offset);
      const __m128i v = toSamples(a, b);
      storeRgba8(out + 4 * stride * r, v, v, v);
    }
  }
};

}  // namespace

#else  // portable scalar forms of the same arithmetic

void inverseDct(const int16_t* coefficients, float* out, const float* dequantize) {
  const float* q = dequantize;
  float workspace[64];
  for (int c = 0; c < 8; ++c) {
    bool acZero = true;
    for (int r = 1; r < 8; ++r) acZero = acZero && coefficients[8 * r + c] == 0;
    if (acZero) {
      const float dc = static_cast<float>(coefficients[c]) * q[c];
      for (int r = 0; r < 8; ++r) workspace[8 * r + c] = dc;
      continue;
    }
    float x[8], y[8];
    for (int r = 0; r < 8; ++r) x[r] = static_cast<float>(coefficients[8 * r + c]) * q[8 * r + c];
    butterfly(x, y);
    for (int r = 0; r < 8; ++r) workspace[8 * r + c] = y[r];
  }
  for (int r = 0; r < 8; ++r) butterfly(workspace + 8 * r, out + 8 * r);
}

namespace {

inline uint16_t toSample(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 65535.0f) return 65535;
  return static_cast<uint16_t>(static_cast<int32_t>(v));
}

inline void colourPixel(float luma, float cb, float cr, uint16_t* out) {
  const float y = luma * kLumaScale;
  out[0] = toSample((cr * kCrToR + y) + kOffset);
  out[1] = toSample(((y - cb * kCbToG) - cr * kCrToG) + kOffset);
  out[2] = toSample((cb * kCbToB + y) + kOffset);
  out[3] = 65535;
}

// Converts an MCU of `lumaCols` x `lumaRows` blocks with 1x1 chroma blocks after them.
void convertMcu(const float* blocks, uint16_t* out, size_t stride, int lumaCols, int lumaRows) {
  const float* cb = blocks + 64 * lumaCols * lumaRows;
  const float* cr = cb + 64;
  for (int r = 0; r < 8 * lumaRows; ++r) {
    for (int c = 0; c < 8 * lumaCols; ++c) {
      const float luma = blocks[64 * ((r >> 3) * lumaCols + (c >> 3)) + 8 * (r & 7) + (c & 7)];
      const int chroma = 8 * (r / lumaRows) + c / lumaCols;
      colourPixel(luma, cb[chroma], cr[chroma], out + 4 * (stride * r + c));
    }
  }
}

}  // namespace

void convertMcuLuma1x1(const float* blocks, uint16_t* out, size_t stride) {
  convertMcu(blocks, out, stride, 1, 1);
}
void convertMcuLuma2x1(const float* blocks, uint16_t* out, size_t stride) {
  convertMcu(blocks, out, stride, 2, 1);
}
void convertMcuLuma1x2(const float* blocks, uint16_t* out, size_t stride) {
  convertMcu(blocks, out, stride, 1, 2);
}
void convertMcuLuma2x2(const float* blocks, uint16_t* out, size_t stride) {
  convertMcu(blocks, out, stride, 2, 2);
}
void convertMcuGrey(const float* blocks, uint16_t* out, size_t stride) {
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      const uint16_t v = toSample(blocks[8 * r + c] * kLumaScale + kOffset);
      uint16_t* p = out + 4 * (stride * r + c);
      p[0] = p[1] = p[2] = v;
      p[3] = 65535;
    }
  }
}

#endif

McuConverter converterFor(SamplingMode mode) {
#if defined(__SSE2__)
  return McuConverters<Sse2>::forMode(mode);
#else
  switch (mode) {
    case SamplingMode::kLuma1x1:
      return convertMcuLuma1x1;
    case SamplingMode::kLuma2x1:
      return convertMcuLuma2x1;
    case SamplingMode::kLuma1x2:
      return convertMcuLuma1x2;
    case SamplingMode::kLuma2x2:
      return convertMcuLuma2x2;
    case SamplingMode::kGrey:
      break;
  }
  return convertMcuGrey;
#endif
}

}  // namespace narrow

namespace {

#if TESSEL_WIDE_KERNELS
const bool kWide = platform::hasAvx2();
#endif

}  // namespace

void inverseDct(const int16_t* coefficients, float* out, const float* dequantize) {
#if TESSEL_WIDE_KERNELS
  if (kWide) return wide::inverseDct(coefficients, out, dequantize);
#endif
  narrow::inverseDct(coefficients, out, dequantize);
}

McuConverter converterFor(SamplingMode mode) {
#if TESSEL_WIDE_KERNELS
  if (kWide) return wide::converterFor(mode);
#endif
  return narrow::converterFor(mode);
}

void placeMcu(const DecoderState& state, PixelImage& image, McuConverter convert, uint32_t x,
              uint32_t y, const float* blocks) {
  const size_t width = state.width;
  uint16_t* const pixels = image.pixels.get();
  if (state.keepPixels && x + state.mcuWidth <= state.width && y + state.mcuHeight <= state.height) {
    convert(blocks, pixels + 4 * (y * width + x), width);
    return;
  }
  // An edge MCU, or every MCU of a decode whose pixels are dropped: convert into a scratch MCU,
  // then copy what lies inside the image, if it is kept.
  alignas(16) uint16_t scratch[16 * 32 * 4];
  convert(blocks, scratch, 32);
  if (!state.keepPixels) return;
  const size_t columns = std::min<size_t>(state.mcuWidth, state.width - x);
  for (uint32_t r = 0; r < state.mcuHeight && y + r < state.height; ++r) {
    std::memcpy(pixels + 4 * ((y + r) * width + x), scratch + 4 * 32 * r,
                columns * 4 * sizeof(uint16_t));
  }
}

}  // namespace tessel
