// The reconstruction kernels with 256-bit AVX2 vectors: the inverse DCT takes all eight columns
// (then rows) of a block in one vector, the colour converters eight pixels. Every element goes
// through the operations of the 128-bit kernels in their order, so the bits are the same.

#include "jpeg/decoder/reconstruct.h"

#if TESSEL_WIDE_KERNELS

#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "jpeg/decoder/reconstruct_kernels.h"

namespace tessel::wide {

namespace {

// Rows of an 8x8 matrix in, its columns out (as rows).
inline void transpose8(__m256* m) {
  const __m256 t0 = _mm256_unpacklo_ps(m[0], m[1]);
  const __m256 t1 = _mm256_unpackhi_ps(m[0], m[1]);
  const __m256 t2 = _mm256_unpacklo_ps(m[2], m[3]);
  const __m256 t3 = _mm256_unpackhi_ps(m[2], m[3]);
  const __m256 t4 = _mm256_unpacklo_ps(m[4], m[5]);
  const __m256 t5 = _mm256_unpackhi_ps(m[4], m[5]);
  const __m256 t6 = _mm256_unpacklo_ps(m[6], m[7]);
  const __m256 t7 = _mm256_unpackhi_ps(m[6], m[7]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44);
  const __m256 u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44);
  const __m256 u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44);
  const __m256 u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44);
  const __m256 u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  m[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
  m[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
  m[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
  m[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
  m[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
  m[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
  m[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
  m[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// Truncates toward zero and takes off the bias of 32768, as the 128-bit kernels do: values below
// -65536 are raised to it first; the signed saturation of the pack that follows clamps.
inline __m256i biasedSamples(__m256 v) {
  return _mm256_sub_epi32(_mm256_cvttps_epi32(_mm256_max_ps(v, _mm256_set1_ps(-65536.0f))),
                          _mm256_set1_epi32(32768));
}

// Eight RGBA pixels from the biased samples of their channels. The packs clamp to -32768..32767
// and the XOR takes the bias back off, which clamps to 0..65535; alpha is packed from 32767, so
// that it comes out as 65535. The packs and unpacks work within each 128-bit lane, which holds
// pixels 0-3 and 4-7 respectively; the last step puts the lanes' halves in pixel order.
inline void storeRgba8(uint16_t* out, __m256i r, __m256i g, __m256i b) {
  const __m256i flip = _mm256_set1_epi16(-32768);
  const __m256i rb = _mm256_xor_si256(_mm256_packs_epi32(r, b), flip);
  const __m256i ga = _mm256_xor_si256(_mm256_packs_epi32(g, _mm256_set1_epi32(32767)), flip);
  const __m256i rg = _mm256_unpacklo_epi16(rb, ga);  // r0 g0 .. r3 g3 | r4 g4 .. r7 g7
  const __m256i ba = _mm256_unpackhi_epi16(rb, ga);  // b0 a .. b3 a | b4 a .. b7 a
  const __m256i p0145 = _mm256_unpacklo_epi32(rg, ba);
  const __m256i p2367 = _mm256_unpackhi_epi32(rg, ba);
  __m256i* o = reinterpret_cast<__m256i*>(out);
  _mm256_storeu_si256(o, _mm256_permute2x128_si256(p0145, p2367, 0x20));
  _mm256_storeu_si256(o + 1, _mm256_permute2x128_si256(p0145, p2367, 0x31));
}

// The 256-bit kernels of the colour converters (see McuConverters).
struct Avx2 {
  // The chroma terms of eight pixels.
  struct Chroma8 {
    __m256 r;   // Cr x 362.2283
    __m256 gb;  // Cb x 87.57424
    __m256 gr;  // Cr x 183.4464
    __m256 b;   // Cb x 457.3386
  };

  static Chroma8 chromaTerms(__m256 cb, __m256 cr) {
    return {_mm256_mul_ps(cr, _mm256_set1_ps(kCrToR)), _mm256_mul_ps(cb, _mm256_set1_ps(kCbToG)),
            _mm256_mul_ps(cr, _mm256_set1_ps(kCrToG)), _mm256_mul_ps(cb, _mm256_set1_ps(kCbToB))};
  }

  // Eight chroma samples at full resolution.
  static Chroma8 chromaFull(const float* cb, const float* cr) {
    return chromaTerms(_mm256_loadu_ps(cb), _mm256_loadu_ps(cr));
  }

  // Four chroma samples, each serving two neighbouring pixels.
  static Chroma8 chromaDoubled(const float* cb, const float* cr) {
    const __m256i twice = _mm256_set_epi32(3, 3, 2, 2, 1, 1, 0, 0);
    return chromaTerms(_mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_loadu_ps(cb)), twice),
                       _mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_loadu_ps(cr)), twice));
  }

  // Eight pixels from eight luma values and their chroma terms.
  static void colourPixels8(const float* luma, const Chroma8& c, uint16_t* out) {
    const __m256 y = _mm256_mul_ps(_mm256_loadu_ps(luma), _mm256_set1_ps(kLumaScale));
    const __m256 offset = _mm256_set1_ps(kOffset);
    const __m256 r = _mm256_add_ps(_mm256_add_ps(c.r, y), offset);
    const __m256 g = _mm256_add_ps(_mm256_sub_ps(_mm256_sub_ps(y, c.gb), c.gr), offset);
    const __m256 b = _mm256_add_ps(_mm256_add_ps(c.b, y), offset);
    storeRgba8(out, biasedSamples(r), biasedSamples(g), biasedSamples(b));
  }

  static void grey(const float* blocks, uint16_t* out, size_t stride) {
    const __m256 scale = _mm256_set1_ps(kLumaScale);
    const __m256 offset = _mm256_set1_ps(kOffset);
    for (int r = 0; r < 8; ++r) {
      const __m256i v = biasedSamples(
          _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(blocks + 8 * r), scale), offset));
      storeRgba8(out + 4 * stride * r, v, v, v);
    }
  }
};

}  // namespace

void inverseDct(const int16_t* coefficients, float* out, const float* q) {
  __m128i rows[8];
  for (int r = 0; r < 8; ++r) {
    rows[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + 8 * r));
  }
  // Every coefficient but the DC one, ORed together.
  __m128i any = _mm_and_si128(rows[0], _mm_set_epi16(-1, -1, -1, -1, -1, -1, -1, 0));
  for (int r = 1; r < 8; ++r) any = _mm_or_si128(any, rows[r]);
  if (_mm_testz_si128(any, any)) {
    // Only the DC coefficient is set: the row pass of (d, 0, ..., 0) gives d everywhere.
    const __m256 d = _mm256_set1_ps(static_cast<float>(coefficients[0]) * q[0]);
    for (int i = 0; i < 64; i += 8) _mm256_storeu_ps(out + i, d);
    return;
  }
  // Column pass: lanes are the eight columns; x[r] is row r times its table row.
  __m256 x[8], w[8];
  for (int r = 0; r < 8; ++r) {
    x[r] = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(rows[r])),
                         _mm256_loadu_ps(q + 8 * r));
  }
  butterfly(x, w);
  // Row pass: lanes are the eight rows.
  transpose8(w);
  butterfly(w, x);
  transpose8(x);
  for (int r = 0; r < 8; ++r) _mm256_storeu_ps(out + 8 * r, x[r]);
}

McuConverter converterFor(SamplingMode mode) {
  return McuConverters<Avx2>::forMode(mode);
}

}  // namespace tessel::wide

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif  // TESSEL_WIDE_KERNELS
