#pragma once
// The loops that apply an element functor along one strided run or a whole
// buffer: element by element, or for 16-bit arithmetic a chunk at a time in
// binary32. Unit-stride and stride-0 (broadcast scalar) runs get their own
// loops so that the compiler vectorises them.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "engine/cpu/array/stream.h"
#include "engine/cpu/half/half_convert.h"
#include "engine/cpu/numeric/core/tensor_ops.h"

#if defined(__F16C__)
#include <immintrin.h>
#endif

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

// Note [Bulk 16-bit arithmetic]
// A run of Half or BFloat16 arithmetic is done in chunks: the operands are
// widened into small binary32 buffers (Half through the F16C path where the
// processor has it), the binary32 operation runs as a plain vectorised loop,
// and the results are rounded back. Each element still sees exactly one
// widening, one binary32 operation and one rounding, the computation of
// TensorOps<T>, so the bulk path gives the same bits.
inline constexpr std::int64_t kChunk = 256;

template <HalfElement T>
inline void widen(const T* __restrict p, std::int64_t stride, std::int64_t m, float* __restrict dst) {
  if constexpr (std::is_same_v<T, Half>) {
    if (stride == 1) {
      widen_f16(p, dst, static_cast<std::size_t>(m));
      return;
    }
    alignas(64) Half gathered[kChunk];
    for (std::int64_t i = 0; i < m; ++i) gathered[i] = p[i * stride];
    widen_f16(gathered, dst, static_cast<std::size_t>(m));
  } else {
    if (stride == 1) {
      widen_bf16(p, dst, static_cast<std::size_t>(m));
    } else {
      for (std::int64_t i = 0; i < m; ++i) dst[i] = p[i * stride].widen_quiet();
    }
  }
}

template <HalfElement T>
inline float widen_one(T x) {
  if constexpr (std::is_same_v<T, Half>) {
    return static_cast<float>(x);
  } else {
    return x.widen_quiet();
  }
}

template <HalfElement T>
inline void narrow(const float* __restrict src, std::int64_t m, T* __restrict o, std::int64_t so) {
  if constexpr (std::is_same_v<T, Half>) {
    if (so == 1) {
      narrow_f16(src, o, static_cast<std::size_t>(m));
      return;
    }
    alignas(64) Half rounded[kChunk];
    narrow_f16(src, rounded, static_cast<std::size_t>(m));
    for (std::int64_t i = 0; i < m; ++i) o[i * so] = rounded[i];
  } else {
    if (so == 1) {
      narrow_bf16(src, o, static_cast<std::size_t>(m));
    } else {
      for (std::int64_t i = 0; i < m; ++i) o[i * so] = BFloat16(src[i]);
    }
  }
}

// o[i*so] = f(a[i*sa], b[i*sb]) for 16-bit arithmetic; see Note [Bulk 16-bit
// arithmetic]. `f` is applied to binary32 values.
template <HalfElement T, class F>
void arith16(T* o, std::int64_t so, const T* a, std::int64_t sa, const T* b, std::int64_t sb, std::int64_t n, F f) {
  if (n <= 0) return;  // an empty array's data pointer is null: nothing to read
  alignas(64) float fa[kChunk];
  alignas(64) float fb[kChunk];
  alignas(64) float fo[kChunk];
  const float x0 = widen_one(*a);
  const float y0 = widen_one(*b);
  for (std::int64_t c = 0; c < n; c += kChunk) {
    const std::int64_t m = std::min(kChunk, n - c);
    if (sb == 0) {
      widen(a + c * sa, sa, m, fa);
      for (std::int64_t i = 0; i < m; ++i) fo[i] = f(fa[i], y0);
    } else if (sa == 0) {
      widen(b + c * sb, sb, m, fb);
      for (std::int64_t i = 0; i < m; ++i) fo[i] = f(x0, fb[i]);
    } else {
      widen(a + c * sa, sa, m, fa);
      widen(b + c * sb, sb, m, fb);
      for (std::int64_t i = 0; i < m; ++i) fo[i] = f(fa[i], fb[i]);
    }
    narrow(fo, m, o + c * so, so);
  }
}

// Unit-stride 16-bit arithmetic (b unit-stride or one broadcast value):
// a vector or two of elements at a time are widened in registers, combined
// lane-wise by the element functor and rounded back, the same three steps
// as arith16 without its binary32 buffers (a binary16 [1 << 20] sum takes a
// fifth of the time; bfloat16, split into its even and odd elements by
// integer operations, a third less at avx2 and baseline). Binary16 needs
// F16C.
// Returns how many elements it did; the caller does the rest.
template <HalfElement T, class Op>
inline std::int64_t arith16_unit(T* o, const T* a, const T* b, std::int64_t sb, std::int64_t n, Op op) {
  std::int64_t i = 0;
#if defined(__SSE4_1__)
  if constexpr (std::is_same_v<T, BFloat16>) {
    constexpr auto step = static_cast<std::int64_t>(bf16_lanes::kValues);
    auto apply = [&](bf16_lanes::U32 x, auto y) {
      return reinterpret_cast<bf16_lanes::U32>(op(reinterpret_cast<F32Vector>(x), y));
    };
    bf16_lanes::U32 x0, x1, y0, y1;
    if (sb == 0) {
      F32Vector y;  // every lane b, -0 included
      for (int l = 0; l < kVectorFloats; ++l) y[l] = static_cast<float>(*b);
      for (; i + step <= n; i += step) {
        bf16_lanes::split(a + i, x0, x1);
        bf16_lanes::join(apply(x0, y), apply(x1, y), o + i);
      }
    } else {
      for (; i + step <= n; i += step) {
        bf16_lanes::split(a + i, x0, x1);
        bf16_lanes::split(b + i, y0, y1);
        bf16_lanes::join(apply(x0, reinterpret_cast<F32Vector>(y0)), apply(x1, reinterpret_cast<F32Vector>(y1)), o + i);
      }
    }
  }
#endif
#if defined(__F16C__)
  if constexpr (std::is_same_v<T, Half>) {
    constexpr int kNearestEven = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
    auto widen8 = [](const Half* p) {
      return reinterpret_cast<F32Lanes<8>>(_mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
    };
    auto narrow8 = [](F32Lanes<8> v, Half* p) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_cvtps_ph(reinterpret_cast<__m256>(v), kNearestEven));
    };
    if (sb == 0) {
      const auto y = reinterpret_cast<F32Lanes<8>>(_mm256_cvtph_ps(_mm_set1_epi16(static_cast<short>(b->bits()))));
      for (; i + 8 <= n; i += 8) narrow8(op(widen8(a + i), y), o + i);
    } else {
      for (; i + 8 <= n; i += 8) narrow8(op(widen8(a + i), widen8(b + i)), o + i);
    }
  }
#else
  (void)o, (void)a, (void)b, (void)sb, (void)n, (void)op;
#endif
  return i;
}

}  // namespace vessik::loops
