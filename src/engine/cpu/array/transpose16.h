#pragma once
// The transposition of a 16 x 16 block of binary32 held in sixteen AVX-512
// registers, for the kernels of the avx512 level.

#if defined(__AVX512F__)
#include <immintrin.h>

namespace vessik {

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

}  // namespace vessik
#endif
