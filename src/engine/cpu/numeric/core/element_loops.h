#pragma once
// The loops that apply an element functor along one strided run or a whole
// buffer. Unit-stride and stride-0 (broadcast scalar) runs get their own
// loops so that the compiler vectorises them.

#include <cstddef>
#include <cstdint>

#include "engine/cpu/array/stream.h"

namespace vessik::loops {

// o[i] = f(a[i], b[i]) for i < n.
template <class O, class A, class B, class F>
inline void zip_unit(O* __restrict o, const A* __restrict a, const B* __restrict b, std::int64_t n, F f) {
  // Not unrolled: a streamed cache line (fill_streamed) passes a known
  // count of 16 or 64, which the compiler would otherwise unroll into
  // scalar code before it could vectorise the loop.
#pragma GCC unroll 1
  for (std::int64_t i = 0; i < n; ++i) o[i] = f(a[i], b[i]);
}

// o[i*so] = f(a[i*sa], b[i*sb]) for i < n.
template <class O, class A, class B, class F>
inline void zip(O* __restrict o, std::int64_t so, const A* __restrict a, std::int64_t sa, const B* __restrict b,
                std::int64_t sb, std::int64_t n, F f) {
  if (so == 1 && sa == 1 && sb == 1) {
    zip_unit(o, a, b, n, f);
  } else if (so == 1 && sa == 1 && sb == 0) {
    const B y = *b;
#pragma GCC unroll 1  // as in zip_unit
    for (std::int64_t i = 0; i < n; ++i) o[i] = f(a[i], y);
  } else if (so == 1 && sa == 0 && sb == 1) {
    const A x = *a;
#pragma GCC unroll 1  // as in zip_unit
    for (std::int64_t i = 0; i < n; ++i) o[i] = f(x, b[i]);
  } else {
    for (std::int64_t i = 0; i < n; ++i) o[i * so] = f(a[i * sa], b[i * sb]);
  }
}

// o[i] = f(a[i]) for i < n: a whole buffer in memory order.
template <class O, class A, class F>
inline void map(O* o, const A* a, std::int64_t n, F f) {
  fill_flat(o, n, static_cast<std::size_t>(n) * (sizeof(O) + sizeof(A)),
            [&](O* __restrict dst, std::int64_t first, std::int64_t count) {
              const A* __restrict src = a + first;
              for (std::int64_t i = 0; i < count; ++i) dst[i] = f(src[i]);
            },
            a);
}

}  // namespace vessik::loops
