#pragma once
// TensorOps<T>: one arithmetic operation on two elements of T, rounded to T.
// The forward kernels and the gradient kernels compute through it, so every
// path rounds the same way. For Half and BFloat16 each operation widens its
// operands exactly, computes once in binary32 and rounds once (see Note
// [Exact 16-bit arithmetic] in half.h).

#include "engine/cpu/dtype.h"

namespace vessik {

// Sixteen binary32 lanes, each computed as TensorOps<float> computes one
// element: the transposed walk of F32 arithmetic works on whole registers.
using F32x16 = float __attribute__((vector_size(64)));

template <class T>
concept ArithmeticValue = NumericElement<T> || std::same_as<T, F32x16>;

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
