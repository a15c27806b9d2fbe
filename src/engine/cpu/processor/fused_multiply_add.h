#pragma once
// acc + b * a in every lane, rounded once where the level being compiled has
// FMA, and as a multiply and an add where it has none.
//
// Note [Fused on purpose]
// `acc += b * a` leaves the fusing to the compiler, which may decline: GCC
// 14's generic tuning keeps loop-carried chains of 128- and 256-bit
// multiply-adds unfused, where GCC 12 fused them all. A product's bits would
// then depend on the compiler, and its direct and packed paths, which must
// agree bit for bit, rounded apart.

#include <bit>

#if defined(__FMA__)
#include <immintrin.h>
#endif

namespace vessik {

// V is float or a GCC vector of floats; A is float (every lane) or V.
template <class V, class A>
[[gnu::always_inline]] inline V fused_multiply_add(V b, A a, V acc) {
#if defined(__FMA__)
  if constexpr (sizeof(V) == sizeof(float)) {
    return __builtin_fmaf(b, a, acc);
  } else {
    V av = V{} + a;
    if constexpr (sizeof(V) == 16) {
      return std::bit_cast<V>(_mm_fmadd_ps(std::bit_cast<__m128>(b), std::bit_cast<__m128>(av), std::bit_cast<__m128>(acc)));
    } else if constexpr (sizeof(V) == 32) {
      return std::bit_cast<V>(
          _mm256_fmadd_ps(std::bit_cast<__m256>(b), std::bit_cast<__m256>(av), std::bit_cast<__m256>(acc)));
#if defined(__AVX512F__)
    } else if constexpr (sizeof(V) == 64) {
      return std::bit_cast<V>(
          _mm512_fmadd_ps(std::bit_cast<__m512>(b), std::bit_cast<__m512>(av), std::bit_cast<__m512>(acc)));
#endif
    }
  }
#endif
  return acc + b * a;
}

}  // namespace vessik
