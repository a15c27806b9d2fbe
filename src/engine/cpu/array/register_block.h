#pragma once
// A vector register of binary32 lanes at the level being compiled, and the
// transposition of a square block of them.

#include "engine/cpu/processor/vector_width.h"

#if defined(__SSE2__)
#include <immintrin.h>

namespace vessik {

// Each level's streaming store and the lane shuffles of its transposition,
// within 128-bit quarters. (AVX-512's zero-masking forms with a full mask are
// the plain instructions; GCC 12 warns about the plain ones' undefined operand.)
#if defined(__AVX512F__)
inline void stream_f32(float* p, F32Vector v) { _mm512_stream_ps(p, v); }
inline F32Vector unpack_lo(F32Vector a, F32Vector b) { return _mm512_maskz_unpacklo_ps(0xffff, a, b); }
inline F32Vector unpack_hi(F32Vector a, F32Vector b) { return _mm512_maskz_unpackhi_ps(0xffff, a, b); }
template <int I> inline F32Vector shuffle(F32Vector a, F32Vector b) { return _mm512_shuffle_ps(a, b, I); }
#elif defined(__AVX__)
inline void stream_f32(float* p, F32Vector v) { _mm256_stream_ps(p, v); }
inline F32Vector unpack_lo(F32Vector a, F32Vector b) { return _mm256_unpacklo_ps(a, b); }
inline F32Vector unpack_hi(F32Vector a, F32Vector b) { return _mm256_unpackhi_ps(a, b); }
template <int I> inline F32Vector shuffle(F32Vector a, F32Vector b) { return _mm256_shuffle_ps(a, b, I); }
#else
inline void stream_f32(float* p, F32Vector v) { _mm_stream_ps(p, v); }
#endif
// A square block: one row, in one register, per lane.
inline constexpr int kBlock = kVectorFloats;

// Unaligned, as the intrinsics load and store.
inline F32Vector load_f32(const float* p) { return *reinterpret_cast<const UnalignedF32Lanes<kVectorFloats>*>(p); }
inline void store_f32(float* p, F32Vector v) { *reinterpret_cast<UnalignedF32Lanes<kVectorFloats>*>(p) = v; }

// r[k] holds row k on entry and column k on exit.
inline void transpose_block(__m128 (&r)[4]) { _MM_TRANSPOSE4_PS(r[0], r[1], r[2], r[3]); }

#if defined(__AVX__)
// Each 128-bit quarter of four rows is transposed by interleaving the 32-bit,
// then the 64-bit lanes of row pairs; then the rows exchange quarters.
inline void transpose_block(F32Vector (&r)[kBlock]) {
  F32Vector t[kBlock];
  for (int k = 0; k < kBlock; k += 2) {
    t[k] = unpack_lo(r[k], r[k + 1]);
    t[k + 1] = unpack_hi(r[k], r[k + 1]);
  }
  for (int k = 0; k < kBlock; k += 4) {
    r[k] = shuffle<_MM_SHUFFLE(1, 0, 1, 0)>(t[k], t[k + 2]);
    r[k + 1] = shuffle<_MM_SHUFFLE(3, 2, 3, 2)>(t[k], t[k + 2]);
    r[k + 2] = shuffle<_MM_SHUFFLE(1, 0, 1, 0)>(t[k + 1], t[k + 3]);
    r[k + 3] = shuffle<_MM_SHUFFLE(3, 2, 3, 2)>(t[k + 1], t[k + 3]);
  }
#if defined(__AVX512F__)
  for (int k = 0; k < 8; ++k) {
    const int a = (k / 4) * 8 + k % 4;
    t[a] = _mm512_maskz_shuffle_f32x4(0xffff, r[a], r[a + 4], 0x88);
    t[a + 4] = _mm512_maskz_shuffle_f32x4(0xffff, r[a], r[a + 4], 0xdd);
  }
  for (int k = 0; k < 8; ++k) {
    r[k] = _mm512_maskz_shuffle_f32x4(0xffff, t[k], t[k + 8], 0x88);
    r[k + 8] = _mm512_maskz_shuffle_f32x4(0xffff, t[k], t[k + 8], 0xdd);
  }
#else
  for (int k = 0; k < 4; ++k) {
    t[k] = _mm256_permute2f128_ps(r[k], r[k + 4], 0x20);
    t[k + 4] = _mm256_permute2f128_ps(r[k], r[k + 4], 0x31);
  }
  for (int k = 0; k < 8; ++k) r[k] = t[k];
#endif
}
#endif

}  // namespace vessik
#endif
