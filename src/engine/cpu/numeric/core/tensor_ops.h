#pragma once
// TensorOps<T>: one arithmetic operation on two elements of T, rounded to T.
// The forward kernels and the gradient kernels compute through it, so every
// path rounds the same way. For Half and BFloat16 each operation widens its
// operands exactly, computes once in binary32 and rounds once (see Note
// [Exact 16-bit arithmetic] in half.h).

#include "engine/cpu/dtype.h"

namespace vessik {

// N binary32 lanes, each computed as TensorOps<float> computes one element:
// the transposed walk of F32 arithmetic works on whole vector registers.
template <int N>
struct F32LanesOf {
  typedef float type __attribute__((vector_size(N * sizeof(float))));
};
template <int N>
using F32Lanes = typename F32LanesOf<N>::type;

template <class T>
concept F32LaneVector = std::same_as<T, F32Lanes<4>> || std::same_as<T, F32Lanes<8>> || std::same_as<T, F32Lanes<16>>;

template <class T>
concept ArithmeticValue = NumericElement<T> || F32LaneVector<T>;

template <ArithmeticValue T>
struct TensorOps {
  static constexpr T kernel_add(T x, T y) { return x + y; }
  static constexpr T kernel_sub(T x, T y) { return x - y; }
  static constexpr T kernel_mul(T x, T y) { return x * y; }
  static constexpr T kernel_div(T x, T y) { return x / y; }
  // Flips the sign bit only.
  static constexpr T neg(T x) { return -x; }
};

// The 16-bit element types, whose arithmetic runs through binary32.
template <class T>
concept HalfElement = std::same_as<T, Half> || std::same_as<T, BFloat16>;

}  // namespace vessik
