#pragma once
// TensorOps<T>: one arithmetic operation on two elements of T, rounded to T.
// The forward kernels and the gradient kernels compute through it, so every
// path rounds the same way. For Half and BFloat16 each operation widens its
// operands exactly, computes once in binary32 and rounds once (see Note
// [Exact 16-bit arithmetic] in half.h).

#include <bit>
#include <cstdint>
#include <type_traits>

#include "engine/cpu/dtype.h"
#include "engine/cpu/processor/vector_width.h"

namespace vessik {

// The transposed walk of F32 arithmetic computes on whole vectors of lanes,
// each lane as TensorOps<float> computes one element.
template <class T>
concept F32LaneVector = std::same_as<T, F32Lanes<4>> || std::same_as<T, F32Lanes<8>> || std::same_as<T, F32Lanes<16>>;

template <class T>
concept ArithmeticValue = ComputesInF32<T> || F32LaneVector<T>;

// Note [Which NaN]
// When both operands are NaN, IEEE 754 leaves open whose payload the result
// carries. x86 and ARM give the first operand's, quieted, but the compiler
// may swap the operands of + and *, differently in each loop and at each
// kernel level. So these two say it themselves: the first operand's NaN,
// quieted (x + x), when it is one; then, with x a number, the hardware can
// only return y's. Every level and layout gives the same bits.
// For binary32 both sides are computed and one is chosen by a bit mask: a
// branch on a NaN test would keep the loops from vectorising below AVX-512.
template <class T>
constexpr T first_nan_or(T x, T r) {
#if defined(__AVX512F__)
  constexpr bool kBranchless = false;  // masked lanes let GCC vectorise the branch
#else
  constexpr bool kBranchless = true;
#endif
  if constexpr (kBranchless && std::is_same_v<T, float>) {
    const float twice = x + x;
    const std::uint32_t keep_x = 0u - static_cast<std::uint32_t>(x != x);
    return std::bit_cast<float>((std::bit_cast<std::uint32_t>(twice) & keep_x) |
                                (std::bit_cast<std::uint32_t>(r) & ~keep_x));
  } else {
    return x != x ? x + x : r;
  }
}

template <ArithmeticValue T>
struct TensorOps {
  static constexpr T kernel_add(T x, T y) { return first_nan_or(x, x + y); }
  static constexpr T kernel_sub(T x, T y) { return x - y; }
  static constexpr T kernel_mul(T x, T y) { return first_nan_or(x, x * y); }
  static constexpr T kernel_div(T x, T y) { return x / y; }
  // Flips the sign bit only. For binary32 as an integer operation: the
  // compiler would move a float negation across a product (-(g * l) for
  // (-g) * l), which flips another NaN's sign (Note [Which NaN]).
  static constexpr T neg(T x) {
    if constexpr (std::is_same_v<T, float>) {
      return std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) ^ 0x80000000u);
    } else {
      return -x;
    }
  }
};

// The 16-bit element types, whose arithmetic runs through binary32.
template <class T>
concept HalfElement = std::same_as<T, Half> || std::same_as<T, BFloat16>;

}  // namespace vessik
