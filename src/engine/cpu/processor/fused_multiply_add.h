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
#include <type_traits>

#if defined(__FMA__)
#include <immintrin.h>
#endif

namespace vessik {

// `a` as the register M: a plain broadcast of a float (V{} + a would add a
// zero first, one more instruction on every multiply-add of a tile).
template <class M, class A>
[[gnu::always_inline]] inline M lanes_of(A a, M (*set1)(float)) {
  if constexpr (std::is_same_v<A, float>) {
    return set1(a);
  } else {
    return std::bit_cast<M>(a);
  }
}

// V is float or a GCC vector of floats; A is float (every lane) or V.
template <class V, class A>
[[gnu::always_inline]] inline V fused_multiply_add(V b, A a, V acc) {
#if defined(__FMA__)
  if constexpr (sizeof(V) == sizeof(float)) {
    return __builtin_fmaf(b, a, acc);
  } else if constexpr (sizeof(V) == 16) {
    const __m128 av = lanes_of<__m128>(a, _mm_set1_ps);
    return std::bit_cast<V>(_mm_fmadd_ps(std::bit_cast<__m128>(b), av, std::bit_cast<__m128>(acc)));
  } else if constexpr (sizeof(V) == 32) {
    const __m256 av = lanes_of<__m256>(a, _mm256_set1_ps);
    return std::bit_cast<V>(_mm256_fmadd_ps(std::bit_cast<__m256>(b), av, std::bit_cast<__m256>(acc)));
#if defined(__AVX512F__)
  } else if constexpr (sizeof(V) == 64) {
    const __m512 av = lanes_of<__m512>(a, _mm512_set1_ps);
    return std::bit_cast<V>(_mm512_fmadd_ps(std::bit_cast<__m512>(b), av, std::bit_cast<__m512>(acc)));
#endif
  }
#endif
  return acc + b * a;
}

}  // namespace vessik
