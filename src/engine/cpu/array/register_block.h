#pragma once
// A vector register of binary32 lanes at the level being compiled, and the
// transposition of a square block of them.

#if defined(__SSE2__)
#include <immintrin.h>

namespace vessik {

#if defined(__AVX512F__)
// r[k] holds row k on entry and column k on exit.
[[gnu::always_inline]] inline void transpose16x16(__m512 (&r)[16]) {
  // Interleave 32-bit lanes of row pairs, then 64-bit lanes, then 128-bit
  // quarters twice. (The zero-masking forms with a full mask are the plain
  // instructions; GCC 12 warns about the plain intrinsics' undefined operand.)
  constexpr __mmask16 kAll = 0xffff;
  __m512 t[16];
  for (int k = 0; k < 16; k += 2) {
    t[k] = _mm512_maskz_unpacklo_ps(kAll, r[k], r[k + 1]);
    t[k + 1] = _mm512_maskz_unpackhi_ps(kAll, r[k], r[k + 1]);
  }
  for (int k = 0; k < 16; k += 4) {
    r[k] = _mm512_shuffle_ps(t[k], t[k + 2], _MM_SHUFFLE(1, 0, 1, 0));
    r[k + 1] = _mm512_shuffle_ps(t[k], t[k + 2], _MM_SHUFFLE(3, 2, 3, 2));
    r[k + 2] = _mm512_shuffle_ps(t[k + 1], t[k + 3], _MM_SHUFFLE(1, 0, 1, 0));
    r[k + 3] = _mm512_shuffle_ps(t[k + 1], t[k + 3], _MM_SHUFFLE(3, 2, 3, 2));
  }
  for (int k = 0; k < 8; ++k) {
    const int a = (k / 4) * 8 + k % 4;
    t[a] = _mm512_maskz_shuffle_f32x4(kAll, r[a], r[a + 4], 0x88);
    t[a + 4] = _mm512_maskz_shuffle_f32x4(kAll, r[a], r[a + 4], 0xdd);
  }
  for (int k = 0; k < 8; ++k) {
    r[k] = _mm512_maskz_shuffle_f32x4(kAll, t[k], t[k + 8], 0x88);
    r[k + 8] = _mm512_maskz_shuffle_f32x4(kAll, t[k], t[k + 8], 0xdd);
  }
}
#endif

// One vector register of binary32 lanes at this level.
#if defined(__AVX512F__)
inline constexpr int kBlock = 16;
using F32Register = __m512;
inline F32Register load_f32(const float* p) { return _mm512_loadu_ps(p); }
inline void store_f32(float* p, F32Register v) { _mm512_storeu_ps(p, v); }
inline void stream_f32(float* p, F32Register v) { _mm512_stream_ps(p, v); }
inline void transpose_block(F32Register (&v)[kBlock]) { transpose16x16(v); }
#elif defined(__AVX__)
inline constexpr int kBlock = 8;
using F32Register = __m256;
inline F32Register load_f32(const float* p) { return _mm256_loadu_ps(p); }
inline void store_f32(float* p, F32Register v) { _mm256_storeu_ps(p, v); }
inline void stream_f32(float* p, F32Register v) { _mm256_stream_ps(p, v); }
inline void transpose_block(F32Register (&v)[kBlock]) {
  __m256 t[8];
  for (int k = 0; k < 8; k += 2) {
    t[k] = _mm256_unpacklo_ps(v[k], v[k + 1]);
    t[k + 1] = _mm256_unpackhi_ps(v[k], v[k + 1]);
  }
  for (int k = 0; k < 8; k += 4) {
    v[k] = _mm256_shuffle_ps(t[k], t[k + 2], _MM_SHUFFLE(1, 0, 1, 0));
    v[k + 1] = _mm256_shuffle_ps(t[k], t[k + 2], _MM_SHUFFLE(3, 2, 3, 2));
    v[k + 2] = _mm256_shuffle_ps(t[k + 1], t[k + 3], _MM_SHUFFLE(1, 0, 1, 0));
    v[k + 3] = _mm256_shuffle_ps(t[k + 1], t[k + 3], _MM_SHUFFLE(3, 2, 3, 2));
  }
  for (int k = 0; k < 4; ++k) {
    t[k] = _mm256_permute2f128_ps(v[k], v[k + 4], 0x20);
    t[k + 4] = _mm256_permute2f128_ps(v[k], v[k + 4], 0x31);
  }
  for (int k = 0; k < 8; ++k) v[k] = t[k];
}
#else
inline constexpr int kBlock = 4;
using F32Register = __m128;
inline F32Register load_f32(const float* p) { return _mm_loadu_ps(p); }
inline void store_f32(float* p, F32Register v) { _mm_storeu_ps(p, v); }
inline void stream_f32(float* p, F32Register v) { _mm_stream_ps(p, v); }
inline void transpose_block(F32Register (&v)[kBlock]) { _MM_TRANSPOSE4_PS(v[0], v[1], v[2], v[3]); }
#endif

}  // namespace vessik
#endif
