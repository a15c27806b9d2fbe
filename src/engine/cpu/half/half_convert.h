#pragma once
// Bulk 16-bit <-> binary32 conversions for the 16-bit kernels, compiled with
// each kernel level (F16C instructions from the avx2 level up); every level
// gives the same bits. Widening is exact except that a signalling NaN comes
// out quiet (payload kept), as vcvtph2ps does: these conversions feed
// arithmetic, which would quiet it anyway. Narrowing gives exactly the bits
// of Half(float) and BFloat16(float).

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE4_1__)
#include <immintrin.h>
#endif

#include "engine/cpu/half/half.h"
#include "engine/cpu/processor/vector_width.h"

namespace vessik {

void widen_f16(const Half* src, float* dst, std::size_t n);
void narrow_f16(const float* src, Half* dst, std::size_t n);

// Inline, and in registers for the element loops: the packed product rounds
// its tiles a row of 16 at a time, where a call cost as much as the rounding.
#if defined(__SSE4_1__)

namespace bf16_lanes {

typedef std::uint32_t U32 __attribute__((vector_size(kVectorBytes)));
typedef std::int32_t I32 __attribute__((vector_size(kVectorBytes)));
typedef float F32 __attribute__((vector_size(kVectorBytes)));

// BFloat16(float) on a vector of binary32 patterns, each result in the low
// half of its lane.
inline U32 round(U32 x) {
  const U32 high = x >> 16;
  const U32 rounded = (x + 0x7fffu + (high & 1u)) >> 16;
  const I32 nan = reinterpret_cast<F32>(x) != reinterpret_cast<F32>(x);
  return nan ? (high | 0x0040u) : rounded;
}

// The low halves of two vectors' lanes, in order, as one vector of 16-bit
// lanes. The lanes hold values below 2^16, so the saturating pack keeps them.
inline void store_low_halves(U32 first, U32 second, void* dst) {
#if defined(__AVX512BW__)
  // The pack interleaves the sources by 128-bit lane; 64-bit moves undo it.
  typedef long long Quarters __attribute__((vector_size(64)));
  const auto packed = reinterpret_cast<Quarters>(
      _mm512_packus_epi32(reinterpret_cast<__m512i>(first), reinterpret_cast<__m512i>(second)));
  _mm512_storeu_si512(dst, reinterpret_cast<__m512i>(__builtin_shufflevector(packed, packed, 0, 2, 4, 6, 1, 3, 5, 7)));
#elif defined(__AVX2__)
  const __m256i packed = _mm256_packus_epi32(reinterpret_cast<__m256i>(first), reinterpret_cast<__m256i>(second));
  _mm256_storeu_si256(static_cast<__m256i*>(dst), _mm256_permute4x64_epi64(packed, 0xd8));
#else
  _mm_storeu_si128(static_cast<__m128i*>(dst),
                   _mm_packus_epi32(reinterpret_cast<__m128i>(first), reinterpret_cast<__m128i>(second)));
#endif
}

// 2 * kVectorBytes / 4 bfloat16 values at src as two vectors of binary32
// patterns, in order, a signalling NaN made quiet as widen_f16 does.
inline void widen(const BFloat16* src, U32& first, U32& second) {
  typedef std::uint16_t U16 __attribute__((vector_size(kVectorBytes)));
  typedef std::int16_t I16 __attribute__((vector_size(kVectorBytes)));
  typedef long long Quarters __attribute__((vector_size(kVectorBytes)));
  U16 h;
  std::memcpy(&h, src, sizeof h);
  h |= reinterpret_cast<U16>(reinterpret_cast<I16>(h & 0x7fffu) > 0x7f80) & 0x0040u;
  // Unpacking works within 128-bit lanes: the 64-bit quarters are first
  // placed so that the low and the high unpack each take one half in order.
  const auto q = reinterpret_cast<Quarters>(h);
#if defined(__AVX512BW__)
  const auto placed = reinterpret_cast<__m512i>(__builtin_shufflevector(q, q, 0, 4, 1, 5, 2, 6, 3, 7));
  first = reinterpret_cast<U32>(_mm512_unpacklo_epi16(_mm512_setzero_si512(), placed));
  second = reinterpret_cast<U32>(_mm512_unpackhi_epi16(_mm512_setzero_si512(), placed));
#elif defined(__AVX2__)
  const auto placed = reinterpret_cast<__m256i>(__builtin_shufflevector(q, q, 0, 2, 1, 3));
  first = reinterpret_cast<U32>(_mm256_unpacklo_epi16(_mm256_setzero_si256(), placed));
  second = reinterpret_cast<U32>(_mm256_unpackhi_epi16(_mm256_setzero_si256(), placed));
#else
  const auto placed = reinterpret_cast<__m128i>(q);
  first = reinterpret_cast<U32>(_mm_unpacklo_epi16(_mm_setzero_si128(), placed));
  second = reinterpret_cast<U32>(_mm_unpackhi_epi16(_mm_setzero_si128(), placed));
#endif
}

// BFloat16(float) of two vectors of binary32 patterns, stored in order.
inline void narrow(U32 first, U32 second, BFloat16* dst) { store_low_halves(round(first), round(second), dst); }

// The values one widen or narrow takes.
inline constexpr std::size_t kValues = 2 * kVectorBytes / sizeof(float);

// For lane-wise arithmetic the order of the lanes does not matter, so one
// vector of bfloat16 becomes its even elements shifted up and its odd ones
// masked, with no unpacking and no packing back: a third fewer instructions.
// Signalling NaNs are left for the arithmetic to quiet.
inline void split(const BFloat16* src, U32& even, U32& odd) {
  U32 w;
  std::memcpy(&w, src, sizeof w);
  even = w << 16;
  odd = w & 0xffff0000u;
}

// BFloat16(float) of results of arithmetic on bfloat16 operands, stored in
// the order split took them. No NaN test: such a NaN is an operand's,
// quieted, or the default NaN, its low half zero, which the rounding keeps.
inline void join(U32 even, U32 odd, BFloat16* dst) {
  auto rounded = [](U32 x) { return x + 0x7fffu + ((x >> 16) & 1u); };
  const U32 w = (rounded(even) >> 16) | (rounded(odd) & 0xffff0000u);
  std::memcpy(static_cast<void*>(dst), &w, sizeof w);
}

}  // namespace bf16_lanes

inline void widen_bf16(const BFloat16* src, float* dst, std::size_t n) {
  std::size_t i = 0;
  for (; i + bf16_lanes::kValues <= n; i += bf16_lanes::kValues) {
    bf16_lanes::U32 first, second;
    bf16_lanes::widen(src + i, first, second);
    std::memcpy(dst + i, &first, sizeof first);
    std::memcpy(dst + i + bf16_lanes::kValues / 2, &second, sizeof second);
  }
  for (; i < n; ++i) dst[i] = src[i].widen_quiet();
}

// Written out in vectors: left to the compiler, the loop packed the NaN
// masks alongside the values and ran half again as long.
inline void narrow_bf16(const float* src, BFloat16* dst, std::size_t n) {
  std::size_t i = 0;
  for (; i + bf16_lanes::kValues <= n; i += bf16_lanes::kValues) {
    bf16_lanes::U32 first, second;
    std::memcpy(&first, src + i, sizeof first);
    std::memcpy(&second, src + i + bf16_lanes::kValues / 2, sizeof second);
    bf16_lanes::narrow(first, second, dst + i);
  }
  for (; i < n; ++i) dst[i] = BFloat16(src[i]);
}

#else

inline void widen_bf16(const BFloat16* src, float* dst, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) dst[i] = src[i].widen_quiet();
}

inline void narrow_bf16(const float* src, BFloat16* dst, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) dst[i] = BFloat16(src[i]);
}

#endif

}  // namespace vessik
